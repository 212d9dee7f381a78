"""The scene document against Blender's own OBJ exporter, on subdivided Suzanne."""
import json
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import common  # noqa: E402
from common import close  # noqa: E402

import bpy  # noqa: E402
import numpy as np  # noqa: E402

args = common.options()
_, demo, exporter = common.addon()
demo.build_demo_scene()
suzanne = bpy.data.objects["Suzanne"]
# All-triangle mesh, so that both exporters see the very same triangles.
suzanne.modifiers.new("Triangulate", 'TRIANGULATE')
bpy.ops.object.select_all(action='DESELECT')
suzanne.select_set(True)
bpy.context.view_layer.objects.active = suzanne

scene_path = os.path.join(args.out, "suzanne.json")
obj_path = os.path.join(args.out, "suzanne.obj")
result = exporter.export_scene(scene_path, None, selected_only=True)
bpy.ops.wm.obj_export(filepath=obj_path, export_selected_objects=True, apply_modifiers=True,
                      export_uv=True, export_normals=False, export_materials=False,
                      export_triangulated_mesh=False, forward_axis='Y', up_axis='Z')
with open(scene_path, encoding="utf-8") as f:
    ours = json.load(f)["Suzanne"]

positions, uvs, faces = [], [], []
with open(obj_path) as f:
    for line in f:
        head, _, rest = line.partition(" ")
        if head == "v":
            positions.append([float(x) for x in rest.split()])
        elif head == "vt":
            uvs.append([float(x) for x in rest.split()])
        elif head == "f":
            faces.append([tuple(int(i) - 1 for i in c.split("/")[:2]) for c in rest.split()])
assert result.ok and len(positions) and all(len(f) == 3 for f in faces)
common.check_documents(scene_path)

matrix = common.document_matrix(ours["instances"][0])
vertices = np.reshape(ours["vertices"], (-1, 3))


def check_positions():
    # OBJ holds world positions; the document holds local ones plus the placement.
    world = vertices @ matrix[:3, :3].T + matrix[:3, 3]
    close(world, positions, "world positions")


def normalised(tri):
    k = tri.index(min(tri))
    return tri[k:] + tri[:k]


def check_triangles():
    got = sorted(normalised(tuple(t)) for t in np.reshape(ours["indices"], (-1, 3)).tolist())
    want = sorted(normalised(tuple(v for v, _ in f)) for f in faces)
    assert got == want


def check_uvs():
    # Both list the corners in Blender's loop order, so the first corner of
    # each vertex is the one the document's UV comes from.
    first = {}
    for f in faces:
        for v, t in f:
            first.setdefault(v, uvs[t])
    doc_uv = np.reshape(ours["uv"], (-1, 2))
    keys = sorted(first)
    want = [(first[v][0], 1.0 - first[v][1]) for v in keys]
    assert len(keys) == len(doc_uv)       # every vertex is used by a face
    close(doc_uv[keys], want, "first-corner UVs")


common.run([check_positions, check_triangles, check_uvs])
