"""Native half of the norvik Blender exporter.

Every ``*_ptr`` argument is a raw address (an ``int``) of memory laid out as
the exporter's record and host-array layouts describe; the module reads it in
place during the call and never keeps it.  Paths are ``bytes``.
"""
from types import ModuleType
from typing import Any, Optional, Sequence, Union

import numpy as _np
import numpy.typing as _npt

#: numpy and Blender's bpy, bound at import.
np: ModuleType
bpy: ModuleType

#: ``bpy.app.version`` as read at import.  Looked up at every call of
#: ``export`` and ``get_mesh_tri_data_multi_material``: a 3.x version with
#: x > 0 selects the 3.1-onward layouts, anything else the 2.93-to-3.0 ones.
b3d_version: Union[tuple[int, ...], Sequence[Any]]

_Path = Union[bytes, bytearray]
_Int32Array = _npt.NDArray[_np.int32]
_Float32Array = _npt.NDArray[_np.float32]


def export(ob_ptr: int, count: int, output_path: _Path, use_debug: object) -> bool:
    """Write the scene document for ``count`` object records at ``ob_ptr``.

    Returns False when the file cannot be opened or written, or when
    ``b3d_version`` cannot be read; problems in the mesh data are printed and
    do not change the result.
    """


def export_scenes(scn_ptr: int, count: int, output_path: _Path) -> bool:
    """Write the camera document for ``count`` camera records at ``scn_ptr``.

    Returns True after a complete write, False when the file cannot be opened
    or written (the reason is printed to standard output).
    """


def get_mesh_tri_data(mesh_ptr: int, /) -> _Float32Array:
    """24 floats per triangle: 9 positions, the same 9 again, 6 UVs (u, v)."""


def get_material_indices(mesh_ptr: int, /) -> _Int32Array:
    """The material index of every triangle, in triangle order."""


def get_tri_count_per_material_index(material_indices: Optional[_Int32Array],
                                     material_count: int) -> _Int32Array:
    """How many entries of ``material_indices`` equal each of 0 .. material_count - 1."""


def get_mesh_tri_data_multi_material(mesh_ptr: int,
                                     material_indices: Optional[_Int32Array],
                                     tris_per_material: Optional[_Int32Array],
                                     split_normals: Optional[_Float32Array]) -> _Float32Array:
    """Triangles grouped by material, layouts chosen from ``b3d_version``.

    Per material m with n = tris_per_material[m] triangles: 9n position
    floats, 9n normal floats (both y, x, z per corner; normals from
    ``split_normals``, three per loop), then 6n UV floats (u, 1 - v).
    """


def get_mesh_tri_data_multi_material__310_to_current(
        mesh_ptr: int,
        material_indices: Optional[_Int32Array],
        tris_per_material: Optional[_Int32Array],
        split_normals: Optional[_Float32Array]) -> _Float32Array:
    """As ``get_mesh_tri_data_multi_material`` with 16-byte (3.1 onward) vertices."""


def get_mesh_tri_data_multi_material__293_to_300(
        mesh_ptr: int,
        material_indices: Optional[_Int32Array],
        tris_per_material: Optional[_Int32Array],
        split_normals: Optional[_Float32Array]) -> _Float32Array:
    """As ``get_mesh_tri_data_multi_material`` with 20-byte (2.93 to 3.0) vertices."""
