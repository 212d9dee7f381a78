"""Mesh arrays read in bulk from Blender's memory against foreach_get, and the
documents of the fast export path against the reference path (copied meshes,
foreach_get, and from 3.1 to 3.4 packed arrays instead of Blender's own), on
the demo scene and on a scene of many objects."""
import json
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import common  # noqa: E402
from common import close  # noqa: E402

import bpy  # noqa: E402
import numpy as np  # noqa: E402

args = common.options()
_, demo, exporter = common.addon()
from norvik_exporter import meshdata  # noqa: E402

VERSION = tuple(bpy.app.version)


FAST = meshdata.ReadPolicy()
REFERENCE = meshdata.ReadPolicy.reference()


def export(name, depsgraph, policy=FAST):
    """Bytes of the scene and camera documents and the warnings of one export."""
    scene_path = os.path.join(args.out, name + ".json")
    camera_path = exporter.camera_path_for(scene_path)
    result = exporter.export_scene(scene_path, camera_path, depsgraph, echo=False, policy=policy)
    assert result.ok, result.errors
    with open(scene_path, "rb") as a, open(camera_path, "rb") as b:
        return a.read(), b.read(), result.warnings


def assert_same_export(name):
    dg = bpy.context.evaluated_depsgraph_get()
    fast = export(name + "_fast", dg)
    slow = export(name + "_reference", dg, REFERENCE)
    assert fast[2] == slow[2], (fast[2], slow[2])
    assert fast[1] == slow[1], "camera documents differ"
    assert fast[0] == slow[0], "scene documents differ"
    return json.loads(fast[0])


def evaluated_meshes():
    """(object, mesh) of every mesh object, the mesh read in place where the export does."""
    dg = bpy.context.evaluated_depsgraph_get()
    out = []
    for ob in bpy.context.scene.objects:
        if ob.type == 'MESH':
            ev = ob.evaluated_get(dg)
            mesh = meshdata.evaluated_mesh(ob, ev, FAST)
            out.append((ob, mesh if mesh is not None else ev.to_mesh()))
    return out


def sources(kind, meshes):
    """What ``read`` takes for ``kind``, with the element counts."""
    if kind is meshdata.UVS:
        layers = [m.uv_layers.active for m in meshes]
        return layers, [len(m.loops) if layer else 0 for m, layer in zip(meshes, layers)]
    count = {"positions": "vertices", "vertex normals": "vertices", "corner vertices": "loops",
             "corner normals": "loops", "material indices": "polygons"}.get(kind.name,
                                                                            "loop_triangles")
    return meshes, [len(getattr(m, count)) for m in meshes]


KINDS = [meshdata.POSITIONS, meshdata.VERTEX_NORMALS, meshdata.CORNER_VERTICES,
         meshdata.TRIANGLES, meshdata.TRIANGLE_POLYGONS, meshdata.UVS, meshdata.CORNER_NORMALS,
         meshdata.MATERIAL_INDICES]


def expect_shortcut(kind, meshes):
    """Whether the host keeps ``kind`` in an array the bulk read must use."""
    if not FAST.bulk:
        return False
    if kind is meshdata.TRIANGLE_POLYGONS:
        return hasattr(meshes[0], "loop_triangle_polygons")
    if kind is meshdata.CORNER_NORMALS:
        return hasattr(meshes[0], "corner_normals")
    if kind is meshdata.MATERIAL_INDICES:
        return any(m.attributes.get("material_index") is not None for m in meshes)
    return True


def compare_bulk_reads(meshes, what):
    for mesh in meshes:
        if ENSURE:
            mesh.calc_loop_triangles()
    for kind in KINDS:
        if kind is meshdata.MATERIAL_INDICES:
            chosen = [m for m in meshes if m.attributes.get("material_index") is not None]
        else:
            chosen = meshes
        if not chosen:
            continue
        src, counts = sources(kind, chosen)
        probe = next((i for i, n in enumerate(counts) if n >= 2), None)
        stride = None if probe is None else meshdata.checked_stride(
            kind, kind.sequence(src[probe]), counts[probe])
        if expect_shortcut(kind, chosen):
            assert stride is not None, "%s: %s are not read in bulk" % (what, kind.name)
        fast = meshdata.read(kind, src, counts)
        slow = meshdata.read(kind, src, counts, bulk=False)
        assert fast.shape == slow.shape == (sum(counts), kind.width), (kind.name, fast.shape)
        assert fast.tobytes() == slow.tobytes(), "%s: %s differ from foreach_get" % (what,
                                                                                    kind.name)
        # Each mesh on its own (a view of Blender's memory when read in bulk).
        start = 0
        for source, n in zip(src, counts):
            one = meshdata.read(kind, [source], [n])
            assert one.tobytes() == slow[start:start + n].tobytes(), (what, kind.name)
            start += n


ENSURE = FAST.ensure_triangles

# -- the demo scene -------------------------------------------------------------

demo.build_demo_scene()


def check_bulk_reads_match_foreach_get_on_the_demo_scene():
    compare_bulk_reads([m for _, m in evaluated_meshes()], "demo")


def check_a_failed_address_check_falls_back_to_foreach_get():
    meshes = [m for _, m in evaluated_meshes()]
    kind = meshdata.POSITIONS
    src, counts = sources(kind, meshes)
    want = meshdata.read(kind, src, counts, bulk=False)
    honest = kind.element
    kind.element = lambda e: [x + 1.0 for x in honest(e)]       # Blender reports other values
    try:
        probe = next(i for i, n in enumerate(counts) if n >= 2)
        assert meshdata.checked_stride(kind, kind.sequence(src[probe]), counts[probe]) is None
        got = meshdata.read(kind, src, counts)
    finally:
        kind.element = honest
    assert got.tobytes() == want.tobytes()


def check_demo_documents_are_byte_identical_to_the_reference_path():
    doc = assert_same_export("demo")
    assert set(doc) == common.DEMO_MEMBERS, sorted(doc)


def check_the_packing_of_3_5_and_3_6_gives_the_same_document():
    """From 4.0 on the arrays are the ones 3.5 and 3.6 pack into the 3.1
    layouts: that path, run here on this Blender's arrays, writes the same bytes."""
    if FAST.generation != "400":
        print("SKIP: Blender %s reads no 4.0 arrays" % bpy.app.version_string)
        return
    norvik = exporter.load_native()
    packing = meshdata.ReadPolicy()
    packing.generation, packing.ensure_triangles = "310", False    # as 3.5 and 3.6 read
    dg = bpy.context.evaluated_depsgraph_get()
    saved = norvik.b3d_version
    norvik.b3d_version = (3, 6, 0)
    try:
        packed = export("packed", dg, packing)
    finally:
        norvik.b3d_version = saved
    assert packed[0] == export("in_place", dg)[0], "the packed arrays give another document"


def check_records_point_into_blender_from_4_0():
    """From 4.0 on every array the records name is Blender's own, the
    subdivided Suzanne's included (no GPU subdivision in background Blender)."""
    if not FAST.in_place:
        print("SKIP: Blender %s is not read in place" % bpy.app.version_string)
        return
    pairs = evaluated_meshes()
    suzanne = next(m for ob, m in pairs if ob.name == "Suzanne")
    assert bpy.app.background and not FAST.gpu_subdivision
    dg = bpy.context.evaluated_depsgraph_get()
    own = bpy.data.objects["Suzanne"].evaluated_get(dg).data
    assert suzanne.as_pointer() == own.as_pointer(), "Suzanne was copied"
    # Where GPU subdivision may run, Suzanne is copied with to_mesh(): the same document.
    gpu = meshdata.ReadPolicy()
    gpu.gpu_subdivision = True
    assert gpu.copies(bpy.data.objects["Suzanne"]) and not FAST.copies(bpy.data.objects["Suzanne"])
    assert export("gpu", dg, gpu)[0] == export("in_place", dg)[0], "the copied Suzanne differs"
    meshes = [m for _, m in pairs]
    batch = meshdata.MeshBatch(meshes, FAST, polygons=True)
    assert not batch._keep, "arrays were copied"
    for i, mesh in enumerate(meshes):
        for column, sequence in (("verts_ptr", mesh.vertices), ("loops_ptr", mesh.loops),
                                 ("looptris_ptr", mesh.loop_triangles),
                                 ("vert_normals_ptr", mesh.vertex_normals),
                                 ("tri_polys_ptr", mesh.loop_triangle_polygons)):
            if len(sequence):
                assert int(getattr(batch, column)[i]) == sequence[0].as_pointer(), (mesh.name,
                                                                                    column)


# -- many objects ---------------------------------------------------------------

def build_many_objects(count=400):
    """Objects of every kind the bulk path distinguishes, in an order that makes
    the first meshes unusable for the address check (one triangle, empty)."""
    for ob in list(bpy.data.objects):
        bpy.data.objects.remove(ob, do_unlink=True)
    scene = bpy.context.scene
    materials = [bpy.data.materials.new("Many.%d" % i) for i in range(5)]

    def add(name, mesh, material=None):
        ob = bpy.data.objects.new(name, mesh)
        scene.collection.objects.link(ob)
        if material is not None:
            mesh.materials.append(material)
        return ob

    tri = bpy.data.meshes.new("Tri")
    tri.from_pydata([(0, 0, 0), (1, 0, 0), (0, 1, 0)], [], [(0, 1, 2)])
    for i in range(3):
        add("Tri.%d" % i, tri.copy()).location = (i, -3, 0)
    add("Empty mesh", bpy.data.meshes.new("Nothing"))
    loose = bpy.data.meshes.new("Loose")
    loose.from_pydata([(0, 0, 0), (1, 1, 1)], [], [])
    add("Loose points", loose)
    bpy.ops.mesh.primitive_ico_sphere_add(subdivisions=2)
    sphere = bpy.context.object
    template = sphere.data
    bpy.data.objects.remove(sphere, do_unlink=True)
    shared = template.copy()
    for i in range(count):
        mesh = shared if i % 50 == 7 else template.copy()       # some objects share a mesh
        ob = add("Many.%03d" % i, mesh, materials[i % 5] if i % 3 else None)
        ob.location = (i % 20, i // 20, 0)
        ob.rotation_euler = (0.1 * i, 0, 0.05 * i)
        if mesh is shared:
            continue
        if i % 11 == 0:
            mesh.uv_layers.remove(mesh.uv_layers[0])            # no UVs
        elif i % 13 == 0:
            layer = mesh.uv_layers.new(name="Second")
            mesh.uv_layers.active = layer
            uv = np.random.default_rng(i).random(2 * len(mesh.loops)).astype(np.float32)
            layer.data.foreach_set("uv", uv)
        if i % 17 == 0:
            demo._shade_smooth(mesh)
            mesh.normals_split_custom_set_from_vertices([(0.0, 0.0, 1.0)] * len(mesh.vertices))
        if i % 19 == 0:
            ob.modifiers.new("Bevel", 'BEVEL')                  # evaluated mesh read in place
        if i % 23 == 0:
            ob.modifiers.new("Subdivision", 'SUBSURF').levels = 1     # copied
    # The same objects placed again through a collection instance.
    group = bpy.data.collections.new("Group")
    for name in ("Many.001", "Many.002", "Tri.0"):
        group.objects.link(bpy.data.objects[name])
    holder = bpy.data.objects.new("Holder", None)
    holder.instance_type = 'COLLECTION'
    holder.instance_collection = group
    holder.location = (0, 0, 5)
    scene.collection.objects.link(holder)
    bpy.context.view_layer.update()


def check_many_objects():
    build_many_objects()
    dg = bpy.context.evaluated_depsgraph_get()
    compare_bulk_reads([m for _, m in evaluated_meshes()], "many objects")
    doc = assert_same_export("many")
    names = {ob.name for ob in bpy.data.objects if ob.type == 'MESH'}
    assert set(doc) == names - {"Empty mesh", "Loose points"}, sorted(set(doc) ^ names)
    # The bulk-filled records hold each object's own data.
    for name in sorted(doc)[::7] + ["Many.000", "Many.017", "Many.023", "Many.026"]:
        section = doc[name]
        want = common.Expected(bpy.data.objects[name], dg)
        assert section["material"] == want.material, name
        close(np.reshape(section["vertices"], (-1, 3)), want.vertices, name + " vertices")
        close(np.reshape(section["normals"], (-1, 3)), want.normals, name + " normals",
              tol=2e-3)
        uv = np.reshape(section["uv"], (-1, 2))
        used = [i for i, u in enumerate(want.uvs) if u is not None]
        if used:
            close(uv[used], [want.uvs[i] for i in used], name + " UVs")
        assert section["indices"] == [i for t in want.triangles for i in t], name
    assert len(doc["Many.001"]["instances"]) == 2 and len(doc["Tri.0"]["instances"]) == 2


def check_the_operator_moves_the_window_progress_every_hundred_objects():
    addon = common.addon()[0]
    addon.register()
    calls = []

    class Recorder:
        def __init__(self, wm):
            self.wm = wm

        def __getattr__(self, name):
            def call(*a):
                calls.append((name,) + a)
                return getattr(self.wm, name)(*a)
            return call

    real = addon.WindowProgress
    addon.WindowProgress = lambda wm: real(Recorder(wm))
    try:
        path = os.path.join(args.out, "progress.json")
        assert bpy.ops.export_scene.norvik(filepath=path, use_cameras=False) == {'FINISHED'}
    finally:
        addon.WindowProgress = real
    with open(path, encoding="utf-8") as f:
        n = len(json.load(f))
    updates = [c[1] for c in calls[1:-1]]
    assert calls[0] == ("progress_begin", 0, n) and calls[-1] == ("progress_end",), calls
    assert updates == list(range(1, n, 100)) + [n], updates


common.run([check_bulk_reads_match_foreach_get_on_the_demo_scene,
            check_a_failed_address_check_falls_back_to_foreach_get,
            check_demo_documents_are_byte_identical_to_the_reference_path,
            check_records_point_into_blender_from_4_0,
            check_the_packing_of_3_5_and_3_6_gives_the_same_document,
            check_many_objects,
            check_the_operator_moves_the_window_progress_every_hundred_objects])
