"""Triangle arrays of one mesh, compared with the reference model in ``trimodel``.

Covers ``get_mesh_tri_data``, ``get_material_indices``,
``get_tri_count_per_material_index``, ``get_mesh_tri_data_multi_material`` and
its two generation entry points: random meshes in both vertex layouts, every
form of array argument (plain, strided, reversed, read-only, subclasses), the
worked values, the errors that numpy or the interpreter raise and the input
that the module refuses before it writes anything.
"""
import zlib

import numpy as np
import pytest

import norvik
from norvik_records import (
    HostMesh, VERTEX_310, loop_array, looptri_array, poly_array, uv_array, vertex_array,
)

import trimodel as tm
from samples import values

FILL = {
    "310": norvik.get_mesh_tri_data_multi_material__310_to_current,
    "293": norvik.get_mesh_tri_data_multi_material__293_to_300,
}
FILL_NAME = {
    "310": "norvik.get_mesh_tri_data_multi_material__310_to_current",
    "293": "norvik.get_mesh_tri_data_multi_material__293_to_300",
    # reached through the dispatching function only
    "400": "norvik.get_mesh_tri_data_multi_material__400_to_current",
}
DISPATCH_NAME = "norvik.get_mesh_tri_data_multi_material"
MULTI = dict(dispatch=norvik.get_mesh_tri_data_multi_material, **FILL)
# Material indices that no material count covers.
STRAY = np.int32([-1, -7, -2 ** 31, 2 ** 31 - 1])
NEG_DIMS = "negative dimensions are not allowed"


# --- array argument forms ------------------------------------------------------------

class Sub(np.ndarray):
    """A subclass that changes nothing: the module must take its generic path."""


class Scaled(np.ndarray):
    """Item access multiplies float results by 2: rows and items both pass through it."""

    def __getitem__(self, index):
        got = super().__getitem__(index)
        return got * 2 if self.dtype.kind == "f" else got


class Mod4(np.ndarray):
    """Equality compares modulo 4."""

    def __eq__(self, other):
        return np.asarray(self) % 4 == other


class Opaque(np.ndarray):
    """Rows whose items are not numbers."""

    def __getitem__(self, index):
        got = super().__getitem__(index)
        return (object(), object(), object()) if np.ndim(got) == 1 else got


def strided(arr, step=2, seed=1):
    """``arr`` as a view of every ``step``-th element of a larger array holding garbage."""
    arr = np.asarray(arr)
    big = np.random.default_rng(seed).integers(-99, 99, len(arr) * abs(step) + 1).astype(arr.dtype)
    view = big[::step][:len(arr)]
    view[...] = arr
    return view


def readonly(arr):
    arr = np.array(arr)
    arr.flags.writeable = False
    return arr


FORMS = {
    "plain": lambda a: np.array(a),
    "strided": strided,
    "reversed": lambda a: strided(a, -3),
    "readonly": readonly,
    "subclass": lambda a: np.array(a).view(Sub),
}


def form(name, arr):
    return None if arr is None else FORMS[name](arr)


# --- random meshes -------------------------------------------------------------------

class Case:
    """One random mesh: its logical data, for the model, and its host memory.

    ``uv_mode``: "uvs" (flag 1), "flag7" (flag 7, UVs present), "addr8" and
    "tiny" (flag 0 with the address 8, or that of a one-element array, in the
    UV field: neither may ever be read).
    """

    def __init__(self, seed, tri_count=80, material_count=5, uv_mode="uvs", verts=40,
                 loops=120, empty=(1,), stray=0.1):
        rng = np.random.default_rng(seed)
        self.rng = rng
        self.alive = []
        self.tri_count = tri_count
        self.material_count = material_count
        self.positions = values(rng, (verts, 3), nonfinite=0.02)
        self.loop_vertices = rng.integers(0, verts, loops).astype(np.uint32)
        self.tri_loops = rng.integers(0, loops, (tri_count, 3)).astype(np.uint32)
        self.uvs = values(rng, (loops, 2))
        normals = values(rng, (loops, 3))
        normals[rng.random((loops, 3)) < 0.1] = -1.0
        self.split_normals = normals.reshape(-1)
        used = [m for m in range(material_count) if m not in empty] or [0]
        mats = rng.choice(np.int32(used), tri_count) if material_count else \
            np.zeros(tri_count, np.int32)
        hits = np.flatnonzero(rng.random(tri_count) < stray)
        mats[hits] = rng.choice(np.append(STRAY, material_count), len(hits))
        self.material_indices = mats.astype(np.int32)
        self.tris_per_material = tm.tri_count_per_material_index(self.material_indices,
                                                                  material_count)
        self.uv_mode = uv_mode
        self.has_uvs = {"uvs": 1, "flag7": 7, "addr8": 0, "tiny": 0}[uv_mode]

    def host(self, generation="310", **override):
        """The ``HostMesh`` in a generation's vertex layout, unread bytes holding garbage."""
        rng = self.rng
        packed = rng.integers(-2 ** 15, 2 ** 15, (len(self.positions), 3)) \
            if generation == "293" else None
        uvs = {"uvs": lambda: uv_array(self.uvs, True, rng, generation),
               "flag7": lambda: uv_array(self.uvs, True, rng, generation),
               "addr8": lambda: 8,
               "tiny": lambda: np.float32([np.nan])}[self.uv_mode]()
        fields = dict(
            verts=vertex_array(self.positions, generation, packed, True, rng),
            polys=None,
            loops=loop_array(self.loop_vertices, True, rng, generation),
            uvs=uvs,
            looptris=looptri_array(self.tri_loops, None, True, rng, generation),
            has_uvs=self.has_uvs,
            looptri_count=self.tri_count,
            material_count=self.material_count,
        )
        fields.update(override)
        mesh = HostMesh(garbage_fill=True, rng=rng, **fields)
        self.alive.append(mesh)     # the memory must outlive calls that only see its address
        return mesh

    def model(self, material_indices=None, tris_per_material=None, split_normals=None,
              **override):
        args = dict(
            tri_count=self.tri_count, material_count=self.material_count,
            material_indices=self.material_indices if material_indices is None else material_indices,
            tris_per_material=self.tris_per_material if tris_per_material is None
            else tris_per_material,
            split_normals=self.split_normals if split_normals is None else split_normals,
            positions=self.positions, loop_vertices=self.loop_vertices,
            tri_loops=self.tri_loops, uvs=self.uvs, has_uvs=self.has_uvs,
        )
        args.update(override)
        return tm.multi_material(**args)

    def arrays(self, form_name="plain"):
        return (form(form_name, self.material_indices), form(form_name, self.tris_per_material),
                form(form_name, self.split_normals))


def assert_same_floats(got, expected):
    assert type(got) is np.ndarray and got.dtype == np.float32 and got.ndim == 1
    np.testing.assert_array_equal(got.view(np.uint32), expected.view(np.uint32))


def outcome(call, *args, **kw):
    """("ok", result) or the exception's type and text."""
    try:
        return "ok", call(*args, **kw)
    except Exception as exc:  # noqa: BLE001 - compared as a value
        return type(exc), str(exc)


def norvik_entries(tb):
    """Names of the module's traceback entries, innermost (first added) first."""
    names = []
    while tb is not None:
        name = tb.tb_frame.f_code.co_name
        if name.startswith("norvik."):
            names.append(name)
        tb = tb.tb_next
    return names[::-1]


class RecordingNp:
    """Stands in for ``norvik.np``: keeps every array that ``zeros`` makes and how it was called."""

    def __init__(self):
        self.calls = []
        self.made = []

    def __getattr__(self, name):
        return getattr(np, name)

    def zeros(self, *args, **kw):
        self.calls.append((args, kw))
        arr = np.zeros(*args, **kw)
        self.made.append(arr)
        return arr

    def outputs(self):
        return [a for a in self.made if a.dtype == np.float32]


# --- multi-material fill: random meshes against the model ----------------------------

@pytest.mark.parametrize("generation", ["310", "293"])
@pytest.mark.parametrize("uv_mode", ["uvs", "flag7", "addr8", "tiny"])
@pytest.mark.parametrize("form_name", list(FORMS))
def test_fill_matches_model(generation, uv_mode, form_name):
    case = Case(seed=zlib.crc32((generation + uv_mode + form_name).encode()), uv_mode=uv_mode)
    mesh = case.host(generation)
    arrays = case.arrays(form_name)
    got = FILL[generation](mesh.address, *arrays)
    assert_same_floats(got, case.model(*arrays))
    # The inputs are only read.
    for given, source in zip(arrays, (case.material_indices, case.tris_per_material,
                                      case.split_normals)):
        np.testing.assert_array_equal(given, source)


@pytest.mark.parametrize("generation", ["310", "293"])
@pytest.mark.parametrize("tri_count, material_count, empty, stray", [
    (1, 1, (), 0.0),
    (50, 1, (), 0.0),
    (120, 8, (0, 3, 7), 0.0),        # empty first, middle and last materials
    (120, 8, (), 0.5),               # many triangles that no material holds
    (40, 3, (1, 2), 0.0),            # only material 0 has triangles
    (40, 0, (), 0.0),                # no materials: every triangle is placed nowhere
    (40, 3, (), 1.0),                # every material index out of range
], ids=["one", "single-material", "empty-materials", "strays", "only-first", "no-materials",
        "all-strays"])
def test_fill_material_mixes(generation, tri_count, material_count, empty, stray):
    case = Case(seed=tri_count * 31 + material_count, tri_count=tri_count,
                material_count=material_count, empty=empty, stray=stray)
    tpm = case.tris_per_material if material_count else None
    got = FILL[generation](case.host(generation).address, case.material_indices, tpm,
                           case.split_normals)
    assert_same_floats(got, case.model())
    # Triangles of no material leave their share of the output, at its end, zero.
    assert not got[24 * int(case.tris_per_material.sum()):].any()


def test_fill_groups_in_triangle_order():
    """Two material-1 triangles around a material-0 one sit side by side in material 1's block."""
    case = Case(seed=5, tri_count=3, material_count=2, stray=0.0)
    mi = np.int32([1, 0, 1])
    tpm = np.int32([1, 2])
    got = FILL["310"](case.host().address, mi, tpm, case.split_normals)
    expected = case.model(material_indices=mi, tris_per_material=tpm)
    assert_same_floats(got, expected)
    single = [tm.multi_material(1, 1, np.int32([0]), np.int32([1]), case.split_normals,
                                case.positions, case.loop_vertices, case.tri_loops[[t]],
                                case.uvs) for t in range(3)]
    assert_same_floats(got[:24], single[1])
    assert_same_floats(got[24:42], np.concatenate([single[0][:9], single[2][:9]]))
    assert_same_floats(got[42:60], np.concatenate([single[0][9:18], single[2][9:18]]))
    assert_same_floats(got[60:], np.concatenate([single[0][18:], single[2][18:]]))


def test_fill_ignores_entries_beyond_the_counts():
    """Entries past the material count or the triangle count, and unused normal rows, are never read."""
    case = Case(seed=9, tri_count=30, material_count=3)
    mi = np.append(case.material_indices, np.int32([2 ** 31 - 1, -5, 9]))
    tpm = np.append(case.tris_per_material, np.int32([-4, 2 ** 31 - 1]))
    normals = np.append(case.split_normals, np.float32([np.nan] * 6))
    got = FILL["293"](case.host("293").address, mi, tpm, normals)
    assert_same_floats(got, case.model())


@pytest.mark.parametrize("generation", ["310", "293"])
def test_fill_subclass_item_access_is_used(generation):
    """A subclass's own item access decides the normals (Scaled doubles rows and items)."""
    case = Case(seed=13, tri_count=25, material_count=3)
    normals = np.clip(case.split_normals, -1e6, 1e6).view(Scaled)
    got = FILL[generation](case.host(generation).address, case.material_indices,
                           case.tris_per_material, normals)
    expected = case.model(split_normals=normals)
    assert_same_floats(got, expected)
    plain = case.model(split_normals=np.asarray(normals))
    sections = np.concatenate([np.arange(s + 9 * t, s + 18 * t) for s, t in zip(
        np.cumsum(np.append(0, case.tris_per_material[:-1])) * 24, case.tris_per_material)])
    np.testing.assert_array_equal(expected[sections], plain[sections] * 4)


# --- layouts, generations and b3d_version --------------------------------------------

@pytest.mark.parametrize("uv_mode", ["uvs", "addr8"])
def test_every_layout_generation_gives_the_same_output(uv_mode, b3d_version):
    """16-byte, 20-byte and 4.0-onward arrays of the same mesh (garbage in unread bytes)."""
    case = Case(seed=21, tri_count=70, material_count=4, uv_mode=uv_mode)
    args = case.arrays()
    new = FILL["310"](case.host("310").address, *args)
    old = FILL["293"](case.host("293").address, *args)
    b3d_version((4, 2, 0))
    current = norvik.get_mesh_tri_data_multi_material(case.host("400").address, *args)
    assert_same_floats(new, old)
    assert_same_floats(current, old)
    assert_same_floats(new, case.model())


def layout_probe():
    """A mesh in 20-byte vertices, and the positions that a 16-byte reading of it finds."""
    case = Case(seed=33, tri_count=20, material_count=2, verts=12, loops=30, stray=0.0)
    case.positions = np.random.default_rng(3).uniform(-9, 9, (12, 3)).astype(np.float32)
    packed = np.tile(np.int16([123, 16256, 0]), (12, 1))   # 16256 << 16 is the float 1.0
    verts = vertex_array(case.positions, "293", packed)
    as_310 = np.frombuffer(verts.tobytes()[:16 * 15], VERTEX_310)["co"]
    return case, case.host("293", verts=verts), {"293": case.positions, "310": as_310}


@pytest.mark.parametrize("version, generation", [
    ((3, 1, 0), "310"), ((3, 6, 2), "310"),
    ((3, 0, 1), "293"), ((2, 93, 0), "293"), ((4, 0, 0), "400"), ((4, 2, 0), "400"),
])
def test_dispatch_follows_b3d_version(version, generation, b3d_version):
    case, mesh, positions = layout_probe()
    assert not np.array_equal(positions["293"], positions["310"][:12])
    b3d_version(version)
    if generation == "400":
        # Other arrays than the vertices differ there: the mesh in those layouts.
        got = norvik.get_mesh_tri_data_multi_material(case.host("400").address, *case.arrays())
        assert_same_floats(got, case.model(positions=positions["293"]))
    else:
        got = norvik.get_mesh_tri_data_multi_material(mesh.address, *case.arrays())
        assert_same_floats(got, case.model(positions=positions[generation]))
    # The entry points keep their own generation whatever the host version is.
    for gen, fill in FILL.items():
        assert_same_floats(fill(mesh.address, *case.arrays()),
                           case.model(positions=positions[gen]))


def test_entry_points_need_no_b3d_version(b3d_version):
    case, mesh, positions = layout_probe()
    b3d_version(None)
    for gen, fill in FILL.items():
        assert_same_floats(fill(mesh.address, *case.arrays()),
                           case.model(positions=positions[gen]))
    with pytest.raises(NameError, match="name 'b3d_version' is not defined"):
        norvik.get_mesh_tri_data_multi_material(mesh.address, *case.arrays())


# --- worked values ---------------------------------------------------------------------

def corner_mesh(normal, uv_flag=1, generation="310"):
    """One triangle whose three corners share vertex (1, 2, 3), UV (0.25, 0.75) and ``normal``."""
    verts = vertex_array([(1, 2, 3)], generation)
    uvs = uv_array([(0.25, 0.75)] * 3)
    mesh = HostMesh(verts, None, loop_array([0, 0, 0]), uvs if uv_flag else 8,
                    looptri_array([(0, 1, 2)]), has_uvs=uv_flag, material_count=1)
    normals = np.tile(np.float32(normal), 3)
    return mesh, np.int32([0]), np.int32([1]), normals


# The host version each entry point is called under, and the vertex layout it must read.
WORKED_SETUP = {"dispatch": ((3, 0, 1), "293"), "310": ((3, 0, 1), "310"),
                "293": ((3, 1, 0), "293")}


@pytest.mark.parametrize("entry", list(MULTI))
@pytest.mark.parametrize("normal, normal_out", [
    ((0.5, 0.25, 0.75), (0.25, 0.5, 0.75)),
    ((-1.0, -1.0, -1.0), (-1.0, -1.0, -1.0)),
    ((0.0, -1.0, 1.0), (-1.0, 0.0, 1.0)),
], ids=["worked", "minus-one", "mixed"])
@pytest.mark.parametrize("uv_flag", [1, 0])
def test_worked_corner(entry, normal, normal_out, uv_flag, b3d_version):
    version, layout = WORKED_SETUP[entry]
    b3d_version(version)
    mesh, mi, tpm, normals = corner_mesh(normal, uv_flag, layout)
    got = MULTI[entry](mesh.address, mi, tpm, normals)
    uv = (0.25, 0.25) if uv_flag else (0.0, 0.0)
    assert got.tolist() == [2, 1, 3] * 3 + list(normal_out) * 3 + list(uv) * 3


@pytest.mark.parametrize("uv_flag", [1, 0])
def test_worked_corner_single_material(uv_flag):
    mesh, *_ = corner_mesh((0.5, 0.25, 0.75), uv_flag)
    uv = (0.25, 0.75) if uv_flag else (0.0, 0.0)
    assert norvik.get_mesh_tri_data(mesh.address).tolist() == [1, 2, 3] * 6 + list(uv) * 3


# --- get_mesh_tri_data ---------------------------------------------------------------

@pytest.mark.parametrize("uv_mode", ["uvs", "flag7", "addr8", "tiny"])
@pytest.mark.parametrize("tri_count", [1, 90])
def test_tri_data_matches_model(uv_mode, tri_count):
    case = Case(seed=tri_count + len(uv_mode), tri_count=tri_count, uv_mode=uv_mode)
    got = norvik.get_mesh_tri_data(case.host("310", material_count=-5).address)
    expected = tm.tri_data(case.tri_count, case.positions, case.loop_vertices, case.tri_loops,
                           case.uvs, case.has_uvs)
    assert_same_floats(got, expected)


def test_large_outputs_match_model():
    """Outputs of 8 MiB and more: the size at which the module advises huge pages on a fresh array."""
    case = Case(seed=3, tri_count=90000, material_count=8, verts=10000, loops=30000, empty=())
    mesh = case.host("310")
    got = FILL["310"](mesh.address, case.material_indices, case.tris_per_material, case.split_normals)
    assert got.nbytes >= 8 << 20
    assert_same_floats(got, case.model())
    assert_same_floats(norvik.get_mesh_tri_data(mesh.address),
                       tm.tri_data(case.tri_count, case.positions, case.loop_vertices, case.tri_loops,
                                   case.uvs, case.has_uvs))


# --- triangle count 0 and negative counts ----------------------------------------------

GARBAGE_MESH = dict(verts=8, polys=8, loops=8, uvs=8, looptris=8, has_uvs=1)


@pytest.mark.parametrize("call, dtype", [
    (lambda a: norvik.get_mesh_tri_data(a), np.float32),
    (lambda a: norvik.get_material_indices(a), np.int32),
    (lambda a: MULTI["dispatch"](a, None, np.int32([0, 0]), np.float32([])), np.float32),
    (lambda a: MULTI["310"](a, np.int32([]), np.int32([0, 0]), np.float32([1, 2, 3])),
     np.float32),
    (lambda a: MULTI["293"](a, None, np.int32([0, 0]), strided(np.float32([1] * 6))),
     np.float32),
], ids=["tri_data", "material_indices", "dispatch", "310", "293"])
def test_no_triangles_reads_no_host_array(call, dtype):
    mesh = HostMesh(looptri_count=0, material_count=2, **GARBAGE_MESH)
    got = call(mesh.address)
    assert type(got) is np.ndarray and got.dtype == dtype and got.shape == (0,)


@pytest.mark.parametrize("entry", list(MULTI))
def test_no_triangles_still_reshapes_normals(entry):
    mesh = HostMesh(looptri_count=0, material_count=0, **GARBAGE_MESH)
    with pytest.raises(AttributeError, match="'NoneType' object has no attribute 'reshape'"):
        MULTI[entry](mesh.address, None, None, None)
    with pytest.raises(ValueError, match="cannot reshape array of size 4"):
        MULTI[entry](mesh.address, None, None, np.float32([1, 2, 3, 4]))


def count_mesh(tri_count, material_count):
    """One valid triangle, with the counts of the record set apart from it."""
    mesh = HostMesh(vertex_array([(0, 0, 0)]), poly_array([0]), loop_array([0, 0, 0]),
                    uv_array([(0, 0)] * 3), looptri_array([(0, 1, 2)]),
                    looptri_count=tri_count, material_count=material_count)
    _ALIVE.append(mesh)
    return mesh


_ALIVE = []
READERS = {
    "tri_data": lambda m: norvik.get_mesh_tri_data(m.address),
    "material_indices": lambda m: norvik.get_material_indices(m.address),
    "dispatch": lambda m: MULTI["dispatch"](m.address, None, None, np.float32([])),
    "310": lambda m: MULTI["310"](m.address, np.int32([0]), np.int32([0]), np.float32([])),
    "293": lambda m: MULTI["293"](m.address, None, None, np.float32([0, 0, 1])),
}


@pytest.mark.parametrize("reader", list(READERS))
@pytest.mark.parametrize("tri_count", [-1, -7])
def test_negative_triangle_count_raises_numpys_error(reader, tri_count):
    with pytest.raises(ValueError, match=NEG_DIMS):
        READERS[reader](count_mesh(tri_count, 0))


@pytest.mark.parametrize("reader", ["tri_data", "material_indices"])
def test_lowest_triangle_count_stays_negative(reader):
    """24 x count is formed in 64 bits, so -2**31 does not wrap round to an empty array."""
    with pytest.raises(ValueError, match=NEG_DIMS):
        READERS[reader](count_mesh(-2 ** 31, 0))


@pytest.mark.parametrize("entry", list(MULTI))
def test_negative_material_count_raises_numpys_error(entry):
    with pytest.raises(ValueError, match=NEG_DIMS):
        MULTI[entry](count_mesh(1, -1).address, np.int32([0]), None, np.float32([0, 0, 1] * 3))


# --- normals that fail -------------------------------------------------------------------

def short_normals_case(bad_triangle, bad_loop):
    """40 loops in the host arrays but normal rows for 30; one corner of an in-range triangle
    names ``bad_loop``."""
    case = Case(seed=50, tri_count=20, material_count=3, loops=40, stray=0.0)
    case.tri_loops[case.tri_loops >= 30] %= 30
    case.tri_loops[bad_triangle, 1] = bad_loop
    case.split_normals = case.split_normals[:90].copy()
    return case


@pytest.mark.parametrize("entry", list(MULTI))
@pytest.mark.parametrize("kind", ["plain", "strided", "subclass"])
@pytest.mark.parametrize("bad_triangle, bad_loop", [(0, 30), (19, 39), (7, 30)])
def test_loop_beyond_normal_rows_raises_numpys_index_error(entry, kind, bad_triangle, bad_loop):
    case = short_normals_case(bad_triangle, bad_loop)
    arrays = (case.material_indices, case.tris_per_material, form(kind, case.split_normals))
    got = outcome(MULTI[entry], case.host("293" if entry == "293" else "310").address, *arrays)
    expected = outcome(case.model, split_normals=arrays[2])
    assert expected == (IndexError, "index %d is out of bounds for axis 0 with size 30" % bad_loop)
    assert got == expected


@pytest.mark.parametrize("entry", list(MULTI))
def test_normals_that_are_no_numbers_raise_type_error(entry):
    case = Case(seed=52, tri_count=6, material_count=2, stray=0.0)
    normals = case.split_normals.view(Opaque)
    with pytest.raises(TypeError):
        case.model(split_normals=normals)
    with pytest.raises(TypeError):
        MULTI[entry](case.host("293" if entry == "293" else "310").address,
                     case.material_indices, case.tris_per_material, normals)


@pytest.mark.parametrize("size", [1, 2, 4, 59])
def test_normals_not_in_triples_raise_numpys_reshape_error(size):
    case = Case(seed=53, tri_count=6, material_count=2)
    normals = np.ones(size, np.float32)
    expected = outcome(case.model, split_normals=normals)
    assert expected[0] is ValueError and "cannot reshape" in expected[1]
    assert outcome(FILL["310"], case.host().address, case.material_indices,
                   case.tris_per_material, normals) == expected


# --- traceback entries -------------------------------------------------------------------

def failing_calls(gen):
    case = short_normals_case(3, 35)
    mesh = case.host(gen)
    mi, tpm = case.material_indices, case.tris_per_material
    return {
        "none-normals": lambda f: f(mesh.address, mi, tpm, None),
        "index": lambda f: f(mesh.address, mi, tpm, case.split_normals),
        "reshape": lambda f: f(mesh.address, mi, tpm, np.float32([1, 2])),
        "refused": lambda f: f(mesh.address, None, tpm, case.split_normals),
    }


@pytest.mark.parametrize("version, gen", [((3, 1, 0), "310"), ((3, 0, 1), "293"),
                                          ((4, 0, 0), "400")])
@pytest.mark.parametrize("fault", ["none-normals", "index", "reshape", "refused"])
def test_traceback_names_the_entry_point_then_the_function(version, gen, fault, b3d_version):
    b3d_version(version)
    call = failing_calls(gen)[fault]
    with pytest.raises(Exception) as info:
        call(norvik.get_mesh_tri_data_multi_material)
    assert norvik_entries(info.value.__traceback__) == [FILL_NAME[gen], DISPATCH_NAME]
    if gen not in FILL:
        return
    with pytest.raises(info.type) as direct:
        call(FILL[gen])
    assert norvik_entries(direct.value.__traceback__) == [FILL_NAME[gen]]


@pytest.mark.parametrize("call, name", [
    (lambda: norvik.get_mesh_tri_data(count_mesh(-1, 0).address), "get_mesh_tri_data"),
    (lambda: norvik.get_material_indices(count_mesh(-1, 0).address), "get_material_indices"),
    (lambda: norvik.get_tri_count_per_material_index(None, 2),
     "get_tri_count_per_material_index"),
])
def test_traceback_of_the_other_array_functions(call, name):
    with pytest.raises(Exception) as info:
        call()
    assert norvik_entries(info.value.__traceback__) == ["norvik." + name]


# --- input that the module refuses -------------------------------------------------------

# 8 triangles of materials 0, 0, 1, 1, 1, 2, 2, 2: tris_per_material [2, 3, 3].
REFUSE_MI = np.int32([0, 0, 1, 1, 1, 2, 2, 2])
REFUSE_TPM = np.int32([2, 3, 3])

# name: (HostMesh overrides, material_indices, tris_per_material, first element that must
# stay untouched: 0 means nothing at all may be written)
REFUSED = {
    "null-verts": (dict(verts=None), REFUSE_MI, REFUSE_TPM, 0),
    "null-loops": (dict(loops=None), REFUSE_MI, REFUSE_TPM, 0),
    "null-looptris": (dict(looptris=None), REFUSE_MI, REFUSE_TPM, 0),
    "null-uvs-flag-set": (dict(uvs=None, has_uvs=1), REFUSE_MI, REFUSE_TPM, 0),
    "material_indices-none": ({}, None, REFUSE_TPM, 0),
    "tris_per_material-none": ({}, REFUSE_MI, None, 0),
    "material_indices-short": ({}, REFUSE_MI[:7], REFUSE_TPM, 0),
    "material_indices-short-strided": ({}, strided(REFUSE_MI)[:7], REFUSE_TPM, 0),
    "tris_per_material-short": ({}, REFUSE_MI, REFUSE_TPM[:2], 0),
    "negative-entry-unused": (dict(material_count=4), REFUSE_MI, np.int32([2, 3, 3, -1]), 0),
    "negative-entry-used": ({}, REFUSE_MI, np.int32([-2, 7, 3]), 0),
    "blocks-too-large": ({}, REFUSE_MI, np.int32([2, 3, 4]), 0),
    "blocks-wrap-in-32-bits": ({}, REFUSE_MI, np.int32([2 ** 31 - 1, 2 ** 31 - 1, 3]), 0),
    "overfull-first": ({}, REFUSE_MI, np.int32([1, 4, 3]), 24),
    "overfull-below-sum": ({}, REFUSE_MI, np.int32([1, 3, 3]), 24),
    "overfull-last": ({}, REFUSE_MI, np.int32([2, 4, 2]), 24 * 8),
    "overfull-middle": ({}, np.int32([1, 0, 1, 1, 2, 1, 2, 0]), np.int32([2, 3, 3]), 24 * 5),
}


# HostMesh fields and the model's names for them; words that name each missing array.
MODEL_FIELD = dict(verts="positions", loops="loop_vertices", looptris="tri_loops", uvs="uvs",
                   has_uvs="has_uvs", material_count="material_count")
NULL_WORD = dict(verts="vert", loops="loop", looptris="tri", uvs="uv", polys="poly")


@pytest.mark.parametrize("entry", list(MULTI))
@pytest.mark.parametrize("name", list(REFUSED))
def test_refused_input_raises_before_writing(entry, name, monkeypatch):
    override, mi, tpm, untouched_from = REFUSED[name]
    case = Case(seed=60, tri_count=8, material_count=3)
    mesh = case.host("293" if entry == "293" else "310", **override)
    model_args = {MODEL_FIELD[k]: v for k, v in override.items()}
    with pytest.raises(tm.ModelRejection):
        case.model(material_indices=mi, tris_per_material=tpm, **model_args)
    rec = RecordingNp()
    monkeypatch.setattr(norvik, "np", rec)
    with pytest.raises(ValueError) as info:
        MULTI[entry](mesh.address, mi, tpm, case.split_normals)
    assert info.type is ValueError
    if name.startswith("null-"):
        assert NULL_WORD[next(iter(override))] in str(info.value).lower()
    for out in rec.outputs():
        assert not out[untouched_from:].any()


@pytest.mark.parametrize("field", ["verts", "loops", "looptris", "uvs"])
def test_tri_data_refuses_null_arrays(field, monkeypatch):
    case = Case(seed=61, tri_count=5)
    mesh = case.host(**{field: None})
    rec = RecordingNp()
    monkeypatch.setattr(norvik, "np", rec)
    with pytest.raises(ValueError) as info:
        norvik.get_mesh_tri_data(mesh.address)
    assert info.type is ValueError and NULL_WORD[field] in str(info.value).lower()
    assert not any(out.any() for out in rec.outputs())


def test_null_arrays_that_are_not_read_are_fine():
    """No UVs (flag 0) and no polygon array: the triangle data needs neither."""
    case = Case(seed=62, tri_count=9, material_count=2, uv_mode="addr8")
    mesh = case.host(uvs=None, polys=None)
    assert_same_floats(FILL["310"](mesh.address, *case.arrays()), case.model())
    assert_same_floats(norvik.get_mesh_tri_data(mesh.address),
                       tm.tri_data(9, case.positions, case.loop_vertices, case.tri_loops))


# --- get_material_indices ------------------------------------------------------------------

@pytest.mark.parametrize("tri_count, polys", [(1, 1), (7, 3), (200, 40)])
def test_material_indices_match_model(tri_count, polys):
    rng = np.random.default_rng(tri_count)
    mats = rng.integers(-3, 12, polys).astype(np.int16)
    mats[:3] = [-1, -2 ** 15, 2 ** 15 - 1][:polys]
    tri_polys = rng.integers(0, polys, tri_count).astype(np.uint32)
    tri_polys[:3] = [0, 1, 2][:min(polys, tri_count)]
    mesh = HostMesh(8, poly_array(mats, True, rng), 8, 8,
                    looptri_array(rng.integers(0, 9, (tri_count, 3)), tri_polys, True, rng),
                    has_uvs=1, material_count=-1, garbage_fill=True, rng=rng)
    got = norvik.get_material_indices(mesh.address)
    assert type(got) is np.ndarray and got.dtype == np.int32
    np.testing.assert_array_equal(got, tm.material_indices(tri_count, tri_polys, mats))
    assert -1 in got or polys < 1


@pytest.mark.parametrize("field", ["looptris", "polys"])
def test_material_indices_refuse_null_arrays(field):
    arrays = dict(polys=poly_array([0, 1]), looptris=looptri_array([(0, 1, 2)] * 2, [0, 1]))
    arrays[field] = None
    mesh = HostMesh(looptri_count=2, **arrays)
    with pytest.raises(ValueError) as info:
        norvik.get_material_indices(mesh.address)
    assert info.type is ValueError and NULL_WORD[field] in str(info.value).lower()


# --- get_tri_count_per_material_index -------------------------------------------------------

COUNT_FORMS = dict(FORMS, **{"reversed": lambda a: strided(a, -1)})


@pytest.mark.parametrize("form_name", list(COUNT_FORMS))
def test_counts_worked_example(form_name):
    indices = COUNT_FORMS[form_name](np.int32([0, 2, 2, 5, -1]))
    got = norvik.get_tri_count_per_material_index(indices, 3)
    assert type(got) is np.ndarray and got.dtype == np.int32 and got.tolist() == [1, 0, 2]
    assert norvik.get_tri_count_per_material_index(
        material_count=3, material_indices=indices).tolist() == [1, 0, 2]


@pytest.mark.parametrize("form_name", list(COUNT_FORMS) + ["mod4"])
@pytest.mark.parametrize("size, material_count", [(0, 4), (1, 1), (300, 8), (5000, 64),
                                                  (300, 0), (50, 1000)])
def test_counts_match_model(form_name, size, material_count):
    rng = np.random.default_rng(size + material_count)
    indices = rng.integers(-3, material_count + 3, size).astype(np.int32)
    indices[rng.random(size) < 0.05] = rng.choice(STRAY, 1)
    make = (lambda a: a.view(Mod4)) if form_name == "mod4" else COUNT_FORMS[form_name]
    given = make(indices)
    got = norvik.get_tri_count_per_material_index(given, material_count)
    expected = tm.tri_count_per_material_index(given, material_count)
    assert type(got) is np.ndarray and got.dtype == np.int32
    np.testing.assert_array_equal(got, expected)
    if form_name != "mod4":
        in_range = indices[(indices >= 0) & (indices < material_count)]
        np.testing.assert_array_equal(got, np.bincount(in_range, minlength=material_count))


@pytest.mark.parametrize("material_count, expected", [
    (1, (TypeError, "'NoneType' object is not subscriptable")),
    (5, (TypeError, "'NoneType' object is not subscriptable")),
    (-1, (ValueError, NEG_DIMS)),
])
def test_counts_of_none(material_count, expected):
    assert outcome(tm.tri_count_per_material_index, None, material_count) == expected
    assert outcome(norvik.get_tri_count_per_material_index, None, material_count) == expected


def test_counts_of_none_for_no_materials():
    got = norvik.get_tri_count_per_material_index(None, 0)
    assert type(got) is np.ndarray and got.dtype == np.int32 and got.shape == (0,)


def test_zero_stride_views():
    """A broadcast view repeats one element through stride 0."""
    assert norvik.get_tri_count_per_material_index(
        np.broadcast_to(np.int32(2), (100,)), 3).tolist() == [0, 0, 100]
    case = Case(seed=71, tri_count=12, material_count=2, stray=0.0)
    for mi, tpm in [(np.broadcast_to(np.int32(1), (12,)), np.int32([0, 12])),
                    (np.tile(np.int32([1, 0]), 6), np.broadcast_to(np.int32(6), (2,)))]:
        expected = case.model(material_indices=mi, tris_per_material=tpm)
        for gen, fill in FILL.items():
            assert_same_floats(fill(case.host(gen).address, mi, tpm, case.split_normals),
                               expected)


def test_counts_negative_material_count_raises_numpys_error():
    with pytest.raises(ValueError, match=NEG_DIMS):
        norvik.get_tri_count_per_material_index(np.int32([0, 1]), -2)


# --- results come from the module's np ------------------------------------------------------

class ListNp:
    """A stand-in ``np`` whose zeros gives a list."""

    def __getattr__(self, name):
        return getattr(np, name)

    def zeros(self, n, dtype=None):
        return [0] * n


def zero_calls():
    """Each array function on a small mesh, with the zeros calls that it must make."""
    case = Case(seed=70, tri_count=4, material_count=3, stray=0.0)
    mats = HostMesh(8, poly_array([1, 2]), 8, 8, looptri_array([(0, 1, 2)] * 4, [0, 1, 1, 0]),
                    material_count=3)
    case.alive.append(mats)
    i32, f32 = np.int32, np.float32
    mi, tpm, sn = case.arrays()
    multi_calls = [((9,), i32), ((3,), i32), ((96,), f32)]
    return {
        "tri_data": (lambda: norvik.get_mesh_tri_data(case.host().address), [((96,), f32)]),
        "material_indices": (lambda: norvik.get_material_indices(mats.address), [((4,), i32)]),
        "counts": (lambda: norvik.get_tri_count_per_material_index(mi, 3), [((3,), i32)]),
        "counts-subclass": (lambda: norvik.get_tri_count_per_material_index(mi.view(Sub), 3),
                            [((3,), i32)]),
        "dispatch": (lambda: MULTI["dispatch"](case.host().address, mi, tpm, sn), multi_calls),
        "310": (lambda: MULTI["310"](case.host().address, mi, tpm, sn), multi_calls),
        "293": (lambda: MULTI["293"](case.host("293").address, mi, tpm, sn), multi_calls),
    }


@pytest.mark.parametrize("name", list(zero_calls()))
def test_results_are_made_by_np_zeros(name, monkeypatch):
    call, expected = zero_calls()[name]
    rec = RecordingNp()
    monkeypatch.setattr(norvik, "np", rec)
    got = call()
    assert [(args, kw) for args, kw in rec.calls] == [(a, {"dtype": d}) for a, d in expected]
    assert got is rec.made[-1]


@pytest.mark.parametrize("name", list(zero_calls()))
def test_result_that_is_no_ndarray_is_refused(name, monkeypatch):
    call, _ = zero_calls()[name]
    monkeypatch.setattr(norvik, "np", ListNp())
    with pytest.raises(TypeError, match=r"^Cannot convert list to numpy\.ndarray$"):
        call()
    monkeypatch.undo()
    assert norvik.np is np
    call()


class ShortOrDirtyNp:
    """A stand-in ``np`` whose zeros gives arrays one element short, or full of ones."""

    def __init__(self, short):
        self.short = short

    def __getattr__(self, name):
        return getattr(np, name)

    def zeros(self, n, dtype=None):
        if self.short:
            return np.zeros(max(n - 1, 0), dtype)
        return np.full(n, 7, dtype)


@pytest.mark.parametrize("name", list(zero_calls()))
def test_results_of_the_wrong_length_are_refused(name, monkeypatch):
    """Nothing is written past an array that np.zeros made shorter than asked."""
    call, expected = zero_calls()[name]
    monkeypatch.setattr(norvik, "np", ShortOrDirtyNp(short=True))
    if all(shape == (0,) for shape, _ in expected):
        call()
        return
    with pytest.raises(ValueError, match=r"^np\.zeros\(\d+\) returned an array of \d+ elements$"):
        call()


@pytest.mark.parametrize("name", ["dispatch", "310", "293"])
def test_fill_does_not_trust_working_tables_to_start_at_zero(name, monkeypatch):
    call, _ = zero_calls()[name]
    expected = call()
    monkeypatch.setattr(norvik, "np", ShortOrDirtyNp(short=False))
    got = call()
    # Untouched slots keep what the stand-in put there; every placed value is the same.
    placed = expected != 0
    assert np.array_equal(got[placed], expected[placed])
