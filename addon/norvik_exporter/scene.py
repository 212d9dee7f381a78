"""What an export takes from the scene: every object with faces once evaluated (meshes,
curves, text, surfaces, metaballs, and whatever geometry nodes turn into a mesh) with its
placements, the objects that have none, and cameras."""
import math

import bpy
import numpy as np

from .meshdata import MESH

OBJECT = bpy.types.Object

# Object types whose evaluated mesh Object.to_mesh() gives, as it does a mesh
# object's.  Others (hair curves, point clouds, volumes...) have a mesh only
# when their geometry nodes make one; it is copied from the depsgraph.
CURVE_TYPES = frozenset(('CURVE', 'SURFACE', 'FONT', 'META'))
# Objects with no shape of their own: neither exported nor reported.
NOT_SHAPES = frozenset(('CAMERA', 'LIGHT', 'LIGHT_PROBE', 'LIGHTPROBE', 'SPEAKER'))
TYPE_NAMES = {'MESH': "mesh", 'CURVE': "curve", 'SURFACE': "surface", 'FONT': "text",
              'META': "metaball", 'CURVES': "hair curves", 'POINTCLOUD': "point cloud",
              'VOLUME': "volume", 'EMPTY': "empty", 'GPENCIL': "grease pencil",
              'GREASEPENCIL': "grease pencil", 'ARMATURE': "armature", 'LATTICE': "lattice"}
# Blender fills the unused levels of an instance's persistent id with this.
NO_LEVEL = 2 ** 31 - 1
# From 4.2 on (the oldest version tested so) the mesh the depsgraph lists for
# a curve, text, surface or metaball is the mesh Object.to_mesh() would copy,
# and is read in place.  Blender 3.4 keeps stale triangles and normals on
# some of them (surfaces, metaballs): there the copy is taken.
SHAPES_IN_PLACE = bpy.app.version >= (4, 2, 0)


def _in_place(orig, policy):
    """Whether the evaluated mesh of non-mesh object ``orig`` can be read where it is."""
    return SHAPES_IN_PLACE and not policy.copies(orig)


def no_faces_message(name, kind):
    """The report line of an object that gets no section: nothing of it has faces."""
    text = "%s (%s): no faces, not exported" % (name, TYPE_NAMES.get(kind, kind.lower()))
    if kind == 'META':
        text += " (a metaball family is one mesh, on its base object)"
    return text


class ExportOptions:
    """What an export takes from the scene: one value, built by each front end
    (File > Export, live export, the command line) and read by the gathering.

    ``selected_only``: selected objects only (instances follow their
    instancer).  ``apply_modifiers``: the evaluated meshes, modifiers applied;
    else each object's own mesh.  ``collection``: only what that collection
    of the scene and its children hold, as Blender's collection exporters do.
    ``mesh_only``: mesh objects only, with the meshes their geometry nodes
    make (no curves, text, surfaces, metaballs...).
    """
    __slots__ = ("selected_only", "apply_modifiers", "collection", "mesh_only")

    def __init__(self, selected_only=False, apply_modifiers=True, collection=None,
                 mesh_only=False):
        self.selected_only = selected_only
        self.apply_modifiers = apply_modifiers
        self.collection = collection
        self.mesh_only = mesh_only

    @classmethod
    def of(cls, settings, collection=None):
        """The options an export operator or the live settings hold (both name
        them ``use_selection``, ``use_modifiers`` and ``use_mesh_only``), for
        ``collection``."""
        return cls(settings.use_selection, settings.use_modifiers, collection,
                   settings.use_mesh_only)


class MeshEntry:
    """One section of the scene document: a mesh and every place it appears.

    ``placements`` holds where the depsgraph lists the object itself (when it
    is drawn in the scene) and then its collection and geometry-node
    instances, in that order: indices into the rows of placement matrices
    ``gather`` returns.
    """
    # One per object of the scene: slots make them cheaper to create.
    __slots__ = ("name", "source", "kind", "owner", "_instancer", "evaluated", "placements",
                 "material", "mesh", "_release", "stand_in")

    def __init__(self, name, source, kind='MESH', owner=None):
        self.name = name
        self.source = source        # object whose (evaluated) mesh is exported, or a copied mesh
        self.kind = kind            # type of the object the mesh belongs to
        self.owner = owner          # object whose first material slot names the material
        self._instancer = False
        # The evaluated mesh the depsgraph listed for the object itself (a
        # mesh object's, or a non-mesh object's to be read in place). Only
        # the mesh is kept: the object the depsgraph's iterator hands out may
        # be a temporary one, gone with the next step of the iteration.
        self.evaluated = None
        self.placements = []
        self.material = ""
        self.mesh = None
        self._release = None
        self.stand_in = False       # the base mesh, for a Multires object being sculpted

    @property
    def instancer(self):
        """Whether the object also places other things: an empty mesh of its own is normal.

        What geometry nodes inside a collection instance place, the depsgraph
        credits to the outermost instancer; so an empty mesh that geometry
        nodes made counts as an instancer's too.
        """
        if self._instancer:
            return True
        src = self.source
        return isinstance(src, OBJECT) and any(m.type == 'NODES' for m in src.modifiers)

    @instancer.setter
    def instancer(self, value):
        self._instancer = value

    def load(self, depsgraph, apply_modifiers, policy):
        src = self.source
        if isinstance(src, MESH):        # geometry-node mesh instance, already copied
            mesh = src
            self._release = lambda: bpy.data.meshes.remove(mesh)
        elif apply_modifiers or self.kind == 'META':
            # A metaball has no modifiers, and its family's mesh exists only
            # on the evaluated base object.
            mesh = self.evaluated
            if self.kind == 'MESH':
                if mesh is None:
                    mesh = src.evaluated_get(depsgraph).data
                if not isinstance(mesh, MESH) or policy.copies(src, mesh):
                    mesh = None
            if mesh is None:
                owner = src.evaluated_get(depsgraph)
                mesh = owner.to_mesh()
                self._release = owner.to_mesh_clear
                if self.kind == 'MESH' and policy.sculpting(src):
                    # Blender keeps the levels of a Multires object being
                    # sculpted apart from its evaluated mesh, which is then
                    # the cage, or (3.x) empty: there the base mesh stands in.
                    self.stand_in = True
                    if not len(mesh.polygons):
                        self.release()
                        mesh = src.to_mesh()
                        self._release = src.to_mesh_clear
        else:
            if policy.edited(src):
                # The evaluated mesh follows edit mode by itself; the mesh
                # data only once the edits are written back.
                src.update_from_editmode()
            mesh = src.to_mesh()
            self._release = src.to_mesh_clear
        self.mesh = mesh
        self.material = first_material_name(self.owner or src, mesh)
        return self

    @property
    def in_place(self):
        """Whether the loaded mesh is Blender's evaluated mesh itself, not a copy."""
        return self.mesh is not None and self._release is None and not self.stand_in

    def release(self):
        self.mesh = None
        if self._release is not None:
            release, self._release = self._release, None
            release()


def first_material_name(source, mesh):
    """The name of the material in ``source``'s first slot (an object's, or
    a copied mesh's own first material), "" for none."""
    # With the first slot active, Blender's active material is that slot's
    # (both read the same slot, whether linked to the object or its data):
    # two cheap reads instead of the slot collection. None leaves open
    # whether there is a slot at all: the slots are asked then.
    if isinstance(source, OBJECT) and source.active_material_index == 0:
        mat = source.active_material
        if mat is not None:
            return mat.name
    slots = getattr(source, "material_slots", None)
    if slots:
        mat = slots[0].material
    else:
        mat = mesh.materials[0] if len(mesh.materials) else None
    return mat.name if mat is not None else ""


class CameraEntry:
    def __init__(self, name, fov, matrix, index=None):
        self.name = name
        self.fov = fov                  # horizontal field of view, degrees
        self.matrix = matrix            # 4x4 world matrix rows
        self.index = index              # where the depsgraph lists it among its instances


def generated_mesh(ob, orig, depsgraph, own_data):
    """Whether instance object ``ob`` (of original ``orig``) draws a mesh that
    geometry nodes made, not its object's own mesh.

    ``own_data`` caches each object's own evaluated mesh address.
    """
    own = own_data.get(orig)
    if own is None:
        data = orig.evaluated_get(depsgraph).data
        own = own_data[orig] = data.as_pointer() if data is not None else 0
    return ob.data.as_pointer() != own


def _own_mesh(inst, placer, orig, shapes):
    """Whether a mesh the depsgraph lists for non-mesh object ``orig`` is that object's own.

    Blender lists such an object, then its evaluated geometry (the mesh
    first) one level below the object's place in the persistent id, then
    what its geometry nodes instance, deeper down.  ``shapes`` holds the
    persistent id of each non-mesh object's latest place (None: placed by
    itself, not as an instance); ``placer`` is the instancer the depsgraph
    names for ``inst``.
    """
    placed = shapes.get((placer, orig), False)
    if placed is False:
        return False
    pid = tuple(inst.persistent_id)
    if placed is None:
        placed = (NO_LEVEL,) * len(pid)
    return placed[-1] == NO_LEVEL and pid[1:] == placed[:-1]


def placement_rows(depsgraph, count):
    """(count, 3, 4) float32: the first three rows of the world matrix of each
    of the ``count`` instances the depsgraph lists, in its order.

    One bulk read of the depsgraph's own values: no matrix is made per
    instance.  Blender keeps a matrix column by column, the order
    ``foreach_get`` copies.  The count must be the one the caller iterated.
    """
    return np.ascontiguousarray(instance_matrices(depsgraph, count)[:, :3])


def instance_matrices(depsgraph, count):
    """(count, 4, 4) float32: the world matrix of each of the ``count``
    instances the depsgraph lists, row by row (see ``placement_rows``).

    ValueError when it lists another number of instances: Blender refuses an
    array too small for them, but fills a larger one in part, so one more
    matrix is asked for, which must stay as it was (all NaN).
    """
    if not count:
        if next(iter(depsgraph.object_instances), None) is not None:
            raise ValueError("the depsgraph lists instances")
        return np.empty((0, 4, 4), np.float32)
    values = np.full((count + 1, 16), np.nan, np.float32)
    try:
        depsgraph.object_instances.foreach_get("matrix_world", values.reshape(-1))
    except RuntimeError:
        raise ValueError("the depsgraph lists more than %d instances" % count) from None
    if not np.isnan(values[count]).all() or np.isnan(values[count - 1]).all():
        raise ValueError("the depsgraph lists other than %d instances" % count)
    return values[:count].reshape(count, 4, 4).transpose(0, 2, 1)


def gather(depsgraph, policy, options, with_cameras=True):
    """Mesh entries (unloaded), camera entries, the objects with no mesh at
    all, and the placement rows the entries' ``placements`` index.

    Every mesh the depsgraph draws gets an entry: a mesh object's, the mesh
    Blender evaluates a curve, text, surface or metaball to (a metaball
    family is one mesh, on its base object), and what geometry nodes make
    on any object, as far as ``options`` (``ExportOptions``) select.
    Whether an entry's mesh has faces is seen when it is loaded.  The third
    value lists (name, type) of the objects drawn with no mesh of their own
    that place nothing else either: an unbevelled curve, hair curves,
    points, an empty that instances nothing.  Cameras, lights and speakers
    are not listed.  The fourth is ``placement_rows`` of every instance the
    depsgraph lists; the fifth, the set of objects it lists as themselves (not
    as instances): those the viewport draws.
    """
    selected_only, mesh_only = options.selected_only, options.mesh_only
    collection = options.collection
    # Objects are told apart by the Python values Blender hands out for them:
    # equal (and hashed alike) exactly when they are the same datablock, so
    # no address is asked for per object.
    members = None if collection is None else set(collection.all_objects)
    meshes = {}
    cameras = []
    own_data = {}
    shapes = {}         # (instancer, non-mesh object) -> persistent id of its latest place
    meshless = {}       # non-mesh objects drawn with no mesh so far: object -> (name, type)
    producers = set()   # objects that place something besides a mesh of their own
    drawn = set()       # objects listed as themselves
    count = 0           # instances listed so far
    try:
        for count, inst in enumerate(depsgraph.object_instances, 1):
            # Each property read is a call into Blender: read each once.
            ob = inst.object
            orig = ob.original
            instance = inst.is_instance
            if instance:
                placer = inst.parent.original
            else:
                placer = orig
                drawn.add(orig)
            if selected_only and not placer.select_get():
                continue
            if members is not None and placer not in members:
                continue
            kind = ob.type
            if kind == 'CAMERA':
                if with_cameras and not instance:
                    cameras.append(CameraEntry(orig.name, math.degrees(ob.data.angle),
                                               [list(r) for r in inst.matrix_world],
                                               count - 1))
                continue
            if instance and placer != orig:
                # Placed by an instancer's collection or geometry nodes.  (An
                # instancer inside a collection instance is not told so: the
                # depsgraph names the outermost one.)
                producers.add(placer)
            if kind != 'MESH':
                if mesh_only or kind in NOT_SHAPES:
                    continue
                shapes[(placer, orig)] = tuple(inst.persistent_id) if instance else None
                if ob.is_instancer:
                    producers.add(orig)
                if orig not in meshes:
                    meshless.setdefault(orig, (orig.name, kind))
                continue
            # Entries are told apart by what they are, not by name: two objects
            # may share a name (from two linked libraries), and a generated
            # "<object>.<mesh>" name may be an object's own.  The document's keys
            # are made unique when the records are filled.
            orig_kind = orig.type
            if orig_kind != 'MESH':
                if mesh_only:
                    continue
                generated = not _own_mesh(inst, placer, orig, shapes)
            else:
                generated = instance and generated_mesh(ob, orig, depsgraph, own_data)
            if generated:
                # A mesh made by an object's geometry nodes (the instancer's own,
                # or those of an object inside a collection instance): there is no
                # object to re-evaluate later, so copy the mesh while it exists.
                producers.add(orig)
                data = ob.data
                mesh_key = (orig, data.as_pointer())
                entry = meshes.get(mesh_key)
                if entry is None:
                    entry = meshes[mesh_key] = MeshEntry("%s.%s" % (orig.name, data.name),
                                                         bpy.data.meshes.new_from_object(ob))
            else:
                entry = meshes.get(orig)
                if entry is None:
                    if orig_kind == 'MESH' or orig_kind in CURVE_TYPES:
                        source = orig
                    else:
                        # Hair curves, points and the like whose geometry nodes
                        # make a mesh: it exists only in the depsgraph.
                        source = bpy.data.meshes.new_from_object(ob)
                    entry = meshes[orig] = MeshEntry(orig.name, source, orig_kind, orig)
                    if source is orig:
                        if orig_kind != 'MESH':
                            if _in_place(orig, policy):
                                entry.evaluated = ob.data
                        elif not instance:
                            entry.evaluated = ob.data
                    if meshless:
                        meshless.pop(orig, None)
            entry.placements.append(count - 1)
        rows = placement_rows(depsgraph, count)
    except BaseException:
        for entry in meshes.values():
            if isinstance(entry.source, MESH):
                bpy.data.meshes.remove(entry.source)
        raise
    for key in producers:
        entry = meshes.get(key)
        if entry is not None:
            entry.instancer = True
    faceless = [found for key, found in meshless.items() if key not in producers]
    return list(meshes.values()), cameras, faceless, rows, drawn
