"""The add-on's whole export against Blender's own OBJ exporter, in every host.

    tools/bench_blender.sh [--repeat N] [--quick] [--plot FILE]      (every installed host)
    .venv/bin/python bench/bench_blender.py [--hosts blender-3.4,bpy-5.0] ...

The driver (any Python with matplotlib) runs this same script inside each
host of tools/hosts.sh that is installed (Debian's Blender 3.4 and the bpy
modules under .hosts/), prints one table and writes a PNG plot of export
time against vertex count and against object count.  The add-on is taken
from addon/ with the norvik builds that tools/bench_blender.sh puts there.

Inside a host (``--in-host``) it times, on the same scene and in one run:
  * the add-on's File > Export operator, ``bpy.ops.export_scene.norvik``
    (cameras off: the scenes have none), gathering to closed file;
  * ``bpy.ops.wm.obj_export(export_materials=False)``, otherwise defaults
    (UVs, normals, modifiers applied);
on two kinds of scene:
  * one Suzanne subdivided (modifier applied) at levels 2 to 5; level 5 is
    504,482 vertices, 1,007,616 triangles;
  * N objects, each with its own 42-vertex ico sphere mesh (80 triangles,
    with UVs), for N = 2,500, 10,000 and 40,000; each add-on export is split
    into norvik's own ``export`` call, the replacement of the old document,
    and the rest: the add-on's own work (gathering, reading, records).
Each figure is the best of ``--repeat`` runs, the two exporters alternating;
the machine may be shared, so the best, not the mean, is the figure.

The driver then runs each host twice more, under ``taskset -c 0`` (one
core) and ``taskset -c 0,1`` (two), timing the level-5 Suzanne and 10,000
objects, alternately: from the two times of each exporter, Amdahl's law
gives its parallel share p (t2 = t1 (1 - p + p/2)) and the time it would
take on 16 cores, t1 (1 - p + p/16).  That is a projection from two cores,
not a measurement (``--no-cores`` skips it).

``--window`` times the same in Blender with a window (Debian's 3.4 and
Debian 13's 4.3 under Xvfb, tools/window.py), as an artist exports: the
level-5 Suzanne as a Subdivision modifier and applied, and 10,000 objects,
each scene drawn by the viewport first; the first export of a fresh Blender
and the steady one, of the add-on, of the OBJ exporter, and of norvik's own
``export`` call inside the add-on's export (the rest is the add-on's Python).

``--profile mesh|objects`` (inside a host) prints the time of each step of
one add-on export of the level-5 Suzanne or the 10,000 objects, then a
cProfile of it.
``--addon DIR`` times another copy of the add-on (DIR/norvik_exporter), for
example an earlier version, in the same harness.
"""
import argparse
import json
import os
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
LEVELS = (2, 3, 4, 5)
COUNTS = (2500, 10000, 40000)      # each four times the one before
SPLIT_COUNT = 10000                 # the many-object scene of the tables
# Targets: the add-on's time over the OBJ exporter's (many objects: Blender
# 3.4 and 4.2 onward), the growth per four times the objects, the add-on's
# own work per object (4.2 onward), and the projected ratio on 16 cores.
MESH_TARGET, GROWTH_TARGET = 0.10, 4.6
OBJECTS_TARGET, OBJECTS_TARGET_34, OWN_TARGET_US, PROJECTED_TARGET = 0.30, 0.20, 8.0, 0.45
PROJECTED_CORES = 16
# One core, then two: the affinities the parallel share is measured under.
AFFINITIES = ("0", "0,1")
# With a window: the first export against the OBJ exporter's, and the add-on's
# steady export against norvik's own call inside it.
WINDOW_FIRST_TARGET, WINDOW_OWN_TARGET = 0.20, 1.2


def _arguments():
    argv = sys.argv[sys.argv.index("--") + 1:] if "--" in sys.argv else sys.argv[1:]
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--in-host", action="store_true", help=argparse.SUPPRESS)
    p.add_argument("--json", help=argparse.SUPPRESS)
    p.add_argument("--addon", default=os.path.join(ROOT, "addon"),
                   help="folder holding the norvik_exporter package to time (default: addon/),"
                        " e.g. an earlier version for a before/after run")
    p.add_argument("--repeat", type=int, default=5, help="runs per figure (best is kept)")
    p.add_argument("--quick", action="store_true", help="small scenes only, 2 runs (smoke test)")
    p.add_argument("--hosts", help="comma-separated host names (default: every installed one)")
    p.add_argument("--plot", default=os.path.join(ROOT, "bench", "bench_blender.png"),
                   help="PNG to write (default: bench/bench_blender.png)")
    p.add_argument("--window", action="store_true",
                   help="the windowed hosts instead (Blender 3.4 and 4.3 under Xvfb)")
    p.add_argument("--profile", choices=("mesh", "objects"),
                   help="in a host: profile one add-on export of that scene")
    p.add_argument("--no-cores", action="store_true",
                   help="skip the one-core and two-core runs (the 16-core projection)")
    p.add_argument("--cores-only", action="store_true", help=argparse.SUPPRESS)
    return p.parse_args(argv)


# -- inside a host --------------------------------------------------------------

def _clear_scene(bpy):
    for ob in list(bpy.data.objects):
        bpy.data.objects.remove(ob, do_unlink=True)
    for me in list(bpy.data.meshes):
        bpy.data.meshes.remove(me)


def _suzanne(bpy, level, apply=True):
    """Suzanne subdivided at ``level``: the modifier applied, or kept (then the
    evaluated mesh holds the subdivision)."""
    _clear_scene(bpy)
    bpy.ops.mesh.primitive_monkey_add()
    ob = bpy.context.object
    mod = ob.modifiers.new("Subdivision", 'SUBSURF')
    mod.levels = mod.render_levels = level
    if apply:
        bpy.ops.object.modifier_apply(modifier=mod.name)
        return len(ob.data.vertices)
    bpy.context.view_layer.update()
    return len(ob.evaluated_get(bpy.context.evaluated_depsgraph_get()).data.vertices)


# Samples a process's resident size until its standard input closes, then
# prints the largest (norvik holds the interpreter lock while it writes, so
# no thread of the host could sample meanwhile).
_SAMPLER = """
import os, sys, threading
pid, page = sys.argv[1], os.sysconf("SC_PAGE_SIZE")
done = threading.Event()
threading.Thread(target=lambda: (sys.stdin.read(), done.set()), daemon=True).start()
peak = 0
print("ready", flush=True)
while not done.is_set():
    with open("/proc/%s/statm" % pid) as f:
        peak = max(peak, int(f.read().split()[1]) * page)
    done.wait(0.0002)
print(peak, flush=True)
"""


def _rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def _peak_added(fn):
    """Seconds of ``fn()`` and the most resident memory it added (sampled from
    another process)."""
    import shutil
    sampler = subprocess.Popen([shutil.which("python3"), "-c", _SAMPLER, str(os.getpid())],
                               stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    sampler.stdout.readline()
    before = _rss()
    seconds = _time(fn)
    out, _ = sampler.communicate("")
    return seconds, max(0, int(out) - before)


def _first_exports(bpy, folder, level):
    """The first exports of a fresh process: seconds of each of five add-on
    exports in a row of the applied Suzanne at ``level``, and the peak memory
    the second one adds."""
    verts = _suzanne(bpy, level)
    path = os.path.join(folder, "first.json")
    bpy.context.view_layer.update()

    def export():
        state = bpy.ops.export_scene.norvik(filepath=path, use_cameras=False)
        assert state == {'FINISHED'}, state

    times = [_time(export)]
    seconds, added = _peak_added(export)
    times.append(seconds)
    times += [_time(export) for _ in range(3)]
    return {"vertices": verts, "times": times, "peak_added": added,
            # norvik's own buffers: the first-corner UV table (4 bytes per
            # vertex), the 1 MiB output buffer and one 168-byte record.
            "own_buffers": 4 * verts + (1 << 20) + 168}


class Spheres:
    """Objects, each with its own copy of a 42-vertex ico sphere, on a grid."""

    def __init__(self, bpy):
        _clear_scene(bpy)
        self.bpy = bpy
        bpy.ops.mesh.primitive_ico_sphere_add(subdivisions=2, radius=0.4)
        self.template = bpy.context.object.data
        self.template.name = "Sphere"
        bpy.data.objects.remove(bpy.context.object, do_unlink=True)
        self.collection = bpy.context.scene.collection
        self.count = 0

    def grow(self, count):
        bpy = self.bpy
        for i in range(self.count, count):
            ob = bpy.data.objects.new("Sphere.%05d" % i, self.template.copy())
            ob.location = (i % 100, (i // 100) % 100, i // 10000)
            self.collection.objects.link(ob)
        self.count = count
        return 42 * count


def _time(fn):
    t = time.perf_counter()
    fn()
    return time.perf_counter() - t


class Split:
    """Times norvik's own ``export`` call and the replacement of the old
    document inside each add-on export (``with Split() as split``)."""

    def __init__(self):
        from norvik_exporter import exporter
        self.native = exporter.load_native()
        self.files = exporter.ReplaceFiles
        self.call = self.commit = 0.0

    def _timed(self, fn, field):
        def timed(*a, **k):
            start = time.perf_counter()
            try:
                return fn(*a, **k)
            finally:
                setattr(self, field, getattr(self, field) + time.perf_counter() - start)
        return timed

    def __enter__(self):
        self._export, self._commit = self.native.export, self.files.commit
        self.native.export = self._timed(self._export, "call")
        self.files.commit = self._timed(self._commit, "commit")
        return self

    def __exit__(self, *exc):
        self.native.export, self.files.commit = self._export, self._commit

    def reset(self):
        self.call = self.commit = 0.0


def _measure(bpy, folder, repeat):
    """Best time of the add-on's export and of the OBJ exporter on the current
    scene, with the split of the add-on's best export."""
    json_path = os.path.join(folder, "scene.json")
    obj_path = os.path.join(folder, "scene.obj")
    bpy.context.view_layer.update()

    def addon():
        state = bpy.ops.export_scene.norvik(filepath=json_path, use_cameras=False)
        assert state == {'FINISHED'}, state

    def obj():
        bpy.ops.wm.obj_export(filepath=obj_path, export_materials=False)

    addon()
    obj()                       # first runs: caches, page cache, allocator
    a, o = [], []
    with Split() as split:
        for _ in range(repeat):
            split.reset()
            a.append((_time(addon), split.call, split.commit))
            o.append(_time(obj))
    best = min(a)
    return {"addon": best[0], "call": best[1], "commit": best[2], "own": best[0] - best[1] - best[2],
            "obj": min(o), "addon_bytes": os.path.getsize(json_path),
            "obj_bytes": os.path.getsize(obj_path)}


def _profile(bpy, folder, kind, quick):
    import cProfile
    import pstats
    if kind == "mesh":
        _suzanne(bpy, 3 if quick else LEVELS[-1])
    else:
        Spheres(bpy).grow(COUNTS[0] if quick else SPLIT_COUNT)
    path = os.path.join(folder, "scene.json")
    bpy.context.view_layer.update()
    bpy.ops.export_scene.norvik(filepath=path, use_cameras=False)
    _steps(bpy, path)
    profile = cProfile.Profile()
    profile.enable()
    bpy.ops.export_scene.norvik(filepath=path, use_cameras=False)
    profile.disable()
    stats = pstats.Stats(profile, stream=sys.stdout)
    stats.sort_stats("tottime").print_stats(25)
    stats.sort_stats("cumulative").print_stats(25)


def _steps(bpy, path, repeat=5):
    """Print where one add-on export spends its time, step by step (best of
    ``repeat`` exports, each step timed inside the operator)."""
    from norvik_exporter import exporter, scene
    from norvik_exporter.norvik_records.addon import ReplaceFiles
    steps = [("gather(): the depsgraph's instances", exporter, "gather"),
             ("left_out(): hidden objects, modifiers off", exporter, "left_out"),
             ("loading each entry (evaluated mesh, material)", scene.MeshEntry, "load"),
             ("MeshBatch: counts, addresses, array copies", exporter, "MeshBatch"),
             ("records: names, placements, custom normals", exporter, "_object_records"),
             ("norvik's export call (inside native_output)", exporter, "_write"),
             ("replacing the old document", ReplaceFiles, "commit")]
    spent = {}

    def timed(name, fn):
        def call(*a, **k):
            start = time.perf_counter()
            try:
                return fn(*a, **k)
            finally:
                spent[name] = spent.get(name, 0.0) + time.perf_counter() - start
        return call

    originals = [(owner, attr, getattr(owner, attr)) for _, owner, attr in steps]
    best = None
    try:
        for (name, owner, attr), (_, _, fn) in zip(steps, originals):
            setattr(owner, attr, timed(name, fn))
        for _ in range(repeat):
            spent.clear()
            start = time.perf_counter()
            bpy.ops.export_scene.norvik(filepath=path, use_cameras=False)
            total = time.perf_counter() - start
            if best is None or total < best[0]:
                best = (total, dict(spent))
    finally:
        for owner, attr, fn in originals:
            setattr(owner, attr, fn)
    total, spent = best
    print("One add-on export, %.1f ms (best of %d), by step:" % (total * 1e3, repeat))
    for name, _, _ in steps:
        print("  %-50s %7.1f ms" % (name, spent.get(name, 0.0) * 1e3))
    print("  %-50s %7.1f ms" % ("the rest (operator, faced/faceless split, ...)",
                                 (total - sum(spent.values())) * 1e3))
    print()


def in_host(args):
    import bpy
    sys.path.insert(0, args.addon)
    import norvik_exporter
    norvik_exporter.register()
    folder = tempfile.mkdtemp(prefix="norvik-bench-",
                              dir="/dev/shm" if os.path.isdir("/dev/shm") else None)
    if args.profile:
        _profile(bpy, folder, args.profile, args.quick)
        return
    repeat = 2 if args.quick else args.repeat
    levels = LEVELS[:2] if args.quick else LEVELS
    counts = COUNTS[:2] if args.quick else COUNTS
    out = {"host": bpy.app.version_string, "mesh": [], "objects": []}
    if args.cores_only:
        # The scenes of the multi-core projection only (run under taskset).
        verts = _suzanne(bpy, levels[-1])
        out["mesh"].append(dict(_measure(bpy, folder, repeat), level=levels[-1], vertices=verts))
        count = counts[0] if args.quick else SPLIT_COUNT
        verts = Spheres(bpy).grow(count)
        out["objects"].append(dict(_measure(bpy, folder, repeat), objects=count, vertices=verts))
        for row in out["mesh"] + out["objects"]:
            print("  %s: add-on %.3f s, OBJ %.3f s" % (
                "%d objects" % row["objects"] if "objects" in row else
                "Suzanne level %d" % row["level"], row["addon"], row["obj"]), flush=True)
        _finish(folder, args.json, out)
        return
    # Before anything else: what a user who exports once sees.
    first = out["first"] = _first_exports(bpy, folder, levels[-1])
    print("  first exports, %d vertices: %s s; peak memory added %.1f MiB (own buffers %.1f MiB)"
          % (first["vertices"], " ".join("%.3f" % t for t in first["times"]),
             first["peak_added"] / 2 ** 20, first["own_buffers"] / 2 ** 20), flush=True)
    for level in levels:
        verts = _suzanne(bpy, level)
        row = dict(_measure(bpy, folder, repeat), level=level, vertices=verts)
        out["mesh"].append(row)
        print("  Suzanne level %d, %d vertices: add-on %.3f s, OBJ %.3f s"
              % (level, verts, row["addon"], row["obj"]), flush=True)
    # The largest Suzanne again with the modifier kept: read in place where
    # no GPU subdivision runs (background Blender).
    verts = _suzanne(bpy, levels[-1], apply=False)
    row = out["modifier"] = dict(_measure(bpy, folder, repeat), level=levels[-1], vertices=verts)
    print("  Suzanne level %d as a modifier, %d vertices: add-on %.3f s, OBJ %.3f s"
          % (levels[-1], verts, row["addon"], row["obj"]), flush=True)
    spheres = Spheres(bpy)
    for count in counts:
        verts = spheres.grow(count)
        row = dict(_measure(bpy, folder, repeat), objects=count, vertices=verts)
        out["objects"].append(row)
        print("  %d objects: add-on %.3f s (norvik's call %.3f s, replacing %.3f s, own work "
              "%.1f us per object), OBJ %.3f s"
              % (count, row["addon"], row["call"], row["commit"], row["own"] / count * 1e6,
                 row["obj"]), flush=True)
    _finish(folder, args.json, out)


def _finish(folder, path, out):
    for name in os.listdir(folder):
        os.remove(os.path.join(folder, name))
    os.rmdir(folder)
    with open(path, "w") as f:
        json.dump(out, f)


# -- with a window -----------------------------------------------------------------

# Run inside a windowed Blender through the window agent (tools/window_agent.py),
# after this file's definitions: ADDON, FOLDER, LEVEL, FORM and REPEAT are set.
_WINDOW_SCENE = """
sys.path.insert(0, ADDON)
import norvik_exporter
norvik_exporter.register()
with override():
    if FORM == "objects":
        result = Spheres(bpy).grow(SPLIT_COUNT)
    else:
        result = _suzanne(bpy, LEVEL, apply=FORM == "applied")
"""
# The scenes timed with a window: the level-5 Suzanne as a modifier and
# applied, and the many-object scene.
WINDOW_FORMS = (("modifier", "Suzanne, Subdivision modifier"), ("applied", "Suzanne, applied"),
                ("objects", "{:,} objects".format(SPLIT_COUNT)))
_WINDOW_MEASURE = """
from norvik_exporter import exporter
native = exporter.load_native()
own = []
export = native.export

def timed_export(*a):
    start = time.perf_counter()
    try:
        return export(*a)
    finally:
        own.append(time.perf_counter() - start)

native.export = timed_export
json_path, obj_path = os.path.join(FOLDER, "scene.json"), os.path.join(FOLDER, "scene.obj")

def addon():
    with override():
        assert bpy.ops.export_scene.norvik(filepath=json_path, use_cameras=False) == {'FINISHED'}

def obj():
    with override():
        bpy.ops.wm.obj_export(filepath=obj_path, export_materials=False)

try:
    first = {"addon": _time(addon), "obj": _time(obj)}
    a, o, n = [], [], []
    for _ in range(REPEAT):
        a.append(_time(addon))
        n.append(own[-1])
        o.append(_time(obj))
finally:
    native.export = export
result = {"first": first, "addon": min(a), "obj": min(o), "own": min(n),
          "host": bpy.app.version_string}
"""


def window_driver(args):
    """The windowed figures: each host, each form of the mesh, in a fresh Blender."""
    import shutil
    sys.path.insert(0, os.path.join(ROOT, "tools"))
    import window
    rows = []
    with tempfile.TemporaryDirectory() as tmp, window.Display() as display:
        shutil.copytree(os.path.join(args.addon, "norvik_exporter"),
                        os.path.join(tmp, "addon", "norvik_exporter"),
                        ignore=shutil.ignore_patterns("__pycache__"))
        with open(os.path.abspath(__file__)) as f:
            source = f.read().split("\n# -- the driver")[0]
        level = 3 if args.quick else LEVELS[-1]
        repeat = 2 if args.quick else args.repeat
        for host in window.HOSTS:
            if window.missing_host(host):
                print("%s: %s" % (host, window.missing_host(host)))
                continue
            for form, _ in WINDOW_FORMS:
                home = tempfile.mkdtemp(dir=tmp)
                # The documents go to tmpfs, as in the headless runs.
                folder = tempfile.mkdtemp(prefix="norvik-bench-", dir="/dev/shm")
                with window.Blender(display, host, env={"HOME": home}) as blender:
                    blender.call("__file__ = %r\n" % os.path.abspath(__file__) + source +
                                 "\nADDON, FOLDER, LEVEL, FORM, REPEAT = %r, %r, %d, %r, %d"
                                 % (os.path.join(tmp, "addon"), folder, level, form, repeat))
                    verts = blender.call(_WINDOW_SCENE, timeout=600)
                    time.sleep(5)           # the viewport draws the new scene
                    blender.idle(5)
                    row = blender.call(_WINDOW_MEASURE, timeout=600)
                shutil.rmtree(folder)
                row.update(name=host, vertices=verts, form=form)
                rows.append(row)
                print("  %s, %s: add-on %.3f s (first %.3f), norvik's call %.3f s, OBJ %.3f s "
                      "(first %.3f)" % (host, form, row["addon"], row["first"]["addon"],
                                        row["own"], row["obj"], row["first"]["obj"]), flush=True)
    if not rows:
        sys.exit(1)
    print("\n| window | scene (Suzanne: %s vertices) | add-on / OBJ, steady | first export: "
          "add-on / OBJ | add-on / norvik's own call |"
          % "{:,}".format(next(r["vertices"] for r in rows if r["form"] != "objects")))
    print("| --- | --- | --- | --- | --- |")
    for r in rows:
        print("| %s (%s) | %s | %.3f / %.3f s = **%.3fx** | %.3f / %.3f s = **%.3fx** "
              "| %.3f / %.3f s = **%.2fx** |"
              % (r["name"], r["host"], dict(WINDOW_FORMS)[r["form"]],
                 r["addon"], r["obj"], r["addon"] / r["obj"], r["first"]["addon"],
                 r["first"]["obj"], r["first"]["addon"] / r["first"]["obj"], r["addon"],
                 r["own"], r["addon"] / r["own"]))
    print("\nTargets: in 3.4 at most %.2fx the OBJ exporter (first at most %.2fx); the add-on "
          "within %.1fx norvik's own call" % (MESH_TARGET, WINDOW_FIRST_TARGET, WINDOW_OWN_TARGET))


# -- the driver -------------------------------------------------------------------

def _hosts():
    """(name, command prefix) of every installed host, Debian's Blender first."""
    import shutil
    hosts = []
    blender = shutil.which("blender")
    if blender:
        hosts.append(("blender-3.4", [blender, "-b", "--factory-startup", "--python-exit-code",
                                      "1", "--python"]))
    with open(os.path.join(ROOT, "tools", "hosts.sh")) as f:
        for line in f:
            words = line.strip().strip('"').split()
            if len(words) == 3 and words[0].startswith("bpy-"):
                python = os.path.join(ROOT, ".hosts", words[0], "bin", "python")
                if os.path.exists(python):
                    hosts.append((words[0], [python]))
    return hosts


def _objects_row(r, count=SPLIT_COUNT):
    return next((o for o in r["objects"] if o["objects"] == count), r["objects"][-1])


def _growth(r):
    """Time growth of the add-on per four times the objects: [(from, to, factor)]."""
    rows = {o["objects"]: o for o in r["objects"]}
    return [(n, n * 4, rows[n * 4]["addon"] / rows[n]["addon"]) for n in sorted(rows)
            if n * 4 in rows]


def _table(results):
    lines = []
    head = ("| host | one mesh, %s vertices: add-on / OBJ | the same as a Subdivision modifier "
            "| %s objects: add-on / OBJ | time growth per 4x objects |")
    rows = []
    mesh_verts = objects = None
    for name, r in results:
        m, o, s = r["mesh"][-1], _objects_row(r), r["modifier"]
        mesh_verts, objects = m["vertices"], o["objects"]
        growth = ", ".join("%.2fx (%s to %s)" % (g, "{:,}".format(a), "{:,}".format(b))
                           for a, b, g in _growth(r)) or "-"
        rows.append("| %s (%s) | %.3f / %.3f s = **%.3fx** | %.3f / %.3f s = **%.3fx** "
                    "| %.3f / %.3f s = **%.3fx** | %s |"
                    % (name, r["host"], m["addon"], m["obj"], m["addon"] / m["obj"],
                       s["addon"], s["obj"], s["addon"] / s["obj"],
                       o["addon"], o["obj"], o["addon"] / o["obj"], growth))
    lines.append(head % ("{:,}".format(mesh_verts), "{:,}".format(objects)))
    lines.append("| --- | --- | --- | --- | --- |")
    lines += rows
    lines += ["", "| host | %s objects: the add-on's export | norvik's call | replacing the "
                  "document | the add-on's own work | per object | OBJ exporter |"
              % "{:,}".format(objects), "| --- | --- | --- | --- | --- | --- | --- |"]
    for name, r in results:
        o = _objects_row(r)
        lines.append("| %s | %.3f s | %.3f s | %.3f s | %.3f s | **%.1f us** | %.3f s |"
                     % (name, o["addon"], o["call"], o["commit"], o["own"],
                        o["own"] / o["objects"] * 1e6, o["obj"]))
    lines += ["", "| host | first five exports of the %s-vertex mesh in a fresh Blender | "
                  "first / steady | peak memory an export adds | norvik's own buffers |"
              % "{:,}".format(results[0][1]["first"]["vertices"]), "| --- | --- | --- | --- | --- |"]
    for name, r in results:
        f = r["first"]
        steady = min(f["times"][1:])
        lines.append("| %s | %s s | %.2fx | %.1f MiB | %.1f MiB |"
                     % (name, " ".join("%.3f" % t for t in f["times"]), f["times"][0] / steady,
                        f["peak_added"] / 2 ** 20, f["own_buffers"] / 2 ** 20))
    return "\n".join(lines)


def parallel_share(one, two):
    """Amdahl's parallel share p from the times on one core and on two:
    two = one * (1 - p + p / 2)."""
    return min(1.0, max(0.0, 2.0 * (1.0 - two / one)))


def projected(one, share, cores=PROJECTED_CORES):
    """The time on ``cores`` cores by Amdahl's law (a projection, not a measurement)."""
    return one * (1.0 - share + share / cores)


def _cores_figures(runs):
    """{scene: {exporter: (one core, two cores, share, projected)}} from the
    taskset runs of one host (best of each affinity's rounds)."""
    out = {}
    for scene, pick in (("mesh", lambda r: r["mesh"][-1]), ("objects", lambda r: r["objects"][-1])):
        out[scene] = {}
        for key in ("addon", "obj"):
            one = min(pick(r)[key] for r in runs[AFFINITIES[0]])
            two = min(pick(r)[key] for r in runs[AFFINITIES[1]])
            p = parallel_share(one, two)
            out[scene][key] = (one, two, p, projected(one, p))
        out[scene]["size"] = pick(runs[AFFINITIES[0]][0]).get("objects") or \
            pick(runs[AFFINITIES[0]][0])["vertices"]
    return out


def _cores_table(cores):
    lines = ["| host | scene | add-on: 1 core / 2 cores (parallel share) | OBJ: 1 core / 2 cores "
             "(parallel share) | add-on / OBJ on 2 cores | **projected** on %d cores: add-on / OBJ |"
             % PROJECTED_CORES, "| --- | --- | --- | --- | --- | --- |"]
    for name, figures in cores:
        for scene, label in (("mesh", "one mesh, {:,} vertices"), ("objects", "{:,} objects")):
            f = figures[scene]
            (a1, a2, ap, a16), (o1, o2, op, o16) = f["addon"], f["obj"]
            lines.append("| %s | %s | %.3f / %.3f s (%.2f) | %.3f / %.3f s (%.2f) | %.3fx "
                         "| %.3f / %.3f s = **%.3fx** |"
                         % (name, label.format(f["size"]), a1, a2, ap, o1, o2, op, a2 / o2,
                            a16, o16, a16 / o16))
    return "\n".join(lines)


def _plot(results, path):
    try:
        import matplotlib
    except ImportError:
        print("matplotlib is missing: no plot (tools/bench_blender.sh installs it)")
        return None
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    fig, (left, right) = plt.subplots(1, 2, figsize=(12, 4.8))
    colours = plt.rcParams["axes.prop_cycle"].by_key()["color"]
    for (name, r), colour in zip(results, colours):
        for key, style, label in (("addon", "-o", "norvik add-on"), ("obj", "--s", "OBJ exporter")):
            left.plot([m["vertices"] for m in r["mesh"]], [m[key] for m in r["mesh"]], style,
                      color=colour, label="%s, %s" % (label, name))
            right.plot([o["objects"] for o in r["objects"]], [o[key] for o in r["objects"]],
                       style, color=colour, label="%s, %s" % (label, name))
    left.set_title("One mesh (Suzanne, subdivision 2 to 5)")
    left.set_xlabel("vertices")
    right.set_title("Objects, each with its own 42-vertex mesh")
    right.set_xlabel("objects")
    for ax in (left, right):
        ax.set_xscale("log")
        ax.set_yscale("log")
        ax.set_ylabel("export time, s (best of runs)")
        ax.grid(True, which="both", alpha=0.3)
    right.legend(fontsize=7, ncol=2)
    fig.suptitle("norvik add-on vs Blender's OBJ exporter (export_materials=False)")
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    print("plot: %s" % path)
    return plt


def _plot_objects(plt, results, cores, path):
    """The many-object scene: where the add-on's export goes, and the
    exporters' times against the number of cores (projected beyond two)."""
    fig, (left, right) = plt.subplots(1, 2, figsize=(12, 4.8))
    names = [name for name, _ in results]
    x = range(len(names))
    parts = [(lambda o: o["own"], "the add-on's own work"), (lambda o: o["call"], "norvik's call"),
             (lambda o: o["commit"], "replacing the document")]
    bottom = [0.0] * len(names)
    for pick, label in parts:
        values = [pick(_objects_row(r)) for _, r in results]
        left.bar([i - 0.2 for i in x], values, 0.4, bottom=bottom, label=label)
        bottom = [b + v for b, v in zip(bottom, values)]
    left.bar([i + 0.2 for i in x], [_objects_row(r)["obj"] for _, r in results], 0.4,
             color="0.6", label="OBJ exporter")
    left.set_xticks(list(x))
    left.set_xticklabels(names, fontsize=8)
    left.set_ylabel("seconds (best of runs)")
    left.set_title("{:,} objects: the add-on's export, split, and the OBJ exporter"
                   .format(_objects_row(results[0][1])["objects"]))
    left.legend(fontsize=7)
    colours = plt.rcParams["axes.prop_cycle"].by_key()["color"]
    counts = list(range(1, PROJECTED_CORES + 1))
    for (name, figures), colour in zip(cores, colours):
        for key, style, label in (("addon", "-", "norvik add-on"), ("obj", "--", "OBJ exporter")):
            one, two, p, _ = figures["objects"][key]
            right.plot(counts, [projected(one, p, n) for n in counts], style, color=colour,
                       label="%s, %s (p = %.2f)" % (label, name, p))
            right.plot([1, 2], [one, two], "o", color=colour)
    right.set_xscale("log", base=2)
    right.set_xlabel("cores (dots: measured with taskset; lines: Amdahl projection)")
    right.set_ylabel("seconds")
    right.set_title("{:,} objects against cores: measured on 1 and 2, projected to {}"
                    .format(cores[0][1]["objects"]["size"], PROJECTED_CORES))
    right.grid(True, which="both", alpha=0.3)
    right.legend(fontsize=6, ncol=2)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    print("plot: %s" % path)


def _run_host(command, name, tag, args, tmp, extra, prefix=()):
    """Runs this script in one host; its figures, or None when it failed."""
    out = os.path.join(tmp, "%s-%s.json" % (name, tag))
    run = subprocess.run(list(prefix) + command + [
        os.path.abspath(__file__), "--", "--in-host", "--json", out, "--repeat", str(args.repeat),
        "--addon", os.path.join(tmp, "addon")] + extra + (["--quick"] if args.quick else []),
        stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    shown = [ln for ln in run.stdout.splitlines() if ln.startswith("  ")]
    print("\n".join(shown), flush=True)
    if run.returncode != 0 or not os.path.exists(out):
        print(run.stdout[-3000:])
        print("%s: failed (exit status %d)" % (name, run.returncode))
        return None
    with open(out) as f:
        return json.load(f)


def _two_cores():
    """Whether cores 0 and 1 are this process's to pin to (``taskset``)."""
    import shutil
    return bool(shutil.which("taskset")) and {0, 1} <= os.sched_getaffinity(0)


def driver(args):
    hosts = _hosts()
    if args.hosts:
        wanted = args.hosts.split(",")
        hosts = [h for h in hosts if h[0] in wanted]
    if not hosts:
        sys.exit("no host installed (tools/setup_blender.sh)")
    results, cores = [], []
    with tempfile.TemporaryDirectory() as tmp:
        # A private copy of the add-on: a reinstall into addon/ while a host
        # runs would overwrite the shared object that host has loaded.
        import shutil
        shutil.copytree(os.path.join(args.addon, "norvik_exporter"),
                        os.path.join(tmp, "addon", "norvik_exporter"),
                        ignore=shutil.ignore_patterns("__pycache__"))
        for name, command in hosts:
            print("%s:" % name, flush=True)
            found = _run_host(command, name, "all", args, tmp, [])
            if found is not None:
                results.append((name, found))
        if not args.no_cores and not _two_cores():
            print("\nno taskset, or cores 0 and 1 are not all this process's: no projection")
        elif not args.no_cores:
            for name, command in hosts:
                runs = {a: [] for a in AFFINITIES}
                for turn in range(2):           # the affinities alternate, twice
                    for affinity in AFFINITIES:
                        print("%s, taskset -c %s (round %d):" % (name, affinity, turn + 1),
                              flush=True)
                        found = _run_host(command, name, "cores", args, tmp, ["--cores-only"],
                                          ["taskset", "-c", affinity])
                        if found is not None:
                            runs[affinity].append(found)
                if all(runs.values()):
                    cores.append((name, _cores_figures(runs)))
    if not results:
        sys.exit(1)
    print()
    print(_table(results))
    print("\nTargets: one mesh at most %.2fx; %s objects at most %.2fx (Blender 3.4: %.2fx), the "
          "add-on's own work at most %.0f us per object (4.2 onward), growth at most %.1fx per 4x "
          "objects" % (MESH_TARGET, "{:,}".format(SPLIT_COUNT), OBJECTS_TARGET, OBJECTS_TARGET_34,
                       OWN_TARGET_US, GROWTH_TARGET))
    if cores:
        print()
        print(_cores_table(cores))
        print("\nThe %d-core figures are projections by Amdahl's law from one and two cores; "
              "target: at most %.2fx" % (PROJECTED_CORES, PROJECTED_TARGET))
    plt = _plot(results, args.plot)
    if plt is not None and cores:
        root, ext = os.path.splitext(args.plot)
        _plot_objects(plt, results, cores, root + "_objects" + ext)


if __name__ == "__main__":
    arguments = _arguments()
    if arguments.in_host or arguments.profile:
        status = 0
        try:
            in_host(arguments)
        except BaseException:
            import traceback
            traceback.print_exc(file=sys.stdout)
            status = 1
        sys.stdout.flush()
        os._exit(status)        # the bpy module may hang at interpreter exit
    window_driver(arguments) if arguments.window else driver(arguments)
