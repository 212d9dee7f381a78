"""The host arrays of one evaluated mesh, as norvik reads them.

Two ways to get there, chosen by Blender's version:

* Blender 3.1 to 3.4 keep vertices, loops, loop triangles and UVs in exactly
  norvik's 3.1-onward element layouts, so the addresses point straight into
  Blender's memory (``as_pointer()``); nothing is copied.
* From 3.5 on those structs are gone (positions, corner vertices and UVs are
  generic attributes), so the arrays are packed into the same layouts with
  ``foreach_get`` into numpy, one bulk call per attribute.

The polygon array is always packed: from 3.4 on the material number stored in
the polygon struct is stale and the live value is the ``material_index``
attribute.  Normals are float triples in both cases, so no precision is lost.

Every address stays valid only while the ``MeshArrays`` object and the mesh
it was built from are alive.
"""
import bpy
import numpy as np

from .layouts import HOST_MESH, LOOP, LOOPTRI, POLY, UV, VERTEX, address

VERSION = tuple(bpy.app.version)
ZERO_COPY = (3, 1, 0) <= VERSION < (3, 5, 0)


def _get(collection, attr, dtype, count, width=1):
    out = np.empty(count * width, dtype)
    if count:
        collection.foreach_get(attr, out)
    return out


def _attribute(mesh, name, prop, dtype, count, width=1):
    """A generic attribute through its bulk accessor; None when the mesh has none."""
    attr = mesh.attributes.get(name)
    if attr is None:
        return None
    return _get(attr.data, prop, dtype, count, width)


def corner_vertices(mesh):
    """The vertex index of every loop (from 3.6 on, the ``.corner_vert`` attribute)."""
    count = len(mesh.loops)
    found = _attribute(mesh, ".corner_vert", "value", np.int32, count)
    return found if found is not None else _get(mesh.loops, "vertex_index", np.int32, count)


def split_normals(mesh):
    """One float32 normal per loop, flat (x, y, z, x, y, z, ...)."""
    count = len(mesh.loops)
    if hasattr(mesh, "corner_normals"):          # 4.1 onward
        return _get(mesh.corner_normals, "vector", np.float32, count, 3)
    mesh.calc_normals_split()
    return _get(mesh.loops, "normal", np.float32, count, 3)


class MeshArrays:
    """Element arrays of ``mesh`` in norvik's 3.1-onward layouts."""

    def __init__(self, mesh, material_count=None, zero_copy=None):
        self.mesh = mesh
        mesh.calc_loop_triangles()
        self.vert_count = len(mesh.vertices)
        self.loop_count = len(mesh.loops)
        self.tri_count = len(mesh.loop_triangles)
        self.material_count = max(1, len(mesh.materials) if material_count is None else material_count)
        self.zero_copy = ZERO_COPY if zero_copy is None else zero_copy
        self._keep = []
        uv_layer = mesh.uv_layers.active
        self.has_uvs = uv_layer is not None and self.loop_count > 0
        if self.zero_copy:
            self._point_into(mesh, uv_layer)
        else:
            self._pack(mesh, uv_layer)
        self.polys = self._pack_polys(mesh)
        self._split = None

    # -- Blender 3.1 to 3.4: addresses of Blender's own arrays ---------------
    def _point_into(self, mesh, uv_layer):
        first = lambda seq: seq[0].as_pointer() if len(seq) else 0
        self.verts_ptr = first(mesh.vertices)
        self.vert_normals_ptr = first(mesh.vertex_normals)
        self.loops_ptr = first(mesh.loops)
        self.looptris_ptr = first(mesh.loop_triangles)
        self.uvs_ptr = first(uv_layer.data) if self.has_uvs else 0

    # -- 3.5 onward: the same layouts, packed -------------------------------
    def _pack(self, mesh, uv_layer):
        # Where a generic attribute holds the data its accessor is used: it
        # copies in bulk, while the per-element properties go through RNA.
        v, l, t = self.vert_count, self.loop_count, self.tri_count
        co = _attribute(mesh, "position", "vector", np.float32, v, 3)
        if co is None:
            co = _get(mesh.vertices, "co", np.float32, v, 3)
        verts = np.zeros(v, VERTEX)
        verts["co"] = co.reshape(v, 3)
        normals = _get(mesh.vertex_normals, "vector", np.float32, v, 3)
        loops = np.zeros(l, LOOP)
        loops["v"] = corner_vertices(mesh)
        tris = np.zeros(t, LOOPTRI)
        tris["tri"] = _get(mesh.loop_triangles, "loops", np.int32, t, 3).reshape(t, 3)
        if hasattr(mesh, "loop_triangle_polygons"):
            tris["poly"] = _get(mesh.loop_triangle_polygons, "value", np.int32, t)
        else:
            tris["poly"] = _get(mesh.loop_triangles, "polygon_index", np.int32, t)
        self._keep += [verts, normals, loops, tris]
        self.verts_ptr, self.vert_normals_ptr = address(verts), address(normals)
        self.loops_ptr, self.looptris_ptr = address(loops), address(tris)
        self.uvs_ptr = 0
        if self.has_uvs:
            uvs = np.zeros(l, UV)
            if hasattr(uv_layer, "uv"):
                uvs["uv"] = _get(uv_layer.uv, "vector", np.float32, l, 2).reshape(l, 2)
            else:
                uvs["uv"] = _get(uv_layer.data, "uv", np.float32, l, 2).reshape(l, 2)
            self._keep.append(uvs)
            self.uvs_ptr = address(uvs)

    def _pack_polys(self, mesh):
        n = len(mesh.polygons)
        polys = np.zeros(n, POLY)
        index = _attribute(mesh, "material_index", "value", np.int32, n)
        if index is None:
            if VERSION >= (3, 4, 0):
                return polys            # no attribute: every polygon uses slot 0
            index = _get(mesh.polygons, "material_index", np.int32, n)
        # Blender draws an out-of-range material number with the last slot.
        polys["mat_nr"] = np.clip(index, 0, self.material_count - 1)
        return polys

    # -- derived arrays ------------------------------------------------------
    @property
    def split_normals(self):
        if self._split is None:
            self._split = split_normals(self.mesh)
        return self._split

    def first_corner_normals(self):
        """Per-vertex normals taken from each vertex's first loop.

        The scene document has one normal per vertex; with custom normals the
        first corner of a vertex decides, as it does for the vertex's UV.
        Vertices that no loop uses keep their vertex normal.
        """
        v = self.vert_count
        out = _get(self.mesh.vertex_normals, "vector", np.float32, v, 3).reshape(v, 3)
        used, first = np.unique(corner_vertices(self.mesh), return_index=True)
        out[used] = self.split_normals.reshape(-1, 3)[first]
        return out

    def host_mesh(self):
        """A ``HostMesh`` record for the triangle-array functions."""
        rec = np.zeros(1, HOST_MESH)
        rec["verts_ptr"] = self.verts_ptr
        rec["polys_ptr"] = address(self.polys)
        rec["loops_ptr"] = self.loops_ptr
        rec["uvs_ptr"] = self.uvs_ptr
        rec["looptris_ptr"] = self.looptris_ptr
        rec["has_uvs"] = 1 if self.has_uvs else 0
        rec["looptri_count"] = self.tri_count
        rec["material_count"] = self.material_count
        return rec
