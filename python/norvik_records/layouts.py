"""Byte layouts of the memory that norvik reads through addresses.

Every dtype is little-endian with explicit field offsets and an explicit
itemsize, so that bytes norvik never reads stay part of the stride (they may
hold anything; ``garbage_fill`` in the builders puts random bytes there).
"""
import operator

import numpy as np

__all__ = [
    "VERTEX_293", "VERTEX_310", "LOOP", "LOOPTRI", "UV", "POLY", "NORMAL",
    "VERTEX_400", "LOOP_400", "LOOPTRI_400", "TRI_POLY_400", "UV_400", "MATERIAL_400",
    "ELEMENTS", "generation_of",
    "HOST_MESH", "EXPORT_OBJECT_RECORD", "INSTANCE_TRANSFORM", "CAMERA_RECORD",
    "NAME_SIZE", "MATERIAL_SIZE", "CAMERA_NAME_SIZE", "GENERATIONS",
    "vertex_dtype", "element_dtype",
]


def _layout(fields, itemsize):
    names, formats, offsets = zip(*fields)
    return np.dtype({"names": list(names), "formats": list(formats),
                     "offsets": list(offsets), "itemsize": itemsize})


# Host element arrays. Generations 2.93 to 3.0 and 3.1 to 3.x share all but
# the vertex; from 4.0 on every array is a plain attribute array.
VERTEX_293 = _layout([("co", ("<f4", 3), 0), ("no", ("<i2", 3), 12)], 20)
VERTEX_310 = _layout([("co", ("<f4", 3), 0)], 16)
LOOP = _layout([("v", "<u4", 0)], 8)
LOOPTRI = _layout([("tri", ("<u4", 3), 0), ("poly", "<u4", 12)], 16)
UV = _layout([("uv", ("<f4", 2), 0)], 12)
POLY = _layout([("mat_nr", "<i2", 8)], 12)
NORMAL = _layout([("no", ("<f4", 3), 0)], 12)
VERTEX_400 = _layout([("co", ("<f4", 3), 0)], 12)
LOOP_400 = _layout([("v", "<u4", 0)], 4)
LOOPTRI_400 = _layout([("tri", ("<u4", 3), 0)], 12)
TRI_POLY_400 = _layout([("poly", "<u4", 0)], 4)        # the polygon of each triangle
UV_400 = _layout([("uv", ("<f4", 2), 0)], 8)
MATERIAL_400 = _layout([("mat_nr", "<i4", 0)], 4)     # one per polygon; may be absent

# Each generation's element layouts, by kind.
ELEMENTS = {
    "293": {"vertex": VERTEX_293, "loop": LOOP, "looptri": LOOPTRI, "uv": UV, "poly": POLY},
    "310": {"vertex": VERTEX_310, "loop": LOOP, "looptri": LOOPTRI, "uv": UV, "poly": POLY},
    "400": {"vertex": VERTEX_400, "loop": LOOP_400, "looptri": LOOPTRI_400, "uv": UV_400,
            "poly": MATERIAL_400, "tri_poly": TRI_POLY_400},
}

# The mesh record at ``mesh_ptr`` of the triangle-array functions.
HOST_MESH = _layout([
    ("verts_ptr", "<u8", 0),
    ("tri_polys_ptr", "<u8", 8),         # 4.0 onward only: TRI_POLY_400
    ("polys_ptr", "<u8", 16),
    ("loops_ptr", "<u8", 24),
    ("uvs_ptr", "<u8", 32),
    ("looptris_ptr", "<u8", 40),
    ("has_uvs", "<i4", 60),
    ("looptri_count", "<i4", 64),
    ("material_count", "<i4", 68),
], 72)

# Field widths of the inline texts, terminating NUL included.
NAME_SIZE = 33
MATERIAL_SIZE = 39
CAMERA_NAME_SIZE = 68

# One record per mesh object, read by ``norvik.export``.
EXPORT_OBJECT_RECORD = _layout([
    ("name", "S%d" % NAME_SIZE, 0),
    ("material", "S%d" % MATERIAL_SIZE, 33),
    ("verts_ptr", "<u8", 72),
    ("vert_normals_ptr", "<u8", 80),
    ("loops_ptr", "<u8", 96),
    ("uvs_ptr", "<u8", 104),
    ("looptris_ptr", "<u8", 112),
    ("vert_count", "<i4", 120),
    ("loop_count", "<i4", 128),
    ("looptri_count", "<i4", 136),
    ("instances_ptr", "<u8", 144),
    ("instance_count", "<i4", 152),
    ("custom_normals_ptr", "<u8", 160),
], 168)

# Row-major 3x4 placement matrix (implied fourth row 0, 0, 0, 1).
INSTANCE_TRANSFORM = _layout([("m", ("<f4", (3, 4)), 0)], 48)

# One record per camera, read by ``norvik.export_scenes``.
CAMERA_RECORD = _layout([
    ("name", "S%d" % CAMERA_NAME_SIZE, 0),
    ("fov", "<f4", 68),
    ("matrix", ("<f4", (4, 4)), 72),
], 136)

GENERATIONS = ("293", "310", "400")


def generation_of(version):
    """The layout generation a host version selects (norvik's own rule).

    "310" for 3.x with x > 0; "400" for a major version of 4 or more (an
    integer or a float); "293" for anything else.
    """
    major = version[0]
    if major == 3:
        return "310" if version[1] > 0 else "293"
    if isinstance(major, float):
        return "400" if major >= 4 else "293"
    try:
        return "400" if operator.index(major) >= 4 else "293"
    except TypeError:
        return "293"


def element_dtype(generation, kind):
    """The layout of one kind of element ("vertex", "loop", ...) in a generation."""
    generation = str(generation)
    if generation not in ELEMENTS:
        raise ValueError("generation must be one of %s, not %r" % (GENERATIONS, generation))
    return ELEMENTS[generation][kind]


def vertex_dtype(generation):
    """The vertex layout of a generation: "293" (2.93 to 3.0), "310" (3.1 to 3.x), "400"."""
    return element_dtype(generation, "vertex")
