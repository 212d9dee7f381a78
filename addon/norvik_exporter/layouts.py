"""Record and host-array layouts handed to norvik, as numpy dtypes.

norvik reads these records through plain addresses, so every offset, width
and stride here is part of the contract with the native module.  Padding bytes
are kept inside each itemsize; they are zero in everything we build.

This file deliberately imports neither bpy nor norvik, so it can be used (and
tested) outside Blender.
"""
import numpy as np


def _layout(fields, itemsize):
    names, formats, offsets = zip(*fields)
    return np.dtype({"names": list(names), "formats": list(formats),
                     "offsets": list(offsets), "itemsize": itemsize})


# Widths of the inline texts, terminating NUL included.
NAME_SIZE = 33
MATERIAL_SIZE = 39
CAMERA_NAME_SIZE = 68

# The 3.1-onward element layouts.  Blender 3.1 to 3.4 store exactly these
# (MVert, MLoop, MLoopTri, MLoopUV, MPoly); later versions are packed into them.
VERTEX = _layout([("co", ("<f4", 3), 0)], 16)
LOOP = _layout([("v", "<u4", 0)], 8)
LOOPTRI = _layout([("loops", ("<u4", 3), 0), ("poly", "<u4", 12)], 16)
UV = _layout([("uv", ("<f4", 2), 0)], 12)
POLY = _layout([("material_index", "<i2", 8)], 12)
NORMAL = np.dtype(("<f4", 3))

# The mesh record that the triangle-array functions take as ``mesh_ptr``.
HOST_MESH = _layout([
    ("verts_ptr", "<u8", 0),
    ("polys_ptr", "<u8", 16),
    ("loops_ptr", "<u8", 24),
    ("uvs_ptr", "<u8", 32),
    ("looptris_ptr", "<u8", 40),
    ("has_uvs", "<i4", 60),
    ("looptri_count", "<i4", 64),
    ("material_count", "<i4", 68),
], 72)

# One per mesh object, read by ``norvik.export``.
EXPORT_OBJECT = _layout([
    ("name", "S%d" % NAME_SIZE, 0),
    ("material", "S%d" % MATERIAL_SIZE, 33),
    ("verts_ptr", "<u8", 72),
    ("vert_normals_ptr", "<u8", 80),
    ("loops_ptr", "<u8", 96),
    ("uvs_ptr", "<u8", 104),
    ("looptris_ptr", "<u8", 112),
    ("vert_count", "<i4", 120),
    ("loop_count", "<i4", 128),
    ("looptri_count", "<i4", 136),
    ("instances_ptr", "<u8", 144),
    ("instance_count", "<i4", 152),
    ("custom_normals_ptr", "<u8", 160),
], 168)

# Three rows of a placement matrix; the fourth row (0, 0, 0, 1) is implied.
INSTANCE = np.dtype(("<f4", (3, 4)))

# One per camera, read by ``norvik.export_scenes``; ``matrix`` holds the rows.
CAMERA = _layout([
    ("name", "S%d" % CAMERA_NAME_SIZE, 0),
    ("fov", "<f4", 68),
    ("matrix", ("<f4", (4, 4)), 72),
], 136)


def address(array):
    """Address of the first byte of a numpy array, 0 for None or an empty array."""
    if array is None or array.size == 0:
        return 0
    return array.__array_interface__["data"][0]


def fit_text(text, size):
    """UTF-8 bytes of ``text`` that fit a ``size``-byte field with its NUL.

    A name that is too long is cut before the first character that does not
    fit whole, never inside a multi-byte character.
    """
    data = text.encode("utf-8")
    limit = size - 1
    if len(data) <= limit:
        return data
    cut = limit
    # Step back over continuation bytes (10xxxxxx) to the start of the
    # character that straddles the limit.
    while cut > 0 and (data[cut] & 0xC0) == 0x80:
        cut -= 1
    return data[:cut]


def instance_rows(matrices):
    """(n, 3, 4) float32 rows of 4x4 placement matrices (anything indexable as [r][c])."""
    rows = np.zeros((len(matrices), 3, 4), np.float32)
    for k, m in enumerate(matrices):
        rows[k] = [m[0][:], m[1][:], m[2][:]]
    return rows
