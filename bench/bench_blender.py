"""Export time of a large mesh: norvik against Blender's own OBJ exporter.

    tools/install_addon.sh
    blender -b --factory-startup --python bench/bench_blender.py -- [--level 5] [--repeat 3]
    .hosts/bpy-4.5/bin/python bench/bench_blender.py -- [--level 5]  (a bpy host, tools/hosts.sh)

Builds Suzanne subdivided at the given level (modifier applied, so both
exporters get the same finished mesh) and times, in one run:
  * the add-on's whole export (gathering, packing or pointing, norvik.export);
  * the norvik.export call alone;
  * the triangle arrays (get_material_indices .. get_mesh_tri_data_multi_material);
  * bpy.ops.wm.obj_export with UVs and normals, selection only.
"""
import argparse
import os
import statistics
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "addon"))

import bpy  # noqa: E402

from norvik_exporter import exporter  # noqa: E402


def best(fn, repeat):
    times = []
    for _ in range(repeat):
        t = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t)
    return min(times), statistics.median(times)


def main():
    argv = sys.argv[sys.argv.index("--") + 1:] if "--" in sys.argv else []
    p = argparse.ArgumentParser()
    p.add_argument("--level", type=int, default=5)
    p.add_argument("--repeat", type=int, default=3)
    args = p.parse_args(argv)

    for ob in list(bpy.context.scene.objects):
        bpy.data.objects.remove(ob, do_unlink=True)
    bpy.ops.mesh.primitive_monkey_add()
    ob = bpy.context.object
    mod = ob.modifiers.new("Subdivision", 'SUBSURF')
    mod.levels = mod.render_levels = args.level
    bpy.ops.object.modifier_apply(modifier=mod.name)
    ob.select_set(True)
    me = ob.data
    me.calc_loop_triangles()
    print("Blender %s, Suzanne at subdivision level %d: %d vertices, %d triangles"
          % (bpy.app.version_string, args.level, len(me.vertices), len(me.loop_triangles)))

    norvik = exporter.load_native()
    native_export = norvik.export
    call_times = []

    def timed_export(*a):
        t = time.perf_counter()
        try:
            return native_export(*a)
        finally:
            call_times.append(time.perf_counter() - t)

    out = tempfile.mkdtemp(prefix="norvik-bench-")
    scene_path = os.path.join(out, "suzanne.json")
    obj_path = os.path.join(out, "suzanne.obj")
    norvik.export = timed_export
    try:
        whole = best(lambda: exporter.export_scene(scene_path, None, selected_only=True,
                                                   echo=False), args.repeat)
    finally:
        norvik.export = native_export
    arrays = best(lambda: exporter.triangle_arrays(ob), args.repeat)
    obj = best(lambda: bpy.ops.wm.obj_export(
        filepath=obj_path, export_selected_objects=True, apply_modifiers=True, export_uv=True,
        export_normals=True, export_materials=False), args.repeat)

    size = lambda p: os.path.getsize(p) / 1e6
    print("%-34s %8s %8s" % ("", "best s", "median s"))
    print("%-34s %8.3f %8.3f   (%.1f MB)" % ("norvik: add-on export, total", *whole, size(scene_path)))
    print("%-34s %8.3f %8.3f" % ("norvik: export() call alone", min(call_times),
                                  statistics.median(call_times)))
    print("%-34s %8.3f %8.3f" % ("norvik: triangle arrays", *arrays))
    print("%-34s %8.3f %8.3f   (%.1f MB)" % ("bpy.ops.wm.obj_export", *obj, size(obj_path)))
    print("OBJ / norvik total: %.1fx" % (obj[0] / whole[0]))
    sys.stdout.flush()
    os._exit(0)


main()
