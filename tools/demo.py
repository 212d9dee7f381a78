"""Quick demo without Blender: export a small built-in scene with norvik.

Builds a few meshes in memory (a UV-mapped grid, a cube with custom normals,
a cylinder with instances), lays them out as norvik's records and writes the
scene and camera documents into a folder:

    .venv/bin/python tools/demo.py [out_dir]
"""
import importlib.util
import math
import os
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
if importlib.util.find_spec("bpy") is None:
    sys.path.insert(0, os.path.join(ROOT, "tools", "host_stub"))

import numpy as np  # noqa: E402

import norvik  # noqa: E402
from norvik_records import Camera, Mesh, camera_records, export_records  # noqa: E402


def grid(n):
    xs = np.linspace(-1, 1, n + 1, dtype=np.float32)
    pos = [(x, y, 0.1 * math.sin(3 * x) * math.cos(3 * y)) for y in xs for x in xs]
    faces = [(r * (n + 1) + c, r * (n + 1) + c + 1, (r + 1) * (n + 1) + c + 1, (r + 1) * (n + 1) + c)
             for r in range(n) for c in range(n)]
    uvs = [((pos[v][0] + 1) / 2, (pos[v][1] + 1) / 2) for f in faces for v in f]
    return Mesh(pos, faces, uvs=uvs)


def cube():
    pos = [(x, y, z) for z in (-1, 1) for y in (-1, 1) for x in (-1, 1)]
    faces = [(0, 2, 3, 1), (4, 5, 7, 6), (0, 1, 5, 4), (2, 6, 7, 3), (0, 4, 6, 2), (1, 3, 7, 5)]
    uvs = [(0, 0), (1, 0), (1, 1), (0, 1)] * 6
    normals = np.array(pos, np.float32) / math.sqrt(3)
    return Mesh(pos, faces, uvs=uvs, normals=normals)


def cylinder(segments):
    ring = [(math.cos(2 * math.pi * k / segments), math.sin(2 * math.pi * k / segments))
            for k in range(segments)]
    pos = [(x, y, z) for z in (0, 2) for x, y in ring]
    faces = [(k, (k + 1) % segments, segments + (k + 1) % segments, segments + k)
             for k in range(segments)]
    normals = [(x, y, 0) for x, y in ring] * 2
    return Mesh(pos, faces, normals=normals)


def translation(x, y, z):
    m = np.eye(3, 4, dtype=np.float32)
    m[:, 3] = (x, y, z)
    return m


def main(out_dir):
    os.makedirs(out_dir, exist_ok=True)
    g, c, cyl = grid(64), cube(), cylinder(32)
    objects = [
        g.export_object("Terrain", "Ground"),
        c.export_object("Crate", "Wood", custom_normals=c.normals),
        cyl.export_object("Pillar", "Stone",
                          instances=np.stack([translation(x, 0, 0) for x in (-3, 0, 3)])),
    ]
    cams = [Camera("Main", 0.857, np.array([[1, 0, 0, 0], [0, 0, -1, -8], [0, 1, 0, 2], [0, 0, 0, 1]])),
            Camera("Top", 0.5, np.array([[1, 0, 0, 0], [0, 1, 0, 0], [0, 0, 1, 10], [0, 0, 0, 1]]))]
    records = export_records(objects, generation="310")
    cameras = camera_records(cams)
    scene_path = os.path.join(out_dir, "scene.json")
    camera_path = os.path.join(out_dir, "cameras.json")
    norvik.b3d_version = (3, 4, 1)
    start = time.perf_counter()
    ok = norvik.export(records.address, records.count, os.fsencode(scene_path), False)
    ok = norvik.export_scenes(cameras.address, cameras.count, os.fsencode(camera_path)) and ok
    elapsed = time.perf_counter() - start
    size = os.path.getsize(scene_path) + os.path.getsize(camera_path)
    verts = sum(o.vert_count for o in objects)
    tris = sum(o.looptri_count for o in objects)
    print(f"norvik demo: {len(objects)} objects, {len(cams)} cameras, {verts} vertices, {tris} triangles, "
          f"{size} bytes in {elapsed * 1000:.2f} ms -> {out_dir}")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, "out", "demo")))
