"""Scene and camera export through norvik, and the triangle-array helper."""
import contextlib
import ctypes
import gc
import locale
import os
import re
import sys
import tempfile
import time
from itertools import chain

import bpy
import numpy as np

from .layouts import (CAMERA, CAMERA_NAME_SIZE, EXPORT_OBJECT, MATERIAL_SIZE, NAME_SIZE,
                      address, fit_text)
try:
    from .norvik_records.addon import ReplaceFiles, camera_path_for, unique_keys  # noqa: F401
except ImportError:
    from norvik_records.addon import ReplaceFiles, camera_path_for, unique_keys  # noqa: F401
from .meshdata import MESH, MeshArrays, MeshBatch, ReadPolicy, element_addresses
from .scene import (OBJECT, TYPE_NAMES, CameraEntry, ExportOptions, gather, instance_matrices,
                    no_faces_message)


def load_native():
    """The norvik module: the copy inside this package, else an installed one."""
    try:
        from . import norvik
    except ImportError:
        try:
            import norvik
        except ImportError as exc:
            raise ImportError(
                "norvik is not installed in the add-on; build it and run "
                "tools/install_addon.sh") from exc
    return norvik


class NativeOutput:
    """What norvik printed during a call: C-level stdout and unraisable errors."""

    def __init__(self):
        self.text = ""
        self.errors = []

    @property
    def messages(self):
        """norvik's messages, one per entry, repeats folded into a count."""
        # Several messages have no line end; start each on its own line.
        text = re.sub(r"(WARN!|\[ERROR\]|\* ERROR)", r"\n\1", self.text)
        lines = [ln.strip() for ln in text.splitlines() if ln.strip()]
        folded = []
        for line in lines:
            if folded and folded[-1][0] == line:
                folded[-1][1] += 1
            else:
                folded.append([line, 1])
        out = [m if n == 1 else "%s (x%d)" % (m, n) for m, n in folded]
        return out + self.errors


class CRuntime:
    """The C runtime norvik prints through: the process's libc on Linux and
    macOS, the Universal C Runtime (ucrtbase) on Windows."""

    def __init__(self):
        if sys.platform == "win32":
            crt = ctypes.CDLL("ucrtbase")
            stream = getattr(crt, "__acrt_iob_func")       # (a name Python would mangle here)
            stream.restype = ctypes.c_void_p
            stream.argtypes = [ctypes.c_uint]
            crt._fileno.argtypes = [ctypes.c_void_p]
            crt.freopen.restype = ctypes.c_void_p
            crt.freopen.argtypes = [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_void_p]
            self._stdout = stream(1)
        else:
            crt = ctypes.CDLL(None)
            self._stdout = None
        crt.fflush.argtypes = [ctypes.c_void_p]
        self._crt = crt

    def flush(self):
        self._crt.fflush(None)

    def stdout_fd(self):
        """The file descriptor behind the C runtime's stdout, or None.

        A Windows program started without a console (Blender from the
        desktop) has a stdout bound to no descriptor, which drops everything
        printed to it; it is reopened on NUL here (the C runtime's own way),
        so that a descriptor exists to be redirected. None where that fails
        (wine refuses it): norvik's messages are then lost, not the export.
        """
        if self._stdout is None:
            return 1
        fd = self._crt._fileno(self._stdout)
        if fd < 0:
            self._crt.freopen(b"NUL", b"w", self._stdout)
            fd = self._crt._fileno(self._stdout)
        return fd if fd >= 0 else None


_crt = None


def _c_runtime():
    global _crt
    if _crt is None:
        _crt = CRuntime()
    return _crt


@contextlib.contextmanager
def native_output(echo=True):
    """Capture what native code writes to the C runtime's stdout during the block.

    Its descriptor is pointed at a temporary file for the block; with
    ``echo`` the captured bytes are written on to where stdout went before
    (so what other threads printed meanwhile is not lost either).
    """
    result = NativeOutput()
    crt = _c_runtime()
    old_hook = sys.unraisablehook

    def hook(unraisable):
        result.errors.append("%s: %s" % (unraisable.err_msg or "norvik",
                                         unraisable.exc_value))
        old_hook(unraisable)

    fd = crt.stdout_fd()
    if fd is None:                      # nothing norvik prints can reach us
        sys.unraisablehook = hook
        try:
            yield result
        finally:
            sys.unraisablehook = old_hook
        return
    if sys.stdout is not None:          # None in a Windows program without a console
        sys.stdout.flush()
    crt.flush()
    try:
        saved = os.dup(fd)
    except OSError:                     # closed: restored as closed
        saved = None
    with tempfile.TemporaryFile() as tmp:
        # With the descriptor closed, the new file may have been given it.
        if tmp.fileno() != fd:
            os.dup2(tmp.fileno(), fd)
        sys.unraisablehook = hook
        try:
            yield result
        finally:
            sys.unraisablehook = old_hook
            crt.flush()
            if saved is None:
                if tmp.fileno() != fd:
                    os.close(fd)
            else:
                os.dup2(saved, fd)
                os.close(saved)
            tmp.seek(0)
            raw = tmp.read()
            result.text = _printed_text(raw)
            if echo and raw and saved is not None:
                if sys.stdout is not None:
                    sys.stdout.flush()
                try:
                    os.write(fd, raw if raw.endswith(b"\n") else raw + b"\n")
                except OSError:         # nowhere to echo to (not open for writing)
                    pass


def _printed_text(raw):
    """Printed bytes as text: UTF-8, else (Windows) the ANSI code page, which
    Blender's own console lines may be in there."""
    try:
        return raw.decode("utf-8")
    except UnicodeDecodeError:
        encoding = locale.getpreferredencoding(False) if sys.platform == "win32" else "utf-8"
        return raw.decode(encoding, "replace")


class ExportResult:
    def __init__(self):
        self.ok = True
        self.errors = []
        self.warnings = []
        self.objects = []          # (name, vertices, triangles, placements)
        self.cameras = []
        self.faceless = []         # objects drawn with no faces, not exported
        self.incomplete = []       # objects not read as Blender shows them: what was done instead
        self.reused = False        # written from what the last export gathered (see Reuse)
        self.scene_path = None
        self.camera_path = None
        self.seconds = 0.0

    @property
    def summary(self):
        columns = list(zip(*self.objects)) or [()] * 4
        verts, tris, placed = sum(columns[1]), sum(columns[2]), sum(columns[3])
        size = 0
        for path in (self.scene_path, self.camera_path):
            if path and os.path.exists(path):
                size += os.path.getsize(path)
        return ("%d objects (%d vertices, %d triangles, %d placements), %d without faces, "
                "%d cameras, %d bytes in %.2f s"
                % (len(self.objects), verts, tris, placed, len(self.faceless), len(self.cameras),
                   size, self.seconds))

    def no_faces(self, name, kind):
        self.faceless.append(name)
        self.warnings.append(no_faces_message(name, kind))

    def not_read(self, entry, exc):
        """``entry``'s mesh could not be read (the rest of the scene is written)."""
        self._incomplete('%s could not be read (%s: %s), not exported'
                         % (_described(entry), type(exc).__name__, exc))

    def stand_in(self, entry):
        self._incomplete("%s is being sculpted with Multires: exported without its levels"
                         % _described(entry))

    def _incomplete(self, message):
        self.incomplete.append(message)
        self.warnings.append(message)


def _described(entry):
    return '"%s" (%s)' % (entry.name, TYPE_NAMES.get(entry.kind, entry.kind.lower()))


def document_keys(names, size, what, result, label=None, first=None):
    """Unique keys for ``names`` (see ``unique_keys``); each name written otherwise is reported once.

    ``label(i)`` names object i in the reports (default: ``names[i]``); it is
    called only for the objects reported.  Names at the indices ``first()``
    returns are served before the others.
    """
    encoded = [name.encode("utf-8") for name in names]
    if len(set(encoded)) == len(encoded) and max(map(len, encoded), default=0) < size:
        return encoded          # each name fits whole and is its own key
    first = first() if first else None
    if first and len(first) < len(names):
        order = sorted(first) + [i for i in range(len(names)) if i not in first]
    else:
        order = range(len(names))
    keys = [None] * len(names)
    for i, key in zip(order, unique_keys([names[i] for i in order], size)):
        keys[i] = key
    for i, (name, key) in enumerate(zip(names, keys)):
        text = key.decode("utf-8")
        if text == name:
            continue
        if len(name.encode("utf-8")) <= size - 1:
            why = "another %s has the same name" % what
        elif key == fit_text(name, size):
            why = "longer than %d bytes" % (size - 1)
        else:
            why = "longer than %d bytes, and its first bytes are taken" % (size - 1)
        shown = label(i) if label else name
        result.warnings.append('%s "%s" is written as "%s" (%s)' % (what, shown, text, why))
    return keys


def _label(entry):
    """An object's name as the user finds it: with its library for a linked object."""
    source = entry.source
    if isinstance(source, OBJECT) and source.library is not None:
        return source.name_full
    return entry.name


def _object_records(entries, batch, index, result, rows):
    """The records of ``entries``, filled column by column; entry k's mesh is
    ``index[k]`` of ``batch``, its placements rows of ``rows`` (see ``gather``)."""
    records = np.zeros(len(entries), EXPORT_OBJECT)
    keep = []
    # Objects' own names come before the "<object>.<mesh>" names of meshes
    # made by geometry nodes.
    names = document_keys([e.name for e in entries], NAME_SIZE, "object", result,
                          lambda i: _label(entries[i]),
                          lambda: {i for i, e in enumerate(entries)
                                   if isinstance(e.source, OBJECT)})
    materials = list(dict.fromkeys(e.material for e in entries))     # in order of first use
    material_keys = dict(zip(materials, document_keys(materials, MATERIAL_SIZE, "material",
                                                      result)))
    records["name"] = names
    records["material"] = [material_keys[e.material] for e in entries]
    index = np.asarray(index, np.intp)
    for field in ("verts_ptr", "vert_normals_ptr", "loops_ptr", "uvs_ptr", "looptris_ptr"):
        records[field] = np.asarray(getattr(batch, field), np.uint64)[index]
    verts = np.asarray(batch.vert_count, np.int64)[index]
    tris = np.asarray(batch.tri_count, np.int64)[index]
    records["vert_count"] = verts
    records["loop_count"] = np.asarray(batch.loop_count, np.int64)[index]
    records["looptri_count"] = tris
    placed = [len(e.placements) for e in entries]
    # The entries' rows one after another, row by row as norvik reads them.
    order = np.fromiter(chain.from_iterable(e.placements for e in entries), np.intp, sum(placed))
    rows = np.ascontiguousarray(rows[order])
    keep.append(rows)
    records["instances_ptr"] = element_addresses(rows, placed, rows.itemsize * 12)
    records["instance_count"] = placed
    meshes = batch.meshes
    normals = {}        # mesh -> its first-corner normals (None: no custom normals), once per mesh
    for k, i in enumerate(index.tolist()):
        mesh = meshes[i]
        custom = normals.get(mesh, False)
        if custom is False:
            custom = normals[mesh] = batch.first_corner_normals(i) if mesh.has_custom_normals \
                else None
            if custom is not None:
                keep.append(custom)
        if custom is not None:
            records["custom_normals_ptr"][k] = address(custom)
    result.objects += zip([e.name for e in entries], verts.tolist(), tris.tolist(), placed)
    return records, keep


def _camera_records(cameras, result):
    records = np.zeros(len(cameras), CAMERA)
    names = document_keys([c.name for c in cameras], CAMERA_NAME_SIZE, "camera", result)
    for i, c in enumerate(cameras):
        records[i]["name"] = names[i]
        records[i]["fov"] = c.fov
        records[i]["matrix"] = c.matrix
    return records


# Object types whose evaluated geometry can have faces.
GEOMETRY_TYPES = {'MESH', 'CURVE', 'SURFACE', 'FONT', 'META'}


def left_out(depsgraph, options, with_cameras=True, drawn=()):
    """Warnings for what the scene holds but an export of what the viewport shows leaves out.

    * Objects hidden in the viewport (and not disabled for rendering): the
      export follows the viewport, as Blender's own exporters do.
    * Modifiers turned off in the viewport but on for rendering: not applied.
    * Cameras inside collection instances: the camera document holds the
      scene's own cameras, one per camera object.

    ``options`` (``ExportOptions``) limit the search as they limit the export.
    ``drawn``: objects the depsgraph lists as themselves, which are exported
    whatever ``visible_get`` says (a local view hides the rest of the scene
    from it), and need not be asked.
    """
    selected_only, collection = options.selected_only, options.collection
    view_layer = depsgraph.view_layer
    objects = view_layer.objects
    members = None if collection is None else set(collection.all_objects)
    # Only an instancer can place a collection: one bulk read spares asking
    # every other object for its instance type.
    instancers = np.zeros(len(objects), bool)
    if with_cameras and len(instancers):
        objects.foreach_get("is_instancer", instancers)
    hidden, modifiers, cameras = [], [], {}
    inside = {}             # collection -> names of the cameras it places, at any depth

    def cameras_in(collection, depth=0):
        key = collection.as_pointer()
        found = inside.get(key)
        if found is None:
            found = inside[key] = []
            for ob in collection.all_objects:
                if ob.type == 'CAMERA':
                    found.append(ob.name_full)
                elif ob.instance_type == 'COLLECTION' and ob.instance_collection and depth < 32:
                    found += cameras_in(ob.instance_collection, depth + 1)
        return found

    for ob, instancer in zip(objects, instancers.tolist()):
        if selected_only and not ob.select_get(view_layer=view_layer):
            continue
        if members is not None and ob not in members:
            continue
        if ob not in drawn and not ob.visible_get(view_layer=view_layer):
            if ob.type in GEOMETRY_TYPES and not ob.hide_render:
                hidden.append('"%s"' % ob.name_full)
            continue
        if options.apply_modifiers:
            mods = ob.modifiers
            off = len(mods) and [m.name for m in mods if m.show_render and not m.show_viewport]
            if off:
                modifiers.append('"%s" (%s)' % (ob.name_full, ", ".join(off)))
        if instancer and ob.instance_type == 'COLLECTION' and ob.instance_collection:
            for name in cameras_in(ob.instance_collection):
                cameras.setdefault(name, ob.name_full)
    out = []
    if hidden:
        out.append("%s hidden in the viewport, not exported: %s"
                   % (_objects(len(hidden)), _some(hidden)))
    if modifiers:
        out.append("%s with modifiers off in the viewport but on for rendering, exported "
                   "without them: %s" % (_objects(len(modifiers)), _some(modifiers)))
    for name, instancer in cameras.items():
        out.append('camera "%s" inside collection instance "%s", not exported' % (name, instancer))
    return out


def _objects(n):
    return "%d object%s" % (n, "" if n == 1 else "s")


def _some(items, shown=10):
    more = " and %d more" % (len(items) - shown) if len(items) > shown else ""
    return ", ".join(items[:shown]) + more


def export_scene(scene_path, camera_path=None, depsgraph=None, options=None, progress=None,
                 echo=True, policy=None, reuse=None, **fields):
    """Write the scene document (and the camera document when ``camera_path`` is set).

    ``options`` (an ``ExportOptions``) says what is exported; without it,
    keyword ``fields`` of ``ExportOptions`` (``selected_only=True``...) make
    one.  ``policy`` (a ``ReadPolicy``) says how Blender's meshes are read: by
    default the fast paths of the running Blender.

    ``progress(index, count, name, vertices, triangles, placements)`` is called
    once per mesh object as it is prepared (with a ``step`` attribute on the
    callback, for every step-th object and the last).  Returns an ``ExportResult``;
    failures are listed in its ``errors`` rather than raised.

    ``reuse`` (a ``Reuse``, live export's) takes what this export gathers for
    the next, and gives what the last one left, when it may be used.

    norvik writes each document into a new file beside its target; the files
    replace the targets only when every document was written, so a failed
    export leaves the previous documents as they were.
    """
    if options is None:
        options = ExportOptions(**fields)
    elif fields:
        raise TypeError("export_scene() takes options or their fields, not both")
    norvik = load_native()
    start = time.perf_counter()
    # An export makes tens of thousands of short-lived objects (entries,
    # matrices, Blender's wrappers) and no cycles worth collecting before it
    # ends: the cyclic collector would only walk them again and again.
    collecting = gc.isenabled()
    gc.disable()
    try:
        result = _export_scene(norvik, scene_path, camera_path, depsgraph, options, progress,
                               echo, policy or ReadPolicy(), reuse)
    finally:
        if collecting:
            gc.enable()
    result.seconds = time.perf_counter() - start
    return result


def _export_scene(norvik, scene_path, camera_path, depsgraph, options, progress, echo, policy,
                  reuse):
    result = ExportResult()
    result.scene_path, result.camera_path = scene_path, camera_path
    if depsgraph is None:
        depsgraph = bpy.context.evaluated_depsgraph_get()
    with_cameras = camera_path is not None
    kept = None
    if reuse is not None:
        kept, reuse.kept = reuse.kept, None     # kept again only by a good export
    matrices = None
    if kept is not None:
        try:
            matrices = instance_matrices(depsgraph, kept.count)
        except ValueError:                  # other instances than before
            kept = None
    with ReplaceFiles() as files:
        if kept is not None:
            cameras = _write_again(norvik, files, kept, matrices, echo, result)
            result.reused = True
        else:
            entries, cameras, faceless, rows, drawn = gather(depsgraph, policy, options,
                                                             with_cameras)
            for name, kind in faceless:
                result.no_faces(name, kind)
            result.warnings += left_out(depsgraph, options, with_cameras, drawn)
            kept = _write_scene(norvik, files, entries, depsgraph, options.apply_modifiers,
                                progress, echo, result, policy, rows, reuse is not None)
            if kept is not None:
                kept.cameras = cameras
        if camera_path is not None and result.ok:
            result.cameras = [c.name for c in cameras]
            records = _camera_records(cameras, result)
            _write(files, camera_path, result, echo,
                   lambda path: norvik.export_scenes(address(records), len(records), path))
        if result.ok:
            try:
                files.commit()
            except OSError as exc:
                _failed(result, exc.filename, exc.strerror)
    if reuse is not None and result.ok:
        reuse.kept = kept
    return result


class Reuse:
    """What an export leaves to the next export of the same scene with the same
    options and targets, for when nothing but placements changed in between:
    the next one reads only the matrices of the depsgraph's instances again.

    Kept only where every section was read in place from Blender's evaluated
    meshes (no copies, no stand-ins, nothing unreadable): their addresses stay
    valid until Blender evaluates those meshes again or frees them.  Whoever
    passes a ``Reuse`` to ``export_scene`` drops it (``drop()``) on anything
    that may: an update of any geometry, undo and redo, a file loaded, a
    frame change, another scene, view layer, mode, option or target, objects
    added, removed, renamed, shown or hidden (live.py does).  The instances
    must be as many as before, or everything is gathered again.
    """

    def __init__(self):
        self.kept = None
        self.key = None             # what the caller reuses for; another key drops it

    def drop(self):
        self.kept = None

    def keyed(self, key):
        """This, dropped first when ``key`` differs from the last one."""
        if key != self.key:
            self.kept = None
            self.key = key
        return self


class _Kept:
    __slots__ = ("records", "arrays", "order", "placed", "count", "cameras", "objects",
                 "faceless", "warnings")


def _write_again(norvik, files, kept, matrices, echo, result):
    """Write the scene document of ``kept`` with placements from ``matrices``
    (``instance_matrices``); the camera entries, placed anew."""
    rows = np.ascontiguousarray(matrices[kept.order, :3])
    records = kept.records
    records["instances_ptr"] = element_addresses(rows, kept.placed, rows.itemsize * 12)
    result.objects = list(kept.objects)
    result.faceless = list(kept.faceless)
    result.warnings = list(kept.warnings)
    _write(files, result.scene_path, result, echo,
           lambda path: norvik.export(address(records), len(records), path, False))
    return [CameraEntry(c.name, c.fov, matrices[c.index].tolist(), c.index)
            for c in kept.cameras]


def _failed(result, target, reason):
    result.ok = False
    result.errors.append("could not write %s (%s); any previous file there is unchanged" % (target, reason))


def _write(files, target, result, echo, write):
    """Have ``write(path)`` (a norvik call) fill a new file that will replace ``target``."""
    try:
        path = files.temporary(target)
    except OSError as exc:
        _failed(result, target, exc.strerror or exc)
        return
    with native_output(echo) as out:
        done = write(os.fsencode(path))
    result.warnings += out.messages
    if not done:
        _failed(result, target, "norvik could not write it")


def _write_scene(norvik, files, entries, depsgraph, apply_modifiers, progress, echo, result,
                 policy, rows, keeping=False):
    """Load the entries' meshes, fill their records, have norvik write them.

    With ``keeping``, what a ``Reuse`` keeps of it, or None where it cannot
    be reused (see ``Reuse``)."""
    taken = 0                   # entries[:taken] have been loaded (or tried)
    every = entries
    try:
        read = []
        for e in every:
            taken += 1
            try:
                e.load(depsgraph, apply_modifiers, policy)
            except Exception as exc:        # one object must not keep the rest from the engine
                result.not_read(e, exc)
                continue
            if e.stand_in:
                result.stand_in(e)
            read.append(e)
        entries, batch = _mesh_batch(read, policy, result)
        verts, tris = batch.vert_count, batch.tri_count
        faced = (np.asarray(verts, np.int64) > 0) & (np.asarray(tris, np.int64) > 0)
        ready = np.flatnonzero(faced).tolist()
        for i in np.flatnonzero(~faced).tolist():
            if verts[i] or not entries[i].instancer:
                # An instancer's own empty mesh is normal; loose edges or points are not.
                result.no_faces(entries[i].name, entries[i].kind)
        if progress:
            # A callback with a ``step`` is told of every step-th object and the last.
            count = len(ready)
            shown = range(0, count, getattr(progress, "step", 1))
            if count and shown[-1] != count - 1:
                shown = list(shown) + [count - 1]
            for k in shown:
                i = ready[k]
                progress(k, count, entries[i].name, verts[i], tris[i], len(entries[i].placements))
        records, keep = _object_records([entries[i] for i in ready], batch, ready, result, rows)
        kept = None
        if keeping and not result.incomplete and all(e.in_place for e in every):
            kept = _Kept()
            kept.records, kept.arrays = records, (batch.arrays, keep)
            kept.order = np.fromiter(chain.from_iterable(entries[i].placements for i in ready),
                                     np.intp)
            kept.placed = records["instance_count"].copy()
            kept.count = len(rows)
            kept.objects, kept.faceless = list(result.objects), list(result.faceless)
            kept.warnings = list(result.warnings)
        _write(files, result.scene_path, result, echo,
               lambda path: norvik.export(address(records), len(records), path, False))
        return kept
    finally:
        for k, e in enumerate(every):
            if k < taken:
                e.release()
            elif isinstance(e.source, MESH):
                bpy.data.meshes.remove(e.source)


def _mesh_batch(entries, policy, result):
    """The entries whose meshes could be read, and their ``MeshBatch``.

    Every mesh's arrays are read together, in bulk; when that fails, each
    mesh is tried alone, and those that fail are reported and left out.
    """
    try:
        return entries, MeshBatch([e.mesh for e in entries], policy)
    except Exception:
        pass
    good = []
    for e in entries:
        try:
            MeshBatch([e.mesh], policy)
        except Exception as exc:
            result.not_read(e, exc)
            continue
        good.append(e)
    return good, MeshBatch([e.mesh for e in good], policy)


class TriangleArrays:
    """Triangle data of one mesh, grouped by material.

    ``data`` is norvik's flat float32 array; ``block(m)`` gives material m's
    positions (n, 3, 3), normals (n, 3, 3) and UVs (n, 3, 2), where n is
    ``counts[m]``.  Positions and normals keep norvik's (y, x, z) order and
    UVs its (u, 1 - v).
    """

    def __init__(self, data, counts, material_indices, materials):
        self.data = data
        self.counts = counts
        self.material_indices = material_indices
        self.materials = materials
        self.starts = np.concatenate(([0], np.cumsum(counts, dtype=np.int64) * 24))

    def block(self, m):
        n = int(self.counts[m])
        s = int(self.starts[m])
        pos = self.data[s:s + 9 * n].reshape(n, 3, 3)
        nor = self.data[s + 9 * n:s + 18 * n].reshape(n, 3, 3)
        uv = self.data[s + 18 * n:s + 24 * n].reshape(n, 3, 2)
        return pos, nor, uv


def triangle_arrays(ob, depsgraph=None, apply_modifiers=True, policy=None):
    """The multi-material triangle arrays of mesh object ``ob``."""
    norvik = load_native()
    policy = policy or ReadPolicy()
    if depsgraph is None:
        depsgraph = bpy.context.evaluated_depsgraph_get()
    owner = ob.evaluated_get(depsgraph) if apply_modifiers else ob.original
    mesh = owner.to_mesh()
    try:
        arrays = MeshArrays(mesh, policy, material_count=len(ob.material_slots))
        rec = arrays.host_mesh()
        ptr = address(rec)
        indices = norvik.get_material_indices(ptr)
        counts = norvik.get_tri_count_per_material_index(indices, arrays.material_count)
        data = norvik.get_mesh_tri_data_multi_material(ptr, indices, counts, arrays.split_normals)
        names = [s.material.name if s.material else "" for s in ob.material_slots] or [""]
        return TriangleArrays(data, counts, indices, names)
    finally:
        owner.to_mesh_clear()
