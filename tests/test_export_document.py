"""The scene document of ``norvik.export``, compared byte for byte with the model."""
import os
import sys

import numpy as np
import pytest

import norvik
from platform_support import on_disk
from norvik_records import ExportObject, Mesh, export_records

import docmodel as dm
from samples import NAMES, values

GENERATIONS = ["293", "310"]
NAN, INF = float("nan"), float("inf")


def run_export(objects, generation, path, garbage_fill=True, seed=0, use_debug=False):
    recs = export_records(objects, generation, garbage_fill=garbage_fill, rng=seed)
    ok = norvik.export(recs.address, recs.count, path, use_debug)
    with open(path, "rb") as f:
        return ok, f.read()


def check(objects, generation, path, c_stdout, **kw):
    """Exports ``objects`` and compares file, messages and result with the model."""
    ok, data = run_export(objects, generation, path, **kw)
    doc, msgs = dm.scene_document(objects, generation)
    assert data == doc
    assert c_stdout() == msgs
    assert ok is True
    return data, msgs


def tri(**fields):
    """The triangle of the worked example as an ``ExportObject``."""
    mesh = Mesh([(0, 0, 0), (1, 0, 0), (0, 1, 0)], [(0, 1, 2)], uvs=[(0, 0), (1, 0), (0, 1)])
    fields.setdefault("name", "Tri")
    fields.setdefault("material", "Mat")
    return mesh.export_object(**fields)


WORKED = (
    b'{\n\t"Tri" : {\n\t\t"material" : "Mat",\n'
    b'\t\t"vertices" : [0.0000,0.0000,0.0000,1.0000,0.0000,0.0000,0.0000,1.0000,0.0000],\n'
    b'\t\t"normals" : [0.0000,0.0000,1.0000,0.0000,0.0000,1.0000,0.0000,0.0000,1.0000],\n'
    b'\t\t"uv" : [0.0000,1.0000,1.0000,1.0000,0.0000,0.0000],\n'
    b'\t\t"indices" : [0,1,2]'
)
WORKED_INSTANCES = (
    b',\n\t\t"instances" : [\n'
    b'\t\t\t[100.0000,0.0000,0.0000,0.0,0.0000,100.0000,0.0000,0.0,'
    b'0.0000,0.0000,100.0000,0.0,0.0000,0.0000,0.0000,1.0]\n\t\t]\n\t}\n}'
)
IDENTITY_3X4 = [[1, 0, 0, 0], [0, 1, 0, 0], [0, 0, 1, 0]]


@pytest.mark.parametrize("generation", GENERATIONS, indirect=True)
@pytest.mark.parametrize("instances, tail", [
    ([IDENTITY_3X4], WORKED_INSTANCES),
    (None, b"\n\t}\n}"),
], ids=["instances", "no-instances"])
def test_worked_example(generation, instances, tail, out_path, c_stdout):
    data, _ = check([tri(instances=instances)], generation, out_path, c_stdout)
    assert data == on_disk(WORKED + tail)


# --- layout generation chosen from b3d_version --------------------------------------

class Three:
    """Not an int, but equal to 3 through ``__eq__``."""

    def __eq__(self, other):
        return other == 3


@pytest.mark.parametrize("version, generation", [
    ((3, 4, 1), "310"), ((3, 1, 0), "310"), ((3, 6, 5), "310"), ((3.0, 1), "310"),
    ([3, 2], "310"), ((np.int64(3), np.int64(1)), "310"), ((Three(), 1), "310"),
    ((3, 0, 0), "293"), ((2, 93, 0), "293"), ((4, 0, 0), "400"), ((4, 2, 1), "400"), ((5, 3), "400"), ((4.0, 0), "400"),
    ((3, -1), "293"), ((2,), "293"),
])
def test_generation_rule(version, generation, b3d_version, out_path, c_stdout):
    b3d_version(version)
    check([tri(), tri(name="Second")], generation, out_path, c_stdout)


class Raises:
    def __eq__(self, other):
        raise RuntimeError("eq")

    def __gt__(self, other):
        raise RuntimeError("gt")

    def __getitem__(self, index):
        raise RuntimeError("getitem")


class BadTruth:
    def __bool__(self):
        raise RuntimeError("bool")


class GtBadTruth:
    def __gt__(self, other):
        return BadTruth()


@pytest.mark.parametrize("version, exc_type", [
    (None, NameError), (5, TypeError), (Raises(), RuntimeError), ((Raises(), 1), RuntimeError),
    ((3, Raises()), RuntimeError), ((3, object()), TypeError), ((3, GtBadTruth()), RuntimeError),
    ((3,), IndexError), ([], IndexError),
], ids=["deleted", "int", "getitem", "eq", "gt", "gt-type", "truth", "short", "empty"])
def test_bad_version_is_reported_unraisable(version, exc_type, b3d_version, out_path,
                                            c_stdout, monkeypatch):
    seen = []
    monkeypatch.setattr(sys, "unraisablehook", seen.append)
    b3d_version(version)
    recs = export_records([tri()])
    assert norvik.export(recs.address, recs.count, out_path, False) is False
    with open(out_path, "rb") as f:
        assert f.read() == b"{"
    assert len(seen) == 1
    assert seen[0].exc_type is exc_type
    assert "norvik.export" in (str(seen[0].object), seen[0].err_msg or "")
    if version is None:
        assert str(seen[0].exc_value) == "name 'b3d_version' is not defined"


# --- random meshes ---------------------------------------------------------------------

def random_object(rng, nonfinite):
    n = int(rng.integers(1, 10))
    faces = []
    for _ in range(int(rng.integers(0, 7))):
        size = 4 if n >= 4 and rng.random() < 0.5 else 3
        faces.append(rng.choice(n, size, replace=n < size).tolist())
    loops = sum(len(f) for f in faces)
    normals = values(rng, (n, 3), nonfinite)
    mesh = Mesh(values(rng, (n, 3), nonfinite), faces,
                uvs=values(rng, (loops, 2), nonfinite) if rng.random() < 0.8 else None,
                normals=normals)
    extra = {}
    extra["packed_normals"] = rng.integers(-32768, 32768, (n, 3)).astype(np.int16)
    if rng.random() < 0.3:
        extra["custom_normals"] = values(rng, (n, 3), nonfinite)
    if rng.random() < 0.5:
        extra["instances"] = values(rng, (int(rng.integers(0, 4)), 3, 4), nonfinite)
    return mesh.export_object(NAMES[rng.integers(len(NAMES))], NAMES[rng.integers(len(NAMES))],
                              **extra)


@pytest.mark.parametrize("generation", GENERATIONS, indirect=True)
@pytest.mark.parametrize("seed", range(16))
def test_random_meshes(seed, generation, out_path, c_stdout):
    rng = np.random.default_rng(seed)
    nonfinite = 0.0 if seed % 2 else 0.08
    objects = [random_object(rng, nonfinite) for _ in range(int(rng.integers(1, 5)))]
    check(objects, generation, out_path, c_stdout, garbage_fill=seed % 4 != 3, seed=seed)


def big_object(rng, k, nonfinite):
    n = 300
    faces = rng.integers(0, n, (500, 3)).tolist()
    mesh = Mesh(values(rng, (n, 3), nonfinite), faces, uvs=values(rng, (1500, 2), nonfinite),
                normals=values(rng, (n, 3), 0.0))
    return mesh.export_object("Rock.%03d" % k, "Stone", packed_normals=rng.integers(
        -32768, 32768, (n, 3)).astype(np.int16), instances=rng.uniform(-10, 10, (k % 3, 3, 4)))


@pytest.mark.parametrize("generation", GENERATIONS, indirect=True)
def test_big_documents_are_formatted_in_parts(generation, out_path, c_stdout, monkeypatch):
    """A document of megabytes is formatted on several threads, part by part: the
    same bytes, and every warning printed in its place (a part that meets one is
    written again by the calling thread)."""
    monkeypatch.setenv("NORVIK_WRITER_THREADS", "3")
    rng = np.random.default_rng(7)
    objects = [big_object(rng, k, 0.001 if k in (5, 90) else 0.0) for k in range(150)]
    check(objects, generation, out_path, c_stdout)


# --- single cases: null arrays, counts, range checks, non-finite values, texts -----

SQUARE = dict(positions=[(0, 0, 0), (1, 0, 0), (1, 1, 0), (0, 1, 0)],
              vert_normals=[(0, 0, 1)] * 4, loop_vertices=[0, 1, 2, 0, 2, 3],
              uvs=[(0, 0), (1, 0), (1, 1), (0.5, 0.5), (1, 1), (0, 1)],
              tri_loops=[(0, 1, 2), (3, 4, 5)])


def square(**fields):
    data = dict(SQUARE, name="Sq", material="M")
    data.update(fields)
    return ExportObject(**data)


E = dm
CASES = [
    # id, generations, objects, messages, fragment of the document
    ("nan-y", GENERATIONS, lambda: [tri(positions=[(0, NAN, 0), (1, 0, 0), (0, 1, 0)])],
     E.WARN_VERTS, b'"vertices" : [0.0,0.0,0.0,1.0000,'),
    ("inf-z", GENERATIONS, lambda: [tri(positions=[(0, 0, 0), (1, 0, -INF), (NAN, 1, 0)])],
     E.WARN_VERTS * 2, b'"vertices" : [0.0000,0.0000,0.0000,0.0,0.0,0.0,0.0,0.0,0.0]'),
    ("normal-nan", ["310"], lambda: [tri(vert_normals=[(NAN, 0, 1), (0, INF, 1), (0, 0, 1)])],
     E.WARN_NORMALS * 2, b'"normals" : [0.0000,0.0000,1.0000,0.0000,0.0000,1.0000,'),
    ("custom-normals", ["310"],
     lambda: [tri(vert_normals=None, custom_normals=[(1, 0, 0), (0, -1, 0), (0, 0, -INF)])],
     E.WARN_NORMALS, b'"normals" : [1.0000,0.0000,0.0000,0.0000,-1.0000,0.0000,0.0000,0.0000,0.0000]'),
    ("packed-normals", ["293"],
     lambda: [tri(packed_normals=[(32767, 0, -32767), (-32768, 16384, 1), (0, 0, 0)])],
     "", b'"normals" : [1.0000,0.0000,-1.0000,-1.0000,0.5000,0.0000,0.0000,0.0000,0.0000]'),
    ("uv-nonfinite", GENERATIONS, lambda: [tri(uvs=[(NAN, INF), (0.25, 0.75), (-INF, 0)])],
     E.WARN_UVS * 3, b'"uv" : [0.0000,1.0000,0.2500,0.2500,0.0000,1.0000]'),
    ("instance-nonfinite", GENERATIONS,
     lambda: [tri(instances=[[[NAN, 0, 0, 1e37], [0, -0.0, 0, 0], [0, 0, 1, 0.03125]]])],
     E.WARN_INSTANCES * 2,
     b"[0.0000,0.0000,0.0000,0.0,0.0000,-0.0000,0.0000,0.0,0.0000,0.0000,100.0000,0.0,"
     b"0.0000,0.0000,3.1250,1.0]"),
    ("instances-empty", GENERATIONS, lambda: [tri(instances=np.zeros((0, 3, 4)))], "",
     b'"indices" : [0,1,2],\n\t\t"instances" : [\n\t\t\t\n\t\t]\n\t}\n}'),
    ("instance-count", GENERATIONS,
     lambda: [tri(instances=[IDENTITY_3X4] * 3, instance_count=2)], "",
     b"1.0],\n\t\t\t[100.0000,0.0000,0.0000,0.0,0.0000,100.0000,0.0000,0.0,0.0000,0.0000,"
     b"100.0000,0.0,0.0000,0.0000,0.0000,1.0]\n\t\t]\n\t}"),
    ("first-corner-uv", GENERATIONS, lambda: [square()], "",
     b'"uv" : [0.0000,1.0000,1.0000,1.0000,1.0000,0.0000,0.0000,0.0000]'),
    ("unnamed-vertex", GENERATIONS,
     lambda: [square(positions=SQUARE["positions"] + [(5, 5, 5)], vert_normals=[(0, 0, 1)] * 5)],
     "", b'1.0000,0.0000,0.0000,0.0000,0.0000,1.0000],\n\t\t"indices" : [0,1,2,0,2,3]'),
    ("tri-loop-out-of-range", GENERATIONS,
     lambda: [square(tri_loops=[(0, 1, 2), (3, 4, 6)], loop_vertices=[0, 1, 2, 0, 2, 3, 1],
                     loop_count=6)],
     E.ERR_RANGE, b'"uv" : [0.0000,1.0000,1.0000,1.0000,1.0000,0.0000,0.0000,0.0000]\n\t}'),
    ("loop-vertex-out-of-range", GENERATIONS,
     lambda: [square(loop_vertices=[0, 1, 2, 0, 2, 7])], E.ERR_RANGE,
     b'"uv" : [0.0000,1.0000,1.0000,1.0000,1.0000,0.0000,0.0000,1.0000]\n\t}'),
    ("unnamed-out-of-range-loop-unused", GENERATIONS,
     lambda: [square(loop_vertices=[0, 1, 2, 0, 2, 3, 9], loop_count=7)], "",
     b'"indices" : [0,1,2,0,2,3]\n\t}'),
    ("vert-count-zero", GENERATIONS, lambda: [square(vert_count=0)], E.ERR_RANGE,
     b'"vertices" : [],\n\t\t"normals" : [],\n\t\t"uv" : []\n\t}'),
    ("vert-count-negative", GENERATIONS, lambda: [square(vert_count=-3, uvs=None)], E.ERR_RANGE,
     b'"vertices" : [],\n\t\t"normals" : [],\n\t\t"uv" : []\n\t}'),
    ("null-verts", ["310"], lambda: [square(positions=None, vert_count=4)], E.ERR_NULL_VERTS,
     b'"vertices" : [],\n\t\t"normals" : [0.0000,0.0000,1.0000,'),
    ("null-verts", ["293"], lambda: [square(positions=None, vert_count=4)], E.ERR_NULL_VERTS,
     b'"vertices" : [],\n\t\t"normals" : [],\n\t\t"uv" : [0.0000,1.0000,'),
    ("null-normals", ["310"], lambda: [square(vert_normals=None)], E.ERR_NULL_NORMALS,
     b'"normals" : [],\n\t\t"uv" : [0.0000,1.0000,'),
    ("null-normals-unread", ["293"], lambda: [square(vert_normals=None)], "",
     b'"normals" : [0.0000,0.0000,0.0000,'),
    ("uvs-null-loops", GENERATIONS, lambda: [square(loop_vertices=None, loop_count=6)],
     E.ERR_LOOPS, b'"uv" : [0.0,0.0,0.0,0.0,0.0,0.0,0.0,0.0]\n\t}'),
    ("no-uv-layer", GENERATIONS, lambda: [square(uvs=None)], "",
     b'"uv" : [0.0,0.0,0.0,0.0,0.0,0.0,0.0,0.0],\n\t\t"indices"'),
    ("no-tris-with-uvs", GENERATIONS, lambda: [square(looptri_count=0)], E.ERR_NO_TRIS,
     b'"normals" : [0.0000,0.0000,1.0000,0.0000,0.0000,1.0000,0.0000,0.0000,1.0000,0.0000,'
     b'0.0000,1.0000]\n\t}'),
    ("null-tris-with-uvs", GENERATIONS, lambda: [square(tri_loops=None, looptri_count=2)],
     E.ERR_NULL_TRIS, b'0.0000,0.0000,1.0000]\n\t}\n}'),
    ("null-tris-no-uvs", GENERATIONS, lambda: [square(tri_loops=None, uvs=None)], E.ERR_NO_TRIS,
     b'"uv" : [0.0,0.0,0.0,0.0,0.0,0.0,0.0,0.0]\n\t}'),
    ("null-loops", GENERATIONS, lambda: [square(loop_vertices=None, uvs=None)], E.ERR_LOOPS,
     b'"uv" : [0.0,0.0,0.0,0.0,0.0,0.0,0.0,0.0]\n\t}'),
    ("messages-in-order", GENERATIONS,
     lambda: [square(loop_vertices=None, positions=[(NAN, 0, 0)] * 4),
              square(name="B", looptri_count=0, uvs=[(NAN, 0)] * 6),
              square(name="C", tri_loops=None, looptri_count=1)],
     E.WARN_VERTS * 4 + E.ERR_LOOPS + E.ERR_NO_TRIS + E.ERR_NULL_TRIS, b',\n\t"B" : {\n'),
    ("texts", GENERATIONS,
     lambda: [tri(name=b'q"b\\c\x01\x1f\n\xc3\xa9', material=b""),
              tri(name=b"N" * 40, material=b"m" * 45 + b'"')],
     "", b'{\n\t"q\\"b\\\\c\\u0001\\u001f\\u000a\xc3\xa9" : {\n\t\t"material" : "",'),
    ("text-cut", GENERATIONS, lambda: [tri(name=b"N" * 40, material="é" * 30)], "",
     b'\t"' + b"N" * 32 + b'" : {\n\t\t"material" : "' + "é".encode() * 19 + b'",'),
]


@pytest.mark.parametrize("case, generation, make, messages, fragment", [
    pytest.param(cid, g, make, msgs, frag, id="%s-%s" % (cid, g))
    for cid, gens, make, msgs, frag in CASES for g in gens
], indirect=["generation"])
def test_cases(case, generation, make, messages, fragment, out_path, c_stdout):
    data, msgs = check(make(), generation, out_path, c_stdout)
    assert msgs == messages
    assert on_disk(fragment) in data


# --- records, files and results -----------------------------------------------------

@pytest.mark.parametrize("address, count", [(None, 0), (None, -1), (0, 3), (0, 0)])
def test_no_sections(address, count, out_path, c_stdout):
    recs = export_records([tri()])
    address = recs.address if address is None else address
    assert norvik.export(address, count, out_path, True) is True
    with open(out_path, "rb") as f:
        assert f.read() == on_disk(b"{\n}")
    assert c_stdout() == ""


@pytest.mark.parametrize("generation", GENERATIONS, indirect=True)
def test_use_debug_has_no_effect(generation, tmp_path, c_stdout):
    files = []
    for i, flag in enumerate([True, False, None, 1, "x"]):
        path = os.fsencode(tmp_path / ("%d.json" % i))
        assert run_export([tri(), square()], generation, path, use_debug=flag)[0] is True
        files.append(open(path, "rb").read())
    assert all(f == files[0] for f in files)


@pytest.mark.parametrize("path, message", [
    (b"/nonexistent-dir/x/out.json", dm.ERR_OPEN),
    (b"/dev/full", dm.ERR_WRITE),
])
def test_file_errors(path, message, c_stdout):
    recs = export_records([tri()])
    assert norvik.export(recs.address, recs.count, path, False) is False
    assert c_stdout() == message
    assert not os.path.exists(path) or path == b"/dev/full"


@pytest.mark.parametrize("path, exc", [
    ("out.json", TypeError), (b"out\0.json", ValueError),
])
def test_bad_paths_raise(path, exc, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    recs = export_records([tri()])
    with pytest.raises(exc):
        norvik.export(recs.address, recs.count, path, False)
    assert os.listdir(tmp_path) == []


def test_version_read_from_host_at_import():
    import bpy

    assert norvik.b3d_version == tuple(bpy.app.version)
