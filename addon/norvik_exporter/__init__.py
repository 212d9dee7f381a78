"""norvik exporter: scene and camera documents written by the native norvik module."""

bl_info = {
    "name": "norvik Scene Exporter",
    "author": "norvik developers",
    "version": (0, 1, 0),
    "blender": (3, 1, 0),
    "location": "File > Export > norvik Scene (.json)",
    "description": "Export objects with faces, their instances and cameras as JSON documents",
    "category": "Import-Export",
}

if "bpy" in locals():
    import importlib
    for _name in ("layouts", "meshdata", "scene", "exporter", "live"):
        if _name in locals():
            importlib.reload(locals()[_name])

import bpy
from bpy.props import BoolProperty, StringProperty
from bpy_extras.io_utils import ExportHelper

from . import layouts, meshdata, scene, exporter, live  # noqa: E402,F401


class WindowProgress:
    """The window manager's progress indicator over an export's objects, moved
    every ``step`` objects: each update may redraw the cursor.  The export
    calls it only for those objects (and the last)."""

    def __init__(self, window_manager, step=100):
        self.wm = window_manager
        self.step = step
        self.started = False

    def __call__(self, index, count, *_):
        if not self.started:
            self.wm.progress_begin(0, count)
            self.started = True
        if index % self.step == 0 or index == count - 1:
            self.wm.progress_update(index + 1)

    def end(self):
        if self.started:
            self.wm.progress_end()
            self.started = False


class EXPORT_SCENE_OT_norvik(bpy.types.Operator, ExportHelper):
    """Export every object with faces, its instances, and cameras to norvik JSON documents"""
    bl_idname = "export_scene.norvik"
    bl_label = "Export norvik Scene"
    bl_options = {'PRESET'}

    filename_ext = ".json"
    filter_glob: StringProperty(default="*.json", options={'HIDDEN'})

    use_selection: BoolProperty(
        name="Selected Only",
        description="Export only selected objects (instances follow their instancer)",
        default=False)
    use_modifiers: BoolProperty(
        name="Apply Modifiers",
        description="Export the evaluated meshes, with modifiers applied",
        default=True)
    use_cameras: BoolProperty(
        name="Export Cameras",
        description="Also write the camera document next to the scene document",
        default=True)
    use_mesh_only: BoolProperty(
        name="Mesh Objects Only",
        description="Leave out curves, text, surfaces, metaballs and other objects whose "
                    "evaluated mesh has faces, and the meshes their geometry nodes make",
        default=False)
    # Set by a collection's exporter (Blender 4.2 onward): export only that collection.
    collection: StringProperty(
        name="Source Collection",
        description="Export only objects from this collection (and its children)",
        default="",
        options={'HIDDEN'})

    def draw(self, context):
        # The options alone: a collection's exporter shows its file path
        # itself, and Blender's own drawing would show it a second time.
        for name in ("use_selection", "use_modifiers", "use_cameras", "use_mesh_only"):
            self.layout.prop(self, name)

    def execute(self, context):
        camera_path = exporter.camera_path_for(self.filepath) if self.use_cameras else None
        collection = None
        if self.collection:
            collection = bpy.data.collections.get(self.collection)
            if collection is None:
                self.report({'ERROR'}, "No collection named %r" % self.collection)
                return {'CANCELLED'}
        progress = WindowProgress(context.window_manager)
        try:
            result = exporter.export_scene(
                self.filepath, camera_path, context.evaluated_depsgraph_get(),
                exporter.ExportOptions.of(self, collection), progress=progress)
        except ImportError as exc:
            self.report({'ERROR'}, str(exc))
            return {'CANCELLED'}
        finally:
            progress.end()
        for message in result.warnings:
            self.report({'WARNING'}, message)
        if not result.ok:
            self.report({'ERROR'}, "; ".join(result.errors))
            return {'CANCELLED'}
        self.report({'INFO'}, "Exported " + result.summary)
        return {'FINISHED'}


def menu_func_export(self, context):
    self.layout.operator(EXPORT_SCENE_OT_norvik.bl_idname, text="norvik Scene (.json)")


# Blender 4.2 onward: a file handler naming the exporter offers it under a
# collection's Exporters panel (Properties > Collection > Exporters).
if bpy.app.version >= (4, 2, 0):
    class IO_FH_norvik(bpy.types.FileHandler):
        bl_idname = "IO_FH_norvik"
        bl_label = "norvik Scene"
        bl_export_operator = EXPORT_SCENE_OT_norvik.bl_idname
        bl_file_extensions = ".json"

    _classes = (EXPORT_SCENE_OT_norvik, IO_FH_norvik)
else:
    _classes = (EXPORT_SCENE_OT_norvik,)


def register():
    for cls in _classes:
        bpy.utils.register_class(cls)
    bpy.types.TOPBAR_MT_file_export.append(menu_func_export)
    live.register()


def unregister():
    live.unregister()
    bpy.types.TOPBAR_MT_file_export.remove(menu_func_export)
    for cls in reversed(_classes):
        bpy.utils.unregister_class(cls)


if __name__ == "__main__":
    register()
