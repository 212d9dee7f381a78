"""Live export: the documents follow the scene while the artist works, or after each save.

Everything live lives here: the settings (``Scene.norvik_live``, saved in the
.blend), the handlers, the one timer, the status and the sidebar panel
(3D View > Sidebar > norvik).  ``register`` arms the handlers and
``unregister`` disarms them and the timer; nothing else adds or removes them.

In LIVE mode a change that can alter the documents marks the scene dirty;
the timer exports once ``delay`` seconds passed without another change, and
during continuous changes (a drag, playback) once per max(delay, 11.5 x the
last export's duration), counted from the end of the last export: the engine
follows the drag, and the window spends at most 8% of its time exporting.
"""
import atexit
import os
import sys
import textwrap
import time
import traceback

import bpy
from bpy.app.handlers import persistent
from bpy.props import BoolProperty, EnumProperty, FloatProperty, PointerProperty, StringProperty

from . import exporter

MODES = (
    ('OFF', "Off", "Export only with Export Now or File > Export"),
    ('ON_SAVE', "On Save", "Export after each save of the .blend"),
    ('LIVE', "Live", "Export whenever the scene changes"),
)
# Objects whose own changes never reach a document.
SHAPELESS = frozenset(('LIGHT', 'LIGHT_PROBE', 'LIGHTPROBE', 'SPEAKER'))
# Data whose geometry or transform updates always reach a document; a
# camera's (lens, sensor) reach the camera document.
GEOMETRY_DATA = (bpy.types.Mesh, bpy.types.Curve, bpy.types.MetaBall)
# A failed export is tried again after these many seconds (then the last,
# over and over) while nothing changes, and at once on the next change.
RETRY = (0.5, 1.0, 2.0, 4.0, 8.0)
# Modal operators that change meshes from step to step, which live export
# waits for (see _at_work), and how often it looks again meanwhile.
CHANGING = frozenset(('SCULPT', 'PAINT', 'SCULPT_CURVES', 'CURVES', 'MESH', 'CURVE', 'GPENCIL',
                      'GREASE_PENCIL', 'UV'))
BUSY_POLL = 0.1
# During continuous changes an export comes at most once per PACE times the
# last one's duration: the window spends at most 1 / (1 + PACE) = 8% of its
# time exporting.
PACE = 11.5
# Updates of these (without new geometry) leave what live export reuses valid.
PLACED_ONLY = (bpy.types.Object, bpy.types.Scene)


class Status:
    """What the panel shows, and what scripts and tests read (``live.state.status``)."""

    def __init__(self):
        self.written_at = None      # time.time() of the last written documents
        self.seconds = 0.0
        self.objects = 0
        self.bytes = 0
        self.versions = 0           # documents written since the add-on was armed
        self.reused = 0             # of them, written from what the export before gathered
        self.exporting = 0.0        # seconds spent exporting, failures included
        self.error = None
        self.incomplete = []        # objects the last documents hold otherwise than Blender shows
        self.waiting = None         # what the pending export waits for (an operator at work)
        self.paused = None          # why LIVE / ON_SAVE are paused for this file

    def as_dict(self):
        return dict(vars(self))


class State:
    def __init__(self):
        self.status = Status()
        self.dirty = False
        self.changed_at = 0.0       # last change (time.monotonic())
        self.pending_since = 0.0    # first change not yet exported
        self.last_end = -1e9        # end of the last export
        self.last_duration = 0.0
        self.retry_at = 0.0
        self.failures = 0
        self.busy = False           # inside an export: its own depsgraph updates are ignored
        self.fingerprint = None
        # What the last export gathered, for the next while only placements
        # change (a drag, a move): dropped by every update that may free or
        # move what it points at (_note_updates, undo and redo, frame changes;
        # a file loaded makes a new State).
        self.reuse = exporter.Reuse()
        self.printed = None         # the last error printed to the console
        self.trusted = True         # False after opening a .blend, until the user resumes


state = State()


# -- settings -------------------------------------------------------------------

def _mode_changed(settings, context):
    state.reuse.drop()
    state.trusted = True                # the user's own choice
    state.status.paused = None
    if settings.mode == 'LIVE':
        schedule(at_once=True)


def _target_changed(settings, context):
    state.trusted = True
    state.status.paused = None
    _options_changed(settings, context)


def _options_changed(settings, context):
    if settings.mode == 'LIVE':
        schedule()


class NorvikLiveSettings(bpy.types.PropertyGroup):
    mode: EnumProperty(name="Mode", items=MODES, default='OFF', update=_mode_changed,
                       description="When the norvik documents are written")
    filepath: StringProperty(
        name="File", subtype='FILE_PATH', default="", update=_target_changed,
        description="The scene document (// is the .blend's folder; empty: next to the "
                    ".blend, named after it); the camera document goes beside it")
    delay: FloatProperty(name="Delay", default=0.2, min=0.0, soft_max=5.0, unit='TIME_ABSOLUTE',
                         description="Seconds without changes before a live export")
    use_cameras: BoolProperty(name="Export Cameras", default=True, update=_options_changed,
                              description="Also write the camera document")
    use_modifiers: BoolProperty(name="Apply Modifiers", default=True, update=_options_changed,
                                description="Export the evaluated meshes, with modifiers applied")
    use_mesh_only: BoolProperty(name="Mesh Objects Only", default=False, update=_options_changed,
                                description="Leave out curves, text, surfaces, metaballs and "
                                            "the meshes geometry nodes make")
    use_selection: BoolProperty(name="Selected Only", default=False, update=_options_changed,
                                description="Export only selected objects")
    collection: PointerProperty(name="Collection", type=bpy.types.Collection,
                                update=_options_changed,
                                description="Export only this collection's objects (optional)")


def targets(settings):
    """The scene document and the camera document (or None), absolute; ValueError says why none."""
    path = settings.filepath
    blend = bpy.data.filepath
    if not path:
        if not blend:
            raise ValueError("no file: save the .blend or choose a file")
        path = os.path.splitext(blend)[0] + ".json"
    elif path.startswith("//") and not blend:
        raise ValueError("a path relative to the .blend (//) needs the .blend saved")
    path = os.path.abspath(bpy.path.abspath(path))
    if path.endswith(os.sep) or os.path.isdir(path):
        name = os.path.splitext(os.path.basename(blend))[0] if blend else "scene"
        path = os.path.join(path, name + ".json")
    return path, exporter.camera_path_for(path) if settings.use_cameras else None


def outside(paths, blend=None):
    """The first of ``paths`` that resolves outside the .blend's own folder
    (through ``..`` or a symbolic link), or None."""
    folder = os.path.normcase(os.path.realpath(os.path.dirname(blend or bpy.data.filepath)))
    for path in paths:
        real = os.path.normcase(os.path.realpath(path))
        try:
            inside = os.path.commonpath([folder, real]) == folder
        except ValueError:              # another drive
            inside = False
        if not inside:
            return path
    return None


def paused_reason(settings):
    """Why this file's LIVE / ON_SAVE export waits for the user, or None."""
    if state.trusted or settings.mode == 'OFF':
        return None
    try:
        paths = [p for p in targets(settings) if p]
    except ValueError:
        return None
    escaped = outside(paths)
    if escaped:
        return "writes outside the .blend's folder: %s" % escaped
    return None


# -- exporting ------------------------------------------------------------------

def _fingerprint(scene, settings):
    """What a document holds that a depsgraph update does not flag: names,
    visibility, first materials, membership and (for Selected Only) selection."""
    view_layer = bpy.context.view_layer
    selected = settings.use_selection
    rows = []
    for ob in view_layer.objects:
        slots = ob.material_slots
        material = slots[0].material if len(slots) else None
        rows.append((ob.name_full, ob.visible_get(view_layer=view_layer),
                     material.name if material else None,
                     selected and ob.select_get(view_layer=view_layer)))
    members = None
    if settings.collection is not None:
        members = tuple(ob.name_full for ob in settings.collection.all_objects)
    return hash((tuple(rows), members, scene.camera and scene.camera.name))


def export(scene):
    """Write the documents of ``scene`` now; the ExportResult, or None when
    there is no target.  The status and the console say how it went; nothing
    is raised."""
    settings = scene.norvik_live
    status = state.status
    start = time.perf_counter()
    result = None
    try:
        scene_path, camera_path = targets(settings)
        state.busy = True
        try:
            # Evaluated first: the updates it brings may drop what is reused.
            depsgraph = bpy.context.evaluated_depsgraph_get()
            state.fingerprint = _fingerprint(scene, settings)
            options = exporter.ExportOptions.of(settings, settings.collection)
            result = exporter.export_scene(scene_path, camera_path, depsgraph, options,
                                           echo=False, reuse=_reuse(scene, options, scene_path,
                                                                    camera_path))
            # The export writes edit-mode meshes back to their data when it
            # reads the data itself: that update is the export's own, so it
            # is evaluated (and its handlers run) while still busy.
            bpy.context.evaluated_depsgraph_get()
        finally:
            state.busy = False
        error = None if result.ok else "; ".join(result.errors)
    except ValueError as exc:
        error = str(exc)
    except Exception as exc:            # nothing may leave into Blender's handlers
        error = "%s: %s" % (type(exc).__name__, exc)
        if error != state.printed:
            traceback.print_exc()
    seconds = time.perf_counter() - start
    status.exporting += seconds
    state.last_end = time.monotonic()
    state.last_duration = seconds
    if error is None:
        status.written_at = time.time()
        status.seconds = result.seconds
        status.objects = len(result.objects)
        status.bytes = sum(os.path.getsize(p) for p in (result.scene_path, result.camera_path)
                           if p and os.path.exists(p))
        status.versions += 1
        status.reused += result.reused
        status.incomplete = list(result.incomplete)
        status.error = state.printed = None
        state.failures = 0
    else:
        status.error = error
        if error != state.printed:
            print("norvik live export: " + error, file=sys.stderr, flush=True)
            state.printed = error
        state.failures += 1
    _redraw()
    return result


def _redraw():
    """The sidebars redrawn for the new status (not the 3D Views themselves)."""
    wm = bpy.context.window_manager
    for window in (wm.windows if wm else ()):
        for area in window.screen.areas:
            if area.type == 'VIEW_3D':
                for region in area.regions:
                    if region.type == 'UI':
                        region.tag_redraw()


# -- scheduling -----------------------------------------------------------------

def schedule(at_once=False):
    """A change that can alter the documents: export after the delay (or ``at_once``)."""
    now = time.monotonic()
    if not state.dirty:
        state.dirty = True
        state.pending_since = now
    state.changed_at = now
    state.retry_at = 0.0                # a new change retries a failed export
    if at_once:
        state.changed_at = state.pending_since = -1e9
        state.last_end = -1e9
    if not bpy.app.timers.is_registered(_tick):
        # Persistent: a file loaded schedules its first export from load_post,
        # after which Blender drops the timers that are not.
        bpy.app.timers.register(_tick, first_interval=0.0 if at_once else _wait(now),
                                persistent=True)


def _wait(now):
    """Seconds until the pending export may run."""
    delay = bpy.context.scene.norvik_live.delay
    interval = max(delay, PACE * state.last_duration)
    if state.pending_since - state.last_end < interval:
        # Changes go on after an export (a drag, playback): the next one as soon as allowed.
        going_on = max(state.pending_since, state.last_end + interval)
    else:
        going_on = state.pending_since + interval
    due = max(min(state.changed_at + delay, going_on), state.last_end + interval, state.retry_at)
    return max(due - now, 0.0)


def _tick():
    try:
        return _tick_once()
    except Exception:
        traceback.print_exc()
        state.dirty = False
        return None


def _tick_once():
    if not state.dirty:
        return None
    scene = bpy.context.scene
    settings = scene.norvik_live
    if settings.mode != 'LIVE':
        state.dirty = False
        return None
    wait = _wait(time.monotonic())
    if wait > 0.0:
        return wait
    busy = _at_work()
    if busy != state.status.waiting:
        state.status.waiting = busy
        _redraw()
    if busy:
        return BUSY_POLL
    reason = paused_reason(settings)
    state.status.paused = reason
    if reason:
        state.dirty = False
        _redraw()
        return None
    state.dirty = False
    result = export(scene)
    if result is not None and result.ok:
        return None
    # Kept dirty: the newest state is written as soon as the target takes it.
    state.dirty = True
    state.pending_since = state.changed_at = time.monotonic()
    state.retry_at = state.pending_since + RETRY[min(state.failures, len(RETRY)) - 1]
    return _wait(time.monotonic())


def _at_work():
    """The modal operator changing meshes right now (a sculpt or paint stroke,
    a knife cut, a modal bevel or inset...), or None: live export waits for it
    to end.  Transforms (a drag: the engine follows it), the UI's own and
    other operators (a file browser, an add-on's tool that keeps running)
    let it through.  (Blender lists running operators from 4.2 on; older
    ones export between the steps of any.)"""
    wm = bpy.context.window_manager
    for window in (wm.windows if wm else ()):
        for op in getattr(window, "modal_operators", ()):
            name = op.bl_idname
            prefix = name.split("_OT_")[0] if "_OT_" in name else name.split(".")[0].upper()
            if prefix in CHANGING or "stroke" in name:
                return name
    return None


def _relevant(depsgraph, settings):
    """Whether an update can alter the documents: geometry and transforms of
    objects with a shape, cameras; the rest (selection, visibility, names,
    materials, objects added or removed) through the scene's fingerprint."""
    for update in depsgraph.updates:
        data = update.id
        if isinstance(data, bpy.types.Object):
            if (update.is_updated_geometry or update.is_updated_transform) \
                    and data.type not in SHAPELESS:
                return True
        elif isinstance(data, GEOMETRY_DATA):
            if update.is_updated_geometry or update.is_updated_transform:
                return True
        elif isinstance(data, bpy.types.Camera):
            if settings.use_cameras:
                return True
    return False


def _scene_changed(scene, depsgraph):
    if state.busy or scene != bpy.context.scene:
        return
    settings = scene.norvik_live
    if settings.mode != 'LIVE' or depsgraph is None:
        return
    if _relevant(depsgraph, settings):
        schedule()
        return
    fingerprint = _fingerprint(scene, settings)
    if fingerprint != state.fingerprint:
        state.fingerprint = fingerprint
        schedule()


def _guarded(handler):
    """A handler that never lets an exception into Blender: one console line per distinct one."""
    def run(*args):
        try:
            handler(*args)
        except Exception as exc:
            text = "%s: %s" % (type(exc).__name__, exc)
            if text != state.printed:
                state.printed = text
                traceback.print_exc()
    run.__name__ = run.__qualname__ = "norvik_live_" + handler.__name__.strip("_")
    run._norvik_live = True
    return persistent(run)


def _reuse(scene, options, *paths):
    """What live export may reuse for the export of ``scene`` now (see
    ``exporter.Reuse``): kept for the same scene, view layer, options, targets
    and fingerprint, in object mode (other modes copy what they edit)."""
    mode = bpy.context.mode
    view_layer = bpy.context.view_layer
    collection = options.collection
    key = (scene.as_pointer(), view_layer.as_pointer() if view_layer else 0, mode, paths,
           options.selected_only, options.apply_modifiers, options.mesh_only,
           collection.as_pointer() if collection is not None else 0, state.fingerprint)
    reuse = state.reuse.keyed(key)
    if mode != 'OBJECT':
        reuse.drop()
    return reuse


def _note_updates(depsgraph):
    """Drops what live export reuses unless the depsgraph's updates changed
    nothing but placements: an object's or the scene's update without new
    geometry.  Any other (a mesh, a material, a collection, a node group...)
    may have freed or moved what it points at.  Seen in every update,
    the export's own included."""
    if state.reuse.kept is None or depsgraph is None:
        return
    for update in depsgraph.updates:
        if update.is_updated_geometry or not isinstance(update.id, PLACED_ONLY):
            state.reuse.drop()
            return


def _depsgraph(scene, depsgraph=None):
    _note_updates(depsgraph)
    _scene_changed(scene, depsgraph)


def _frame(scene, depsgraph=None):
    state.reuse.drop()
    _scene_changed(scene, depsgraph or bpy.context.evaluated_depsgraph_get())


def _undone(*_):
    """Undo and redo replace Blender's data: the documents follow the state
    they restore.  (Blender may not report every change an undo step makes
    as a depsgraph update.)"""
    state.reuse.drop()
    scene = bpy.context.scene
    if scene is not None and scene.norvik_live.mode == 'LIVE':
        schedule()


def _saved(*_):
    scene = bpy.context.scene
    settings = scene.norvik_live
    if settings.mode != 'ON_SAVE':
        return
    state.status.paused = reason = paused_reason(settings)
    if reason:
        _redraw()
        return
    export(scene)


def _loaded(*_):
    """A file was opened (or reverted, or recovered): a clean state; its LIVE /
    ON_SAVE targets are trusted only inside its own folder (paused_reason), and
    where they are, LIVE writes the loaded scene at once."""
    global state
    counts = state.status.versions, state.status.reused
    state = State()
    state.status.versions, state.status.reused = counts
    state.trusted = not bpy.data.filepath
    scene = bpy.context.scene
    if scene is not None:
        settings = scene.norvik_live
        state.status.paused = reason = paused_reason(settings)
        if settings.mode == 'LIVE' and not reason:
            # The loaded scene replaced the one the documents hold (open,
            # revert, recover): they follow it at once.
            schedule(at_once=True)


HANDLERS = (
    ("depsgraph_update_post", _guarded(_depsgraph)),
    ("frame_change_post", _guarded(_frame)),
    ("undo_post", _guarded(_undone)),
    ("redo_post", _guarded(_undone)),
    ("save_post", _guarded(_saved)),
    ("load_post", _guarded(_loaded)),
)


# -- the user's side ------------------------------------------------------------

class NORVIK_OT_live_export_now(bpy.types.Operator):
    """Write the norvik documents now, with the settings of this panel"""
    bl_idname = "norvik.live_export_now"
    bl_label = "Export Now"

    def execute(self, context):
        result = export(context.scene)
        if result is None or not result.ok:
            self.report({'ERROR'}, state.status.error or "export failed")
            return {'CANCELLED'}
        self.report({'INFO'}, "Exported " + result.summary)
        return {'FINISHED'}


class NORVIK_OT_live_resume(bpy.types.Operator):
    """Let live or on-save export write to this file's targets"""
    bl_idname = "norvik.live_resume"
    bl_label = "Resume"

    def execute(self, context):
        state.trusted = True
        state.status.paused = None
        if context.scene.norvik_live.mode == 'LIVE':
            schedule(at_once=True)
        return {'FINISHED'}


class NORVIK_OT_live_view(bpy.types.Operator):
    """Open the documents in the browser: a viewer that follows each new version"""
    bl_idname = "norvik.live_view"
    bl_label = "View"

    def execute(self, context):
        try:
            path = targets(context.scene.norvik_live)[0]
        except ValueError as exc:
            self.report({'ERROR'}, str(exc))
            return {'CANCELLED'}
        try:
            url = _viewer(path)
        except (ImportError, OSError) as exc:
            self.report({'ERROR'}, "the viewer could not start (%s)" % exc)
            return {'CANCELLED'}
        self.report({'INFO'}, "Viewer of %s at %s" % (os.path.basename(path), url))
        return {'FINISHED'}


_viewers = {}       # document -> (process, url) of the viewers started here


def _viewer(path):
    """The address of a viewer of ``path``: one started here and still running
    (the browser is opened on it again), else a new one in a process of its
    own, which opens the browser itself; Blender never waits on it."""
    running = _viewers.get(path)
    if running is not None and running[0].poll() is None:
        import webbrowser
        webbrowser.open(running[1])
        return running[1]
    try:
        from .norvik_records import view
    except ImportError:
        from norvik_records import view
    if not _viewers:
        atexit.register(_stop_viewers)
    _viewers[path] = view.launch(path)
    return _viewers[path][1]


def _stop_viewers():
    for process, _ in _viewers.values():
        if process.poll() is None:
            process.terminate()
    _viewers.clear()


class VIEW3D_PT_norvik_live(bpy.types.Panel):
    bl_label = "Live Export"
    bl_space_type = 'VIEW_3D'
    bl_region_type = 'UI'
    bl_category = "norvik"

    def draw(self, context):
        layout = self.layout
        settings = context.scene.norvik_live
        layout.row().prop(settings, "mode", expand=True)
        layout.prop(settings, "filepath")
        col = layout.column()
        col.active = settings.mode == 'LIVE'
        col.prop(settings, "delay")
        col = layout.column()
        for name in ("use_cameras", "use_modifiers", "use_mesh_only", "use_selection"):
            col.prop(settings, name)
        layout.prop(settings, "collection")
        row = layout.row()
        row.operator(NORVIK_OT_live_export_now.bl_idname, icon='EXPORT')
        row.operator(NORVIK_OT_live_view.bl_idname, icon='HIDE_OFF')
        reason = paused_reason(settings)
        box = layout.box()
        if reason:
            box.label(text="Paused: " + reason, icon='PAUSE')
            box.operator(NORVIK_OT_live_resume.bl_idname, icon='PLAY')
        # Labels do not wrap: long lines (an error naming a path) are cut to the sidebar.
        width = max(20, int(context.region.width / (8 * context.preferences.system.ui_scale)))
        col = box.column(align=True)
        col.scale_y = 0.8
        for line in status_lines():
            for i, part in enumerate(textwrap.wrap(line, width) or [""]):
                col.label(text=part if i == 0 else "  " + part)

def status_lines():
    status = state.status
    lines = []
    if status.error:
        lines.append("Error: " + status.error)
    if status.waiting:
        lines.append("Waiting for %s to end" % status.waiting)
    lines += ["Note: " + message for message in status.incomplete]
    if status.written_at is not None:
        lines.append("Written %s in %.3f s" % (time.strftime("%H:%M:%S",
                                                            time.localtime(status.written_at)),
                                                status.seconds))
        lines.append("%d objects, %s" % (status.objects, _size(status.bytes)))
    elif not status.error:
        lines.append("Not written yet")
    return lines


def _size(n):
    for unit in ("bytes", "KB", "MB"):
        if n < 1000 or unit == "MB":
            return ("%d %s" if unit == "bytes" else "%.1f %s") % (n, unit)
        n /= 1000.0


CLASSES = (NorvikLiveSettings, NORVIK_OT_live_export_now, NORVIK_OT_live_resume,
           NORVIK_OT_live_view, VIEW3D_PT_norvik_live)


def _disarm():
    for name, _ in HANDLERS:
        handlers = getattr(bpy.app.handlers, name)
        for handler in [h for h in handlers if getattr(h, "_norvik_live", False)]:
            handlers.remove(handler)
    if bpy.app.timers.is_registered(_tick):
        bpy.app.timers.unregister(_tick)


def register():
    for cls in CLASSES:
        bpy.utils.register_class(cls)
    bpy.types.Scene.norvik_live = PointerProperty(type=NorvikLiveSettings)
    _disarm()           # an earlier copy's, left armed by a failed unregister
    for name, handler in HANDLERS:
        getattr(bpy.app.handlers, name).append(handler)
    # Enabled with a file open: its targets are checked as after opening it
    # (bpy.data cannot be read here; at start-up, opening the first file
    # decides again).
    state.trusted = False


def unregister():
    _disarm()
    state.dirty = False
    del bpy.types.Scene.norvik_live
    for cls in reversed(CLASSES):
        bpy.utils.unregister_class(cls)
