"""Reference model of norvik's triangle-array functions, in plain numpy and Python.

The model works on the logical mesh data (numpy arrays of positions, loop
vertex indices, triangle loop indices and so on) rather than on addresses; the
tests lay the same data out in host memory with ``norvik_records`` and compare
the module's arrays with the model's.

The functions mirror the module's:

* ``tri_data``: ``get_mesh_tri_data``;
* ``material_indices``: ``get_material_indices``;
* ``tri_count_per_material_index``: ``get_tri_count_per_material_index``;
* ``multi_material``: the multi-material fill behind
  ``get_mesh_tri_data_multi_material`` and its two generation entry points
  (the generations differ only in how host memory is read, so the model has
  one fill for both).

Arrays are created with ``np.zeros`` and the normal rows are fetched by
ordinary item access, so that numpy raises its own errors (negative counts,
reshape, out-of-bounds rows) exactly as it does for the module, and an
ndarray subclass that overrides item access or comparison gets the same
treatment here as there.

Rejected input, where the module checks its callers instead of trusting
them, raises ``ModelRejection`` (a ValueError); tests compare only the type
of those errors, since their wording is free.
"""
import numpy as np

__all__ = [
    "ModelRejection", "tri_data", "material_indices", "tri_count_per_material_index",
    "multi_material", "generation_of_version",
]

F32 = np.float32
ONE = F32(1.0)


class ModelRejection(ValueError):
    """Input that the module refuses with a ValueError of its own wording."""


from norvik_records import generation_of as generation_of_version  # noqa: E402  (the one rule)


def _require(present, what):
    if not present:
        raise ModelRejection(what)


def _check_mesh_arrays(tri_count, positions, loop_vertices, tri_loops, uvs, has_uvs):
    """A positive triangle count needs every array that the corner chain follows."""
    if tri_count <= 0:
        return
    _require(positions is not None, "null vertex array")
    _require(loop_vertices is not None, "null loop array")
    _require(tri_loops is not None, "null triangle array")
    _require(uvs is not None or not has_uvs, "null UV array while the UV flag is set")


def tri_data(tri_count, positions=None, loop_vertices=None, tri_loops=None, uvs=None,
             has_uvs=None):
    """``get_mesh_tri_data``: per triangle 9 positions (x, y, z), the same 9 again, 6 UVs (u, v)."""
    has_uvs = (uvs is not None) if has_uvs is None else bool(has_uvs)
    out = np.zeros(tri_count * 24, dtype=np.float32)
    _check_mesh_arrays(tri_count, positions, loop_vertices, tri_loops, uvs, has_uvs)
    for t in range(tri_count):
        base = 24 * t
        for k in range(3):
            loop = int(tri_loops[t][k])
            co = positions[int(loop_vertices[loop])]
            out[base + 3 * k:base + 3 * k + 3] = co
            out[base + 9 + 3 * k:base + 9 + 3 * k + 3] = co
            if has_uvs:
                out[base + 18 + 2 * k:base + 18 + 2 * k + 2] = uvs[loop]
    return out


def material_indices(tri_count, tri_polys=None, poly_materials=None, generation="310"):
    """``get_material_indices``: the material of each triangle's polygon (int16,
    sign-extended, up to 3.x; int32 from 4.0 on, where a missing material array
    means material 0 throughout)."""
    out = np.zeros(tri_count, dtype=np.int32)
    if tri_count > 0:
        _require(tri_polys is not None, "null triangle array")
        if generation != "400":
            _require(poly_materials is not None, "null polygon array")
    if generation == "400" and poly_materials is None:
        return out
    width = np.int32 if generation == "400" else np.int16
    for t in range(tri_count):
        out[t] = int(width(poly_materials[int(tri_polys[t])]))
    return out


def tri_count_per_material_index(indices, material_count):
    """``get_tri_count_per_material_index``: entries equal to each i, through numpy's own operations."""
    out = np.zeros(material_count, dtype=np.int32)
    for i in range(material_count):
        out[i] = indices[indices == i].shape[0]
    return out


def multi_material(tri_count, material_count, material_indices, tris_per_material,
                   split_normals, positions=None, loop_vertices=None, tri_loops=None,
                   uvs=None, has_uvs=None):
    """The multi-material fill: per material [positions][normals][UVs], y/x/z order, u and 1 - v.

    ``material_indices``, ``tris_per_material`` and ``split_normals`` are the
    arrays handed to the module (None, plain arrays, views or subclasses).
    """
    has_uvs = (uvs is not None) if has_uvs is None else bool(has_uvs)
    np.zeros(material_count * 3, dtype=np.int32)    # block start table
    np.zeros(material_count, dtype=np.int32)        # fill counters
    out = np.zeros(tri_count * 24, dtype=np.float32)

    rows = split_normals.reshape(-1, 3)

    # Everything the fill will rely on is checked before anything is written.
    _check_mesh_arrays(tri_count, positions, loop_vertices, tri_loops, uvs, has_uvs)
    if tri_count > 0:
        _require(material_indices is not None, "material_indices is None")
        _require(len(material_indices) >= tri_count, "material_indices too short")
    if material_count > 0:
        _require(tris_per_material is not None, "tris_per_material is None")
        _require(len(tris_per_material) >= material_count, "tris_per_material too short")
    sizes = [int(tris_per_material[m]) for m in range(material_count)]
    _require(all(s >= 0 for s in sizes), "negative triangle count of a material")
    _require(sum(sizes) <= tri_count, "material blocks larger than the output")
    mats = [int(material_indices[t]) for t in range(tri_count)]
    for m in range(material_count):
        _require(mats.count(m) <= sizes[m], "material %d has more triangles than its entry" % m)

    starts, s = [], 0
    for size in sizes:
        starts.append((s, s + 9 * size, s + 18 * size))
        s += 24 * size
    filled = [0] * material_count

    for t in range(tri_count):
        m = mats[t]
        if not 0 <= m < material_count:
            continue                    # placed nowhere: the counts leave no room for it
        k = filled[m]
        filled[m] = k + 1
        p, q, w = starts[m][0] + 9 * k, starts[m][1] + 9 * k, starts[m][2] + 6 * k
        for j in range(3):
            loop = int(tri_loops[t][j])
            row = rows[loop]
            x, y, z = positions[int(loop_vertices[loop])]
            out[p + 3 * j:p + 3 * j + 3] = (y, x, z)
            out[q + 3 * j:q + 3 * j + 3] = [F32(float(row[c])) for c in (1, 0, 2)]
            if has_uvs:
                u, v = uvs[loop]
                out[w + 2 * j] = u
                out[w + 2 * j + 1] = ONE - F32(v)
    return out
