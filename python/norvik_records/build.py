"""Builders that lay numpy data out in the byte layouts of ``layouts``.

Every builder returns a structured numpy array (or a ``Block`` that holds one)
whose memory norvik may read while the object is alive.  With
``garbage_fill=True`` the bytes that norvik never reads (padding inside each
element and the tail of a text field after its NUL) hold random bytes instead
of zeros, which checks that the reader keeps to the layout.
"""
import numpy as np

from .layouts import (
    CAMERA_RECORD, EXPORT_OBJECT_RECORD, HOST_MESH, INSTANCE_TRANSFORM, NORMAL,
    element_dtype, vertex_dtype,
)

__all__ = [
    "address_of", "encode_text", "pack_normals", "vertex_array", "loop_array",
    "looptri_array", "tri_poly_array", "uv_array", "poly_array", "normal_array",
    "instance_array", "Block", "HostMesh", "Mesh", "ExportObject", "export_records", "Camera",
    "camera_records",
]


def address_of(array):
    """Address of an array's first byte; 0 for None; an int is taken as is."""
    if array is None:
        return 0
    if isinstance(array, (int, np.integer)):
        return int(array)
    if isinstance(array, Block):
        return array.address
    return array.__array_interface__["data"][0]


def _rng(rng):
    return rng if isinstance(rng, np.random.Generator) else np.random.default_rng(rng)


def _blank(dtype, count, garbage_fill=False, rng=None):
    """``count`` elements of ``dtype`` on a fresh byte buffer (zeros or random bytes)."""
    size = dtype.itemsize * count
    if garbage_fill:
        raw = _rng(rng).integers(0, 256, size, dtype=np.uint8)
    else:
        raw = np.zeros(size, np.uint8)
    return raw.view(dtype)


def _rows(values, dtype, width):
    """``values`` as a C-contiguous (n, width) array, or (n,) when width is None."""
    arr = np.ascontiguousarray(values, dtype=dtype)
    if width is None:
        return arr.reshape(-1)
    return arr.reshape(-1, width)


def encode_text(value, size):
    """Bytes of a text field of ``size`` bytes: UTF-8 for str, cut to leave room for the NUL."""
    if isinstance(value, str):
        value = value.encode("utf-8")
    return bytes(value)[:size - 1]


def _put_text(array, index, field, value):
    """Write ``value`` and its NUL into ``field`` of element ``index``; later bytes stay as they are."""
    offset = array.dtype.fields[field][1]
    size = array.dtype[field].itemsize
    data = encode_text(value, size) + b"\0"
    raw = array.view(np.uint8).reshape(len(array), array.dtype.itemsize)
    raw[index, offset:offset + len(data)] = np.frombuffer(data, np.uint8)


def pack_normals(normals):
    """Unit normals to the int16 triples of the 2.93 vertex (each component x 32767).

    Non-finite components pack as 0.
    """
    unit = np.clip(np.nan_to_num(_rows(normals, np.float64, 3), nan=0.0), -2.0, 2.0)
    scaled = np.rint(unit * 32767.0)
    return np.clip(scaled, -32768, 32767).astype(np.int16)


def vertex_array(positions, generation="310", packed_normals=None, garbage_fill=False, rng=None):
    """Vertex elements of a generation; ``packed_normals`` (int16 triples) only for "293"."""
    positions = _rows(positions, np.float32, 3)
    out = _blank(vertex_dtype(generation), len(positions), garbage_fill, rng)
    out["co"] = positions
    if str(generation) == "293":
        out["no"] = 0 if packed_normals is None else _rows(packed_normals, np.int16, 3)
    elif packed_normals is not None:
        raise ValueError("the 3.1 vertex has no packed normal")
    return out


def loop_array(vertex_indices, garbage_fill=False, rng=None, generation="310"):
    vertex_indices = _rows(vertex_indices, np.uint32, None)
    out = _blank(element_dtype(generation, "loop"), len(vertex_indices), garbage_fill, rng)
    out["v"] = vertex_indices
    return out


def looptri_array(loop_triples, poly_indices=None, garbage_fill=False, rng=None, generation="310"):
    """Triangles; up to 3.x each carries its polygon (``poly_indices``), from 4.0
    on those are an array of their own (``tri_poly_array``)."""
    loop_triples = _rows(loop_triples, np.uint32, 3)
    out = _blank(element_dtype(generation, "looptri"), len(loop_triples), garbage_fill, rng)
    out["tri"] = loop_triples
    if "poly" in out.dtype.names:
        out["poly"] = 0 if poly_indices is None else _rows(poly_indices, np.uint32, None)
    return out


def tri_poly_array(poly_indices):
    """The 4.0-onward polygon of each triangle (plain int32, no padding)."""
    poly_indices = _rows(poly_indices, np.uint32, None)
    out = _blank(element_dtype("400", "tri_poly"), len(poly_indices))
    out["poly"] = poly_indices
    return out


def uv_array(uvs, garbage_fill=False, rng=None, generation="310"):
    uvs = _rows(uvs, np.float32, 2)
    out = _blank(element_dtype(generation, "uv"), len(uvs), garbage_fill, rng)
    out["uv"] = uvs
    return out


def poly_array(material_indices, garbage_fill=False, rng=None, generation="310"):
    """Material numbers: in the polygon element up to 3.x, plain int32 from 4.0 on."""
    dtype = element_dtype(generation, "poly")
    material_indices = _rows(material_indices, dtype["mat_nr"], None)
    out = _blank(dtype, len(material_indices), garbage_fill, rng)
    out["mat_nr"] = material_indices
    return out


def normal_array(normals, garbage_fill=False, rng=None):
    """Float32 triples; there is no padding, so ``garbage_fill`` changes nothing."""
    normals = _rows(normals, np.float32, 3)
    out = _blank(NORMAL, len(normals))
    out["no"] = normals
    return out


def instance_array(rows, garbage_fill=False, rng=None):
    """Instance transforms from k x 3 x 4 row-major matrices."""
    rows = np.ascontiguousarray(rows, dtype=np.float32).reshape(-1, 3, 4)
    out = _blank(INSTANCE_TRANSFORM, len(rows))
    out["m"] = rows
    return out


class Block:
    """Records laid out for norvik, keeping alive every array that they point into."""

    def __init__(self, array, keep=()):
        self.array = array
        self.keep = list(keep)

    @property
    def address(self):
        return address_of(self.array)

    @property
    def count(self):
        return len(self.array)

    def __len__(self):
        return len(self.array)


class HostMesh(Block):
    """The mesh record at ``mesh_ptr``; arrays may be numpy arrays, raw addresses or None."""

    def __init__(self, verts=None, polys=None, loops=None, uvs=None, looptris=None,
                 has_uvs=None, looptri_count=None, material_count=0,
                 garbage_fill=False, rng=None, tri_polys=None):
        rec = _blank(HOST_MESH, 1, garbage_fill, rng)
        rec["verts_ptr"] = address_of(verts)
        if tri_polys is not None:       # else whatever the fill left there: read from 4.0 on only
            rec["tri_polys_ptr"] = address_of(tri_polys)
        rec["polys_ptr"] = address_of(polys)
        rec["loops_ptr"] = address_of(loops)
        rec["uvs_ptr"] = address_of(uvs)
        rec["looptris_ptr"] = address_of(looptris)
        rec["has_uvs"] = (uvs is not None) if has_uvs is None else has_uvs
        if looptri_count is None:
            looptri_count = 0 if looptris is None or isinstance(looptris, int) else len(looptris)
        rec["looptri_count"] = looptri_count
        rec["material_count"] = material_count
        super().__init__(rec, [verts, polys, loops, uvs, looptris, tri_polys])


class Mesh:
    """A polygon mesh with every host array derived from it.

    ``faces`` lists each polygon's vertex indices; loops follow the faces in
    order, and each polygon is cut into a fan of triangles from its first
    corner.  ``uvs`` holds one pair per loop, ``normals`` one unit vector per
    vertex (default +Z) and ``materials`` one material index per polygon.
    """

    def __init__(self, positions, faces, uvs=None, normals=None, materials=None):
        self.positions = _rows(positions, np.float32, 3)
        n = len(self.positions)
        self.faces = [list(f) for f in faces]
        self.loop_vertices = np.array([v for f in self.faces for v in f], np.uint32)
        tris, tri_polys, start = [], [], 0
        for p, face in enumerate(self.faces):
            for k in range(1, len(face) - 1):
                tris.append((start, start + k, start + k + 1))
                tri_polys.append(p)
            start += len(face)
        self.tri_loops = np.array(tris, np.uint32).reshape(-1, 3)
        self.tri_polys = np.array(tri_polys, np.uint32)
        self.uvs = None if uvs is None else _rows(uvs, np.float32, 2)
        if self.uvs is not None and len(self.uvs) != len(self.loop_vertices):
            raise ValueError("uvs needs one pair per loop")
        if normals is None:
            normals = np.tile(np.float32([0, 0, 1]), (n, 1))
        self.normals = _rows(normals, np.float32, 3)
        self.materials = _rows(np.zeros(len(self.faces)) if materials is None else materials,
                               np.int16, None)

    @property
    def packed_normals(self):
        return pack_normals(self.normals)

    def host_arrays(self, generation="310", garbage_fill=False, rng=None):
        """Every host array of the mesh in one generation's layouts, plus its ``HostMesh``.

        Returns a ``Block`` whose ``array`` is the ``HostMesh`` record and which has
        the attributes ``verts``, ``normals``, ``loops``, ``looptris``, ``uvs``
        (None without UVs), ``polys``, ``tri_polys`` (None before "400") and ``mesh``.
        """
        rng = _rng(rng) if garbage_fill else None
        generation = str(generation)
        packed = self.packed_normals if generation == "293" else None
        arrays = dict(
            verts=vertex_array(self.positions, generation, packed, garbage_fill, rng),
            normals=normal_array(self.normals),
            loops=loop_array(self.loop_vertices, garbage_fill, rng, generation),
            looptris=looptri_array(self.tri_loops, self.tri_polys, garbage_fill, rng, generation),
            uvs=None if self.uvs is None else uv_array(self.uvs, garbage_fill, rng, generation),
            polys=poly_array(self.materials, garbage_fill, rng, generation),
            tri_polys=tri_poly_array(self.tri_polys) if generation == "400" else None,
        )
        mesh = HostMesh(arrays["verts"], arrays["polys"], arrays["loops"], arrays["uvs"],
                        arrays["looptris"], material_count=int(self.materials.max(initial=-1)) + 1,
                        garbage_fill=garbage_fill, rng=rng, tri_polys=arrays["tri_polys"])
        block = Block(mesh.array, [mesh])
        block.mesh = mesh
        for key, value in arrays.items():
            setattr(block, key, value)
        return block

    def export_object(self, name, material=b"", **fields):
        """An ``ExportObject`` of this mesh; ``fields`` add or override its inputs."""
        data = dict(positions=self.positions, vert_normals=self.normals,
                    packed_normals=self.packed_normals, loop_vertices=self.loop_vertices,
                    uvs=self.uvs, tri_loops=self.tri_loops)
        data.update(fields)
        return ExportObject(name, material, **data)


def _opt(values, dtype, width):
    return None if values is None else _rows(values, dtype, width)


class ExportObject:
    """What one export record describes, as plain numpy arrays (None: null address).

    Counts default to the lengths of their arrays (0 for None) and may be set
    apart from them.  ``packed_normals`` feed the 2.93 vertices; when left out
    they are packed from ``vert_normals`` (or are zero).
    """

    def __init__(self, name=b"", material=b"", positions=None, *, packed_normals=None,
                 vert_normals=None, custom_normals=None, loop_vertices=None, uvs=None,
                 tri_loops=None, instances=None, vert_count=None, loop_count=None,
                 looptri_count=None, instance_count=None):
        self.name = name
        self.material = material
        self.positions = _opt(positions, np.float32, 3)
        self.vert_normals = _opt(vert_normals, np.float32, 3)
        self.custom_normals = _opt(custom_normals, np.float32, 3)
        if packed_normals is None and self.vert_normals is not None:
            packed_normals = pack_normals(self.vert_normals)
        self.packed_normals = _opt(packed_normals, np.int16, 3)
        self.loop_vertices = _opt(loop_vertices, np.uint32, None)
        self.uvs = _opt(uvs, np.float32, 2)
        self.tri_loops = _opt(tri_loops, np.uint32, 3)
        self.instances = None if instances is None else \
            np.ascontiguousarray(instances, np.float32).reshape(-1, 3, 4)

        def count(given, array):
            if given is not None:
                return int(given)
            return 0 if array is None else len(array)

        self.vert_count = count(vert_count, self.positions)
        self.loop_count = count(loop_count, self.loop_vertices)
        self.looptri_count = count(looptri_count, self.tri_loops)
        self.instance_count = count(instance_count, self.instances)


def export_records(objects, generation="310", garbage_fill=False, rng=None):
    """Lay ``objects`` out as consecutive export records for one generation."""
    objects = list(objects)
    rng = _rng(rng) if garbage_fill else None
    recs = _blank(EXPORT_OBJECT_RECORD, len(objects), garbage_fill, rng)
    keep = []

    def laid(field, index, array):
        recs[field][index] = address_of(array)
        keep.append(array)

    for i, ob in enumerate(objects):
        _put_text(recs, i, "name", ob.name)
        _put_text(recs, i, "material", ob.material)
        if ob.positions is None:
            verts = None
        else:
            packed = None
            if str(generation) == "293":
                packed = ob.packed_normals if ob.packed_normals is not None \
                    else np.zeros((len(ob.positions), 3), np.int16)
            verts = vertex_array(ob.positions, generation, packed, garbage_fill, rng)
        laid("verts_ptr", i, verts)
        laid("vert_normals_ptr", i, None if ob.vert_normals is None else normal_array(ob.vert_normals))
        laid("custom_normals_ptr", i,
             None if ob.custom_normals is None else normal_array(ob.custom_normals))
        laid("loops_ptr", i, None if ob.loop_vertices is None
             else loop_array(ob.loop_vertices, garbage_fill, rng, generation))
        laid("uvs_ptr", i, None if ob.uvs is None else uv_array(ob.uvs, garbage_fill, rng, generation))
        laid("looptris_ptr", i, None if ob.tri_loops is None
             else looptri_array(ob.tri_loops, None, garbage_fill, rng, generation))
        laid("instances_ptr", i, None if ob.instances is None else instance_array(ob.instances))
        recs["vert_count"][i] = ob.vert_count
        recs["loop_count"][i] = ob.loop_count
        recs["looptri_count"][i] = ob.looptri_count
        recs["instance_count"][i] = ob.instance_count
    return Block(recs, keep)


class Camera:
    """One camera: its name, field of view and 4 x 4 matrix (rows are the record's groups)."""

    def __init__(self, name, fov, matrix):
        self.name = name
        self.fov = np.float32(fov)
        self.matrix = np.ascontiguousarray(matrix, np.float32).reshape(4, 4)


def camera_records(cameras, garbage_fill=False, rng=None):
    """Lay ``cameras`` out as consecutive camera records."""
    cameras = list(cameras)
    recs = _blank(CAMERA_RECORD, len(cameras), garbage_fill, rng)
    for i, cam in enumerate(cameras):
        _put_text(recs, i, "name", cam.name)
        recs["fov"][i] = cam.fov
        recs["matrix"][i] = cam.matrix
    return Block(recs)
