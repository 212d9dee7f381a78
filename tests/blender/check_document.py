"""The scene and camera documents of the demo scene against Blender's own data."""
import json
import math
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
dg = bpy.context.evaluated_depsgraph_get()
scene_path = os.path.join(args.out, "demo.json")
camera_path = exporter.camera_path_for(scene_path)
result = exporter.export_scene(scene_path, camera_path, dg)
with open(scene_path, encoding="utf-8") as f:
    doc = json.load(f)
with open(camera_path, encoding="utf-8") as f:
    cams = json.load(f)


def check_result_and_members():
    assert result.ok, result.errors
    assert result.warnings == [], result.warnings
    assert set(doc) == {"Suzanne", "Panel", "Crate", "Pillar"}, sorted(doc)
    assert set(cams) == {"MainCam", "SideCam"}, sorted(cams)


def check_mesh_sections():
    for name, section in doc.items():
        ob = bpy.data.objects[name]
        want = common.Expected(ob, dg)
        n = len(want.vertices)
        assert section["material"] == want.material, (name, section["material"])
        close(np.reshape(section["vertices"], (-1, 3)), want.vertices, name + " vertices")
        close(np.reshape(section["normals"], (-1, 3)), want.normals, name + " normals")
        uv = np.reshape(section["uv"], (-1, 2))
        assert uv.shape == (n, 2), (name, uv.shape)
        used = [i for i in range(n) if want.uvs[i] is not None]
        close(uv[used], [want.uvs[i] for i in used], name + " first-corner UVs")
        assert section["indices"] == [i for t in want.triangles for i in t], name + " indices"


def check_subdivided_and_custom_normals_are_exported():
    suzanne = doc["Suzanne"]
    # Level 2 subdivision of the 500-face Suzanne: 8000 quads, some triangles.
    assert len(suzanne["indices"]) // 3 >= 15000, len(suzanne["indices"])
    # The demo bends the cylinder's normals to (x, y, 0.8 + 0.5 z); Blender
    # stores custom normals in a compressed form, hence the looser tolerance.
    co = np.reshape(doc["Panel"]["vertices"], (-1, 3))
    bent = np.column_stack([co[:, 0], co[:, 1], 0.8 + 0.5 * co[:, 2]])
    bent /= np.linalg.norm(bent, axis=1)[:, None]
    close(np.reshape(doc["Panel"]["normals"], (-1, 3)), bent, "Panel custom normals", tol=2e-3)


def check_instances():
    want = common.placements(dg)
    assert len(doc["Crate"]["instances"]) == 3 and len(doc["Pillar"]["instances"]) == 3
    for name, section in doc.items():
        got = [common.document_matrix(m) for m in section["instances"]]
        for m in got:
            close(m[3], [0, 0, 0, 1], name + " implied row")
        for g, w in zip(common.sort_matrices(got), common.sort_matrices(want[name])):
            close(g, w, name + " instance matrix")


def check_cameras():
    for name, section in cams.items():
        ob = bpy.data.objects[name]
        close(section["fov"], math.degrees(ob.data.angle), name + " fov")
        close(common.document_matrix(section["matrix"]), [list(r) for r in ob.matrix_world],
              name + " matrix")


def check_packed_arrays_match_blender_memory():
    # Blender 3.1 to 3.4 are exported straight from Blender's memory; the
    # packing that later versions need must give the very same document.
    from norvik_exporter import meshdata
    if not meshdata.ZERO_COPY:
        return
    packed_path = os.path.join(args.out, "packed.json")
    meshdata.ZERO_COPY = False
    try:
        assert exporter.export_scene(packed_path, None, dg).ok
    finally:
        meshdata.ZERO_COPY = True
    with open(packed_path, "rb") as a, open(scene_path, "rb") as b:
        assert a.read() == b.read()


common.run([check_packed_arrays_match_blender_memory, check_result_and_members, check_mesh_sections,
            check_subdivided_and_custom_normals_are_exported, check_instances, check_cameras])
