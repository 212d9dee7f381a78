"""norvik's messages reach the add-on where Blender has no console.

Started with no standard output at all: on Windows detached, with no console
and null standard handles (Blender started from the desktop); elsewhere with
file descriptor 1 closed. An export of a mesh with a non-finite vertex, to a
folder and file with non-ASCII names, must still capture norvik's warning
for the operator's report, and write the document. The finding goes into
capture.txt in --out: "ok", or what went wrong. Under wine, which cannot
give such a process a stdout, the export must still succeed.
"""
import math
import os
import sys
import traceback

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import common  # noqa: E402

import bpy  # noqa: E402

args = common.options()


def check():
    addon, _, exporter = common.addon()
    addon.register()
    bpy.ops.wm.read_factory_settings(use_empty=True)
    mesh = bpy.data.meshes.new("Bad")
    mesh.from_pydata([(0, 0, 0), (1, 0, 0), (0, 1, 0)], [], [(0, 1, 2)])
    mesh.vertices[1].co.x = math.nan
    bpy.context.scene.collection.objects.link(bpy.data.objects.new("Bad", mesh))
    folder = os.path.join(args.out, "dossier été 日本")
    os.makedirs(folder)
    path = os.path.join(folder, "scène.json")
    for _ in range(2):      # a second export finds stdout as the first left it
        with exporter.native_output(echo=True) as printed:
            state = bpy.ops.export_scene.norvik(filepath=path)
        assert state == {'FINISHED'}, state
        lines = common.check_documents(path, exporter.camera_path_for(path))
        assert any('"Bad"' in ln for ln in lines), lines
        if wine_without_a_stdout(exporter):
            return "ok, messages lost: wine cannot reopen a stdout without a console"
        assert "WARN! N.A.N. detected in verts!!!" in printed.messages, printed.text
    return "ok"


def wine_without_a_stdout(exporter):
    """Under wine, whose freopen refuses a stream with no descriptor (Windows reopens it)."""
    return common.UNDER_WINE and exporter.CRuntime().stdout_fd() is None


try:
    finding = check()
except Exception:
    finding = traceback.format_exc()
with open(os.path.join(args.out, "capture.txt"), "w", encoding="utf-8") as f:
    f.write(finding)
os._exit(0 if finding.startswith("ok") else 1)
