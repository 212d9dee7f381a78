"""Triangle arrays from norvik against arrays built with foreach_get and numpy."""
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import common  # noqa: E402

import bpy  # noqa: E402
import numpy as np  # noqa: E402

args = common.options()
_, demo, exporter = common.addon()
demo.build_demo_scene()
dg = bpy.context.evaluated_depsgraph_get()


def get(seq, attr, dtype, width):
    out = np.empty(len(seq) * width, dtype)
    seq.foreach_get(attr, out)
    return out


def from_foreach_get(ob):
    """Positions, normals and UVs per material, in norvik's (y, x, z) and (u, 1 - v) order."""
    ev = ob.evaluated_get(dg)
    me = ev.to_mesh()
    try:
        me.calc_loop_triangles()
        co = get(me.vertices, "co", np.float32, 3).reshape(-1, 3)
        corner_vert = get(me.loops, "vertex_index", np.int32, 1)
        tris = get(me.loop_triangles, "loops", np.int32, 3).reshape(-1, 3)
        tri_poly = get(me.loop_triangles, "polygon_index", np.int32, 1)
        poly_mat = get(me.polygons, "material_index", np.int32, 1)
        normals = np.asarray(common.loop_normals(me), np.float32)
        uv = get(me.uv_layers.active.data, "uv", np.float32, 2).reshape(-1, 2)
    finally:
        ev.to_mesh_clear()
    tri_mat = poly_mat[tri_poly]
    swap = [1, 0, 2]
    uv = np.column_stack([uv[:, 0], np.float32(1) - uv[:, 1]])
    blocks = []
    for m in range(max(1, len(ob.material_slots))):
        t = tris[tri_mat == m]
        blocks.append((co[corner_vert[t]][..., swap], normals[t][..., swap], uv[t]))
    return blocks, len(tris)


def check_each_object():
    for name in ("Suzanne", "Panel", "Crate", "Pillar"):
        ob = bpy.data.objects[name]
        got = exporter.triangle_arrays(ob, dg)
        want, tri_count = from_foreach_get(ob)
        assert got.data.dtype == np.float32 and got.data.shape == (24 * tri_count,), name
        assert got.counts.tolist() == [len(b[0]) for b in want], (name, got.counts)
        for m, (pos, nor, uv) in enumerate(want):
            g_pos, g_nor, g_uv = got.block(m)
            assert np.array_equal(g_pos, pos), "%s material %d positions" % (name, m)
            assert np.allclose(g_nor, nor, atol=1e-6), "%s material %d normals" % (name, m)
            assert np.array_equal(g_uv, uv), "%s material %d UVs" % (name, m)


def check_materials_and_names():
    got = exporter.triangle_arrays(bpy.data.objects["Suzanne"], dg)
    assert got.materials == ["Skin", "Cap", "Side"]
    assert all(got.counts > 0), got.counts      # the demo uses all three
    assert got.counts.sum() * 24 == got.data.size


common.run([check_each_object, check_materials_and_names])
