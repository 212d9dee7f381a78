"""The host arrays of evaluated meshes, as norvik reads them.

How an export reads Blender is one ``ReadPolicy``, chosen once per export
from Blender's version and preferences and passed to everything that reads:

* Blender 3.1 to 3.4 keep vertices, loops, loop triangles and UVs in exactly
  norvik's 3.1 element layouts, so the addresses point straight into
  Blender's memory (``as_pointer()``); nothing is copied.
* From 4.0 on positions, corner vertices, triangles, triangle polygons, UVs,
  normals and material numbers are plain contiguous arrays, which are
  norvik's 4.0 layouts: the records point into Blender's own arrays.
* Blender 3.5 and 3.6 keep the same arrays, but norvik reads them in the 3.1
  layouts: they are copied from their own addresses in bulk and packed, with
  one vectorised copy per kind of array for all meshes of an export.
* ``foreach_get`` into numpy, one call per attribute and mesh: the reference,
  and the fallback for any array whose address the run-time check below
  does not trust.

Before an array kind is read from addresses, the first mesh of the export
that has two or more such elements is checked: the elements must lie a fixed
stride apart (at least the element's own size) from the first to the last,
and the first and last element must hold what Blender's Python API reports.
Otherwise that kind goes through ``foreach_get`` for the whole export.

The polygon material array is built only for the triangle arrays: from 3.4
on the material number in the polygon struct is stale and the live value is
the ``material_index`` attribute.  Normals are float triples throughout, so
no precision is lost.

Every address stays valid only while the ``MeshBatch`` (or ``MeshArrays``)
object and the meshes it was built from are alive and unchanged.
"""
import ctypes
from itertools import accumulate

import bpy
import numpy as np

from .layouts import HOST_MESH, LOOP, LOOPTRI, POLY, UV, VERTEX, address, generation_of

MESH = bpy.types.Mesh
# With a window, Blender may leave the last modifier of a stack to the GPU
# when it subdivides: the evaluated object then holds the mesh before that
# step (the cage), which Object.to_mesh() completes. Multires is counted
# with the Subdivision Surface modifier, to be safe.
GPU_SUBDIVISION = frozenset(('SUBSURF', 'MULTIRES'))
# Modifiers that run whenever they are shown in the viewport: none of them
# turns itself off for want of an object, a node group or a file, so one of
# them after a subdivision means the subdivision is not the last modifier
# and Blender does it on the CPU. (Any other modifier might be off.)
ALWAYS_ON = frozenset(('BEVEL', 'DECIMATE', 'EDGE_SPLIT', 'MIRROR', 'REMESH', 'SCREW', 'SKIN',
                       'SOLIDIFY', 'TRIANGULATE', 'WELD', 'WIREFRAME'))


def gpu_may_subdivide():
    """Whether this Blender can leave a subdivision to the GPU at all: it has a
    window, the preference is on, and the GPU has what that needs (compute
    shaders and shader storage buffers, where Blender's gpu module tells)."""
    system = getattr(getattr(bpy.context, "preferences", None), "system", None)
    if bpy.app.background or not getattr(system, "use_gpu_subdivision", False):
        return False
    try:
        import gpu
        capabilities = gpu.capabilities
    except (ImportError, AttributeError):     # unknown: it may
        return True
    for name in ("compute_shader_support_get", "shader_storage_buffer_objects_support_get"):
        supported = getattr(capabilities, name, None)
        try:
            if supported is not None and not supported():
                return False
        except Exception:                     # no GPU context to ask: it may
            pass
    return True


def left_to_gpu(original, mesh=None):
    """Whether Blender may have left mesh object ``original``'s subdivision to
    the GPU (where it can do that at all): its evaluated mesh would then be
    the cage. False only where Blender's own rules or the mesh settle it.

    Blender defers only the last modifier enabled in the viewport, and only a
    subdivision of one level or more. When that subdivision is the first
    modifier too, its cage is the object's own mesh: an evaluated mesh
    (``mesh``) with another number of vertices than that has been subdivided
    already."""
    shown = [m for m in original.modifiers if m.show_viewport]
    found = [i for i, m in enumerate(shown) if m.type in GPU_SUBDIVISION]
    if not found:
        return False
    last = found[-1]
    if any(m.type in ALWAYS_ON for m in shown[last + 1:]):
        return False
    if getattr(shown[last], "levels", 1) == 0:
        return False
    if last == 0 and mesh is not None:
        cage = original.data
        if isinstance(mesh, MESH) and isinstance(cage, MESH) and len(cage.edges) \
                and len(mesh.vertices) != len(cage.vertices):
            return False
    return True


class ReadPolicy:
    """How one export reads Blender's meshes; chosen once, passed explicitly.

    ``generation``: norvik's layouts the records describe ("310", or "400"
    from Blender 4.0 on, which norvik chooses itself from its b3d_version).
    ``struct_addresses``: 3.1 to 3.4, Blender's structs are norvik's layouts.
    ``bulk``: arrays are read from their addresses where the run-time check
    allows it (3.5 onward); else through ``foreach_get``.
    ``in_place``: from 4.0 on, records point into Blender's arrays themselves.
    ``direct``: an evaluated mesh is read where it is, not copied with
    ``to_mesh()``, unless the GPU may subdivide it (``gpu_subdivision``).
    The defaults are the fast paths of the running Blender; ``reference()``
    is the plain path the fast ones are checked against.
    """

    def __init__(self, version=None, fast=True, struct_addresses=None):
        v = tuple(bpy.app.version if version is None else version)
        self.version = v
        self.generation = generation_of(v)
        if self.generation not in ("310", "400"):
            raise RuntimeError("Blender %s is older than 3.1" % ".".join(map(str, v)))
        self.struct_addresses = (fast if struct_addresses is None else struct_addresses) \
            and v < (3, 5, 0)
        self.bulk = fast and v >= (3, 5, 0)
        self.in_place = self.bulk and self.generation == "400"
        self.direct = fast
        self.ensure_triangles = v < (4, 0, 0)       # computed on access from 4.0 on
        # GPU subdivision never runs without a window (background Blender,
        # pipelines), where the preference is off, or on a GPU that cannot.
        self.gpu_subdivision = gpu_may_subdivide()
        self.editing = meshes_in_edit_mode()

    @classmethod
    def reference(cls, version=None):
        return cls(version, fast=False)

    def edited(self, original):
        """Whether object ``original``'s mesh is in edit mode: its own, or that
        of another object sharing the mesh (a linked duplicate), whose
        evaluated mesh is then a view of the edit mesh too."""
        if original.mode == 'EDIT':
            return True
        return bool(self.editing) and original.data is not None \
            and original.data.as_pointer() in self.editing

    def sculpting(self, original):
        """Whether mesh object ``original`` is sculpted with a Multires modifier shown."""
        return original.mode == 'SCULPT' and any(m.type == 'MULTIRES' and m.show_viewport
                                                 for m in original.modifiers)

    def copies(self, original, mesh=None):
        """Whether mesh object ``original``'s evaluated mesh must be copied with
        to_mesh() (``mesh``: that evaluated mesh, when at hand).

        In edit mode the evaluated mesh may be a view of the edit mesh; in
        sculpt and paint modes a multiresolution mesh may be kept apart from
        it; and where Blender may have left the subdivision to the GPU the
        evaluated mesh may be the cage: all three are copied."""
        if not self.direct or self.edited(original):
            return True
        if not len(original.modifiers):
            return False
        if original.mode != 'OBJECT' and any(m.type in GPU_SUBDIVISION
                                             for m in original.modifiers):
            return True
        return self.gpu_subdivision and left_to_gpu(original, mesh)


def meshes_in_edit_mode():
    """Addresses of the meshes in edit mode (none outside edit mode, found
    without visiting every object)."""
    context = bpy.context
    try:
        mode = context.mode
    except AttributeError:
        mode = None
    if mode is not None and not mode.startswith("EDIT"):
        return frozenset()
    view_layer = getattr(context, "view_layer", None)
    objects = view_layer.objects if view_layer is not None else bpy.data.objects
    return frozenset(ob.data.as_pointer() for ob in objects
                     if ob.mode == 'EDIT' and ob.type == 'MESH')


def _get(collection, attr, dtype, count, width=1):
    out = np.empty(count * width, dtype)
    if count:
        collection.foreach_get(attr, out)
    return out


def _attribute(mesh, name, prop, dtype, count, width=1):
    """A generic attribute through its bulk accessor; None when the mesh has none."""
    attr = mesh.attributes.get(name)
    if attr is None:
        return None
    return _get(attr.data, prop, dtype, count, width)


def corner_vertices(mesh):
    """The vertex index of every loop (from 3.6 on, the ``.corner_vert`` attribute)."""
    count = len(mesh.loops)
    found = _attribute(mesh, ".corner_vert", "value", np.int32, count)
    return found if found is not None else _get(mesh.loops, "vertex_index", np.int32, count)


def split_normals(mesh):
    """One float32 normal per loop, flat (x, y, z, x, y, z, ...)."""
    count = len(mesh.loops)
    if hasattr(mesh, "corner_normals"):          # 4.1 onward
        return _get(mesh.corner_normals, "vector", np.float32, count, 3)
    mesh.calc_normals_split()
    return _get(mesh.loops, "normal", np.float32, count, 3)


def _positions(mesh, count):
    found = _attribute(mesh, "position", "vector", np.float32, count, 3)
    return found if found is not None else _get(mesh.vertices, "co", np.float32, count, 3)


def _triangle_polygons(mesh, count):
    if hasattr(mesh, "loop_triangle_polygons"):
        return _get(mesh.loop_triangle_polygons, "value", np.int32, count)
    return _get(mesh.loop_triangles, "polygon_index", np.int32, count)


def _uvs(layer, count):
    if hasattr(layer, "uv"):
        return _get(layer.uv, "vector", np.float32, count, 2)
    return _get(layer.data, "uv", np.float32, count, 2)


class Kind:
    """One kind of element array: its values, the RNA collection over Blender's
    array, and how ``foreach_get`` reads it (the reference)."""

    def __init__(self, name, dtype, width, sequence, element, reference):
        self.name = name
        self.dtype = np.dtype(dtype)
        self.width = width
        self.itemsize = self.dtype.itemsize * width
        self.sequence = sequence        # source -> collection whose elements' addresses are the array's
        self.element = element          # element -> its values, through the Python API
        self.reference = reference      # (source, count) -> flat values through foreach_get


def _material_indices(mesh):
    attr = mesh.attributes.get("material_index")
    return attr.data if attr is not None and attr.domain == 'FACE' else None


POSITIONS = Kind("positions", np.float32, 3, lambda m: m.vertices, lambda e: e.co, _positions)
VERTEX_NORMALS = Kind("vertex normals", np.float32, 3, lambda m: m.vertex_normals,
                      lambda e: e.vector,
                      lambda m, n: _get(m.vertex_normals, "vector", np.float32, n, 3))
CORNER_VERTICES = Kind("corner vertices", np.int32, 1, lambda m: m.loops,
                       lambda e: (e.vertex_index,), lambda m, n: corner_vertices(m))
TRIANGLES = Kind("triangles", np.int32, 3, lambda m: m.loop_triangles, lambda e: e.loops,
                 lambda m, n: _get(m.loop_triangles, "loops", np.int32, n, 3))
TRIANGLE_POLYGONS = Kind("triangle polygons", np.int32, 1,
                         lambda m: getattr(m, "loop_triangle_polygons", None),
                         lambda e: (e.value,), _triangle_polygons)
# The source of UVs is the active UV layer, not the mesh.
UVS = Kind("UVs", np.float32, 2, lambda layer: getattr(layer, "uv", None), lambda e: e.vector,
           _uvs)
CORNER_NORMALS = Kind("corner normals", np.float32, 3,
                      lambda m: getattr(m, "corner_normals", None), lambda e: e.vector,
                      lambda m, n: split_normals(m))
MATERIAL_INDICES = Kind("material indices", np.int32, 1, _material_indices,
                        lambda e: (e.value,),
                        lambda m, n: _attribute(m, "material_index", "value", np.int32, n))


def _view(ptr, count, stride, kind):
    """(count, width) numpy view of ``count`` elements ``stride`` bytes apart at ``ptr``."""
    size = (count - 1) * stride + kind.itemsize
    buf = (ctypes.c_char * size).from_address(ptr)
    return np.ndarray((count, kind.width), kind.dtype, buf, 0,
                      (stride, kind.dtype.itemsize))


def checked_stride(kind, sequence, count):
    """The byte stride at which ``kind``'s elements lie in Blender's memory, or
    None when they cannot be read from there (see the module's notes)."""
    if sequence is None or count < 2:
        return None
    first = sequence[0].as_pointer()
    stride = sequence[1].as_pointer() - first
    if not first or stride < kind.itemsize or stride > 64 or stride % kind.dtype.itemsize:
        return None
    last = count - 1
    if sequence[last].as_pointer() - first != last * stride:
        return None
    view = _view(first, count, stride, kind)
    for i in (0, last):
        if list(view[i]) != list(kind.element(sequence[i])):
            return None
    return stride


def probe_stride(kind, sources, counts):
    """The checked stride of ``kind`` in the first source with two or more elements."""
    probe = next((i for i, n in enumerate(counts) if n >= 2), None)
    return None if probe is None else checked_stride(kind, kind.sequence(sources[probe]),
                                                     counts[probe])


def read(kind, sources, counts, staging=None, bulk=True):
    """``kind``'s values of every source (a mesh, or a UV layer for ``UVS``),
    concatenated: a (sum(counts), width) array; ``bulk=False``: through
    ``foreach_get`` only.

    With one source it may be a view of Blender's own memory, valid while the
    source is unchanged; otherwise a new array, or a view of ``staging`` (a
    uint8 array, used when it is large enough) valid until it is reused.
    """
    total = int(sum(counts))
    stride = probe_stride(kind, sources, counts) if bulk else None
    if stride is None:
        out = np.empty((total, kind.width), kind.dtype)
        start = 0
        for source, n in zip(sources, counts):
            if n:
                out[start:start + n] = kind.reference(source, n).reshape(n, kind.width)
                start += n
        return out
    sequence = kind.sequence
    firsts = [sequence(s)[0].as_pointer() if n else 0 for s, n in zip(sources, counts)]
    if len(sources) == 1 and firsts[0]:
        return _view(firsts[0], counts[0], stride, kind)
    # Copy every array whole into one buffer (stride bytes per element), one
    # memmove each, then take the values from it.
    if staging is None or len(staging) < total * stride:
        staging = np.empty(total * stride, np.uint8)
    targets = list(accumulate([n * stride for n in counts], initial=address(staging)))
    # Exactly what the elements span: past the last element's own bytes the
    # stride may run beyond the end of Blender's array.
    sizes = [(n - 1) * stride + kind.itemsize if n else 0 for n in counts]
    late = []
    for i in ([i for i, ptr in enumerate(firsts) if not ptr] if 0 in firsts else ()):
        # Nothing to copy, or no address: foreach_get below.
        firsts[i], sizes[i] = targets[i], 0
        if counts[i]:
            late.append(i)
    list(map(ctypes.memmove, targets, firsts, sizes))
    out = np.ndarray((total, kind.width), kind.dtype, staging, 0, (stride, kind.dtype.itemsize))
    for i in late:
        start = (targets[i] - targets[0]) // stride
        out[start:start + counts[i]] = kind.reference(sources[i], counts[i]).reshape(-1, kind.width)
    return out


def evaluated_mesh(original, evaluated, policy, kind=None):
    """The evaluated mesh of mesh object ``original`` (``evaluated`` is its
    evaluated object, ``kind`` its type when known), to be read in place;
    None when ``policy`` wants a copy (edit mode, or GPU subdivision)."""
    if (kind or original.type) != 'MESH':
        return None
    mesh = evaluated.data
    return mesh if isinstance(mesh, MESH) and not policy.copies(original, mesh) else None


def pack(records, field, values):
    """Copy (n, width) ``values`` into field ``field`` of n ``records``, each
    element's bytes as they are: one raw copy of n fixed-size items, much
    faster than numpy's per-number copy between strided layouts."""
    n = len(records)
    if not n:
        return
    form, offset = records.dtype.fields[field][:2]
    size = values.dtype.itemsize * values.shape[1]
    if form.itemsize != size or values.strides[1] != values.dtype.itemsize:
        records[field] = values.reshape(records[field].shape)
        return
    item = np.dtype((np.void, size))
    target = np.ndarray((n,), item, records, offset, (records.dtype.itemsize,))
    target[...] = values.view(item).reshape(n)


def blank(n, layout, filled):
    """``n`` records of ``layout``, all zero except the bytes of the fields
    ``filled``, which the caller writes whole.

    Unlike ``np.zeros`` this takes memory the allocator may have kept from an
    earlier export: on fresh zero pages every first write is a page fault,
    which costs more than copying the values themselves.
    """
    records = np.empty(n, layout)
    if not n:
        return records
    covered = np.zeros(layout.itemsize + 1, bool)
    covered[-1] = True
    for name in filled:
        form, offset = layout.fields[name][:2]
        covered[offset:offset + form.itemsize] = True
    start = 0
    while start < layout.itemsize:
        if covered[start]:
            start += 1
            continue
        end = start + int(np.argmax(covered[start:]))
        # Zeroed as whole words where they fit: far faster than raw bytes.
        word = 4 if start % 4 == (end - start) % 4 == layout.itemsize % 4 == 0 else 1
        np.ndarray((n, (end - start) // word), np.dtype("u%d" % word), records, start,
                   (layout.itemsize, word))[...] = 0
        start = end
    return records


def _first_addresses(sequences, counts):
    return np.array([s[0].as_pointer() if n else 0 for s, n in zip(sequences, counts)], np.uint64)


def counts_and_firsts(meshes, uvs="uv"):
    """Each mesh's vertex, loop and triangle counts, its active UV layer, and the
    address of the first element of each kind of array (0 for an empty one).

    One visit per mesh: each read is a call into Blender's Python API, and
    one pass makes the fewest.  A mesh listed again (the evaluated mesh that
    objects sharing their mesh without modifiers share) is read once.
    Returns the counts (three lists), the layers, and ``{kind: uint64
    addresses}`` for the positions, corner vertices, triangles, UVs (the
    layer's collection ``uvs``: ``uv`` from 3.5 on, ``data`` for the 3.1
    structs) and vertex normals.
    """
    rows = []
    seen = {}           # mesh -> its row (Blender's values compare equal for one datablock)
    for mesh in meshes:
        row = seen.get(mesh)
        if row is None:
            verts, loops, tris = mesh.vertices, mesh.loops, mesh.loop_triangles
            v, l, t = len(verts), len(loops), len(tris)
            layer = mesh.uv_layers.active
            row = seen[mesh] = (
                v, l, t, layer,
                verts[0].as_pointer() if v else 0,
                loops[0].as_pointer() if l else 0,
                tris[0].as_pointer() if t else 0,
                getattr(layer, uvs)[0].as_pointer() if l and layer is not None else 0,
                mesh.vertex_normals[0].as_pointer() if v else 0)
        rows.append(row)
    columns = list(zip(*rows)) if rows else [()] * 9
    firsts = {kind: np.array(column, np.uint64) for kind, column in
              zip((POSITIONS, CORNER_VERTICES, TRIANGLES, UVS, VERTEX_NORMALS), columns[4:])}
    return list(columns[0]), list(columns[1]), list(columns[2]), list(columns[3]), firsts


def element_addresses(array, counts, itemsize):
    """Address of each mesh's first element in a concatenated array (0 when it has none)."""
    counts = np.asarray(counts, np.uint64)
    if not len(counts):
        return counts
    starts = np.zeros(len(counts), np.uint64)
    np.cumsum(counts[:-1], out=starts[1:])
    return np.where(counts > 0, np.uint64(address(array)) + starts * np.uint64(itemsize),
                    np.uint64(0))


class MeshBatch:
    """Element arrays of ``meshes`` in the layouts of ``policy.generation``.

    Columns, one entry per mesh: ``vert_count``, ``loop_count``, ``tri_count``
    and the addresses ``verts_ptr``, ``vert_normals_ptr``, ``loops_ptr``,
    ``uvs_ptr`` (0 without UVs), ``looptris_ptr`` (0 for an empty array), and
    from 4.0 on ``tri_polys_ptr``. The triangles' polygon numbers are read
    only with ``polygons`` (the scene document does not read them).
    """

    def __init__(self, meshes, policy, polygons=False):
        self.meshes = meshes
        self.policy = policy
        if policy.ensure_triangles:
            for mesh in meshes:
                mesh.calc_loop_triangles()
        firsts = {}
        if policy.in_place or policy.struct_addresses:
            uvs = "uv" if policy.in_place else "data"
            v, l, t, layers, firsts = counts_and_firsts(meshes, uvs)
        else:
            v = [len(m.vertices) for m in meshes]
            l = [len(m.loops) for m in meshes]
            t = [len(m.loop_triangles) for m in meshes]
            layers = [m.uv_layers.active for m in meshes]
        self.vert_count, self.loop_count, self.tri_count = v, l, t
        self.uv_layers = layers
        uv_count = [n if layer is not None else 0 for n, layer in zip(l, layers)]
        self._keep = []
        self.tri_polys_ptr = np.zeros(len(meshes), np.uint64)
        if policy.struct_addresses:
            self.verts_ptr = firsts[POSITIONS]
            self.vert_normals_ptr = firsts[VERTEX_NORMALS]
            self.loops_ptr = firsts[CORNER_VERTICES]
            self.looptris_ptr = firsts[TRIANGLES]
            self.uvs_ptr = firsts[UVS]
            return
        if policy.generation == "400":
            self.verts_ptr = self.addresses(POSITIONS, meshes, v, firsts.get(POSITIONS))
            self.loops_ptr = self.addresses(CORNER_VERTICES, meshes, l,
                                            firsts.get(CORNER_VERTICES))
            self.looptris_ptr = self.addresses(TRIANGLES, meshes, t, firsts.get(TRIANGLES))
            self.uvs_ptr = self.addresses(UVS, layers, uv_count, firsts.get(UVS))
            self.vert_normals_ptr = self.addresses(VERTEX_NORMALS, meshes, v,
                                                   firsts.get(VERTEX_NORMALS))
            if polygons:
                self.tri_polys_ptr = self.addresses(TRIANGLE_POLYGONS, meshes, t)
            return
        # 3.5 and 3.6: packed into the 3.1 layouts. One staging buffer serves
        # every kind in turn (each is packed before the next is read): fewer
        # fresh pages to fault in.
        bulk = policy.bulk
        staging = np.empty(max(sum(v) * 16, sum(l) * 8, sum(t) * 16), np.uint8)
        verts = blank(sum(v), VERTEX, ("co",))
        pack(verts, "co", read(POSITIONS, meshes, v, staging, bulk))
        loops = blank(sum(l), LOOP, ("v",))
        pack(loops, "v", read(CORNER_VERTICES, meshes, l, staging, bulk))
        tris = blank(sum(t), LOOPTRI, ("tri", "poly") if polygons else ("tri",))
        pack(tris, "tri", read(TRIANGLES, meshes, t, staging, bulk))
        if polygons:            # only the triangle arrays read a triangle's polygon
            pack(tris, "poly", read(TRIANGLE_POLYGONS, meshes, t, staging, bulk))
        uvs = blank(sum(uv_count), UV, ("uv",))
        pack(uvs, "uv", read(UVS, layers, uv_count, staging, bulk))
        del staging
        self._keep += [verts, loops, tris, uvs]
        self.verts_ptr = element_addresses(verts, v, VERTEX.itemsize)
        self.loops_ptr = element_addresses(loops, l, LOOP.itemsize)
        self.looptris_ptr = element_addresses(tris, t, LOOPTRI.itemsize)
        self.uvs_ptr = element_addresses(uvs, uv_count, UV.itemsize)
        self.vert_normals_ptr = self.addresses(VERTEX_NORMALS, meshes, v)

    @property
    def arrays(self):
        """The arrays of this batch's own that its addresses may point into."""
        return self._keep

    def addresses(self, kind, sources, counts, firsts=None):
        """Address of each source's ``kind`` array in norvik's 4.0 layout (which
        is also the float-triple layout of normals in every generation).

        Where the policy allows and the check passes (the elements lie exactly
        their own size apart), Blender's own arrays; else a copy, read as
        ``read`` does (0 for a source without elements).  ``firsts``: each
        source's first element address, when already read.
        """
        bulk = self.policy.bulk
        if bulk and probe_stride(kind, sources, counts) == kind.itemsize:
            ptrs = firsts if firsts is not None else _first_addresses(
                [kind.sequence(s) if n else None for s, n in zip(sources, counts)], counts)
            if np.all((ptrs != 0) | (np.asarray(counts) == 0)):
                return ptrs
        values = np.ascontiguousarray(read(kind, sources, counts, bulk=bulk))
        self._keep.append(values)
        return element_addresses(values, counts, kind.itemsize)

    def split_normals(self, i):
        """Mesh i's normals, one per loop: an (n, 3) float32 array."""
        mesh = self.meshes[i]
        return read(CORNER_NORMALS, [mesh], [self.loop_count[i]],
                    bulk=self.policy.bulk).reshape(-1, 3)

    def first_corner_normals(self, i):
        """Mesh i's per-vertex normals taken from each vertex's first loop.

        The scene document has one normal per vertex; with custom normals the
        first corner of a vertex decides, as it does for the vertex's UV.
        Vertices that no loop uses keep their vertex normal.
        """
        mesh = self.meshes[i]
        bulk = self.policy.bulk
        out = np.array(read(VERTEX_NORMALS, [mesh], [self.vert_count[i]], bulk=bulk), np.float32)
        corners = read(CORNER_VERTICES, [mesh], [self.loop_count[i]], bulk=bulk).reshape(-1)
        used, first = np.unique(corners, return_index=True)
        out[used] = self.split_normals(i)[first]
        return out


class MeshArrays:
    """Element arrays of one mesh in the layouts of ``policy.generation``, with
    the polygon material array the triangle-array functions need."""

    def __init__(self, mesh, policy, material_count=None):
        self.mesh = mesh
        self.policy = policy
        batch = self.batch = MeshBatch([mesh], policy, polygons=True)
        self.vert_count = batch.vert_count[0]
        self.loop_count = batch.loop_count[0]
        self.tri_count = batch.tri_count[0]
        self.has_uvs = batch.uv_layers[0] is not None and self.loop_count > 0
        for name in ("verts_ptr", "vert_normals_ptr", "loops_ptr", "uvs_ptr", "looptris_ptr",
                     "tri_polys_ptr"):
            setattr(self, name, int(getattr(batch, name)[0]))
        self.material_count = max(1, len(mesh.materials) if material_count is None
                                  else material_count)
        self._polys = None
        self.polys_ptr = self._materials(mesh)
        self._split = None

    def _materials(self, mesh):
        """Address of the polygons' material numbers: norvik's polygon layout up
        to 3.x, the int32 array from 4.0 on (0 when every polygon uses slot 0).

        Blender draws an out-of-range material number with the nearest slot:
        the numbers are clamped so, in a copy where any needs it.
        """
        n = len(mesh.polygons)
        top = self.material_count - 1
        bulk = self.policy.bulk
        if self.policy.generation == "400":
            if mesh.attributes.get("material_index") is None or not n:
                return 0
            own = bulk and probe_stride(MATERIAL_INDICES, [mesh], [n]) == MATERIAL_INDICES.itemsize
            index = read(MATERIAL_INDICES, [mesh], [n], bulk=bulk).reshape(-1)
            if own and index.min() >= 0 and index.max() <= top:
                return address(index)           # Blender's own array
            self._polys = np.ascontiguousarray(np.clip(index, 0, top), np.int32)
            return address(self._polys)
        polys = self._polys = np.zeros(n, POLY)
        if self.policy.version >= (3, 4, 0):
            if mesh.attributes.get("material_index") is None:
                return address(polys)       # no attribute: every polygon uses slot 0
            index = read(MATERIAL_INDICES, [mesh], [n], bulk=bulk).reshape(-1)
        else:
            index = _get(mesh.polygons, "material_index", np.int32, n)
        polys["mat_nr"] = np.clip(index, 0, top)
        return address(polys)

    @property
    def split_normals(self):
        """Flat float32 normals, one triple per loop."""
        if self._split is None:
            self._split = np.ascontiguousarray(self.batch.split_normals(0),
                                               np.float32).reshape(-1)
        return self._split

    def first_corner_normals(self):
        return self.batch.first_corner_normals(0)

    def host_mesh(self):
        """A ``HostMesh`` record for the triangle-array functions."""
        rec = np.zeros(1, HOST_MESH)
        rec["verts_ptr"] = self.verts_ptr
        rec["tri_polys_ptr"] = self.tri_polys_ptr
        rec["polys_ptr"] = self.polys_ptr
        rec["loops_ptr"] = self.loops_ptr
        rec["uvs_ptr"] = self.uvs_ptr
        rec["looptris_ptr"] = self.looptris_ptr
        rec["has_uvs"] = 1 if self.has_uvs else 0
        rec["looptri_count"] = self.tri_count
        rec["material_count"] = self.material_count
        return rec
