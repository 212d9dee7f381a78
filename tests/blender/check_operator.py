"""The File > Export operator: options, names, and how norvik's failures reach the user."""
import json
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import common  # noqa: E402

import bpy  # noqa: E402

args = common.options()
addon, demo, exporter = common.addon()
addon.register()
demo.build_demo_scene()
out = args.out


def export(name, **options):
    path = os.path.join(out, name + ".json")
    state = bpy.ops.export_scene.norvik(filepath=path, **options)
    return state, path


def load(path):
    """A scene document the add-on wrote, once the checker passed it and the cameras beside it."""
    cameras = exporter.camera_path_for(path)
    common.check_documents(path, cameras if os.path.exists(cameras) else None)
    return read(path)


def read(path):
    with open(path, encoding="utf-8") as f:
        return json.load(f)


def check_menu_and_defaults():
    state, path = export("all")
    assert state == {'FINISHED'}, state
    assert set(load(path)) == common.DEMO_MEMBERS
    assert set(read(exporter.camera_path_for(path))) == common.DEMO_CAMERAS
    labels = [f.__name__ for f in bpy.types.TOPBAR_MT_file_export._dyn_ui_initialize()]
    assert "menu_func_export" in labels


def check_options():
    bpy.ops.object.select_all(action='DESELECT')
    bpy.data.objects["Panel"].select_set(True)
    bpy.data.objects["Props.1"].select_set(True)       # a collection instancer
    state, path = export("selected", use_selection=True, use_cameras=False,
                         use_modifiers=False)
    doc = load(path)
    assert set(doc) == {"Panel", "Crate", "Pillar"}, sorted(doc)
    assert len(doc["Crate"]["instances"]) == 1
    assert not os.path.exists(exporter.camera_path_for(path))
    state, path = export("raw", use_modifiers=False)
    assert len(load(path)["Suzanne"]["vertices"]) == 3 * 507     # not subdivided


def check_long_utf8_names_are_cut_between_characters():
    ob = bpy.data.objects["Pillar"]
    ob.name = "Säule-" + "ü" * 40                     # 2-byte characters
    try:
        state, path = export("utf8")
        names = set(load(path))                    # strict UTF-8 decoding
        cut = [n for n in names if n.startswith("Säule-")]
        assert cut and len(cut[0].encode()) in (31, 32) and ob.name.startswith(cut[0]), cut
    finally:
        ob.name = "Pillar"


def check_failures_are_reported():
    missing = os.path.join(out, "no-such-folder", "scene.json")
    try:
        bpy.ops.export_scene.norvik(filepath=missing)
    except RuntimeError as exc:           # bpy.ops raises for an ERROR report
        assert "could not write" in str(exc), exc
    else:
        raise AssertionError("export into a missing folder was not reported")


def check_native_messages_become_warnings():
    crate = bpy.data.objects["Crate"]
    crate.data.vertices[0].co.x = float("nan")
    try:
        result = exporter.export_scene(os.path.join(out, "nan.json"))
    finally:
        crate.data.vertices[0].co.x = -0.5
    assert result.ok
    assert any("N.A.N. detected in verts" in w for w in result.warnings), result.warnings
    assert load(os.path.join(out, "nan.json"))["Crate"]["vertices"][:3] == [0, 0, 0]


common.run([check_menu_and_defaults, check_options,
            check_long_utf8_names_are_cut_between_characters, check_failures_are_reported,
            check_native_messages_become_warnings])
