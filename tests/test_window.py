"""The add-on in Blender with a window (Debian's 3.4.1, Debian 13's 4.3.2 under
Xvfb), driven with the keys and clicks a user makes (tools/window.py).

One scenario per host, each checking a lot, since every Blender start costs
seconds: the add-on installed as its users install it (3.4: the scripts
folder; 4.3: the extension zip through Preferences > Get Extensions > Install
from Disk); File > Export > norvik Scene through the menu with the file
browser's default name; again through F3 with every option of the dialog
toggled by a click; an unwritable target, reported, with the previous
document left in place; the progress of a 10,000-object export; in 4.3 a
collection's exporter; subdivided meshes read where Blender keeps them
unless the GPU may have been left the subdivision. Every document is read
back as an engine reads it.
"""
import contextlib
import json
import os
import shutil
import subprocess
import sys
import time

import pytest

from hosts import ROOT, missing, windowed

sys.path.insert(0, os.path.join(ROOT, "tools"))
import window  # noqa: E402
from norvik_records import check  # noqa: E402

pytestmark = windowed

DEMO_MEMBERS = {"Suzanne", "Panel", "Crate", "Pillar", "Scatter.Crate", "Scatter.Mesh"}
OPTIONS = ("use_selection", "use_modifiers", "use_cameras", "use_mesh_only")
# Seconds of start-up before the first key: Blender 4.3 compiles shaders on
# its first redraws and drops keys meanwhile.
SETTLE = {"blender-3.4": 3, "blender-4.3": 8}


@pytest.fixture(scope="module")
def display():
    if not shutil.which("Xvfb") or not shutil.which("xdotool"):
        missing("Xvfb and xdotool are not installed (tools/window_hosts.sh)")
    with window.Display() as d:
        yield d


@pytest.fixture(scope="module")
def demo_blend(tmp_path_factory):
    """The demo scene saved as a .blend (by Blender 3.4, which both hosts read)."""
    if shutil.which("blender") is None:
        missing("blender is not installed (tools/setup_blender.sh)")
    folder = tmp_path_factory.mktemp("demo")
    run = subprocess.run(["blender", "-b", "--factory-startup", "--python",
                          os.path.join(ROOT, "addon", "norvik_exporter", "cli.py"), "--",
                          "--save-demo", str(folder / "demo.blend"), "--out", str(folder / "out")],
                         stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, timeout=300)
    assert run.returncode == 0, run.stdout
    return folder / "demo.blend"


def start(display, host, blend, home, tmp_path):
    reason = window.missing_host(host)
    if reason:
        missing(reason)
    return window.Blender(display, host, blend=str(blend), env={"HOME": str(home)},
                          log=str(tmp_path / ("%s.log" % host)))


def file_browser(blender):
    """The open file browser's operator and its options, name and folder."""
    return blender.wait_for("""
sp, win = file_browser()
result = sp and sp.active_operator and dict(
    op=sp.active_operator.bl_idname, filename=sp.params.filename,
    directory=os.fsdecode(sp.params.directory),
    options={k: getattr(sp.active_operator, k) for k in %r if hasattr(sp.active_operator, k)})
""" % (OPTIONS,), timeout=30, what="the file browser")


def confirm(blender, reported=True):
    """Return over the file browser's file list, as the user confirms it; then
    until the operator has reported (when ``reported``)."""
    before = len(blender.call("result = reports()")) if reported else 0
    left, top, width, height = blender.rect(
        "sp, win = file_browser()\n"
        "region = region_of(next(a for a in win.screen.areas if a.type == 'FILE_BROWSER'))")
    ox, oy = blender.window_origin("File View")
    blender.move(ox + left + width // 2, oy + top + height // 2)
    blender.key("Return", pause=1)
    blender.wait_for("result = file_browser()[0] is None", timeout=120, what="the browser to close")
    if reported:
        blender.wait_for("result = len(reports()) > %d" % before, timeout=120,
                         what="the operator's report")


def toggle(blender, box, option):
    """A click on ``box``, then until the dialog's ``option`` has changed: the
    event loop under software OpenGL can take a second to turn."""
    value = file_browser(blender)["options"][option]
    for _ in range(3):
        blender.click(box[0], box[1], pause=0.3)
        try:
            blender.wait_for("sp, win = file_browser()\nresult = sp.active_operator.%s != %r"
                             % (option, value), timeout=5)
            time.sleep(0.4)     # past the double-click time before the next click
            return
        except window.WindowError:
            pass
    raise AssertionError("a click on %s's box did not toggle it" % option)


DEFAULTS = dict(use_selection=False, use_modifiers=True, use_cameras=True, use_mesh_only=False)


def set_options(blender, wanted):
    """The export dialog's options made ``wanted`` by clicks on their boxes
    (the dialog starts with those of the last export that succeeded)."""
    options = file_browser(blender)["options"]
    left, top, width, height = blender.rect(
        "sp, win = file_browser()\n"
        "region = region_of(next(a for a in win.screen.areas if a.type == 'FILE_BROWSER'), "
        "'TOOL_PROPS')")
    ox, oy = blender.window_origin("File View")
    boxes = blender.checkboxes([ox + left, oy + top, width, height])
    assert [ticked for _, _, ticked in boxes] == [options[k] for k in OPTIONS], (boxes, options)
    for name, box in zip(OPTIONS, boxes):
        if options[name] != wanted[name]:
            toggle(blender, box, name)
    assert file_browser(blender)["options"] == wanted


def last_report(blender, kind):
    found = [r for r in blender.call("result = reports()") if kind in r]
    return found[-1] if found else None


def export_by_menu(blender):
    """File > Export > norvik Scene: the menus' own keys after a click on File."""
    blender.click(44, 12, pause=1)
    blender.key("e", pause=1)
    blender.key("n", pause=1.5)


def export_by_search(blender):
    # Over the 3D View, without a click (which would select or deselect).
    left, top, width, height = blender.rect("region = region_of(areas('VIEW_3D')[0])")
    blender.move(left + width // 2, top + height // 2)
    blender.key("F3", pause=1.5)
    blender.type("norvik", pause=1.5)
    blender.key("Return", pause=1.5)


def install_user_addon(addon_dir, home):
    """3.4: the add-on in the user's scripts folder (before Blender starts),
    enabled in the preferences."""
    scripts = home / ".config" / "blender" / "3.4" / "scripts" / "addons"
    shutil.copytree(os.path.join(addon_dir, "norvik_exporter"), scripts / "norvik_exporter")
    return lambda blender: blender.call("bpy.ops.preferences.addon_enable(module='norvik_exporter')\n"
                 "result = 'norvik_exporter' in bpy.context.preferences.addons") and "norvik_exporter"


def install_from_disk(blender, extension_zip):
    """4.3: Edit > Preferences > Get Extensions, the menu at its top right >
    Install from Disk, the zip chosen in the file browser, Return."""
    blender.click(77, 12, pause=1)              # Edit
    blender.key("p", pause=2)                   # Preferences...
    # Without a window manager the new window opens where the pointer was,
    # partly off the screen: moved into view, as a user drags it.
    found = blender.display.xdotool("search", "--name", "Preferences").split()
    blender.display.xdotool("windowmove", "--sync", found[-1], 300, 150)
    time.sleep(1)
    prefs = ("win = next(w for w in bpy.context.window_manager.windows "
             "if w.screen.areas[0].type == 'PREFERENCES')\n")
    blender.call("bpy.context.preferences.active_section = 'EXTENSIONS'")    # its tab
    blender.idle()
    left, top, width, _ = blender.rect(prefs + "region = region_of(win.screen.areas[0])")
    ox, oy = blender.window_origin("Preferences")
    blender.click(ox + left + width - 18, oy + top + 17, pause=1.5)          # the menu
    blender.key("f", pause=2)                   # Install from Disk...
    assert file_browser(blender)["op"] == "EXTENSIONS_OT_package_install_files"
    # The zip's folder and name, as typed into the browser's fields.
    blender.call("sp, win = file_browser()\nsp.params.directory = %r\nsp.params.filename = %r"
                 % (os.fsencode(os.path.dirname(extension_zip) + "/"),
                    os.path.basename(extension_zip)))
    confirm(blender, reported=False)
    module = "bl_ext.user_default.norvik_exporter"
    blender.wait_for("result = %r in bpy.context.preferences.addons" % module, timeout=60,
                     what="the extension to be enabled")
    blender.call(prefs + "with bpy.context.temp_override(window=win):\n"
                 "    bpy.ops.wm.window_close()")
    return module


@contextlib.contextmanager
def on_failure(blender, tmp_path):
    """A failure leaves a screenshot of the display and Blender's output."""
    try:
        yield
    except BaseException:
        shot = blender.display.screenshot(str(tmp_path / "failure.png"))
        print("screenshot: %s\nBlender printed:\n%s" % (shot, blender.output()[-3000:]))
        raise


def read_back(scene, cameras=None):
    """The documents as an engine reads them (checked first)."""
    check.check_documents(str(scene), str(cameras) if cameras else None)
    with open(scene, encoding="utf-8") as f:
        doc = json.load(f)
    return doc


@pytest.mark.parametrize("host", window.HOSTS)
def test_export_through_the_window(host, display, demo_blend, request, tmp_path):
    work = tmp_path / "work"
    work.mkdir()
    blend = work / "scene.blend"
    shutil.copy(demo_blend, blend)
    home = tmp_path / "home"
    home.mkdir()
    scene, cameras = work / "scene.json", work / "scene_cameras.json"
    if host == "blender-4.3":
        zip_path = request.getfixturevalue("extension_zip")
        install = lambda blender: install_from_disk(blender, zip_path)     # noqa: E731
    else:
        install = install_user_addon(request.getfixturevalue("addon_dir"), home)
    with start(display, host, blend, home, tmp_path) as blender, on_failure(blender, tmp_path):
        time.sleep(SETTLE[host])
        blender.click_viewport()
        module = install(blender)


        # 1. The menu, the default name beside the .blend, the default options.
        export_by_menu(blender)
        browser = file_browser(blender)
        assert browser["op"] == "EXPORT_SCENE_OT_norvik", browser
        assert browser["filename"] == "scene.json", browser
        assert os.path.samefile(browser["directory"], work), browser
        assert browser["options"] == DEFAULTS, browser
        confirm(blender)
        assert set(read_back(scene, cameras)) == DEMO_MEMBERS
        with open(cameras, encoding="utf-8") as f:
            assert set(json.load(f)) == {"MainCam", "SideCam"}
        report = last_report(blender, "Exported")
        assert report and "6 objects" in report and "2 cameras" in report, report
        first = scene.read_bytes()


        # 2. F3, every option toggled by a click on its box in the dialog.
        blender.call("for ob in bpy.context.view_layer.objects:\n"
                     "    ob.select_set(ob.name in ('Suzanne', 'Scatter'))")
        cameras.unlink()
        export_by_search(blender)
        assert file_browser(blender)["op"] == "EXPORT_SCENE_OT_norvik"
        # Every box clicked.
        set_options(blender, {k: not v for k, v in DEFAULTS.items()})
        confirm(blender)
        doc = read_back(scene)
        # Selected mesh objects only, without modifiers: Suzanne's own cage,
        # and what Scatter places (its own mesh has no faces).
        assert set(doc) == {"Suzanne", "Scatter.Crate", "Scatter.Mesh"}, sorted(doc)
        cage = blender.call("result = len(bpy.data.objects['Suzanne'].data.vertices)")
        assert len(doc["Suzanne"]["vertices"]) == 3 * cage
        assert not cameras.exists()


        # 3. An unwritable target: the error is reported, nothing is replaced.
        scene.write_bytes(first)
        cameras.mkdir()
        blender.call("for ob in bpy.context.view_layer.objects: ob.select_set(False)")
        export_by_menu(blender)
        set_options(blender, DEFAULTS)
        confirm(blender)
        error = last_report(blender, "could not write")
        assert error and "scene_cameras.json" in error and "unchanged" in error, error
        assert scene.read_bytes() == first
        assert sorted(os.listdir(work)) == ["scene.blend", "scene.json", "scene_cameras.json"]
        cameras.rmdir()


        # 4. 10,000 objects: the progress the window shows, and the report.
        blender.call("""
import bmesh
mesh = bpy.data.meshes.new("Ico")
bm = bmesh.new(); bmesh.ops.create_icosphere(bm, subdivisions=1, radius=0.2); bm.to_mesh(mesh); bm.free()
crowd = bpy.data.collections.new("Crowd"); bpy.context.scene.collection.children.link(crowd)
for i in range(10000):
    ob = bpy.data.objects.new("Ico%%05d" %% i, mesh)
    ob.location = (i %% 100, i // 100, 0)
    crowd.objects.link(ob)
addon = sys.modules[%r]
calls = []
class Recording:
    def __init__(self, wm): self.wm = wm
    def __getattr__(self, name):
        real = getattr(self.wm, name)
        return lambda *a: (calls.append((name,) + a), real(*a))[1]
original_init = addon.WindowProgress.__init__
addon.WindowProgress.__init__ = lambda self, wm, step=100: original_init(self, Recording(wm), step)
""" % module)
        blender.idle()
        started = time.monotonic()
        export_by_menu(blender)
        set_options(blender, DEFAULTS)
        confirm(blender)
        seconds = time.monotonic() - started
        calls = blender.call("result = calls")
        assert calls, blender.call("result = reports()")[-3:]
        assert calls[0] == ["progress_begin", 0, 10006] and calls[-1] == ["progress_end"], calls[:3]
        updates = [c[1] for c in calls if c[0] == "progress_update"]
        assert updates == sorted(updates) and updates[-1] == 10006 and len(updates) > 50, updates
        assert len(read_back(scene, cameras)) == 10006
        report = last_report(blender, "Exported")
        assert "10006 objects" in report, report
        print("%s: 10,006 objects through the window in %.1f s" % (host, seconds))

        if host == "blender-4.3":
            check_collection_exporter(blender, work)

        # 5. Subdivided meshes: read in place unless Blender may have left the
        # subdivision to the GPU; the same document either way.
        with open(os.path.join(ROOT, "tests", "blender", "window_read_policy.py")) as f:
            cases = blender.call("MODULE = %r\nOUT = %r\n" % (module, str(tmp_path)) + f.read())
        assert len(cases) == 9, cases


def check_collection_exporter(blender, work):
    """Properties > Collection > Exporters: "norvik Scene" added and run in the window."""
    target = work / "chosen.json"
    state = blender.call("""
chosen = bpy.data.collections.new("Chosen")
bpy.context.scene.collection.children.link(chosen)
for name in ("Suzanne", "Panel"):
    chosen.objects.link(bpy.data.objects[name])
layer = bpy.context.view_layer.layer_collection.children["Chosen"]
bpy.context.view_layer.active_layer_collection = layer
area = areas('PROPERTIES')[0]
area.spaces.active.context = 'COLLECTION'
with override(area):
    added = bpy.ops.collection.exporter_add(name="IO_FH_norvik")
    chosen.exporters[0].export_properties.filepath = %r
    done = bpy.ops.collection.exporter_export(index=0)
result = [sorted(added), sorted(done)]
""" % str(target))
    assert state == [["FINISHED"], ["FINISHED"]], state
    assert set(read_back(target, work / "chosen_cameras.json")) == {"Suzanne", "Panel"}
