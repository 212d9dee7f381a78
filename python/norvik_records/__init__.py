"""Memory layouts that the norvik extension reads through addresses.

norvik is handed integer addresses of fixed-layout records and of the host's
mesh arrays.  This package builds that memory from numpy arrays, at the exact
offsets and strides, and keeps it alive while norvik reads it::

    import norvik
    from norvik_records import Mesh, export_records

    mesh = Mesh([(0, 0, 0), (1, 0, 0), (0, 1, 0)], [(0, 1, 2)],
                uvs=[(0, 0), (1, 0), (0, 1)])
    records = export_records([mesh.export_object("Tri", "Mat")], generation="310")
    norvik.export(records.address, records.count, b"scene.json", False)

``layouts`` holds the dtypes, ``build`` the builders of test and demo data,
``addon`` what the Blender add-on needs to fill records; all are re-exported here.
"""
from .layouts import *  # noqa: F401,F403
from .layouts import __all__ as _layouts_all
from .build import *  # noqa: F401,F403
from .build import __all__ as _build_all
from .addon import *  # noqa: F401,F403
from .addon import __all__ as _addon_all

__all__ = list(_layouts_all) + list(_build_all) + list(_addon_all)
