"""A small scene that exercises everything the exporter writes.

Suzanne with a subdivision modifier and three materials over her UV seams, a
cylinder with custom normals, a collection of props placed three times by
collection instances, a geometry-nodes object that instances the crate's mesh
and generated spheres, and two cameras.
"""
import math

import bpy
from mathutils import Vector


def _material(name, color):
    mat = bpy.data.materials.get(name) or bpy.data.materials.new(name)
    mat.diffuse_color = color
    return mat


def _link(ob, collection):
    for c in list(ob.users_collection):
        c.objects.unlink(ob)
    collection.objects.link(ob)


def _shade_smooth(mesh):
    mesh.polygons.foreach_set("use_smooth", [True] * len(mesh.polygons))
    if hasattr(mesh, "use_auto_smooth"):         # needed for custom normals before 4.1
        mesh.use_auto_smooth = True


def _scatter_tree(name, target, count=4):
    """Geometry nodes: ``target`` on a line of points, and an ico sphere beside each."""
    tree = bpy.data.node_groups.new(name, 'GeometryNodeTree')
    if hasattr(tree, "interface"):                  # 4.0 onward
        tree.interface.new_socket("Geometry", in_out='OUTPUT', socket_type='NodeSocketGeometry')
    else:
        tree.outputs.new('NodeSocketGeometry', "Geometry")
    nodes, link = tree.nodes, tree.links.new
    line = nodes.new('GeometryNodeMeshLine')
    line.inputs["Count"].default_value = count
    info = nodes.new('GeometryNodeObjectInfo')
    info.inputs["Object"].default_value = target
    objects = nodes.new('GeometryNodeInstanceOnPoints')
    link(line.outputs[0], objects.inputs["Points"])
    link(info.outputs["Geometry"], objects.inputs["Instance"])
    shift = nodes.new('GeometryNodeTransform')
    shift.inputs["Translation"].default_value = (0, 1.5, 0)
    link(line.outputs[0], shift.inputs[0])
    spheres = nodes.new('GeometryNodeInstanceOnPoints')
    link(shift.outputs[0], spheres.inputs["Points"])
    link(nodes.new('GeometryNodeMeshIcoSphere').outputs["Mesh"], spheres.inputs["Instance"])
    join = nodes.new('GeometryNodeJoinGeometry')
    link(objects.outputs[0], join.inputs[0])
    link(spheres.outputs[0], join.inputs[0])
    link(join.outputs[0], nodes.new('NodeGroupOutput').inputs[0])
    return tree


def build_demo_scene(subdivision=2):
    """Replace the current scene's content by the demo scene; returns the scene."""
    scene = bpy.context.scene
    for ob in list(scene.objects):
        bpy.data.objects.remove(ob, do_unlink=True)
    root = scene.collection

    skin = _material("Skin", (0.8, 0.55, 0.4, 1))
    cap = _material("Cap", (0.1, 0.2, 0.8, 1))
    side = _material("Side", (0.2, 0.7, 0.2, 1))
    metal = _material("Metal", (0.6, 0.6, 0.65, 1))

    bpy.ops.mesh.primitive_monkey_add(size=2, location=(0, 0, 1.5))
    suzanne = bpy.context.object
    suzanne.name = "Suzanne"
    for mat in (skin, cap, side):
        suzanne.data.materials.append(mat)
    for poly in suzanne.data.polygons:
        c = poly.center
        poly.material_index = 1 if c.z > 0.45 else (2 if c.x < -0.6 else 0)
    _shade_smooth(suzanne.data)
    mod = suzanne.modifiers.new("Subdivision", 'SUBSURF')
    mod.levels = mod.render_levels = subdivision

    bpy.ops.mesh.primitive_cylinder_add(vertices=24, radius=1, depth=2, location=(3.5, 0, 1))
    panel = bpy.context.object
    panel.name = "Panel"
    panel.data.materials.append(metal)
    _shade_smooth(panel.data)
    # Bend every normal towards the cylinder's axis top, as a stylised shading.
    normals = [(Vector((v.co.x, v.co.y, 0.8 + 0.5 * v.co.z))).normalized()
               for v in panel.data.vertices]
    panel.data.normals_split_custom_set_from_vertices(normals)

    props = bpy.data.collections.new("Props")
    bpy.ops.mesh.primitive_cube_add(size=1, location=(0, 0, 0.5))
    crate = bpy.context.object
    crate.name = crate.data.name = "Crate"
    crate.data.materials.append(metal)
    _link(crate, props)
    bpy.ops.mesh.primitive_cylinder_add(vertices=8, radius=0.2, depth=2, location=(1, 0, 1))
    pillar = bpy.context.object
    pillar.name = "Pillar"
    _link(pillar, props)

    placements = [((-4, 0, 0), 0.0, 1.0), ((-4, 3, 0), math.radians(30), 1.5),
                  ((-4, -3, 0), math.radians(-45), 0.75)]
    for k, (loc, angle, scale) in enumerate(placements):
        empty = bpy.data.objects.new("Props.%d" % k, None)
        empty.instance_type = 'COLLECTION'
        empty.instance_collection = props
        empty.location = loc
        empty.rotation_euler = (0, 0, angle)
        empty.scale = (scale, scale, scale)
        root.objects.link(empty)

    # Geometry-node instances: copies of the crate's mesh and generated spheres.
    scatter = bpy.data.objects.new("Scatter", bpy.data.meshes.new("Scatter"))
    scatter.location = (0, 4, 0)
    scatter.modifiers.new("Scatter", 'NODES').node_group = _scatter_tree("Scatter", crate)
    root.objects.link(scatter)

    for name, loc, lens in (("MainCam", (8, -8, 6), 35), ("SideCam", (-9, 2, 2.5), 50)):
        cam = bpy.data.objects.new(name, bpy.data.cameras.new(name))
        cam.data.lens = lens
        cam.location = loc
        direction = Vector((0, 0, 1)) - Vector(loc)
        cam.rotation_euler = direction.to_track_quat('-Z', 'Y').to_euler()
        root.objects.link(cam)
    scene.camera = scene.objects["MainCam"]

    light = bpy.data.objects.new("Sun", bpy.data.lights.new("Sun", 'SUN'))
    root.objects.link(light)
    bpy.context.view_layer.update()
    return scene
