"""Stand-in for the host application's ``bpy`` outside Blender.

Only ``bpy.app.version`` exists, as the host exposes it: a tuple of ints.
Never installed; the demo and the tests put this folder on ``sys.path`` only
when no real ``bpy`` can be imported.
"""
import types

app = types.SimpleNamespace(version=(3, 4, 1))
