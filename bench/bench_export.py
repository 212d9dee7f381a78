#!/usr/bin/env python3
"""Export throughput of norvik against its peers, as a markdown table.

A grid mesh (quads cut into two triangles each, one UV per corner, one normal
per vertex) is laid out in host memory in the 3.1-onward layouts with
``norvik_records`` and exported with ``norvik.export``.  Every figure is the
best of several runs (the median is shown beside it as a measure of noise):

* throughput of ``export`` in MB/s (10^6 bytes) and numbers written per second;
* ``export`` against orjson serialising the same arrays (positions, normals,
  first-corner UVs with V flipped, triangle vertex indices) and writing them to
  the same place (target: at most 0.5x orjson's time);
* ``export`` against only writing the finished document's bytes to the same
  place (the floor; target: at most 3x);
* ``export`` against a straightforward pure-Python writer of the same document
  on a smaller mesh (its output is checked to be byte-identical);
* scaling from 10 thousand to 4 million vertices: time per vertex and the peak
  memory that one export adds to the process, against 4 bytes per vertex plus
  the 1 MiB output buffer.  Each size runs in a fresh subprocess whose peak
  resident size (VmHWM) is reset just before the export.

Run with the project's interpreter:  .venv/bin/python bench/bench_export.py
(``--quick`` for a fast smoke run; ``--help`` for the other options).
"""
import argparse
import array
import gc
import json
import os
import platform
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def _norvik_path(argv):
    """The folder given with --norvik-path (a norvik build to measure instead of the installed one)."""
    for i, arg in enumerate(argv):
        if arg == "--norvik-path" and i + 1 < len(argv):
            return argv[i + 1]
        if arg.startswith("--norvik-path="):
            return arg.split("=", 1)[1]
    return None


def _setup_path():
    """Source-tree ``norvik_records``; the stand-in ``bpy`` only when no real one exists."""
    try:
        import bpy  # noqa: F401  (norvik imports it at start-up anyway)
    except ImportError:
        sys.path.insert(0, os.path.join(ROOT, "tools", "host_stub"))
    sys.path.insert(0, os.path.join(ROOT, "python"))
    build = _norvik_path(sys.argv)
    if build:
        sys.path.insert(0, os.path.abspath(build))


_setup_path()

import numpy as np  # noqa: E402

import norvik  # noqa: E402
from norvik_records import ExportObject, export_records  # noqa: E402

try:
    import orjson
except ImportError:  # the orjson rows are skipped with a message
    orjson = None

NAME, MATERIAL = "Grid", "Mat"
BUFFER_BYTES = 1 << 20  # norvik's output buffer
TABLE_BYTES = 4  # norvik's first-corner UV table, per vertex
FLOOR_TARGET = 3.0  # norvik's export at most this many times the time of writing its bytes (tmpfs)
DISK_FLOOR_TARGET = 4.0  # the same on a disk file system's page cache


# ---------------------------------------------------------------------------
# The mesh
# ---------------------------------------------------------------------------

class Grid:
    """A side x side grid of vertices over a gentle height field.

    Loops follow the quads in order (4 per quad), each quad is cut into two
    triangles from its first corner, and every corner carries the UV of its
    vertex.  Arrays are plain numpy; ``records`` lays them out for norvik.
    """

    def __init__(self, side):
        self.side = s = int(side)
        lin = np.linspace(-10.0, 10.0, s)
        gx, gy = np.meshgrid(lin, lin, indexing="xy")
        height = 0.75 * np.sin(0.9 * gx) * np.cos(0.7 * gy)
        self.positions = np.stack([gx, gy, height], -1).reshape(-1, 3).astype(np.float32)
        # Normal of the height field z = f(x, y): (-df/dx, -df/dy, 1), normalised.
        dx = 0.75 * 0.9 * np.cos(0.9 * gx) * np.cos(0.7 * gy)
        dy = -0.75 * 0.7 * np.sin(0.9 * gx) * np.sin(0.7 * gy)
        nrm = np.stack([-dx, -dy, np.ones_like(dx)], -1).reshape(-1, 3)
        self.normals = (nrm / np.linalg.norm(nrm, axis=1, keepdims=True)).astype(np.float32)
        t = np.linspace(0.0, 1.0, s)
        tu, tv = np.meshgrid(t, t, indexing="xy")
        vert_uv = np.stack([tu, tv], -1).reshape(-1, 2).astype(np.float32)

        idx = np.arange(s * s, dtype=np.uint32).reshape(s, s)
        quads = np.stack([idx[:-1, :-1], idx[:-1, 1:], idx[1:, 1:], idx[1:, :-1]], -1)
        self.loop_vertices = quads.reshape(-1).astype(np.uint32)
        self.loop_uvs = vert_uv[self.loop_vertices]
        first = np.arange(0, len(self.loop_vertices), 4, dtype=np.uint32)
        self.tri_loops = np.empty((2 * len(first), 3), np.uint32)
        self.tri_loops[0::2] = np.stack([first, first + 1, first + 2], -1)
        self.tri_loops[1::2] = np.stack([first, first + 2, first + 3], -1)

    @property
    def vert_count(self):
        return len(self.positions)

    @property
    def tri_count(self):
        return len(self.tri_loops)

    @property
    def number_count(self):
        """Numbers in the document: 3 per position, 3 per normal, 2 per UV, 3 per triangle."""
        return 8 * self.vert_count + 3 * self.tri_count

    def records(self):
        ob = ExportObject(NAME, MATERIAL, self.positions, vert_normals=self.normals,
                          loop_vertices=self.loop_vertices, uvs=self.loop_uvs,
                          tri_loops=self.tri_loops)
        return export_records([ob], generation="310")

    def peer_arrays(self):
        """The document's arrays as numpy does them: first-corner UVs (V flipped), vertex indices."""
        _, first = np.unique(self.loop_vertices, return_index=True)
        uv = self.loop_uvs[first].copy()
        uv[:, 1] = np.float32(1.0) - uv[:, 1]
        return {
            "vertices": self.positions.reshape(-1),
            "normals": self.normals.reshape(-1),
            "uv": uv.reshape(-1),
            "indices": self.loop_vertices[self.tri_loops].reshape(-1),
        }


def side_for(vertices):
    return max(2, int(round(vertices ** 0.5)))


# ---------------------------------------------------------------------------
# The contenders; each writes to ``path`` and is timed as a whole
# ---------------------------------------------------------------------------

def norvik_export(records, path):
    def run():
        if not norvik.export(records.address, records.count, os.fsencode(path), False):
            raise RuntimeError("norvik.export returned False for %s" % path)
    return run


def orjson_export(arrays, path, gather=None):
    """orjson of the same arrays; with ``gather`` the numpy preparation is timed too."""
    def run():
        arrs = gather() if gather else arrays
        doc = {NAME: {"material": MATERIAL, **arrs}}
        data = orjson.dumps(doc, option=orjson.OPT_SERIALIZE_NUMPY)
        with open(path, "wb") as f:
            f.write(data)
    return run


def floor_write(data, path):
    def run():
        with open(path, "wb") as f:
            f.write(data)
    return run


def python_writer(grid, path):
    """What the add-on would do without norvik: the same document in plain Python."""
    def run():
        pos = grid.positions.reshape(-1).tolist()
        nrm = grid.normals.reshape(-1).tolist()
        loop_v = grid.loop_vertices.tolist()
        loop_uv = grid.loop_uvs.tolist()
        tris = grid.tri_loops.reshape(-1).tolist()
        n = len(pos) // 3
        first = [-1] * n
        assigned = 0
        for j, v in enumerate(loop_v):
            if first[v] < 0:
                first[v] = j
                assigned += 1
                if assigned == n:
                    break
        # 1 - v in float32: exact in double for these UVs, then rounded to float32.
        flipped = array.array("f", [1.0 - loop_uv[j][1] for j in first])
        parts = [
            '{\n\t"%s" : {\n' % NAME,
            '\t\t"material" : "%s"' % MATERIAL,
            ',\n\t\t"vertices" : [', ",".join(["%.4f" % c for c in pos]),
            '],\n\t\t"normals" : [', ",".join(["%.4f" % c for c in nrm]),
            '],\n\t\t"uv" : [',
            ",".join(["%.4f,%.4f" % (loop_uv[j][0], fv) for j, fv in zip(first, flipped)]),
            '],\n\t\t"indices" : [', ",".join(["%u" % loop_v[c] for c in tris]),
            "]\n\t}\n}",
        ]
        with open(path, "w") as f:
            f.write("".join(parts))
    return run


def best_of(fn, runs, path):
    """Best and median wall time of ``runs`` calls; the output file is removed before each."""
    times = []
    for _ in range(runs):
        if os.path.isfile(path):  # never a device such as /dev/null
            os.unlink(path)
        gc.collect()
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return min(times), statistics.median(times)


# ---------------------------------------------------------------------------
# Memory of one export in a fresh process
# ---------------------------------------------------------------------------

def _status_kib(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return None


def _reset_peak():
    """Resets VmHWM to the current resident size (Linux clear_refs 5)."""
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        return True
    except OSError:
        return False


def scale_child(side, out_dir, runs):
    """One size, in this (fresh) process: peak memory of one export, then its best time."""
    grid = Grid(side)
    records = grid.records()
    path = os.path.join(out_dir, "scale_%d.json" % side)
    fn = norvik_export(records, path)
    gc.collect()
    reset = _reset_peak()
    rss0, hwm0 = _status_kib("VmRSS"), _status_kib("VmHWM")
    fn()
    hwm1 = _status_kib("VmHWM")
    size = os.path.getsize(path)
    best, median = best_of(fn, runs, path)
    os.unlink(path)
    return {
        "side": side, "verts": grid.vert_count, "tris": grid.tri_count,
        "numbers": grid.number_count, "bytes": size, "best": best, "median": median,
        "rss0_kib": rss0, "hwm0_kib": hwm0, "hwm1_kib": hwm1, "peak_reset": reset,
    }


def run_scaling(sizes, out_dir, runs, log):
    rows = []
    for verts in sizes:
        side = side_for(verts)
        log("scaling: %d x %d grid in a fresh process" % (side, side))
        # A fixed mmap threshold keeps glibc from serving the export's large
        # blocks out of heap pages that the mesh construction left resident,
        # which would hide them from the resident-size peak.
        env = dict(os.environ, MALLOC_MMAP_THRESHOLD_="131072")
        out = subprocess.run(
            [sys.executable, os.path.abspath(__file__), "--child-scale", str(side),
             "--dir", out_dir, "--runs", str(runs)]
            + (["--norvik-path", _norvik_path(sys.argv)] if _norvik_path(sys.argv) else []),
            check=True, capture_output=True, text=True, env=env)
        rows.append(json.loads(out.stdout.strip().splitlines()[-1]))
    return rows


# ---------------------------------------------------------------------------
# Reporting
# ---------------------------------------------------------------------------

def machine_info():
    model = "unknown"
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    model = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    return {
        "nproc": os.cpu_count(),
        "cpu": model,
        "python": platform.python_version(),
        "numpy": np.__version__,
        "orjson": orjson.__version__ if orjson else "not installed",
        "kernel": platform.release(),
        "load": os.getloadavg(),
    }


def fs_type(path):
    """File system type of the mount holding ``path`` (from /proc/mounts)."""
    best, kind = "", "?"
    path = os.path.realpath(path)
    try:
        with open("/proc/mounts") as f:
            for line in f:
                dev, mnt, typ = line.split()[:3]
                if (path == mnt or path.startswith(mnt.rstrip("/") + "/")) and len(mnt) > len(best):
                    best, kind = mnt, typ
    except OSError:
        pass
    return kind


def ms(t):
    return "%.1f ms" % (t * 1e3) if t < 10 else "%.2f s" % t


def timing_cell(best, median):
    return "%s (median %s)" % (ms(best), ms(median))


def default_dir():
    shm = "/dev/shm"
    if os.path.isdir(shm) and os.access(shm, os.W_OK):
        return shm
    return tempfile.gettempdir()


def disk_dir():
    """A directory on a real disk (not tmpfs), or None."""
    for cand in ("/var/tmp", tempfile.gettempdir(), ROOT):
        if os.path.isdir(cand) and os.access(cand, os.W_OK) and fs_type(cand) not in ("tmpfs", "ramfs", "?"):
            return cand
    return None


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--quick", action="store_true", help="small meshes and few runs: a smoke run")
    ap.add_argument("--vertices", type=int, default=None,
                    help="vertices of the main mesh (default 1000000; 40000 with --quick)")
    ap.add_argument("--python-vertices", type=int, default=None,
                    help="vertices of the mesh for the pure-Python writer (default 100000; 10000 with --quick)")
    ap.add_argument("--runs", type=int, default=None, help="runs per figure (default 7; 3 with --quick)")
    ap.add_argument("--dir", default=None, help="where the outputs go (default /dev/shm when present)")
    ap.add_argument("--no-disk", action="store_true", help="skip the rows written to a disk directory")
    ap.add_argument("--no-scaling", action="store_true", help="skip the scaling rows")
    ap.add_argument("--json", default=None, help="also write the raw figures to this file")
    ap.add_argument("--norvik-path", default=None,
                    help="folder holding a norvik build to measure instead of the installed one")
    ap.add_argument("--child-scale", type=int, default=None, help=argparse.SUPPRESS)
    args = ap.parse_args()

    quick = args.quick
    runs = args.runs or (3 if quick else 7)
    if args.child_scale:
        # The caller's --dir is always given to the child.
        print(json.dumps(scale_child(args.child_scale, args.dir, runs)))
        return

    norvik.b3d_version = (3, 6, 0)  # the 3.1-onward layouts that Grid.records lays out

    def log(msg):
        print("# " + msg, file=sys.stderr, flush=True)

    base_dir = args.dir or default_dir()
    work = tempfile.mkdtemp(prefix="norvik-bench-", dir=base_dir)
    disk = None if args.no_disk else disk_dir()
    disk_work = tempfile.mkdtemp(prefix="norvik-bench-", dir=disk) if disk else None
    info = machine_info()
    results = {"machine": info, "dir": work, "dir_fs": fs_type(work)}
    lines = []

    try:
        # ---- main mesh -----------------------------------------------------
        verts = args.vertices or (40_000 if quick else 1_000_000)
        grid = Grid(side_for(verts))
        log("main mesh: %d vertices, %d triangles" % (grid.vert_count, grid.tri_count))
        records = grid.records()
        arrays = grid.peer_arrays()
        out = os.path.join(work, "scene.json")

        fn = norvik_export(records, out)
        fn()  # warm-up, and the document for the floor
        with open(out, "rb") as f:
            doc = f.read()
        json.loads(doc)  # the document is valid JSON
        size = len(doc)
        n_best, n_med = best_of(fn, runs, out)
        results["main"] = dict(verts=grid.vert_count, tris=grid.tri_count, bytes=size,
                               numbers=grid.number_count, norvik=(n_best, n_med))
        log("norvik: %s" % timing_cell(n_best, n_med))

        # Formatting alone: the same export into /dev/null, where writes cost nothing.
        results["main"]["devnull"] = best_of(norvik_export(records, os.devnull), runs, os.devnull)
        log("norvik into %s: %s" % (os.devnull, timing_cell(*results["main"]["devnull"])))

        f_best, f_med = best_of(floor_write(doc, out), runs, out)
        results["main"]["floor"] = (f_best, f_med)
        log("floor: %s" % timing_cell(f_best, f_med))

        if orjson:
            # Same content: the orjson document holds the same arrays as norvik's
            # (orjson prints shortest float32 text instead of 4 decimals).
            small = Grid(30)
            small_rec = small.records()
            p = os.path.join(work, "check.json")
            norvik_export(small_rec, p)()
            with open(p, "rb") as f:
                ours = json.loads(f.read())[NAME]
            orjson_export(small.peer_arrays(), p)()
            with open(p, "rb") as f:
                theirs = json.loads(f.read())[NAME]
            os.unlink(p)
            for key in ("vertices", "normals", "uv", "indices"):
                a, b = np.asarray(ours[key]), np.asarray(theirs[key])
                if a.shape != b.shape or not np.allclose(a, b, rtol=0, atol=5.01e-5):
                    raise AssertionError("orjson's %s differ from norvik's" % key)

            o_fn = orjson_export(arrays, out)
            o_fn()
            o_size = os.path.getsize(out)
            o_best, o_med = best_of(o_fn, runs, out)
            g_best, g_med = best_of(orjson_export(None, out, grid.peer_arrays), runs, out)
            results["main"].update(orjson=(o_best, o_med), orjson_bytes=o_size,
                                   orjson_gather=(g_best, g_med))
            log("orjson: %s; with numpy gathering: %s" % (timing_cell(o_best, o_med),
                                                        timing_cell(g_best, g_med)))
        else:
            log("orjson is not installed: its rows are skipped (.venv/bin/pip install orjson)")

        if disk_work:
            dout = os.path.join(disk_work, "scene.json")
            d = {"norvik": best_of(norvik_export(records, dout), runs, dout),
                 "floor": best_of(floor_write(doc, dout), runs, dout)}
            if orjson:
                d["orjson"] = best_of(orjson_export(arrays, dout), runs, dout)
            os.unlink(dout)
            results["disk"] = d
            log("disk (%s): %s" % (disk, d))
        os.unlink(out)
        del doc, arrays

        # ---- pure Python --------------------------------------------------
        pverts = args.python_vertices or (10_000 if quick else 100_000)
        pgrid = Grid(side_for(pverts))
        prec = pgrid.records()
        pa, pb = os.path.join(work, "py_norvik.json"), os.path.join(work, "py_python.json")
        norvik_export(prec, pa)()
        python_writer(pgrid, pb)()
        with open(pa, "rb") as f1, open(pb, "rb") as f2:
            same = f1.read() == f2.read()
        if not same:
            raise AssertionError("the pure-Python writer's bytes differ from norvik's")
        p_runs = max(2, runs // 2)
        pn = best_of(norvik_export(prec, pa), runs, pa)
        pp = best_of(python_writer(pgrid, pb), p_runs, pb)
        psize = os.path.getsize(pa)
        os.unlink(pa)
        os.unlink(pb)
        results["python"] = dict(verts=pgrid.vert_count, tris=pgrid.tri_count, bytes=psize,
                                 norvik=pn, python=pp, same=same)
        log("pure Python: %s, norvik %s" % (timing_cell(*pp), timing_cell(*pn)))

        # ---- scaling ------------------------------------------------------
        if not args.no_scaling:
            sizes = [10_000, 40_000, 160_000] if quick else [10_000, 100_000, 1_000_000, 4_000_000]
            results["scaling"] = run_scaling(sizes, work, max(2, runs // 2), log)
    finally:
        for d in (work, disk_work):
            if d:
                for name in os.listdir(d):
                    os.unlink(os.path.join(d, name))
                os.rmdir(d)

    info["load_after"] = os.getloadavg()
    print_table(results, lines, disk)
    print("\n".join(lines))
    if args.json:
        with open(args.json, "w") as f:
            json.dump(results, f, indent=1)


def print_table(r, lines, disk):
    m = r["machine"]
    main_ = r["main"]
    nb = main_["norvik"][0]
    lines.append("norvik: %s" % norvik.__file__)
    lines.append("Machine: %s, %d CPUs (nproc), Linux %s; Python %s, numpy %s, orjson %s." % (
        m["cpu"], m["nproc"], m["kernel"], m["python"], m["numpy"], m["orjson"]))
    lines.append("Load average %.2f before, %.2f after (a shared machine: best of runs, median beside)." % (
        m["load"][0], m["load_after"][0]))
    lines.append("Outputs in %s (%s)%s." % (r["dir"].rsplit("/", 1)[0], r["dir_fs"],
                                           "; disk rows in %s (%s, page cache, no fsync)" % (disk, fs_type(disk))
                                           if "disk" in r else ""))
    lines.append("")
    lines.append("Mesh: %d vertices, %d triangles; document %.1f MB, %d numbers." % (
        main_["verts"], main_["tris"], main_["bytes"] / 1e6, main_["numbers"]))
    lines.append("")
    lines.append("| measure | time | ratio | target |")
    lines.append("| --- | --- | --- | --- |")
    lines.append("| norvik `export` | %s | %.0f MB/s, %.1f M numbers/s | |" % (
        timing_cell(*main_["norvik"]), main_["bytes"] / 1e6 / nb, main_["numbers"] / 1e6 / nb))
    lines.append("| norvik `export` into /dev/null (formatting only) | %s | %.0f MB/s | |" % (
        timing_cell(*main_["devnull"]), main_["bytes"] / 1e6 / main_["devnull"][0]))
    if "orjson" in main_:
        ob = main_["orjson"][0]
        lines.append("| orjson `dumps` of the same arrays + write (%.1f MB) | %s | norvik / orjson = %.2fx | <= 0.5x |" % (
            main_["orjson_bytes"] / 1e6, timing_cell(*main_["orjson"]), nb / ob))
        gb = main_["orjson_gather"][0]
        lines.append("| orjson, numpy gathering of UVs and indices included | %s | norvik / orjson = %.2fx | |" % (
            timing_cell(*main_["orjson_gather"]), nb / gb))
    else:
        lines.append("| orjson | skipped: not installed (`.venv/bin/pip install orjson`) | | <= 0.5x |")
    fb = main_["floor"][0]
    lines.append("| writing the finished document's bytes (floor) | %s | norvik / floor = %.2fx | <= %gx |" % (
        timing_cell(*main_["floor"]), nb / fb, FLOOR_TARGET))
    if "disk" in r:
        d = r["disk"]
        lines.append("| on disk: norvik `export` | %s | %.0f MB/s | |" % (
            timing_cell(*d["norvik"]), main_["bytes"] / 1e6 / d["norvik"][0]))
        if "orjson" in d:
            lines.append("| on disk: orjson + write | %s | norvik / orjson = %.2fx | <= 0.5x |" % (
                timing_cell(*d["orjson"]), d["norvik"][0] / d["orjson"][0]))
        lines.append("| on disk: floor | %s | norvik / floor = %.2fx | <= %gx |" % (
            timing_cell(*d["floor"]), d["norvik"][0] / d["floor"][0], DISK_FLOOR_TARGET))
    p = r["python"]
    lines.append("| pure-Python writer, %d vertices (same bytes: %s) | %s | python / norvik = %.0fx (norvik %s) | |" % (
        p["verts"], "yes" if p["same"] else "NO", timing_cell(*p["python"]),
        p["python"][0] / p["norvik"][0], ms(p["norvik"][0])))
    if "scaling" in r:
        lines.append("")
        lines.append("| vertices | triangles | document | time (best) | ns / vertex | MB/s | peak memory added | bound (%d B/vertex + 1 MiB) |" % TABLE_BYTES)
        lines.append("| --- | --- | --- | --- | --- | --- | --- | --- |")
        for s in r["scaling"]:
            added = (s["hwm1_kib"] - s["hwm0_kib"]) * 1024
            bound = TABLE_BYTES * s["verts"] + BUFFER_BYTES
            lines.append("| %d | %d | %.1f MB | %s | %.0f | %.0f | %.2f MiB%s | %.2f MiB (%s) |" % (
                s["verts"], s["tris"], s["bytes"] / 1e6, ms(s["best"]), s["best"] * 1e9 / s["verts"],
                s["bytes"] / 1e6 / s["best"], added / 2**20, "" if s["peak_reset"] else " (peak not reset)",
                bound / 2**20, "within" if added <= bound else "OVER"))


if __name__ == "__main__":
    main()
