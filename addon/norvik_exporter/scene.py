"""What an export takes from the scene: mesh objects with their placements, and cameras."""
import math

import bpy

from .meshdata import MeshArrays


class MeshEntry:
    """One section of the scene document: a mesh and every place it appears.

    ``matrices`` holds the world matrix of the object itself (when it is drawn
    in the scene) followed by those of its collection and geometry-node
    instances, in the order the depsgraph lists them.
    """

    def __init__(self, name, source):
        self.name = name
        self.source = source        # object whose (evaluated) mesh is exported
        self.matrices = []
        self.material = ""
        self.mesh = None
        self.arrays = None
        self._release = None

    def load(self, depsgraph, apply_modifiers):
        src = self.source
        if isinstance(src, bpy.types.Mesh):         # geometry-node mesh instance, already copied
            mesh = src
            self._release = lambda: bpy.data.meshes.remove(mesh)
        elif apply_modifiers:
            owner = src.evaluated_get(depsgraph)
            mesh = owner.to_mesh()
            self._release = owner.to_mesh_clear
        else:
            mesh = src.to_mesh()
            self._release = src.to_mesh_clear
        self.mesh = mesh
        self.material = first_material_name(src, mesh)
        self.arrays = MeshArrays(mesh)
        return self

    def release(self):
        self.arrays = None
        self.mesh = None
        if self._release is not None:
            release, self._release = self._release, None
            release()


def first_material_name(source, mesh):
    slots = getattr(source, "material_slots", None)
    if slots:
        mat = slots[0].material
    else:
        mat = mesh.materials[0] if len(mesh.materials) else None
    return mat.name if mat is not None else ""


class CameraEntry:
    def __init__(self, name, fov, matrix):
        self.name = name
        self.fov = fov                  # horizontal field of view, degrees
        self.matrix = matrix            # 4x4 world matrix rows


def _owner(inst):
    return inst.parent if inst.is_instance else inst.object


def generated_mesh(inst, depsgraph, own_data):
    """Whether an instance draws a mesh that geometry nodes made, not its object's own mesh.

    ``own_data`` caches each object's own evaluated mesh address.
    """
    if not inst.is_instance:
        return False
    ob = inst.object
    orig = ob.original
    key = orig.as_pointer()
    own = own_data.get(key)
    if own is None:
        data = orig.evaluated_get(depsgraph).data
        own = own_data[key] = data.as_pointer() if data is not None else 0
    return ob.data.as_pointer() != own


def gather(depsgraph, selected_only=False, with_cameras=True, collection=None):
    """Mesh entries (unloaded) and camera entries of the evaluated scene.

    With ``collection`` (a collection of the scene), only what that collection
    and its children hold, as Blender's collection exporters do.
    """
    members = None if collection is None else {o.as_pointer() for o in collection.all_objects}
    meshes = {}
    cameras = []
    own_data = {}
    for inst in depsgraph.object_instances:
        ob = inst.object
        owner = _owner(inst).original
        if selected_only and not owner.select_get():
            continue
        if members is not None and owner.as_pointer() not in members:
            continue
        if ob.type == 'CAMERA':
            if with_cameras and not inst.is_instance:
                cameras.append(CameraEntry(ob.original.name, math.degrees(ob.data.angle),
                                           [list(r) for r in inst.matrix_world]))
            continue
        if ob.type != 'MESH':
            continue
        orig = ob.original
        # Entries are told apart by what they are, not by name: two objects
        # may share a name (from two linked libraries), and a generated
        # "<object>.<mesh>" name may be an object's own.  The document's keys
        # are made unique when the records are filled.
        if generated_mesh(inst, depsgraph, own_data):
            # A mesh made by an object's geometry nodes (the instancer's own,
            # or those of an object inside a collection instance): there is no
            # object to re-evaluate later, so copy the mesh while it exists.
            key = (orig.as_pointer(), ob.data.as_pointer())
            entry = meshes.get(key)
            if entry is None:
                entry = meshes[key] = MeshEntry("%s.%s" % (orig.name, ob.data.name),
                                                bpy.data.meshes.new_from_object(ob))
        else:
            key = orig.as_pointer()
            entry = meshes.get(key)
            if entry is None:
                entry = meshes[key] = MeshEntry(orig.name, orig)
        entry.matrices.append(inst.matrix_world.copy())
    return list(meshes.values()), cameras
