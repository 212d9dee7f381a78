"""The extension package in a bpy host (Blender 4.2 onward), from a fresh user folder.

    python check_extension.py -- --zip EXTENSION.zip --out DIR

HOME must point at an empty folder: the zip is installed into the
"user_default" repository as a user would (Install from Disk), enabled, and
then used through File > Export and through a collection's exporter.
"""
import argparse
import json
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import common  # noqa: E402

import bpy  # noqa: E402

argv = sys.argv[sys.argv.index("--") + 1:] if "--" in sys.argv else []
parser = argparse.ArgumentParser()
parser.add_argument("--zip", required=True)
parser.add_argument("--out", required=True)
args = parser.parse_args(argv)
os.makedirs(args.out, exist_ok=True)
MODULE = "bl_ext.user_default.norvik_exporter"


def load(path):
    with open(path, encoding="utf-8") as f:
        return json.load(f)


def check_installs_and_enables():
    assert os.path.realpath(bpy.utils.user_resource('EXTENSIONS')).startswith(
        os.path.realpath(os.environ["HOME"])), "not a fresh user folder"
    state = bpy.ops.extensions.package_install_files(
        filepath=args.zip, repo="user_default", enable_on_install=True)
    assert state == {'FINISHED'}, state
    assert MODULE in bpy.context.preferences.addons, sorted(bpy.context.preferences.addons.keys())
    import norvik
    import norvik_records
    # Both come from the extension's wheel, not from the add-on's sources.
    for module in (norvik, norvik_records):
        assert os.sep + "extensions" + os.sep in module.__file__, module.__file__
    addon = sys.modules[MODULE]
    assert not os.path.exists(os.path.join(os.path.dirname(addon.__file__), "norvik_records"))


def check_file_export():
    demo = sys.modules[MODULE + ".demo"] if MODULE + ".demo" in sys.modules else None
    if demo is None:
        import importlib
        demo = importlib.import_module(MODULE + ".demo")
    demo.build_demo_scene()
    path = os.path.join(args.out, "extension.json")
    state = bpy.ops.export_scene.norvik(filepath=path)
    assert state == {'FINISHED'}, state
    assert set(load(path)) == common.DEMO_MEMBERS, sorted(load(path))
    assert set(load(path[:-5] + "_cameras.json")) == common.DEMO_CAMERAS
    from norvik_records import check
    check.check_documents(path, path[:-5] + "_cameras.json")


def check_collection_exporter():
    scene = bpy.context.scene
    chosen = bpy.data.collections.new("Chosen")
    scene.collection.children.link(chosen)
    for name in ("Suzanne", "Panel"):
        chosen.objects.link(bpy.data.objects[name])
    layer = bpy.context.view_layer.layer_collection.children["Chosen"]
    bpy.context.view_layer.active_layer_collection = layer
    state = bpy.ops.collection.exporter_add(name="IO_FH_norvik")
    assert state == {'FINISHED'}, state
    assert len(chosen.exporters) == 1
    path = os.path.join(args.out, "chosen.json")
    chosen.exporters[0].export_properties.filepath = path
    state = bpy.ops.collection.exporter_export(index=0)
    assert state == {'FINISHED'}, state
    assert set(load(path)) == {"Suzanne", "Panel"}, sorted(load(path))
    # The cameras are not in the collection.
    assert load(path[:-5] + "_cameras.json") == {}
    from norvik_records import check
    check.check_documents(path, path[:-5] + "_cameras.json")


common.run([check_installs_and_enables, check_file_export, check_collection_exporter])
