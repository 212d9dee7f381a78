"""Live and on-save export in Blender with a window (3.4.1 and 4.3.2 under
Xvfb, tools/window.py), and the headless watch tools.

Two scenarios per host: what the artist does while LIVE is on (moves, a
drag, objects added, renamed and deleted, an edit in edit mode, a target
that cannot be written and its repair), and what happens around files (on
save, reopening the .blend, a .blend whose target leaves its folder,
disabling and enabling the add-on).  Documents are read back as an engine
would (norvik_records.check).
"""
import json
import os
import shutil
import signal
import subprocess
import sys
import time

import numpy as np
import pytest

import live_window
from hosts import missing, windowed
from norvik_records import check

pytestmark = windowed

ROOT = live_window.ROOT


@pytest.fixture(scope="module")
def demo(tmp_path_factory):
    if shutil.which("blender") is None:
        missing("blender is not installed (tools/window_hosts.sh)")
    folder = tmp_path_factory.mktemp("demo", numbered=True)
    return live_window.demo_blend(str(folder / "demo.blend"), str(folder / "out"))


@pytest.fixture(params=live_window.HOSTS)
def project(request, demo):
    """A project folder under /tmp (blender-4.3 sees only /tmp and the
    checkout) holding demo.blend, and the host."""
    reason = live_window.missing_host(request.param)
    if reason:
        missing(reason)
    folder = os.path.realpath(os.path.join("/tmp", "norvik-live-%d-%s" % (os.getpid(),
                                                                          request.param)))
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    shutil.copy(demo, folder)
    yield request.param, folder
    shutil.rmtree(folder, ignore_errors=True)


def documents(scene_path):
    """The scene document as an engine reads it, checked; name -> section."""
    check.check_documents(scene_path, scene_path[:-5] + "_cameras.json")
    with open(scene_path, encoding="utf-8") as f:
        return json.load(f)


def panel(path, name="Panel"):
    return np.array(documents(path)[name]["vertices"]).reshape(-1, 3)


def x_of(doc, name):
    return doc[name]["instances"][0][12] / 100.0


def new_version(b, after, what, timeout=30):
    return b.wait_for("result = status()['versions'] > %d and status()" % after, timeout,
                      interval=0.1, what=what)


def versions(b):
    return b.call("result = status()['versions']")


def quiet(b, seconds=1.5):
    """Versions written while Blender idles for ``seconds`` (loop turns included)."""
    before = versions(b)
    time.sleep(seconds)
    b.idle(5)
    return versions(b) - before


def test_live_edits(project):
    host, folder = project
    target = os.path.join(folder, "demo.json")
    with live_window.live_blender(host, os.path.join(folder, "home"),
                                  blend=os.path.join(folder, "demo.blend")) as b:
        # Turning LIVE on writes at once, next to the .blend, named after it.
        b.call("configure(mode='LIVE')")
        new_version(b, 0, "the first export")
        doc = documents(target)
        assert {"Suzanne", "Panel", "Crate"} <= set(doc)
        assert quiet(b) == 0, "an export with nothing changed"

        # A move; selection and shading export nothing.
        n = versions(b)
        b.call("bpy.data.objects['Suzanne'].location.x = 2.0")
        new_version(b, n, "the move")
        assert x_of(documents(target), "Suzanne") == pytest.approx(2.0)
        b.call("ob = bpy.data.objects['Suzanne']; bpy.context.view_layer.objects.active = ob\n"
               "for o in bpy.context.view_layer.objects: o.select_set(o == ob)\n"
               "areas('VIEW_3D')[0].spaces.active.shading.type = 'WIREFRAME'")
        assert quiet(b) == 0, "selection or shading exported"

        # A drag (G, the pointer moving for about 2 s, a click): the document
        # follows during the drag, at most once per interval, and ends where
        # the drag ended.
        left, top, width, height = b.rect("region = region_of(areas('VIEW_3D')[0])")
        cx, cy = left + width // 2, top + height // 2
        b.move(cx, cy)
        b.call("live().export_times = []; _e = live().export\n"
               "def traced(*a, **k):\n"
               "    r = _e(*a, **k); live().export_times.append(time.monotonic()); return r\n"
               "live().export = traced")
        n = versions(b)
        b.key("g", pause=0.3)
        start = time.monotonic()
        step = 0
        while time.monotonic() - start < 2.0:
            step += 1
            b.move(cx + 6 * step, cy)
            time.sleep(0.05)
        during = versions(b) - n
        b.click(cx + 6 * step, cy)
        b.idle(3)
        final = b.call("result = bpy.data.objects['Suzanne'].location.x")
        b.wait_for("import json\nresult = abs(json.load(open(%r))['Suzanne']['instances'][0][12]"
                   " / 100 - %r) < 1e-3" % (target, final), 20, what="the drag's end")
        times, delay, duration, pace = b.call("s = live().state; result = (live().export_times, "
                                              "settings().delay, s.last_duration, live().PACE)")
        b.call("live().export = _e")
        assert final > 2.0 and during >= 2, (final, during, times)
        gaps = [t1 - t0 for t0, t1 in zip(times, times[1:])]
        assert min(gaps) >= max(delay, pace * duration) * 0.9, gaps
        assert x_of(documents(target), "Suzanne") == pytest.approx(final, abs=1e-4)

        # An animated object follows the current frame.
        b.call("ob = bpy.data.objects['Suzanne']; ob.keyframe_insert('location', index=0, frame=1)\n"
               "ob.location.x += 5; ob.keyframe_insert('location', index=0, frame=11)")
        quiet(b)
        n = versions(b)
        b.call("bpy.context.scene.frame_set(6)")
        new_version(b, n, "the frame change")
        x = b.call("result = bpy.data.objects['Suzanne'].location.x")
        assert x_of(documents(target), "Suzanne") == pytest.approx(x, abs=1e-5) and x > final
        b.call("bpy.data.objects['Suzanne'].animation_data_clear()")

        # Objects added, renamed, deleted.
        n = versions(b)
        b.call("with override(): bpy.ops.mesh.primitive_ico_sphere_add(location=(0, -5, 0))\n"
               "result = bpy.context.object.name")
        new_version(b, n, "the added object")
        assert "Icosphere" in documents(target)
        n = versions(b)
        b.call("bpy.data.objects['Icosphere'].name = 'Ball'")
        new_version(b, n, "the rename")
        assert "Ball" in documents(target) and "Icosphere" not in documents(target)
        n = versions(b)
        b.call("bpy.data.objects.remove(bpy.data.objects['Ball'])")
        new_version(b, n, "the deletion")
        assert "Ball" not in documents(target)

        # An edit in edit mode, exported while still in edit mode, with and
        # without modifiers (the mesh's own data lags behind edit mode), on
        # the object edited and on a linked duplicate of it (whose evaluated
        # mesh is a view of the edit mesh too).
        n = versions(b)
        b.call("ob = bpy.data.objects['Panel']; dup = ob.copy(); dup.name = 'Twin'\n"
               "dup.location.y -= 3; ob.users_collection[0].objects.link(dup)")
        new_version(b, n, "the linked duplicate")
        before = panel(target)
        assert np.allclose(panel(target, "Twin"), before)
        b.call("ob = bpy.data.objects['Panel']; bpy.context.view_layer.objects.active = ob\n"
               "for o in bpy.context.view_layer.objects: o.select_set(o == ob)\n"
               "with override(): bpy.ops.object.mode_set(mode='EDIT')\n"
               "with override(): bpy.ops.mesh.select_all(action='SELECT')")
        for modifiers, rise in ((True, 1.0), (False, 2.0)):
            b.call("configure(use_modifiers=%r)\n"
                   "with override(): bpy.ops.transform.translate(value=(0, 0, 1))" % modifiers)
            deadline = time.monotonic() + 20
            while True:
                moved = panel(target) - before
                twin = panel(target, "Twin") - before
                if np.allclose(moved, moved[0], atol=1e-3) and np.allclose(twin, moved) and \
                        abs(np.linalg.norm(moved[0]) - rise) < 1e-3:
                    break
                assert time.monotonic() < deadline, (modifiers, moved[:3], twin[:3])
                time.sleep(0.2)
            assert b.call("result = bpy.data.objects['Panel'].mode") == 'EDIT'
            assert b.call("result = status()['error']") is None
        assert quiet(b) == 0, "the edit-mode copy exports again and again"
        b.call("with override(): bpy.ops.object.mode_set(mode='OBJECT')\n"
               "bpy.data.objects.remove(bpy.data.objects['Twin'])")
        quiet(b)

        # A target that cannot be written: the status and one console line
        # say so; the documents stay; the repair and a change write again.
        blocked = os.path.join(folder, "blocked")
        open(blocked, "w").close()
        n = versions(b)
        b.call("configure(filepath='//blocked/demo.json')")
        b.wait_for("result = status()['error']", 20, what="the error")
        for x in (3.0, 3.5):
            b.call("bpy.data.objects['Suzanne'].location.x = %r" % x)
            time.sleep(1)
        status = b.call("result = status()")
        assert "blocked" in status["error"] and status["versions"] == n, status
        assert b.output().count("norvik live export: could not write") == 1, b.output()[-3000:]
        os.remove(blocked)
        os.mkdir(blocked)
        b.call("bpy.data.objects['Suzanne'].location.x = 4.0")
        new_version(b, n, "the export after the repair")
        assert b.call("result = status()['error']") is None
        assert x_of(documents(os.path.join(blocked, "demo.json")), "Suzanne") == 4.0


def test_files_and_switching(project):
    host, folder = project
    blend = os.path.join(folder, "demo.blend")
    target = os.path.join(folder, "demo.json")
    outside = folder + "-outside"
    shutil.rmtree(outside, ignore_errors=True)
    os.makedirs(outside)
    os.symlink(outside, os.path.join(folder, "link"))
    for name, mode, path in (("linked", 1, "//link/linked.json"),
                             ("up", 2, "//../%s/up.json" % os.path.basename(outside))):
        craft(blend, os.path.join(folder, name + ".blend"), mode, path)
    try:
        with live_window.live_blender(host, os.path.join(folder, "home"), blend=blend) as b:
            # ON_SAVE: changes write nothing, each save writes once.
            b.call("configure(mode='ON_SAVE')\nbpy.data.objects['Suzanne'].location.x = 1.0")
            assert quiet(b) == 0 and not os.path.exists(target)
            b.call("bpy.ops.wm.save_mainfile()")
            assert versions(b) == 1 and x_of(documents(target), "Suzanne") == 1.0

            # LIVE saved in the .blend: reopening writes the scene loaded (here
            # with Suzanne where it was saved, not where it was moved since),
            # then follows it.
            b.call("configure(mode='LIVE')")
            new_version(b, 1, "turning LIVE on")
            b.call("bpy.ops.wm.save_mainfile()")
            b.call("bpy.data.objects['Suzanne'].location.x = 4.0")
            n = new_version(b, 2, "a change before reopening")["versions"]
            b.call("bpy.ops.wm.open_mainfile(filepath=%r)" % blend)
            b.wait_for("result = bpy.data.filepath == %r" % blend, 30)
            n = new_version(b, n, "reopening")["versions"]
            assert x_of(documents(target), "Suzanne") == 1.0
            b.call("bpy.data.objects['Suzanne'].location.x = 5.0")
            new_version(b, n, "a change after reopening")
            assert x_of(documents(target), "Suzanne") == 5.0

            # Files from elsewhere whose documents land outside their folder
            # (through .. and through a symbolic link) stay paused until the
            # user resumes them.
            for name, mode in (("linked", 'ON_SAVE'), ("up", 'LIVE')):
                b.call("bpy.ops.wm.open_mainfile(filepath=%r)"
                       % os.path.join(folder, name + ".blend"))
                b.wait_for("result = bpy.data.filepath.endswith(%r)" % (name + ".blend"), 30)
                assert b.call("result = settings().mode") == mode
                n = versions(b)
                b.call("bpy.data.objects['Suzanne'].location.x = 6.0")
                time.sleep(1)
                b.call("bpy.ops.wm.save_mainfile()")
                status = b.call("result = status()")
                assert status["paused"] and "outside" in status["paused"], status
                assert status["versions"] == n, status
                assert not os.path.exists(os.path.join(outside, name + ".json"))
                b.call("bpy.ops.norvik.live_resume()")
                if mode == 'ON_SAVE':
                    b.call("bpy.ops.wm.save_mainfile()")
                new_version(b, n, "resuming")
                assert x_of(documents(os.path.join(outside, name + ".json")), "Suzanne") == 6.0

            # Disabling leaves nothing armed; enabling again doubles nothing.
            armed = ("from bpy.app import handlers as h\n"
                     "result = [sum(getattr(f, '_norvik_live', False) for f in getattr(h, k))"
                     " for k in ('depsgraph_update_post', 'frame_change_post', 'save_post',"
                     " 'load_post')] + [bpy.app.timers.is_registered(live()._tick)]")
            b.call("bpy.ops.preferences.addon_disable(module='norvik_exporter')")
            assert b.call(armed) == [0, 0, 0, 0, False]
            assert not b.call("result = hasattr(bpy.types.Scene, 'norvik_live')")
            written = os.path.getmtime(os.path.join(outside, "up.json"))
            b.call("bpy.data.objects['Suzanne'].location.x = 7.0")
            time.sleep(1)
            assert os.path.getmtime(os.path.join(outside, "up.json")) == written
            for _ in range(2):
                b.call("bpy.ops.preferences.addon_enable(module='norvik_exporter')")
            assert b.call(armed) == [1, 1, 1, 1, False]
            # The settings stayed in the scene; the file is trusted again
            # only by the user's choice.
            assert b.call("result = (settings().mode, live().paused_reason(settings()))")[1]
            b.call("configure(mode='OFF'); configure(mode='LIVE')")
            b.wait_for("import json\nresult = json.load(open(%r))['Suzanne']['instances'][0][12]"
                       " == 700" % os.path.join(outside, "up.json"), 30)
    finally:
        shutil.rmtree(outside, ignore_errors=True)


def test_reuse_between_exports(project):
    """While only placements change, a live export reuses what the last one
    gathered; every other change gathers afresh.  Each document written
    equals File > Export's of the same state."""
    host, folder = project
    blend = os.path.join(folder, "plain.blend")
    # Meshes read in place only (the demo's geometry-node copies are never reused).
    subprocess.run(["blender", "-b", "--factory-startup", "--python-expr",
                    "import bpy\n"
                    "for i in range(200):\n"
                    "    bpy.ops.mesh.primitive_ico_sphere_add(subdivisions=1, "
                    "location=(i %% 20, i // 20, 0))\n"
                    "bpy.ops.mesh.primitive_monkey_add(location=(0, -3, 0))\n"
                    "bpy.context.object.name = 'Monkey'\n"
                    "bpy.context.object.modifiers.new('S', 'SUBSURF')\n"
                    "bpy.ops.wm.save_as_mainfile(filepath=%r)" % blend],
                   check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=120)
    target, fresh = os.path.join(folder, "plain.json"), os.path.join(folder, "fresh.json")
    with live_window.live_blender(host, os.path.join(folder, "home"), blend=blend) as b:
        b.call("import norvik_exporter.exporter as X\nX.again = 0; _w = X._write_again\n"
               "def counted(*a, **k):\n    X.again += 1\n    return _w(*a, **k)\n"
               "X._write_again = counted\nconfigure(mode='LIVE')")
        new_version(b, 0, "the first export")

        def step(code, reused, what):
            n = versions(b)
            again = b.call("result = X.again")
            b.call(code)
            new_version(b, n, what)
            quiet(b, 0.5)
            b.call("bpy.ops.export_scene.norvik(filepath=%r)" % fresh)
            assert documents(target) == documents(fresh), what
            assert b.call("result = X.again") - again == reused, what
            assert b.call("result = status()['error']") is None

        move = "bpy.data.objects[%r].location.z += 0.5"
        for name in ("Icosphere.001", "Monkey"):
            step(move % name, 1, "moving " + name)
        for code, what in (
                ("bpy.data.objects['Monkey'].modifiers['S'].levels = 2", "a modifier's level"),
                ("me = bpy.data.objects['Icosphere.002'].data\n"
                 "me.vertices[0].co.x += 1; me.update()", "a mesh's edit"),
                ("bpy.ops.ed.undo_push(message='move')\n" + move % "Icosphere.003" + "\n"
                 "bpy.ops.ed.undo_push(message='moved')\nwith override(): bpy.ops.ed.undo()",
                 "an undo"),
                ("bpy.data.objects['Icosphere.004'].hide_viewport = True", "hiding"),
                ("bpy.data.objects['Icosphere.005'].name = 'Renamed'", "a rename"),
                ("bpy.context.scene.frame_set(5)\n" + move % "Icosphere.006", "a frame change")):
            step(code, 0, what)
            step(move % "Icosphere.007", 1, "a move after " + what)


def craft(blend, path, mode, target):
    """A copy of ``blend`` whose live settings (as stored, without the add-on:
    mode 1 is ON_SAVE, 2 LIVE) write to ``target``."""
    subprocess.run(["blender", "-b", "--factory-startup", blend, "--python-expr",
                    "import bpy; bpy.context.scene['norvik_live'] = {'mode': %d, 'filepath': %r}; "
                    "bpy.ops.wm.save_as_mainfile(filepath=%r, copy=True)" % (mode, target, path)],
                   check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=120)


# -- headless: norvik-export --watch and the reference consumer -----------------

def test_watch_and_watcher(demo, tmp_path):
    blend = tmp_path / "scene.blend"
    shutil.copy(demo, blend)
    out = tmp_path / "out"
    scene_doc = out / "scene.json"
    env = dict(os.environ, PYTHONPATH=os.path.join(ROOT, "python"), PYTHONUNBUFFERED="1")
    watcher = subprocess.Popen([sys.executable, "-m", "norvik_records.watch", str(scene_doc)],
                               stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                               env=env)
    watch = subprocess.Popen(["blender", "-b", "--factory-startup", "--python",
                              os.path.join(ROOT, "addon", "norvik_exporter", "cli.py"), "--",
                              "--blend", str(blend), "--out", str(out), "--watch"],
                             stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    try:
        lines = _lines(watch, 1, "Exported ")
        # A save as Blender does it (a new file renamed over the .blend), twice.
        for x in (2.0, 3.0):
            subprocess.run(["blender", "-b", str(blend), "--python-expr",
                            "import bpy; bpy.data.objects['Suzanne'].location.x = %r; "
                            "bpy.ops.wm.save_mainfile()" % x],
                           check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                           timeout=120)
            lines = _lines(watch, lines + 1, "Exported ")
        assert x_of(documents(str(scene_doc)), "Suzanne") == 3.0
        seen = _lines(watcher, 3, "scene.json: version ")
        assert seen == 3
    finally:
        for p in (watch, watcher):
            p.send_signal(signal.SIGINT)
        assert watch.wait(60) == 0
        assert watcher.wait(60) == 0
    text = watcher.stdout.read()
    assert "problem" not in text, text


def _lines(process, count, prefix, timeout=120):
    """Reads ``process``'s output until ``count`` lines starting with ``prefix``
    have been seen (counted across calls); that count."""
    seen = getattr(process, "_seen", 0)
    deadline = time.monotonic() + timeout
    while seen < count:
        line = process.stdout.readline()
        assert line and time.monotonic() < deadline, "ended before %d lines %r" % (count, prefix)
        seen += line.startswith(prefix)
    process._seen = seen
    return seen
