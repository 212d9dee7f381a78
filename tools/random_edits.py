#!/usr/bin/env python3
"""Random editing sessions with live export in a Blender with a window.

    .venv/bin/python tools/random_edits.py --host blender-3.4 --seeds 1-10 --edits 100
    .venv/bin/python tools/random_edits.py --host blender-4.3 --seeds 10 --edits 57 --no-addon

Per seed: a windowed Blender (tests/live_window.py) with the add-on enabled
from a fresh user folder, opened on a project .blend under /tmp (the demo
scene with more: linked duplicates sharing one mesh, a Multires object, a
curve with faces, an animated object, nested collections), LIVE on and saved
so, the documents beside the .blend.  A watcher process (this file with
--watch-documents; a thread inside Blender would not do: it crashes 3.4)
records every version of both documents and checks each as an engine would
(norvik_records.check): a version that fails is a partial document.

Then N seeded random edits (tools/random_edits_blender.py: transforms
through operators and the data API, primitives added, deletes, duplicates
and linked duplicates, joins, separations, renames, materials, modifiers
added, removed, reordered, toggled and applied, edit and sculpt mode, undo
and redo of one and several steps, frame changes, visibility, collections,
curves to meshes, parents, File > Revert and saves), each followed by a
pause of 0 to 0.6 s in which Blender's event loop runs, so that live
exports overlap the edits.  Every K edits, and after each File > Revert, a
checkpoint: once no new version appeared for max(1.5 s, delay + 0.5 s), the
live documents must equal (as parsed JSON) those File > Export writes of the
same state, every visible mesh object with faces outside edit mode must be in
them, and the live status must hold no error.

A crash (Blender gone) names the edit it happened in or after, with
Blender's Python stack (faulthandler) and its crash report; the sequence up
to it is then replayed without the add-on, with no live export and nothing
reading evaluated data, to tell Blender's own faults from the add-on's.
Everything goes into DIR/<host>-s<seed>.jsonl (edits, checkpoints, versions,
crashes, replays); DIR/summary.json and the printed summary add them up.  A
failing seed's project folder (its .blend and documents) is kept.
The exit status is 1 on any mismatch, partial document, status error, or a
crash the replay without the add-on does not reproduce.
"""
import argparse
import hashlib
import json
import os
import random
import re
import shutil
import signal
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests"))
sys.path.insert(0, os.path.join(ROOT, "python"))

EDITS_SOURCE = os.path.join(ROOT, "tools", "random_edits_blender.py")

# How often each kind of edit comes (tools/random_edits_blender.py).
WEIGHTS = {
    "translate": 8, "rotate": 4, "resize": 3, "data_transform": 6, "add_primitive": 5,
    "delete": 3, "duplicate": 3, "duplicate_linked": 3, "join": 2, "separate": 2, "rename": 3,
    "material": 3, "modifier_add": 5, "modifier_remove": 2, "modifier_move": 2,
    "modifier_toggle": 2, "modifier_apply": 2, "edit_enter": 3, "edit_leave": 4,
    "edit_mesh": 5, "sculpt": 3, "undo": 6, "undo_many": 3, "redo": 1, "redo_many": 1,
    "frame": 3, "hide": 3, "collection_toggle": 2, "collection_move": 2, "collection_new": 1,
    "curve_convert": 1, "parent": 2, "revert": 2, "save": 2,
}
REDO_AFTER_UNDO = 0.4
MAX_PAUSE = 0.6
QUIET = 1.5             # seconds without a new version before a checkpoint compares

# Added to the demo scene (run by Debian's Blender 3.4, headless, on demo.blend).
SCENE = r'''
import math
import bpy

scene = bpy.context.scene
root = scene.collection
stage = bpy.data.collections.new("Stage")
root.children.link(stage)
props = bpy.data.collections.new("Extras")
stage.children.link(props)


def made(name, collection):
    ob = bpy.context.object
    ob.name = name
    for c in list(ob.users_collection):
        c.objects.unlink(ob)
    collection.objects.link(ob)
    return ob


bpy.ops.mesh.primitive_ico_sphere_add(subdivisions=2, radius=0.6, location=(4, -4, 0.6))
rock = made("Rock", stage)
rock.data.name = "RockMesh"
for k in (1, 2):
    twin = rock.copy()                     # linked duplicates: one mesh for three objects
    twin.name = "Rock.%d" % k
    twin.location.x += 1.6 * k
    stage.objects.link(twin)

bpy.ops.mesh.primitive_cube_add(size=1.2, location=(-4, -5, 0.6))
blob = made("Blob", stage)
multires = blob.modifiers.new("Multires", 'MULTIRES')
with bpy.context.temp_override(object=blob, active_object=blob):
    for _ in range(2):
        bpy.ops.object.multires_subdivide(modifier="Multires", mode='CATMULL_CLARK')

bpy.ops.curve.primitive_bezier_circle_add(radius=0.8, location=(0, -6, 1))
ring = made("Ring", props)
ring.data.bevel_depth = 0.15

bpy.ops.mesh.primitive_cylinder_add(vertices=12, radius=0.4, depth=1.5, location=(6, 2, 0.75))
spinner = made("Spinner", root)
spinner.keyframe_insert("rotation_euler", index=2, frame=1)
spinner.keyframe_insert("location", index=1, frame=1)
spinner.rotation_euler.z = 2 * math.pi
spinner.location.y += 3
spinner.keyframe_insert("rotation_euler", index=2, frame=40)
spinner.keyframe_insert("location", index=1, frame=40)

bpy.ops.mesh.primitive_plane_add(size=16, location=(0, 0, -0.01))
made("Floor", root)
bpy.ops.mesh.primitive_cube_add(size=0.8, location=(-2, 5, 0.4))
made("Block", props)
scene.frame_start, scene.frame_end = 1, 40
scene.frame_set(1)
bpy.ops.wm.save_as_mainfile(filepath=OUT)
'''


def plan(seed, count):
    """The session of ``seed``: (kind, edit seed, pause after it) per edit.
    Redo comes mostly right after an undo, as artists use it (anywhere
    else Blender has nothing to redo)."""
    rng = random.Random(seed)
    kinds = sorted(WEIGHTS)
    weights = [WEIGHTS[k] for k in kinds]
    steps = []
    for _ in range(count):
        if steps and steps[-1][0] in ("undo", "undo_many") and rng.random() < REDO_AFTER_UNDO:
            kind = rng.choice(("redo", "redo", "redo_many"))
        else:
            kind = rng.choices(kinds, weights)[0]
        steps.append((kind, rng.getrandbits(32), round(rng.uniform(0.0, MAX_PAUSE), 3)))
    return steps


# With --in-place: the objects whose meshes the add-on copies taken out (the
# geometry-node meshes, and curves, which 3.4's exports copy), so that live
# export reuses what it gathered while only placements change.
IN_PLACE = r'''
for ob in [o for o in bpy.data.objects if o.type in ('CURVE', 'FONT') or o.name == "Scatter"]:
    bpy.data.objects.remove(ob, do_unlink=True)
bpy.ops.wm.save_as_mainfile(filepath=OUT)
'''


def build_scene(folder, in_place=False):
    """The project scene (the demo scene and the objects of SCENE) as a .blend."""
    import live_window
    os.makedirs(folder, exist_ok=True)
    path = os.path.join(folder, "scene-in-place.blend" if in_place else "scene.blend")
    demo = live_window.demo_blend(os.path.join(folder, "demo.blend"), os.path.join(folder, "demo"))
    run = subprocess.run(["blender", "-b", "--factory-startup", demo, "--python-expr",
                          "OUT = %r\n%s%s" % (path, SCENE, IN_PLACE if in_place else "")],
                         stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, timeout=300)
    if run.returncode or not os.path.exists(path):
        raise RuntimeError("the scene could not be built:\n" + run.stdout[-3000:])
    return path


# -- the watcher process --------------------------------------------------------

def watch_documents(scene_path, log_path, interval=0.01):
    """Follows both documents until SIGTERM: one JSON line per new version,
    with its objects, its digest and the problems an engine would find."""
    from norvik_records.check import DocumentError, check_cameras, check_scene
    from norvik_records.watch import identity
    stop = []
    signal.signal(signal.SIGTERM, lambda *_: stop.append(1))
    signal.signal(signal.SIGINT, lambda *_: stop.append(1))
    documents = (("scene", scene_path, check_scene),
                 ("cameras", scene_path[:-5] + "_cameras.json", check_cameras))
    seen = {}
    counts = {}
    with open(log_path, "a", encoding="utf-8") as log:
        while not stop:
            for name, path, check in documents:
                now = identity(path)
                if now is None or now == seen.get(name):
                    continue
                at = time.time()
                try:
                    objects, problems = len(check(path)), None
                except DocumentError as exc:
                    if exc.unreadable:
                        continue
                    objects, problems = None, exc.problems
                try:
                    with open(path, "rb") as f:
                        digest = hashlib.sha1(f.read()).hexdigest()
                except OSError:
                    continue
                if identity(path) != now:
                    continue            # replaced meanwhile: the newer version is the one read next
                seen[name] = now
                counts[name] = counts.get(name, 0) + 1
                log.write(json.dumps({"kind": "version", "document": name, "n": counts[name],
                                      "time": at, "objects": objects, "sha1": digest,
                                      "problems": problems}) + "\n")
                log.flush()
            time.sleep(interval)
    return 0


class Watcher:
    def __init__(self, scene_path, log_path):
        self.log_path = log_path
        open(log_path, "w").close()
        env = dict(os.environ, PYTHONPATH=os.path.join(ROOT, "python"))
        self.process = subprocess.Popen(
            [sys.executable, os.path.abspath(__file__), "--watch-documents", scene_path,
             "--watch-log", log_path], env=env)

    def versions(self):
        with open(self.log_path, encoding="utf-8") as f:
            return [json.loads(line) for line in f if line.endswith("\n")]

    def stop(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()


# -- comparing documents --------------------------------------------------------

def differences(live, fresh, limit=8):
    """What differs between two parsed documents (numbers compare as numbers:
    -0.0 equals 0.0); an empty list when they are equal."""
    found = []
    for name in sorted(set(live) - set(fresh)):
        found.append("%r only in the live document" % name)
    for name in sorted(set(fresh) - set(live)):
        found.append("%r missing from the live document" % name)
    for name in sorted(set(live) & set(fresh)):
        a, b = live[name], fresh[name]
        if a == b:
            continue
        if isinstance(a, dict) and isinstance(b, dict):
            for key in sorted(set(a) | set(b)):
                if a.get(key) != b.get(key):
                    found.append("%r %s: %s" % (name, key, _first_difference(a.get(key),
                                                                              b.get(key))))
        else:
            found.append("%r differs" % name)
    return found[:limit] + (["... %d more" % (len(found) - limit)] if len(found) > limit else [])


def _first_difference(a, b):
    if isinstance(a, list) and isinstance(b, list):
        if len(a) != len(b):
            return "%d values live, %d exported" % (len(a), len(b))
        for i, (x, y) in enumerate(zip(a, b)):
            if x != y:
                return "[%d] %r live, %r exported" % (i, x, y)
    return "%.60r live, %.60r exported" % (a, b)


def _load(path):
    with open(path, encoding="utf-8") as f:
        return json.load(f)


# -- one session ----------------------------------------------------------------

PEEK = r'''
def peek():
    """The live status as the artist's panel shows it (None without the add-on)."""
    try:
        s = live().state
    except Exception:
        return None
    return {"versions": s.status.versions, "error": s.status.error, "dirty": s.dirty,
            "paused": s.status.paused, "incomplete": getattr(s.status, "incomplete", None)}
'''

# Inside Blender at a checkpoint: File > Export's operator on the same state,
# and what an engine is owed: every visible mesh object with faces that is
# not in edit mode (edit mode's own data lags behind it), unless a modifier
# other than the edits' own (MODIFIERS, which keep faces) is on: geometry
# nodes may take the faces away.
EXPORT = r'''
def fresh_export(path):
    owed = sorted(o.name for o in bpy.context.view_layer.objects
                  if o.type == 'MESH' and o.visible_get() and o.mode != 'EDIT'
                  and len(o.data.polygons)
                  and all(m.type in MODIFIERS for m in o.modifiers if m.show_viewport))
    try:
        with override():
            done = bpy.ops.export_scene.norvik(filepath=path, check_existing=False)
        failed = None if 'FINISHED' in done else "File > Export: %s" % sorted(done)
    except RuntimeError as exc:
        failed = "File > Export: %s" % str(exc).strip()
    return {"failed": failed, "owed": owed, "mode": bpy.context.mode}
'''


class Crash(Exception):
    pass


class Session:
    """One seed in one windowed Blender; writes its records to ``log``."""

    def __init__(self, display, host, seed, opts, base_blend, out, addon=True, count=None):
        self.display, self.host, self.seed, self.opts = display, host, seed, opts
        self.addon = addon
        self.count = opts.edits if count is None else count
        self.tag = "%s-s%d%s" % (host, seed, "" if addon else "-replay")
        self.out = out
        self.folder = os.path.realpath("/tmp/norvik-random-%d-%s" % (os.getpid(), self.tag))
        shutil.rmtree(self.folder, ignore_errors=True)
        os.makedirs(self.folder)
        # Blender names its crash report after the .blend: one of its own per run.
        name = "random_%s_%d_%d" % (host.replace("blender-", "").replace(".", ""), seed,
                                    os.getpid())
        self.blend = os.path.join(self.folder, name + ".blend")
        shutil.copy(base_blend, self.blend)
        self.target = self.blend[:-6] + ".json"
        self.crash_report = os.path.join("/tmp", name + ".crash.txt")
        self.blender_log = os.path.join(out, self.tag + ".blender.log")
        self.log_path = os.path.join(out, self.tag + ".jsonl")
        self.log = open(self.log_path, "w", encoding="utf-8")
        self.start = time.time()
        self.totals = dict(edits=0, ok=0, refused=0, errors=0, checkpoints=0, mismatches=0,
                           versions=0, partial=0, status_errors=0, crashes=0)
        self.crash = None
        self.errors_seen = []
        self.last_error = None
        self.b = None

    def record(self, kind, **fields):
        fields = dict(kind=kind, host=self.host, seed=self.seed, addon=self.addon,
                      t=round(time.time() - self.start, 3), **fields)
        self.log.write(json.dumps(fields, default=str) + "\n")
        self.log.flush()
        return fields

    def alive(self):
        return self.b.process.poll() is None

    def call(self, code, timeout=120):
        from window import WindowError
        try:
            return self.b.call(code, timeout=timeout)
        except (OSError, WindowError) as exc:
            time.sleep(0.5)
            if not self.alive():
                raise Crash(str(exc)) from None
            if isinstance(exc, OSError):
                raise Crash("Blender alive but not answering (a hang?): %s" % exc) from None
            raise

    # -- the run ----------------------------------------------------------------

    def run(self):
        import live_window
        from window import WindowError
        if os.path.exists(self.crash_report):
            os.remove(self.crash_report)
        steps = plan(self.seed, self.opts.edits)[:self.count]
        self.record("start", edits=len(steps), checkpoint_every=self.opts.checkpoint_every,
                    blend=self.blend, machine=machine(), addon_source=addon_source())
        watcher = None
        last = None
        try:
            with live_window.live_blender(self.host, os.path.join(self.folder, "home"),
                                          blend=self.blend, display=self.display,
                                          log=self.blender_log, addon=self.addon) as b:
                self.b = b
                self.call("import faulthandler, random\nfaulthandler.enable(all_threads=True)\n"
                          "exec(compile(open(%r).read(), %r, 'exec'))\n%s%s"
                          % (EDITS_SOURCE, EDITS_SOURCE, PEEK, EXPORT))
                self.record("blender", version=self.call("result = bpy.app.version_string"))
                if self.addon:
                    watcher = Watcher(self.target, os.path.join(self.out,
                                                                self.tag + "-versions.jsonl"))
                    self.call("configure(mode='LIVE')")
                    b.wait_for("result = peek()['versions'] > 0", 30, interval=0.1,
                               what="the first live export")
                # Saved with LIVE on and opened again, as a project is: File > Revert
                # keeps LIVE on, and undo never goes back to before it was turned on
                # (the setting lives in the scene, and undo restores it too).
                self.call("with override(): bpy.ops.wm.save_mainfile()\n"
                          "with override(): bpy.ops.wm.revert_mainfile()")
                if self.addon:
                    b.wait_for("result = settings().mode == 'LIVE' and not peek()['paused']", 30,
                               what="LIVE on after opening the project")
                for index, (kind, edit_seed, pause) in enumerate(steps):
                    last = (index, kind, "edit")
                    self.edit(index, kind, edit_seed, pause)
                    last = (index, kind, "pause")
                    time.sleep(pause)
                    if not self.alive():
                        raise Crash("Blender ended")
                    every = self.opts.checkpoint_every
                    # A file loaded replaces the whole scene: the documents must follow it
                    # at once, not at the next change.
                    if self.addon and every and ((index + 1) % every == 0 or kind == "revert"
                                                 or index + 1 == len(steps)):
                        last = (index, kind, "checkpoint")
                        self.checkpoint(index)
                if self.addon:
                    # Versions written from what the export before gathered.
                    self.totals["reused"] = self.call("result = status()['reused']")
        except Crash as exc:
            self.crashed(last, str(exc))
        except WindowError as exc:
            # Code of this tool failed inside Blender (not an edit: those report
            # their own exceptions): the session cannot go on.
            self.totals["tool_errors"] = 1
            self.record("tool_error", at=last, error=str(exc)[-3000:])
            print("%s: %s" % (self.tag, exc), file=sys.stderr)
        finally:
            if watcher is not None:
                time.sleep(0.3)
                watcher.stop()
                self.versions(watcher.versions())
            if self.addon:
                self.console_errors()
        self.record("end", **self.totals)
        self.log.close()
        return self

    def edit(self, index, kind, edit_seed, pause):
        reply = self.call("before = peek()\nresult = run_edit(%r, %d)\nresult['before'] = before"
                          % (kind, edit_seed))
        self.totals["edits"] += 1
        self.totals[{"ok": "ok", "refused": "refused", "error": "errors"}[reply["outcome"]]] += 1
        before = reply.pop("before")
        fields = dict(index=index, op=kind, edit_seed=edit_seed, pause=pause, **reply)
        if before is not None:
            fields.update(versions=before["versions"], status_error=before["error"])
            # Seen before this edit: the state after the edits up to the previous one.
            self.saw_error(before["error"], index - 1)
        self.record("edit", **fields)
        if reply["outcome"] == "error":
            print("%s: edit %d (%s) raised:\n%s" % (self.tag, index, kind, reply["reason"]),
                  file=sys.stderr)

    def saw_error(self, error, after, where="status"):
        """An error of the live export, recorded once per episode."""
        if error is None:
            self.last_error = None
            return
        if error == self.last_error:
            return
        self.last_error = error
        self.totals["status_errors"] += 1
        self.errors_seen.append({"error": error, "after": after, "where": where})
        self.record("status_error", index=after, error=error, where=where)

    def console_errors(self):
        """Errors the live export printed that no look at the status caught
        (one that came and went between two edits)."""
        try:
            text = open(self.blender_log, encoding="utf-8", errors="replace").read()
        except OSError:
            return
        known = {e["error"] for e in self.errors_seen}
        for line in text.splitlines():
            if line.startswith("norvik live export: "):
                error = line[len("norvik live export: "):]
                if error not in known:
                    known.add(error)
                    self.last_error = None
                    self.saw_error(error, None, where="console")

    def settle(self):
        """Waits until no new version came for the quiet time; the status then."""
        delay = self.call("result = settings().delay")
        quiet = max(QUIET, delay + 0.5)
        status = self.call("result = peek()")
        since = time.monotonic()
        deadline = since + 30
        while time.monotonic() < deadline:
            time.sleep(0.1)
            now = self.call("result = peek()")
            if now["versions"] != status["versions"]:
                since = time.monotonic()
            status = now
            if time.monotonic() - since >= quiet and (not now["dirty"] or now["error"]):
                break
        return status, round(time.monotonic() - since, 2)

    def checkpoint(self, index):
        from norvik_records.watch import identity
        self.totals["checkpoints"] += 1
        status, quiet = self.settle()
        camera = self.target[:-5] + "_cameras.json"
        fresh = os.path.join(self.folder, "fresh", "check.json")
        os.makedirs(os.path.dirname(fresh), exist_ok=True)
        for path in (fresh, fresh[:-5] + "_cameras.json"):
            if os.path.exists(path):
                os.remove(path)
        before = identity(self.target)
        live = {}
        for name, path in (("scene", self.target), ("cameras", camera)):
            try:
                live[name] = _load(path)
            except (OSError, ValueError) as exc:
                live[name] = None
                live[name + "_error"] = str(exc)
        exported = self.call("result = fresh_export(%r)" % fresh)
        problems = []
        if exported["failed"]:
            problems.append(exported["failed"])
        else:
            for name, path in (("scene", fresh), ("cameras", fresh[:-5] + "_cameras.json")):
                if live[name] is None:
                    problems.append("live %s document: %s" % (name, live[name + "_error"]))
                    continue
                problems += ["%s: %s" % (name, d) for d in differences(live[name], _load(path))]
        if live["scene"] is not None:
            lost = [n for n in exported["owed"] if n not in live["scene"]]
            if lost:
                problems.append("visible mesh objects missing from the live document: %s"
                                % ", ".join(lost))
        after = identity(self.target)
        fields = dict(index=index, versions=status["versions"], quiet=quiet,
                      status_error=status["error"], incomplete=status["incomplete"],
                      mode=exported["mode"],
                      objects=len(live["scene"] or ()), problems=problems,
                      replaced_by_export=before != after)
        if problems:
            self.totals["mismatches"] += 1
        self.saw_error(status["error"], index)
        if problems or status["error"]:
            shot = os.path.join(self.out, "%s-checkpoint%d.png" % (self.tag, index))
            try:
                self.display.screenshot(shot)
                fields["screenshot"] = shot
            except Exception:
                pass
        self.record("checkpoint", **fields)

    def versions(self, seen):
        for v in seen:
            self.totals["versions"] += v["document"] == "scene"
            if v["problems"]:
                self.totals["partial"] += 1
            v = dict(v)
            v.pop("kind")
            self.record("version", t_version=round(v.pop("time") - self.start, 3), **v)

    def crashed(self, last, message):
        self.totals["crashes"] += 1
        time.sleep(1.0)             # the crash report written
        try:
            text = open(self.blender_log, encoding="utf-8", errors="replace").read()
        except OSError:
            text = ""
        stack = ""
        found = re.search(r"Fatal Python error.*", text, re.S)
        if found:
            stack = found.group(0)[:6000]
        report = ""
        if os.path.exists(self.crash_report):
            report = open(self.crash_report, encoding="utf-8", errors="replace").read()[:6000]
            shutil.copy(self.crash_report, os.path.join(self.out, self.tag + ".crash.txt"))
        index, kind, phase = last or (None, None, "start-up")
        code = self.b.process.returncode if self.b is not None else None
        self.crash = self.record("crash", index=index, op=kind, phase=phase, returncode=code,
                                 message=message, python_stack=stack, crash_report=report,
                                 log_tail=text[-3000:])


# -- the command ----------------------------------------------------------------

def machine():
    """The CPU, its cores and the load: figures depend on them."""
    cpu = "?"
    try:
        with open("/proc/cpuinfo") as f:
            cpu = next(line.split(":", 1)[1].strip() for line in f if line.startswith("model name"))
    except (OSError, StopIteration):
        pass
    return "%s, %d cores, load %.2f" % (cpu, os.cpu_count(), os.getloadavg()[0])


def addon_source():
    """The checkout's commit and a digest of the add-on's files as they are
    (the add-on is copied from the working tree when Blender starts)."""
    digest = hashlib.sha1()
    folder = os.path.join(ROOT, "addon", "norvik_exporter")
    for name in sorted(os.listdir(folder)):
        if name.endswith(".py"):
            with open(os.path.join(folder, name), "rb") as f:
                digest.update(name.encode() + f.read())
    commit = subprocess.run(["git", "-C", ROOT, "rev-parse", "--short", "HEAD"],
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True).stdout
    return "%s, add-on files %s" % (commit.strip() or "?", digest.hexdigest()[:12])


def seeds_of(text):
    seeds = []
    for part in text.split(","):
        first, _, last = part.partition("-")
        seeds += range(int(first), int(last or first) + 1)
    return seeds


def command(opts, seed, edits, no_addon=False):
    words = [".venv/bin/python", "tools/random_edits.py", "--host", opts.host, "--seeds", str(seed), "--edits",
             str(edits), "--checkpoint-every", str(opts.checkpoint_every)]
    return " ".join(words + (["--no-addon"] if no_addon else []))


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--host", choices=("blender-3.4", "blender-4.3"), default="blender-3.4")
    p.add_argument("--seeds", default="1", help="e.g. 1-10 or 3,7")
    p.add_argument("--in-place", action="store_true",
                   help="a scene whose meshes are all read in place: live export reuses "
                        "what it gathered while only placements change")
    p.add_argument("--edits", type=int, default=100)
    p.add_argument("--checkpoint-every", type=int, default=10)
    p.add_argument("--out", default=None, help="logs and screenshots (default: a new folder "
                                               "under /tmp)")
    p.add_argument("--no-addon", action="store_true",
                   help="replay the sessions without the add-on (no live export, no checkpoints)")
    p.add_argument("--replays", type=int, default=2,
                   help="replays without the add-on after a crash, until one crashes")
    p.add_argument("--watch-documents", help=argparse.SUPPRESS)
    p.add_argument("--watch-log", help=argparse.SUPPRESS)
    opts = p.parse_args(argv)
    if opts.watch_documents:
        return watch_documents(opts.watch_documents, opts.watch_log)

    import live_window
    from window import Display
    reason = live_window.missing_host(opts.host)
    if reason:
        print(reason, file=sys.stderr)
        return 2
    out = os.path.abspath(opts.out or "/tmp/norvik-random-edits-%s" % time.strftime("%H%M%S"))
    os.makedirs(out, exist_ok=True)
    base = build_scene(os.path.join(out, "scene"), opts.in_place)
    totals = {}
    failing = []
    crashes = []
    errors_seen = []
    with Display() as display:
        for seed in seeds_of(opts.seeds):
            session = Session(display, opts.host, seed, opts, base, out,
                              addon=not opts.no_addon).run()
            for key, value in session.totals.items():
                totals[key] = totals.get(key, 0) + value
            errors_seen += [dict(e, seed=seed) for e in session.errors_seen]
            faults = session.totals["mismatches"] + session.totals["partial"] + \
                session.totals["status_errors"] + session.totals.get("tool_errors", 0)
            crash = session.crash
            if crash is not None:
                upto = crash["index"] + 1 if crash["index"] is not None else 0
                entry = {"seed": seed, "index": crash["index"], "op": crash["op"],
                         "phase": crash["phase"], "replays": [],
                         "reproduce": command(opts, seed, upto)}
                if not opts.no_addon:
                    for attempt in range(opts.replays):
                        replay = Session(display, opts.host, seed, opts, base, out, addon=False,
                                         count=upto).run()
                        entry["replays"].append(replay.crash is not None)
                        shutil.rmtree(replay.folder, ignore_errors=True)
                        session_log = open(session.log_path, "a", encoding="utf-8")
                        session_log.write(json.dumps({
                            "kind": "replay", "seed": seed, "attempt": attempt, "edits": upto,
                            "crashed": replay.crash is not None,
                            "crash": replay.crash, "log": replay.log_path}) + "\n")
                        session_log.close()
                        if replay.crash is not None:
                            break
                    entry["replay"] = command(opts, seed, upto, no_addon=True)
                crashes.append(entry)
                if opts.no_addon or not any(entry["replays"]):
                    faults += 1
            if faults:
                failing.append({"seed": seed, "log": session.log_path, "project": session.folder,
                                "reproduce": command(opts, seed, opts.edits)})
            elif crash is None:
                shutil.rmtree(session.folder, ignore_errors=True)
            print("%s seed %d: %s" % (opts.host, seed, ", ".join(
                "%s %d" % (k, v) for k, v in session.totals.items())), flush=True)
    summary = {"host": opts.host, "seeds": seeds_of(opts.seeds), "edits_per_seed": opts.edits,
               "checkpoint_every": opts.checkpoint_every, "addon": not opts.no_addon,
               "totals": totals, "crashes": crashes, "failing": failing,
               "status_errors_seen": errors_seen, "machine": machine(), "out": out}
    with open(os.path.join(out, "summary.json"), "w", encoding="utf-8") as f:
        json.dump(summary, f, indent=1)
    print("%s, %d seeds x %d edits%s: edits %d (refused %d, raised %d), checkpoints %d, "
          "mismatches %d, versions %d (reused %d), partial documents %d, status errors %d, "
          "crashes %d"
          % (opts.host, len(summary["seeds"]), opts.edits, "" if not opts.no_addon else
             " without the add-on", totals.get("edits", 0), totals.get("refused", 0),
             totals.get("errors", 0), totals.get("checkpoints", 0), totals.get("mismatches", 0),
             totals.get("versions", 0), totals.get("reused", 0), totals.get("partial", 0),
             totals.get("status_errors", 0), totals.get("crashes", 0)))
    for c in crashes:
        print("crash: seed %d, edit %s (%s, %s); replays without the add-on crashed: %s\n"
              "  reproduce: %s\n  replay:    %s" % (c["seed"], c["index"], c["op"], c["phase"],
                                                   c["replays"], c["reproduce"],
                                                   c.get("replay", "-")))
    for e in errors_seen:
        print("status error (%s): seed %d after edit %s: %s" % (e["where"], e["seed"],
                                                                e["after"], e["error"]))
    for f in failing:
        print("failing: seed %d (%s, the project in %s)\n  reproduce: %s"
              % (f["seed"], f["log"], f["project"], f["reproduce"]))
    print("logs in " + out)
    return 1 if failing else 0


if __name__ == "__main__":
    sys.exit(main())
