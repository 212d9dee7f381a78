"""Pictures for the README, taken from the windowed hosts under Xvfb.

    .venv/bin/python tools/screenshots.py [OUTDIR]      (default: docs/)

Writes export-dialog-3.4.png (File > Export > norvik Scene in Blender 3.4)
and collection-exporter-4.3.png (Properties > Collection > Exporters with
"norvik Scene" in Blender 4.3), each cropped to the part that matters. The
add-on is this checkout's (norvik built for each host's interpreter by
tools/build_python.sh); the scene is the demo scene.
"""
import os
import shutil
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tools"))
sys.path.insert(0, os.path.join(ROOT, "tests"))
import window  # noqa: E402


def addon(folder):
    """The add-on package under ``folder``, with norvik for 3.11 and 3.13."""
    import pathlib
    import hosts
    return hosts.make_addon_dir(pathlib.Path(folder))


def demo_blend(folder):
    path = os.path.join(folder, "scene.blend")
    subprocess.run(["blender", "-b", "--factory-startup", "--python",
                    os.path.join(ROOT, "addon", "norvik_exporter", "cli.py"), "--",
                    "--save-demo", path, "--out", os.path.join(folder, "out")],
                   stdout=subprocess.DEVNULL, check=True, timeout=300)
    return path


def start(display, host, blend, addons, folder):
    home = tempfile.mkdtemp(dir=folder)
    scripts = os.path.join(home, ".config", "blender", host.split("-")[1], "scripts", "addons")
    shutil.copytree(os.path.join(addons, "norvik_exporter"),
                    os.path.join(scripts, "norvik_exporter"))
    blender = window.Blender(display, host, blend=blend, env={"HOME": home}).__enter__()
    blender.call("bpy.ops.preferences.addon_enable(module='norvik_exporter')")
    time.sleep(3 if host == "blender-3.4" else 8)
    blender.click_viewport()
    return blender


def export_dialog(display, blend, addons, folder, out):
    blender = start(display, "blender-3.4", blend, addons, folder)
    try:
        blender.click(44, 12, pause=1)          # File
        blender.key("e", pause=1)               # Export
        blender.key("n", pause=2)               # norvik Scene (.json)
        blender.wait_for("result = file_browser()[0] is not None", timeout=30)
        ox, oy = blender.window_origin("File View")
        width, height = blender.call("sp, win = file_browser()\nresult = [win.width, win.height]")
        blender.idle(5)
        time.sleep(2)
        return display.screenshot(os.path.join(out, "export-dialog-3.4.png"),
                                  (ox, oy, width, height))
    finally:
        blender.close()


def collection_exporter(display, blend, addons, folder, out):
    blender = start(display, "blender-4.3", blend, addons, folder)
    try:
        blender.call("""
chosen = bpy.data.collections.new("Chosen")
bpy.context.scene.collection.children.link(chosen)
for name in ("Suzanne", "Panel"):
    chosen.objects.link(bpy.data.objects[name])
bpy.context.view_layer.active_layer_collection = \\
    bpy.context.view_layer.layer_collection.children["Chosen"]
area = areas('PROPERTIES')[0]
area.spaces.active.context = 'COLLECTION'
with override(area):
    bpy.ops.collection.exporter_add(name="IO_FH_norvik")
chosen.exporters[0].export_properties.filepath = "//chosen.json"
""")
        blender.idle(5)
        time.sleep(2)
        left, top, width, height = blender.rect("region = region_of(areas('PROPERTIES')[0])")
        return display.screenshot(os.path.join(out, "collection-exporter-4.3.png"),
                                  (left, top, width, height))
    finally:
        blender.close()


def main(argv):
    out = os.path.abspath(argv[0] if argv else os.path.join(ROOT, "docs"))
    os.makedirs(out, exist_ok=True)
    for host in window.HOSTS:
        reason = window.missing_host(host)
        if reason:
            sys.exit("%s: %s" % (host, reason))
    with tempfile.TemporaryDirectory() as folder, window.Display() as display:
        addons = addon(os.path.join(folder, "addon"))
        blend = demo_blend(folder)
        for take in (export_dialog, collection_exporter):
            print(take(display, blend, addons, folder, out))


if __name__ == "__main__":
    main(sys.argv[1:])
