"""Inside Blender with a window (run by tests/test_window.py through the window
agent, with MODULE naming the installed add-on and OUT a folder): whether a
subdivided mesh is read where Blender keeps it or copied with to_mesh(), in
every state of the modifier stack made here, and that either way the
document is the one a to_mesh() copy gives.

Sets ``result`` to a list of (case, copied) pairs; raises on a failed check.
"""
import importlib
import json
import os

meshdata = importlib.import_module(MODULE + ".meshdata")       # noqa: F821
exporter = importlib.import_module(MODULE + ".exporter")       # noqa: F821

COPY = meshdata.ReadPolicy.reference()          # every mesh through to_mesh()
scene = bpy.data.scenes.new("Read policy")
window().scene = scene
cage = bpy.data.objects["Suzanne"].data
cases = []


def modifier(ob, kind, **settings):
    mod = ob.modifiers.new(kind.title(), kind)
    for key, value in settings.items():
        setattr(mod, key, value)
    return mod


def build(name, stack):
    """A Suzanne with ``stack`` [(type, settings)], alone in a collection of its own."""
    collection = bpy.data.collections.new(name)
    scene.collection.children.link(collection)
    ob = bpy.data.objects.new(name, cage.copy())
    collection.objects.link(ob)
    for kind, settings in stack:
        modifier(ob, kind, **settings)
    return ob, collection


def check(name, ob, collection, copied):
    """The policy's choice for ``ob``, where it reads, and the document."""
    with override():
        dg = bpy.context.evaluated_depsgraph_get()
        policy = meshdata.ReadPolicy()
        ev = ob.evaluated_get(dg)
        assert policy.copies(ob, ev.data) == copied, (name, "copied" if not copied else "in place")
        mesh = meshdata.evaluated_mesh(ob, ev, policy)
        if not copied:
            batch = meshdata.MeshBatch([mesh], policy)
            assert mesh.as_pointer() == ev.data.as_pointer(), name
            assert int(batch.verts_ptr[0]) == mesh.vertices[0].as_pointer(), (name, "copied")
            assert int(batch.looptris_ptr[0]) == mesh.loop_triangles[0].as_pointer(), name
        documents = []
        for policy in (policy, COPY):
            path = os.path.join(OUT, "%s-%d.json" % (name, len(documents)))       # noqa: F821
            done = exporter.export_scene(path, None, dg, collection=collection, echo=False,
                                         policy=policy)
            assert done.ok, done.errors
            with open(path, "rb") as f:
                documents.append(json.load(f))
        # As an engine reads them: the same positions and UVs; normals, which
        # Blender computes again for a copy, to the last digit; the same
        # surface, though 3.4 may split a quad along its other diagonal where
        # it had triangulated the mesh already.
        fast, copy = documents[0][name], documents[1][name]
        normals = [abs(a - b) for a, b in zip(fast.pop("normals"), copy.pop("normals"))]
        areas = [area(d.pop("vertices"), d.pop("indices")) for d in (fast, copy)]
        assert fast == copy and max(normals) < 1.5e-4 and abs(areas[0] - areas[1]) < 1e-4 * areas[1], \
            (name, "not the document of to_mesh()")
    cases.append((name, copied))


def area(vertices, indices):
    import numpy as np
    corners = np.asarray(vertices, np.float64).reshape(-1, 3)[np.asarray(indices).reshape(-1, 3)]
    return 0.5 * np.linalg.norm(np.cross(corners[:, 1] - corners[:, 0],
                                         corners[:, 2] - corners[:, 0]), axis=1).sum()


def mode(ob, value):
    with override():
        bpy.context.view_layer.objects.active = ob
        bpy.ops.object.mode_set(mode=value)


system = bpy.context.preferences.system
assert system.use_gpu_subdivision and meshdata.ReadPolicy().gpu_subdivision, \
    "GPU subdivision should be possible in this window"

# The subdivision alone: already subdivided (more vertices than its cage).
ob, coll = build("Subdivided", [('SUBSURF', {"levels": 2})])
check("Subdivided", ob, coll, False)
# Were its evaluated mesh the cage, Blender would have left it to the GPU.
assert meshdata.left_to_gpu(ob, cage)
system.use_gpu_subdivision = False
try:
    assert not meshdata.ReadPolicy().gpu_subdivision
    # (the stack that is copied with the preference on, below)
    check("Preference off", *build("Preference off", [('MIRROR', {}),
                                                     ('SUBSURF', {"levels": 2})]), False)
finally:
    system.use_gpu_subdivision = True
check("Not last", *build("Not last", [('SUBSURF', {"levels": 2}), ('TRIANGULATE', {})]), False)
# A Boolean without an object is off: the subdivision is the last one that
# runs, and its count settles it.
check("Before an idle boolean", *build("Before an idle boolean",
                                       [('SUBSURF', {"levels": 2}), ('BOOLEAN', {})]), False)
# After a Mirror the cage is not the object's mesh: nothing settles it.
check("After a mirror", *build("After a mirror", [('MIRROR', {}), ('SUBSURF', {"levels": 2})]),
      True)
check("Off in the viewport", *build("Off in the viewport",
                                    [('SUBSURF', {"levels": 2, "show_viewport": False})]), False)
check("Level 0", *build("Level 0", [('SUBSURF', {"levels": 0, "render_levels": 0})]), False)
ob, coll = build("Multires", [('MULTIRES', {})])
with override():
    bpy.context.view_layer.objects.active = ob
    for _ in range(2):
        bpy.ops.object.multires_subdivide(modifier="Multires", mode='CATMULL_CLARK')
check("Multires", ob, coll, False)
ob, coll = build("Edit mode", [('SUBSURF', {"levels": 2})])
mode(ob, 'EDIT')
try:
    check("Edit mode", ob, coll, True)
finally:
    mode(ob, 'OBJECT')
result = cases
