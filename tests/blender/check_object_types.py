"""Curves, text, surfaces, metaballs and geometry-node meshes through the File > Export operator.

Every section is compared with the mesh Blender itself draws for the object
(the depsgraph's own evaluated mesh, read with foreach_get while the
depsgraph lists it), and every placement with the depsgraph's matrices.
Objects with no faces are reported, one line each, with their type.
"""
import json
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import common  # noqa: E402
from common import close  # noqa: E402

import bpy  # noqa: E402
import numpy as np  # noqa: E402

args = common.options()
addon, demo, exporter = common.addon()
addon.register()
out = args.out

# Sections the scene below must give (meshes made by an object's geometry
# nodes are "<object>.<mesh>", checked by their "Tube." prefix).
OWN_MESHES = {"Floor", "Ring", "Band", "Title", "Shell", "Blob", "Tube", "Sprout", "Arch", "Sign"}
FACELESS = {"Wire": "curve", "Strands": "hair curves", "Dots": "point cloud", "Marker": "empty",
            "Blob.001": "metaball", "Blob.002": "metaball"}


def _link(ob, collection):
    for c in list(ob.users_collection):
        c.objects.unlink(ob)
    collection.objects.link(ob)
    return ob


def _added(name):
    ob = bpy.context.object
    ob.name = name
    return ob


def _geometry_nodes(name, build):
    """A node group with a geometry input and output; ``build(nodes, link, input, output)``."""
    tree = bpy.data.node_groups.new(name, 'GeometryNodeTree')
    if hasattr(tree, "interface"):                  # 4.0 onward
        tree.interface.new_socket("Geometry", in_out='INPUT', socket_type='NodeSocketGeometry')
        tree.interface.new_socket("Geometry", in_out='OUTPUT', socket_type='NodeSocketGeometry')
    else:
        tree.inputs.new('NodeSocketGeometry', "Geometry")
        tree.outputs.new('NodeSocketGeometry', "Geometry")
    nodes = tree.nodes
    build(nodes, tree.links.new, nodes.new('NodeGroupInput'), nodes.new('NodeGroupOutput'))
    return tree


def _tube_and_beads(nodes, link, given, result):
    # The curve swept along a circle, and an ico sphere on each control point.
    sweep = nodes.new('GeometryNodeCurveToMesh')
    link(given.outputs[0], sweep.inputs["Curve"])
    link(nodes.new('GeometryNodeCurvePrimitiveCircle').outputs["Curve"], sweep.inputs["Profile Curve"])
    beads = nodes.new('GeometryNodeInstanceOnPoints')
    link(given.outputs[0], beads.inputs["Points"])
    link(nodes.new('GeometryNodeMeshIcoSphere').outputs["Mesh"], beads.inputs["Instance"])
    join = nodes.new('GeometryNodeJoinGeometry')
    link(sweep.outputs[0], join.inputs[0])
    link(beads.outputs[0], join.inputs[0])
    link(join.outputs[0], result.inputs[0])


def _ico_sphere(nodes, link, given, result):
    link(nodes.new('GeometryNodeMeshIcoSphere').outputs["Mesh"], result.inputs[0])


def _on_a_line(name):
    """Geometry nodes placing object ``name`` itself on three points."""
    return lambda nodes, link, given, result: _objects_on_a_line(name, nodes, link, result)


def _objects_on_a_line(name, nodes, link, result):
    line = nodes.new('GeometryNodeMeshLine')
    line.inputs["Count"].default_value = 3
    info = nodes.new('GeometryNodeObjectInfo')
    info.inputs["Object"].default_value = bpy.data.objects[name]
    info.inputs["As Instance"].default_value = True
    place = nodes.new('GeometryNodeInstanceOnPoints')
    link(line.outputs[0], place.inputs["Points"])
    link(info.outputs["Geometry"], place.inputs["Instance"])
    link(place.outputs[0], result.inputs[0])


def build_scene():
    scene = bpy.context.scene
    for ob in list(scene.objects):
        bpy.data.objects.remove(ob, do_unlink=True)
    root = scene.collection
    brass = bpy.data.materials.new("Brass")
    leaf = bpy.data.materials.new("Leaf")

    bpy.ops.mesh.primitive_plane_add(size=20, location=(0, 0, -1))
    _added("Floor")
    bpy.ops.curve.primitive_bezier_circle_add(radius=1, location=(0, 0, 1))
    ring = _added("Ring")
    ring.data.bevel_depth = 0.2
    ring.data.materials.append(brass)
    bpy.ops.curve.primitive_bezier_circle_add(radius=0.8, location=(3, 0, 1), rotation=(0.3, 0, 0))
    _added("Band").data.extrude = 0.3
    text = bpy.data.curves.new("Title", 'FONT')
    text.body = "norvik"
    text.extrude = 0.05
    title = bpy.data.objects.new("Title", text)
    title.location = (-3, 0, 1)
    root.objects.link(title)
    bpy.ops.surface.primitive_nurbs_surface_sphere_add(radius=0.7, location=(0, 3, 1))
    _added("Shell")
    # One metaball family: the base object "Blob" carries the mesh of all three.
    for name, loc in (("Blob", (0, -3, 1)), ("Blob.001", (0.9, -3, 1)), ("Blob.002", (0.4, -3.9, 1.4))):
        ball = bpy.data.metaballs.new(name)
        ball.resolution = 0.25
        ball.elements.new().radius = 0.8
        ob = bpy.data.objects.new(name, ball)
        ob.location = loc
        root.objects.link(ob)
    bpy.ops.curve.primitive_bezier_curve_add(location=(3, 3, 1))
    tube = _added("Tube")
    tube.modifiers.new("Sweep", 'NODES').node_group = _geometry_nodes("Sweep", _tube_and_beads)
    sprout = bpy.data.objects.new("Sprout", bpy.data.hair_curves.new("Sprout"))
    sprout.data.materials.append(leaf)
    sprout.location = (-3, 3, 1)
    sprout.modifiers.new("Grow", 'NODES').node_group = _geometry_nodes("Grow", _ico_sphere)
    root.objects.link(sprout)

    # An empty mesh whose geometry nodes place the ring object three times more.
    rings = bpy.data.objects.new("Rings", bpy.data.meshes.new("Rings"))
    rings.location = (0, 8, 0)
    rings.modifiers.new("Rings", 'NODES').node_group = _geometry_nodes("Rings", _on_a_line("Ring"))
    root.objects.link(rings)

    # A collection of a curve and a text, placed twice by collection instances.
    gate = bpy.data.collections.new("Gate")
    bpy.ops.curve.primitive_bezier_circle_add(radius=1.5, location=(0, 0, 1.5), rotation=(1.5708, 0, 0))
    _link(_added("Arch"), gate).data.bevel_depth = 0.1
    sign = bpy.data.curves.new("Sign", 'FONT')
    sign.body = "in"
    sign.extrude = 0.02
    gate.objects.link(bpy.data.objects.new("Sign", sign))
    # ... and an empty mesh whose geometry nodes place the band three times.
    pegs = bpy.data.objects.new("Pegs", bpy.data.meshes.new("Pegs"))
    pegs.modifiers.new("Pegs", 'NODES').node_group = _geometry_nodes("Pegs", _on_a_line("Band"))
    gate.objects.link(pegs)
    for k, (loc, angle) in enumerate((((-6, 0, 0), 0.0), ((-6, 5, 0), 0.7))):
        empty = bpy.data.objects.new("Gate.%d" % k, None)
        empty.instance_type = 'COLLECTION'
        empty.instance_collection = gate
        empty.location = loc
        empty.rotation_euler = (0, 0, angle)
        root.objects.link(empty)

    # Nothing to export: no faces once evaluated.
    bpy.ops.curve.primitive_bezier_curve_add(location=(6, 0, 1))
    _added("Wire")
    root.objects.link(bpy.data.objects.new("Strands", bpy.data.hair_curves.new("Strands")))
    root.objects.link(bpy.data.objects.new("Dots", bpy.data.pointclouds.new("Dots")))
    root.objects.link(bpy.data.objects.new("Marker", None))
    # Not geometry at all: neither exported nor reported.
    root.objects.link(bpy.data.objects.new("Lamp", bpy.data.lights.new("Lamp", 'POINT')))
    cam = bpy.data.objects.new("Cam", bpy.data.cameras.new("Cam"))
    cam.location = (0, -12, 4)
    root.objects.link(cam)
    bpy.context.view_layer.update()


# -- What Blender draws, read while the depsgraph lists it ---------------------

def _read(collection, attr, dtype, width):
    values = np.empty(len(collection) * width, dtype)
    collection.foreach_get(attr, values)
    return values.reshape(-1, width) if width > 1 else values


def mesh_data(me):
    me.calc_loop_triangles()
    data = {"vertices": _read(me.vertices, "co", np.float64, 3),
            "triangles": _read(me.loop_triangles, "vertices", np.int64, 3),
            "custom_normals": me.has_custom_normals,
            "uv": me.uv_layers.active is not None}
    if hasattr(me, "vertex_normals"):
        data["normals"] = _read(me.vertex_normals, "vector", np.float64, 3)
    else:
        data["normals"] = _read(me.vertices, "normal", np.float64, 3)
    return data


def drawn(depsgraph):
    """Section name -> the mesh Blender draws there and its world matrices.

    A non-mesh object's mesh is the first mesh the depsgraph lists for it
    right after the object itself; meshes its geometry nodes add after that
    are named "<object>.<mesh>".  Each mesh is read from a copy that Blender
    makes of it: Blender 3.4 keeps stale triangles and normals on some
    evaluated curve and metaball meshes (their positions are the same).
    """
    meshes, matrices = {}, {}
    last = None
    for inst in depsgraph.object_instances:
        ob = inst.object
        orig = ob.original
        if ob.type != 'MESH':
            last = (orig.name, inst.parent.original.name if inst.is_instance else None, False)
            continue
        owner = inst.parent.original.name if inst.is_instance else None
        if not inst.is_instance or orig.type == 'MESH':
            name = orig.name
        elif last == (orig.name, owner if owner != orig.name else None, False):
            name = orig.name
            last = (orig.name, owner, True)
        else:
            name = "%s.%s" % (orig.name, ob.data.name)
        if name not in meshes:
            copy = bpy.data.meshes.new_from_object(ob)
            meshes[name] = mesh_data(copy)
            bpy.data.meshes.remove(copy)
            close(_read(ob.data.vertices, "co", np.float64, 3), meshes[name]["vertices"],
                  name + " copied positions", tol=0)
        matrices.setdefault(name, []).append(np.array(inst.matrix_world, np.float64))
    faced = [name for name, mesh in meshes.items() if len(mesh["triangles"])]
    return {n: meshes[n] for n in faced}, {n: matrices[n] for n in faced}


def export(name, **options):
    path = os.path.join(out, name + ".json")
    state = bpy.ops.export_scene.norvik(filepath=path, use_cameras=False, **options)
    assert state == {'FINISHED'}, state
    with open(path, encoding="utf-8") as f:
        doc = json.load(f)
    checker().check_documents(path)
    return doc


def checker():
    try:
        from norvik_exporter.norvik_records import check
    except ImportError:
        from norvik_records import check
    return check


build_scene()
dg = bpy.context.evaluated_depsgraph_get()
want, want_matrices = drawn(dg)
doc = export("types")


def compare(name, section, mesh):
    close(np.reshape(section["vertices"], (-1, 3)), mesh["vertices"], name + " positions")
    assert section["indices"] == mesh["triangles"].ravel().tolist(), name + " triangles"
    if not mesh["custom_normals"]:
        close(np.reshape(section["normals"], (-1, 3)), mesh["normals"], name + " normals")
    uv = np.reshape(section["uv"], (-1, 2))
    assert uv.shape == (len(mesh["vertices"]), 2), (name, uv.shape)
    if not mesh["uv"]:
        assert not uv.any(), name + " UVs without a UV map"


def check_every_object_with_faces_has_its_section():
    assert set(want) - OWN_MESHES and all(n.startswith("Tube.") for n in set(want) - OWN_MESHES), \
        sorted(want)
    assert set(doc) == set(want), (sorted(doc), sorted(want))
    for name, section in doc.items():
        assert len(section["indices"]) > 0, name
        compare(name, section, want[name])


def check_materials_and_placements():
    assert doc["Ring"]["material"] == "Brass"
    assert doc["Sprout"]["material"] == "Leaf"        # the object's, on a generated mesh
    assert doc["Shell"]["material"] == ""
    for name, section in doc.items():
        got = [common.document_matrix(m) for m in section["instances"]]
        assert len(got) == len(want_matrices[name]), name
        for g, w in zip(common.sort_matrices(got), common.sort_matrices(want_matrices[name])):
            close(g, w, name + " placement")
    assert len(doc["Arch"]["instances"]) == 2 and len(doc["Sign"]["instances"]) == 2
    assert len(doc["Ring"]["instances"]) == 4           # itself, and three by geometry nodes
    assert len(doc["Band"]["instances"]) == 7           # and three in each collection instance
    beads = [n for n in doc if n.startswith("Tube.")]
    assert len(beads) == 1 and len(doc[beads[0]]["instances"]) == 2, beads


def check_metaball_family_is_one_mesh_on_its_base():
    co = np.reshape(doc["Blob"]["vertices"], (-1, 3))
    base = np.array(bpy.data.objects["Blob"].location)
    for name in ("Blob.001", "Blob.002"):
        centre = np.array(bpy.data.objects[name].location) - base
        # Some of the family's surface lies around every member's centre.
        assert np.min(np.linalg.norm(co - centre, axis=1)) < 1.0, name
        assert name not in doc
    assert "Blob.001" not in want and "Blob.002" not in want


def check_faceless_objects_are_reported_and_counted():
    result = exporter.export_scene(os.path.join(out, "report.json"), None, echo=False)
    assert result.ok, result.errors
    for name, kind in FACELESS.items():
        lines = [w for w in result.warnings if w.startswith(name + " (")]
        assert len(lines) == 1 and "(%s)" % kind in lines[0] and "no faces" in lines[0], \
            (name, result.warnings)
    assert len(result.warnings) == len(FACELESS), result.warnings
    assert "%d without faces" % len(FACELESS) in result.summary, result.summary
    assert ("%d objects" % len(doc)) in result.summary, result.summary


def check_without_modifiers():
    raw = export("raw", use_modifiers=False)
    # The family mesh has no modifiers to leave out; the curve's bevel is not one.
    compare("Blob", raw["Blob"], want["Blob"])
    compare("Ring", raw["Ring"], want["Ring"])


def check_mesh_objects_only():
    only = export("meshes", use_mesh_only=True)
    assert set(only) == {"Floor"}, sorted(only)
    result = exporter.export_scene(os.path.join(out, "meshes2.json"), None, mesh_only=True,
                                   echo=False)
    assert result.ok and result.warnings == [], result.warnings
    assert "0 without faces" in result.summary, result.summary


common.run([check_every_object_with_faces_has_its_section, check_materials_and_placements,
            check_metaball_family_is_one_mesh_on_its_base,
            check_faceless_objects_are_reported_and_counted, check_without_modifiers,
            check_mesh_objects_only])
