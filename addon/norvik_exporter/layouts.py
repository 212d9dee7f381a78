"""Record and host-array layouts handed to norvik, from norvik_records.

tools/install_addon.sh copies norvik_records into this package, so that the
add-on runs inside Blender on its own; from the source tree the installed
package serves. Imports neither bpy nor norvik.
"""
try:
    from .norvik_records.addon import address, fit_text, instance_rows
    from .norvik_records.layouts import (CAMERA_NAME_SIZE, CAMERA_RECORD, EXPORT_OBJECT_RECORD,
                                         HOST_MESH, LOOP, LOOPTRI, MATERIAL_SIZE, NAME_SIZE, POLY,
                                         UV, VERTEX_310, generation_of)
except ImportError:
    from norvik_records.addon import address, fit_text, instance_rows  # noqa: F401
    from norvik_records.layouts import (CAMERA_NAME_SIZE, CAMERA_RECORD, EXPORT_OBJECT_RECORD,  # noqa: F401
                                        HOST_MESH, LOOP, LOOPTRI, MATERIAL_SIZE, NAME_SIZE, POLY,
                                        UV, VERTEX_310, generation_of)

# Blender 3.1 to 3.4 store exactly the 3.1 element layouts; 3.5 and 3.6 are
# packed into them. From 4.0 on Blender's own arrays are norvik's 4.0 layouts.
VERTEX = VERTEX_310
EXPORT_OBJECT = EXPORT_OBJECT_RECORD
CAMERA = CAMERA_RECORD
