"""Shared by the scripts that run inside Blender (the program or the bpy module).

Each script is started as
    blender -b --factory-startup --python-exit-code 1 --python SCRIPT -- --addon DIR --out DIR
or  python SCRIPT -- --addon DIR --out DIR      (with the bpy module installed)
where DIR of --addon holds the norvik_exporter package with norvik inside.
The script's checks run one after the other; each failure is printed and the
script exits with status 1 when any failed.
"""
import argparse
import math
import os
import sys
import traceback

import bpy
import numpy as np

TOL = 1e-4
# Windows Blender under wine (not Windows): the checks say where wine differs.
UNDER_WINE = sys.platform == "win32" and hasattr(__import__("ctypes").WinDLL("ntdll"),
                                                 "wine_get_version")


def options():
    argv = sys.argv[sys.argv.index("--") + 1:] if "--" in sys.argv else []
    p = argparse.ArgumentParser()
    p.add_argument("--addon", required=True)
    p.add_argument("--out", required=True)
    args = p.parse_args(argv)
    if sys.stdout is not None and hasattr(sys.stdout, "reconfigure"):
        # A report in a code page that lacks some character is still printed.
        sys.stdout.reconfigure(errors="backslashreplace")
    sys.path.insert(0, args.addon)
    os.makedirs(args.out, exist_ok=True)
    return args


def run(checks):
    """Run ``checks`` (callables) and exit 1 if any failed."""
    failed = []
    for check in checks:
        try:
            check()
            print("PASS %s" % check.__name__, flush=True)
        except Exception:
            failed.append(check.__name__)
            print("FAIL %s\n%s" % (check.__name__, traceback.format_exc()), flush=True)
    print("%d passed, %d failed (Blender %s)" % (len(checks) - len(failed), len(failed),
                                                 bpy.app.version_string), flush=True)
    sys.stdout.flush()
    # os._exit: the bpy module may otherwise hang or crash at interpreter exit.
    os._exit(1 if failed else 0)


def close(actual, expected, what, tol=TOL):
    actual = np.asarray(actual, np.float64)
    expected = np.asarray(expected, np.float64)
    assert actual.shape == expected.shape, "%s: shape %s != %s" % (what, actual.shape, expected.shape)
    if actual.size:
        worst = np.nanmax(np.abs(actual - expected))
        assert worst <= tol, "%s: differs by up to %g" % (what, worst)


# -- Blender's own view of a mesh, through the plain Python API ---------------

def loop_normals(mesh):
    if hasattr(mesh, "corner_normals"):
        return [tuple(n.vector) for n in mesh.corner_normals]
    mesh.calc_normals_split()
    return [tuple(l.normal) for l in mesh.loops]


class Expected:
    """Per-vertex data of an evaluated mesh as the scene document should hold it."""

    def __init__(self, ob, depsgraph):
        ev = ob.evaluated_get(depsgraph)
        me = ev.to_mesh()
        try:
            me.calc_loop_triangles()
            self.vertices = [tuple(v.co) for v in me.vertices]
            first = {}
            for loop in me.loops:
                first.setdefault(loop.vertex_index, loop.index)
            corner_normals = loop_normals(me) if me.has_custom_normals else None
            self.normals = [corner_normals[first[v.index]] if corner_normals and v.index in first
                            else tuple(v.normal) for v in me.vertices]
            uv = me.uv_layers.active
            self.uvs = [(uv.data[first[i]].uv[0], 1.0 - uv.data[first[i]].uv[1])
                        if uv and i in first else None for i in range(len(me.vertices))]
            self.triangles = [tuple(t.vertices) for t in me.loop_triangles]
            self.material = (ob.material_slots[0].material.name
                             if ob.material_slots and ob.material_slots[0].material else "")
        finally:
            ev.to_mesh_clear()


# Members of the demo scene's document.  Meshes made by an object's geometry
# nodes are named after that object and the mesh.
DEMO_MEMBERS = {"Suzanne", "Panel", "Crate", "Pillar", "Scatter.Crate", "Scatter.Mesh"}
DEMO_CAMERAS = {"MainCam", "SideCam"}


def placements(depsgraph):
    """Document member -> world matrices of every place its mesh is drawn."""
    out = {}
    for inst in depsgraph.object_instances:
        ob = inst.object
        if ob.type != 'MESH':
            continue
        name = ob.original.name
        if (inst.is_instance and ob.data.as_pointer()
                != ob.original.evaluated_get(depsgraph).data.as_pointer()):
            name = "%s.%s" % (name, ob.data.name)       # made by geometry nodes
        out.setdefault(name, []).append([list(r) for r in inst.matrix_world])
    return out


def document_matrix(values):
    """A 4x4 matrix (rows) from the 16 numbers of a document, written column by column."""
    m = np.asarray(values, np.float64).reshape(4, 4).T.copy()
    m[:3] /= 100.0
    return m


def sort_matrices(ms):
    """Matrices in a fixed order (by their rounded values), for comparing as multisets."""
    ms = [np.asarray(m, np.float64) for m in ms]
    return sorted(ms, key=lambda m: np.round(m, 3).tolist())


def check_documents(scene_path, camera_path=None):
    """The document checker on what the add-on wrote: its summary lines; raises on a problem."""
    try:
        from norvik_exporter.norvik_records import check
    except ImportError:                 # the add-on takes norvik_records from the installed wheel
        from norvik_records import check
    return check.check_documents(scene_path, camera_path)


def addon():
    import norvik_exporter
    from norvik_exporter import demo, exporter
    return norvik_exporter, demo, exporter


def deg(rad):
    return math.degrees(rad)
