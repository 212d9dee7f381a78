"""Live export in the windowed hosts, and --watch against a fresh Blender per export.

    tools/bench_live.sh [--hosts blender-3.4,blender-4.3] [--repeat N] [--drag SECONDS]
                        [--viewport-aa OFF|8] [--plot FILE] [--json FILE]

For each windowed host (tools/window.py: Blender 3.4.1, and 4.3.2 in its
Debian 13 root, under Xvfb with Mesa's llvmpipe) and each scene (the demo
scene; Suzanne subdivided to 504,482 vertices; 10,000 objects with their own
42-vertex ico sphere), with LIVE on and the default delay of 0.2 s:

  * latency: an object moved (by a request inside Blender's event loop), and
    the time until the new scene document has replaced the old one; with
    the export's own time, the depsgraph handler's delay, and the viewport
    redraws the event loop did meanwhile;
  * a drag: G pressed over the 3D View and the pointer moved for --drag
    seconds; the versions written during it and the share of the drag the
    window spent exporting.

Then, headless, per scene: a fresh Blender per export (norvik-export) against
the one Blender of norvik-export --watch (from the .blend replaced on disk as
Blender saves it to the "Exported" line).

Every Blender started here runs one at a time.  The scenes are built once by
Debian's Blender (bench/bench_blender.py's builders) under /tmp.
"""
import argparse
import json
import os
import shutil
import statistics
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests"))
import live_window  # noqa: E402

CLI = os.path.join(ROOT, "addon", "norvik_exporter", "cli.py")
SCENES = (  # name, object moved and dragged, goal of the latency (export time e)
    ("demo", "Suzanne", "delay + 0.15 s"),
    ("mesh", "Suzanne", "delay + 0.15 s"),
    ("objects", "Sphere.00000", "delay + 0.15 s"),
)
BUILD = {
    "mesh": "bench_blender._suzanne(bpy, 5)",
    "objects": "bench_blender.Spheres(bpy).grow(10000)",
}


def build_scenes(folder):
    """The three scenes as .blend files in ``folder``."""
    paths = {}
    for name, _, _ in SCENES:
        path = paths[name] = os.path.join(folder, name + ".blend")
        if os.path.exists(path):
            continue
        if name == "demo":
            live_window.demo_blend(path, os.path.join(folder, "out"))
            continue
        code = ("import sys, bpy; sys.path.insert(0, %r); import bench_blender; %s; "
                "bpy.ops.wm.save_as_mainfile(filepath=%r)"
                % (os.path.join(ROOT, "bench"), BUILD[name], path))
        subprocess.run(["blender", "-b", "--factory-startup", "--python-exit-code", "1",
                        "--python-expr", code], check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=600)
    return paths


# -- windowed ------------------------------------------------------------------

# Inside Blender: the viewport's redraws, timed.
DRAWS = r'''
DRAWS, _STARTS = [], []
def _drawing():
    _STARTS.append(time.monotonic())
def _drawn():
    DRAWS.append(time.monotonic())
def drawing(t0, t1):
    """Seconds of redraws (their 3D parts) that ended between t0 and t1."""
    return sum(e - s for s, e in zip(_STARTS, DRAWS) if t0 < e < t1)
bpy.types.SpaceView3D.draw_handler_add(_drawing, (), 'WINDOW', 'PRE_VIEW')
bpy.types.SpaceView3D.draw_handler_add(_drawn, (), 'WINDOW', 'POST_PIXEL')
'''


def latency(b, target, name, repeat):
    rows = []
    for _ in range(repeat):
        n = b.call("result = status()['versions']")
        b.call("T0 = time.monotonic(); W0 = time.time(); "
               "bpy.data.objects[%r].location.x += 0.1" % name)
        b.wait_for("result = status()['versions'] > %d" % n, 120, interval=0.05)
        row = b.call("s = live().state; result = dict(total=s.last_end - T0, "
                     "handler=s.changed_at - T0, export=s.status.seconds, "
                     "duration=s.last_duration, draws=sum(T0 < t < s.last_end for t in DRAWS), "
                     "drawing=drawing(T0, s.last_end), "
                     "w0=W0)")
        row["document"] = os.stat(target).st_ctime - row.pop("w0")
        rows.append(row)
        # Past the interval after this export, so that the next change is an isolated one.
        time.sleep(0.5 + 12 * row["duration"])
    keys = rows[0].keys()
    return {k: statistics.median(r[k] for r in rows) for k in keys}


def drag(b, name, seconds):
    b.call("ob = bpy.data.objects[%r]; bpy.context.view_layer.objects.active = ob\n"
           "for o in bpy.context.view_layer.objects: o.select_set(o == ob)" % name)
    b.idle(3)
    time.sleep(1)
    left, top, width, height = b.rect("region = region_of(areas('VIEW_3D')[0])")
    x, y = left + width // 3, top + height // 2
    b.move(x, y)
    b.call("EXPORTS = []; _export = live().export\n"
           "def _traced(*a, **k):\n"
           "    t = time.monotonic(); r = _export(*a, **k)\n"
           "    EXPORTS.append((t, time.monotonic())); return r\n"
           "live().export = _traced")
    b.key("g", pause=0.2)
    b.call("D0 = time.monotonic()")
    start = time.monotonic()
    step = 0
    while time.monotonic() - start < seconds:
        step += 1
        b.move(x + 2 * step, y)
        time.sleep(0.03)
    row = b.call("D1 = time.monotonic(); inside = [(s, e) for s, e in EXPORTS if s < D1]\n"
                 "result = dict(seconds=D1 - D0, versions=len(inside), "
                 "draws=sum(D0 < t < D1 for t in DRAWS), drawing=drawing(D0, D1), "
                 "exports=[(s - D0, e - D0) for s, e in inside], "
                 "redraws=[(s - D0, e - D0) for s, e in zip(_STARTS, DRAWS) if D0 < e < D1], "
                 "moves=%d)" % step)
    b.click(x + 2 * step, y)
    b.idle(3)
    b.call("live().export = _export")
    return row


def drag_share(d):
    """The share of the drag's time spent exporting."""
    return sum(max(0.0, min(e, d["seconds"]) - max(s, 0.0)) for s, e in d["exports"]) / d["seconds"]


def steady_share(exports):
    """The share of time spent exporting over whole periods, from the first
    export's start to the last one's (a window cut anywhere else counts a
    part of a period)."""
    if len(exports) < 2:
        return None
    return sum(e - s for s, e in exports[:-1]) / (exports[-1][0] - exports[0][0])


def windowed(host, paths, args, work):
    results = {}
    home = os.path.join(work, "home-" + host)
    with live_window.live_blender(host, home, viewport_aa=args.viewport_aa) as b:
        b.call(DRAWS)
        for name, moved, goal in SCENES:
            target = os.path.join(work, host, name + ".json")
            os.makedirs(os.path.dirname(target), exist_ok=True)
            b.call("bpy.ops.wm.open_mainfile(filepath=%r)" % paths[name])
            b.wait_for("result = bpy.data.filepath == %r" % paths[name], 300)
            b.click_viewport()          # the pointer, known again in the new screen
            n = b.call("result = status()['versions']")
            b.call("configure(mode='LIVE', filepath=%r)" % target)
            b.wait_for("result = status()['versions'] > %d" % n, 300, interval=0.1)
            time.sleep(1)
            row = {"latency": latency(b, target, moved, args.repeat),
                   "drag": drag(b, moved, args.drag), "goal": goal}
            row["delay"] = b.call("result = settings().delay")
            # What a change the depsgraph does not flag (a selection, a rename) costs.
            row["fingerprint"] = b.call("t = time.perf_counter(); "
                                        "live()._fingerprint(bpy.context.scene, settings()); "
                                        "result = time.perf_counter() - t")
            lat, d = row["latency"], row["drag"]
            print("  %s %s: change to document %.3f s (handler %.3f, export %.3f s, %d redraws "
                  "%.3f s); drag %.1f s: %d versions, %.0f%% exporting, %d redraws %.2f s; "
                  "fingerprint %.4f s"
                  % (host, name, lat["document"], lat["handler"], lat["export"], lat["draws"],
                     lat["drawing"], d["seconds"], d["versions"], 100 * drag_share(d), d["draws"],
                     d["drawing"], row["fingerprint"]), flush=True)
            results[name] = row
            b.call("configure(mode='OFF')")
    return results


# -- headless: --watch against a fresh Blender per export -----------------------

def headless_command(host, home):
    """Blender ``host`` without a window, and cli.py of the add-on it can load."""
    if host == "blender-3.4":
        return ["blender", "-b", "--factory-startup"], CLI
    cli = os.path.join(home, ".config", "blender", "4.3", "scripts", "addons",
                       "norvik_exporter", "cli.py")
    return [os.path.join(ROOT, "tools", "blender43"), "-b", "--factory-startup"], cli


def watch_against_fresh(host, blend, work, repeat):
    command, cli = headless_command(host, os.path.join(work, "home-" + host))
    out = os.path.join(work, host, "headless")
    fresh = []
    for _ in range(repeat):
        t = time.monotonic()
        subprocess.run(command + ["--python", cli, "--", "--blend", blend, "--out", out],
                       check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                       timeout=600)
        fresh.append(time.monotonic() - t)
    copy = os.path.join(work, host, "watched.blend")
    shutil.copy(blend, copy)
    proc = subprocess.Popen(command + ["--python", cli, "--", "--blend", copy, "--out", out,
                                       "--watch"], stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT, text=True)
    watched = []
    try:
        _until(proc, "Watching ")
        for _ in range(repeat):
            # Saved as Blender saves: a new file renamed over the old one.
            shutil.copy(blend, copy + "@")
            t = time.monotonic()
            os.replace(copy + "@", copy)
            _until(proc, "Exported ")
            watched.append(time.monotonic() - t)
    finally:
        proc.terminate()
        proc.wait(60)
    return {"fresh": statistics.median(fresh), "watch": statistics.median(watched),
            "exit": proc.returncode}


def _until(proc, prefix):
    while True:
        line = proc.stdout.readline()
        if not line:
            raise RuntimeError("norvik-export --watch ended")
        if line.startswith(prefix):
            return line


# -- report ---------------------------------------------------------------------

def table(results):
    lines = ["| host | scene | export | change to document | goal | handler | redraws "
             "meanwhile | drag: versions in s | share exporting: in the drag / over whole "
             "periods |", "| --- | --- | --- | --- | --- | --- | --- | --- | --- |"]
    for host, scenes in results.items():
        for name, row in scenes.get("windowed", {}).items():
            lat, d = row["latency"], row["drag"]
            goal = (row["delay"] + 0.15 if row["goal"].endswith("0.15 s")
                    else row["delay"] + 2 * lat["export"])
            steady = steady_share(d["exports"])
            lines.append("| %s | %s | %.3f s | %.3f s | %.3f s | %.3f s | %d (%.3f s) | "
                         "%d in %.1f s | %.0f%% / %s |"
                         % (host, name, lat["export"], lat["document"], goal, lat["handler"],
                            lat["draws"], lat.get("drawing", 0), d["versions"], d["seconds"],
                            100 * drag_share(d), "-" if steady is None else "%.0f%%" % (100 * steady)))
    lines += ["", "| host | scene | fresh Blender per export | --watch (replace to export) | "
              "ratio |", "| --- | --- | --- | --- | --- |"]
    for host, scenes in results.items():
        for name, row in scenes.get("headless", {}).items():
            lines.append("| %s | %s | %.2f s | %.3f s | %.1fx |" % (
                host, name, row["fresh"], row["watch"], row["fresh"] / row["watch"]))
    return "\n".join(lines)


def plot(results, path):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    rows = [(host, name, row["drag"]) for host, scenes in results.items()
            for name, row in scenes.get("windowed", {}).items()]
    fig, ax = plt.subplots(figsize=(10, 0.6 * len(rows) + 1.2))
    for i, (host, name, d) in enumerate(rows):
        spans = [r if isinstance(r, list) else (r - 0.01, r) for r in d["redraws"]]
        ax.broken_barh([(s, e - s) for s, e in spans], (i - 0.35, 0.3),
                       color="tab:gray", alpha=0.6)
        ax.broken_barh([(s, e - s) for s, e in d["exports"]], (i + 0.05, 0.3), color="tab:blue")
    ax.set_yticks(range(len(rows)))
    ax.set_yticklabels(["%s %s" % (h.replace("blender-", "Blender "), n) for h, n, _ in rows])
    ax.set_xlabel("seconds into the drag (blue: exports, grey: 3D View redraws)")
    ax.set_title("Live export during a drag (delay 0.2 s)")
    fig.tight_layout()
    fig.savefig(path, dpi=110)


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--hosts", default=",".join(live_window.HOSTS))
    p.add_argument("--repeat", type=int, default=5)
    p.add_argument("--drag", type=float, default=3.0)
    p.add_argument("--viewport-aa", default="OFF",
                   help="the 3D View's anti-aliasing preference during the run (Blender's "
                        "default is 8: each change is redrawn several times)")
    p.add_argument("--scenes", default="demo,mesh,objects")
    p.add_argument("--parts", default="windowed,headless")
    p.add_argument("--plot", default=os.path.join(ROOT, "bench", "bench_live.png"))
    p.add_argument("--json", help="also write the figures here")
    p.add_argument("--from-json", help="only the tables and the plot of an earlier --json")
    args = p.parse_args(argv)
    if args.from_json:
        with open(args.from_json) as f:
            return report(json.load(f), args)
    global SCENES
    SCENES = tuple(s for s in SCENES if s[0] in args.scenes.split(","))
    work = os.path.join("/tmp", "norvik-bench-live")     # blender-4.3 sees /tmp
    os.makedirs(work, exist_ok=True)
    paths = build_scenes(work)
    results = {}
    for host in args.hosts.split(","):
        reason = live_window.missing_host(host)
        if reason:
            print("%s: skipped (%s)" % (host, reason), flush=True)
            continue
        out = results[host] = {"windowed": windowed(host, paths, args, work)
                               if "windowed" in args.parts else {}, "headless": {}}
        for name, _, _ in (SCENES if "headless" in args.parts else ()):
            out["headless"][name] = row = watch_against_fresh(host, paths[name], work,
                                                              args.repeat)
            print("  %s %s headless: fresh Blender %.2f s, --watch %.3f s"
                  % (host, name, row["fresh"], row["watch"]), flush=True)
    if args.json:
        with open(args.json, "w") as f:
            json.dump(results, f, indent=1)
    return report(results, args)


def report(results, args):
    print(table(results))
    try:
        plot(results, args.plot)
        print("plot: " + args.plot)
    except ImportError:
        print("no plot: matplotlib is not installed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
