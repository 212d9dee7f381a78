"""Timing of norvik's triangle arrays on a large mesh, against numpy doing the same work.

Run from the repository root:

    .venv/bin/python bench/bench_tri_arrays.py [--quads-per-side 1000] [--materials 8]
        [--runs 5] [--layout random|bands]

The mesh is a grid of quads (1000 x 1000 by default: two million triangles,
four million loops, about a million vertices, one UV pair and one normal per
loop); each quad gets a random material, or with ``--layout bands`` each
material covers one band of whole rows.  Every figure is the best of
``--runs`` timed runs.  Printed:

* the multi-material fill against a vectorised numpy implementation of the
  same output (checked byte for byte once) and against a plain copy of an
  array of the output's size: ``.copy()``, ``np.copyto`` into an existing
  array, and ``np.copyto`` into a new ``np.zeros`` array (the way the module
  has to create its output);
* ``get_tri_count_per_material_index`` against ``np.bincount``;
* ``get_mesh_tri_data`` against its numpy equivalent (checked once).

Targets: the fill at most 0.1x numpy's time and at most 3x the copy; the
counts at most 2x ``np.bincount``; ``get_mesh_tri_data`` at most 0.25x its
numpy equivalent. ``--json FILE`` also writes the figures (in seconds).
"""
import argparse
import json
import os
import sys
import time

import numpy as np

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
try:
    import bpy  # noqa: F401  (inside the host application)
except ImportError:
    sys.path.insert(0, os.path.join(ROOT, "tools", "host_stub"))
sys.path.insert(0, os.path.join(ROOT, "python"))

import norvik  # noqa: E402
from norvik_records import (  # noqa: E402
    HostMesh, loop_array, looptri_array, uv_array, vertex_array,
)

FILL_TARGET_NUMPY = 0.1
FILL_TARGET_COPY = 3.0
COUNT_TARGET_BINCOUNT = 2.0
SINGLE_TARGET_NUMPY = 0.25


def grid_mesh(side, materials, rng, layout="random"):
    """Host arrays of a side x side grid of quads, each cut into two triangles.

    ``layout`` "random" gives each quad a random material; "bands" gives each
    material one run of whole rows, as meshes assembled piece by piece tend to have.
    """
    n = side + 1
    xs, ys = np.meshgrid(np.arange(n, dtype=np.float32), np.arange(n, dtype=np.float32))
    heights = rng.standard_normal(n * n).astype(np.float32)
    positions = np.column_stack([xs.ravel(), ys.ravel(), heights])

    i, j = np.meshgrid(np.arange(side), np.arange(side))
    v00 = (j * n + i).ravel()
    quad_vertices = np.column_stack([v00, v00 + 1, v00 + n + 1, v00 + n])
    quads = len(quad_vertices)
    loop_vertices = quad_vertices.ravel().astype(np.uint32)
    first = np.arange(quads, dtype=np.uint32) * 4
    tri_loops = np.empty((quads, 2, 3), np.uint32)
    tri_loops[:, 0] = np.column_stack([first, first + 1, first + 2])
    tri_loops[:, 1] = np.column_stack([first, first + 2, first + 3])
    tri_loops = tri_loops.reshape(-1, 3)

    uvs = rng.random((len(loop_vertices), 2), dtype=np.float32)
    normals = rng.standard_normal((len(loop_vertices), 3)).astype(np.float32)
    normals /= np.linalg.norm(normals, axis=1, keepdims=True)
    if layout == "bands":
        per_quad = j.ravel() * materials // side
    else:
        per_quad = rng.integers(0, materials, quads)
    material_indices = np.repeat(per_quad, 2).astype(np.int32)

    verts = vertex_array(positions, "310")
    loops = loop_array(loop_vertices)
    looptris = looptri_array(tri_loops)
    uv = uv_array(uvs)
    mesh = HostMesh(verts, None, loops, uv, looptris, material_count=materials)
    return mesh, material_indices, normals.reshape(-1)


class WarmOutputNp:
    """Stands in for ``norvik.np`` so that float32 results land in one already-touched array.

    Takes the page faults of a fresh output out of the timing, to show the
    placement's own cost; the int32 working tables stay fresh and zeroed.
    """

    def __init__(self):
        self.warm = {}

    def __getattr__(self, name):
        return getattr(np, name)

    def zeros(self, n, dtype=None):
        if np.dtype(dtype) != np.float32:
            return np.zeros(n, dtype)
        if n not in self.warm:
            self.warm[n] = np.ones(n, np.float32)
        return self.warm[n]


def with_warm_output(fn):
    def run():
        saved = norvik.np
        norvik.np = WarmOutputNp.instance
        try:
            return fn()
        finally:
            norvik.np = saved
    return run


WarmOutputNp.instance = WarmOutputNp()


def best(fn, runs):
    times = []
    for _ in range(runs):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return min(times)


def numpy_fill(verts, loops, looptris, uvs, material_indices, tris_per_material, normals):
    """The multi-material array with numpy: sort triangles by material, then gather."""
    materials = len(tris_per_material)
    tri_count = len(looptris)
    out = np.zeros(tri_count * 24, np.float32)
    in_range = (material_indices >= 0) & (material_indices < materials)
    key = np.where(in_range, material_indices, materials).astype(np.uint8)
    placed = np.argsort(key, kind="stable")[:int(in_range.sum())]
    corners = looptris["tri"][placed]
    positions = verts["co"][loops["v"][corners]][..., [1, 0, 2]]
    corner_normals = normals.reshape(-1, 3)[corners][..., [1, 0, 2]]
    corner_uvs = uvs["uv"][corners]
    corner_uvs[..., 1] = np.float32(1.0) - corner_uvs[..., 1]
    start = first = 0
    for count in tris_per_material:
        count = int(count)
        out[start:start + 9 * count] = positions[first:first + count].ravel()
        out[start + 9 * count:start + 18 * count] = corner_normals[first:first + count].ravel()
        out[start + 18 * count:start + 24 * count] = corner_uvs[first:first + count].ravel()
        start += 24 * count
        first += count
    return out


def numpy_tri_data(verts, loops, looptris, uvs):
    corners = looptris["tri"]
    tri_count = len(corners)
    positions = verts["co"][loops["v"][corners]].reshape(tri_count, 9)
    out = np.zeros((tri_count, 24), np.float32)
    out[:, :9] = positions
    out[:, 9:18] = positions
    out[:, 18:] = uvs["uv"][corners].reshape(tri_count, 6)
    return out.reshape(-1)


def row(label, seconds, reference=None, target=None):
    text = "  %-48s %9.2f ms" % (label, seconds * 1e3)
    if reference is not None:
        ratio = seconds / reference
        text += "   ratio %6.3fx" % ratio
        if target is not None:
            text += "   target <= %gx: %s" % (target, "met" if ratio <= target else "NOT MET")
    print(text)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--quads-per-side", type=int, default=1000)
    parser.add_argument("--materials", type=int, default=8)
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--layout", choices=["random", "bands"], default="random",
                        help="materials per quad at random, or in bands of whole rows")
    parser.add_argument("--json", default=None, help="also write the figures to this file")
    args = parser.parse_args()

    rng = np.random.default_rng(0)
    mesh, material_indices, normals = grid_mesh(args.quads_per_side, args.materials, rng, args.layout)
    verts, loops, uvs, looptris = mesh.keep[0], mesh.keep[2], mesh.keep[3], mesh.keep[4]
    tri_count = len(looptris)
    out_size = tri_count * 24
    print("mesh: %d triangles, %d loops, %d vertices, %d materials (%s); output %d float32 (%.0f MB)"
          % (tri_count, len(loops), len(verts), args.materials, args.layout, out_size,
             out_size * 4 / 2 ** 20))
    print("numpy %s, python %s, b3d_version %s; best of %d runs"
          % (np.__version__, sys.version.split()[0], norvik.b3d_version, args.runs))

    counts = norvik.get_tri_count_per_material_index(material_indices, args.materials)
    assert np.array_equal(counts, np.bincount(material_indices, minlength=args.materials))
    fill = lambda: norvik.get_mesh_tri_data_multi_material(  # noqa: E731
        mesh.address, material_indices, counts, normals)
    by_numpy = lambda: numpy_fill(  # noqa: E731
        verts, loops, looptris, uvs, material_indices, counts, normals)
    assert fill().tobytes() == by_numpy().tobytes(), "the fill and numpy disagree"
    single = lambda: norvik.get_mesh_tri_data(mesh.address)  # noqa: E731
    single_numpy = lambda: numpy_tri_data(verts, loops, looptris, uvs)  # noqa: E731
    assert single().tobytes() == single_numpy().tobytes(), "get_mesh_tri_data and numpy disagree"

    source = np.ones(out_size, np.float32)
    target = np.empty_like(source)
    t_fill = best(fill, args.runs)
    t_numpy = best(by_numpy, max(2, args.runs // 2))
    t_copy = best(source.copy, args.runs)
    t_copyto = best(lambda: np.copyto(target, source), args.runs)
    t_zeros_copy = best(lambda: np.copyto(np.zeros(out_size, np.float32), source), args.runs)

    print("\nmulti-material fill (get_mesh_tri_data_multi_material)")
    row("fill", t_fill)
    row("vectorised numpy, same bytes", t_numpy)
    row("fill / numpy", t_fill, t_numpy, FILL_TARGET_NUMPY)
    row("copy of an output-sized array (.copy())", t_copy)
    row("fill / .copy()", t_fill, t_copy, FILL_TARGET_COPY)
    row("copy into an existing array (np.copyto)", t_copyto)
    row("fill / np.copyto", t_fill, t_copyto)
    t_fill_warm = best(with_warm_output(fill), args.runs)
    row("fill into an already-touched output", t_fill_warm)
    row("fill into touched output / np.copyto", t_fill_warm, t_copyto)
    row("copy into a new np.zeros array", t_zeros_copy)
    row("fill / (np.zeros + np.copyto)", t_fill, t_zeros_copy, FILL_TARGET_COPY)
    print("  (the module must make its output with np.zeros; first writes into a zeroed\n"
          "   array of this size cost page faults that .copy() and np.empty do not pay here)")

    t_counts = best(lambda: norvik.get_tri_count_per_material_index(
        material_indices, args.materials), args.runs * 2)
    t_bincount = best(lambda: np.bincount(material_indices, minlength=args.materials),
                      args.runs * 2)
    print("\nper-material counts (%d entries)" % tri_count)
    row("get_tri_count_per_material_index", t_counts)
    row("np.bincount", t_bincount)
    row("counts / bincount", t_counts, t_bincount, COUNT_TARGET_BINCOUNT)

    t_single = best(single, args.runs)
    t_single_numpy = best(single_numpy, max(2, args.runs // 2))
    print("\nsingle-material array (get_mesh_tri_data)")
    row("get_mesh_tri_data", t_single)
    row("numpy equivalent, same bytes", t_single_numpy)
    row("get_mesh_tri_data / numpy", t_single, t_single_numpy, SINGLE_TARGET_NUMPY)
    row("get_mesh_tri_data / .copy()", t_single, t_copy)
    t_single_warm = best(with_warm_output(single), args.runs)
    row("get_mesh_tri_data into an already-touched output", t_single_warm)
    if args.json:
        with open(args.json, "w") as f:
            json.dump({"triangles": tri_count, "materials": args.materials, "layout": args.layout,
                       "runs": args.runs, "fill": t_fill, "fill_numpy": t_numpy, "fill_warm": t_fill_warm,
                       "copy": t_copy, "copyto": t_copyto, "zeros_copy": t_zeros_copy,
                       "counts": t_counts, "bincount": t_bincount, "single": t_single,
                       "single_numpy": t_single_numpy, "single_warm": t_single_warm}, f, indent=1)


if __name__ == "__main__":
    main()
