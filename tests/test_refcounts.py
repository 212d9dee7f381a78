"""Every function, and every kind of failure, called many times: nothing leaks.

A release interpreter has no ``sys.gettotalrefcount``, so the reference
counts of the argument objects and of None, True and False are compared
before and after the calls, and so is the resident memory of the process.
Each scenario runs a few hundred times; ``NORVIK_REFCOUNT_CALLS=10000`` (or
``tools/refcount_long.sh``) runs it 10,000 times.
"""
import gc
import os
import sys

import numpy as np
import pytest

import norvik
from platform_support import rss
from norvik_records import Camera, HostMesh, Mesh, camera_records, export_records

CALLS = int(os.environ.get("NORVIK_REFCOUNT_CALLS", "300"))
WARM = 30
SINGLETON_SLACK = max(10, CALLS // 4)
# Resident memory may grow this much over the calls (allocator noise), not more.
# Under AddressSanitizer freed memory waits in a quarantine, so only the
# reference counts are compared there.
RSS_SLACK = 2 << 20 if not os.environ.get("NORVIK_SANITIZED") else float("inf")


class Boom(Exception):
    pass


class RaisingBool:
    def __bool__(self):
        raise Boom("use_debug")


class RaisingInt:
    def __int__(self):
        raise Boom("__int__")


class Sub(np.ndarray):
    """A subclass: the functions use numpy's own item access for it."""


def _mesh(n=2000, seed=0):
    rng = np.random.default_rng(seed)
    pos = rng.uniform(-5, 5, (n, 3))
    pos[7, 1] = np.nan
    faces = [tuple(rng.choice(n, 3, replace=False)) + ((int(rng.integers(0, n)),) if k % 3 else ())
             for k in range(n)]
    faces = [f if len(set(f)) == len(f) else f[:3] for f in faces]
    loops = sum(len(f) for f in faces)
    uvs = rng.random((loops, 2))
    uvs[3, 0] = np.nan
    return Mesh(pos, faces, uvs=uvs, materials=rng.integers(-1, 4, len(faces)))


MESH = _mesh()
INSTANCES = np.tile(np.eye(3, 4, dtype=np.float32), (4, 1, 1))
INSTANCES[1, 0, 0] = np.inf


def records(generation):
    return export_records([MESH.export_object("A", "M", instances=INSTANCES),
                           MESH.export_object("B\"q", "")], generation)


REC = {g: records(g) for g in ("293", "310")}
HOST = {g: MESH.host_arrays(g) for g in ("293", "310")}
CAMS = camera_records([Camera("Cam", 0.5, np.eye(4)), Camera("N", np.nan, np.eye(4))])
MATS = norvik.get_material_indices(HOST["310"].address)
TPM = norvik.get_tri_count_per_material_index(MATS, 4)
NORMALS = np.random.default_rng(1).uniform(-1, 1, len(MESH.loop_vertices) * 3) \
    .astype(np.float32)
# The subclass path reads every normal through numpy's item access: a smaller mesh.
SMALL = _mesh(150, 2)
SMALL_HOST = {g: SMALL.host_arrays(g) for g in ("293", "310")}
SMALL_MATS = norvik.get_material_indices(SMALL_HOST["310"].address)
SMALL_TPM = norvik.get_tri_count_per_material_index(SMALL_MATS, 4)
SMALL_NORMALS = NORMALS[:len(SMALL.loop_vertices) * 3].copy().view(Sub)
NULL_MESH = HostMesh(None, None, None, None, None, looptri_count=5, material_count=2)
NEG_MESH = HostMesh(looptri_count=-3, material_count=-1)
EMPTY = HostMesh()
MULTI = ["get_mesh_tri_data_multi_material",
         "get_mesh_tri_data_multi_material__310_to_current",
         "get_mesh_tri_data_multi_material__293_to_300"]


def expect(exc, fn, *args, **kwargs):
    """A call of ``fn`` that must raise ``exc`` (None: must return)."""
    def call():
        if exc is None:
            return fn(*args, **kwargs)
        try:
            fn(*args, **kwargs)
        except exc:
            return None
        raise AssertionError("%s did not raise %s" % (fn.__name__, exc.__name__))
    return call


def versioned(version, call):
    """``call`` with ``norvik.b3d_version`` set to ``version`` (the layout of its records)."""
    def run():
        saved = norvik.b3d_version
        norvik.b3d_version = version
        try:
            return call()
        finally:
            norvik.b3d_version = saved
    return run


def profiled(fn, *args):
    """A call with a profile function that raises at norvik's first event."""
    def profile(frame, event, arg):
        if frame.f_code.co_filename == "norvik.cpp":
            raise Boom("profiler")

    def call():
        sys.setprofile(profile)
        try:
            fn(*args)
        except Boom:
            pass
        finally:
            sys.setprofile(None)
    return call


def scenarios(tmp):
    path = os.fsencode(os.path.join(tmp, "out.json"))
    bad_dir = os.fsencode(tmp)
    use_debug = RaisingBool()
    r310, r293 = REC["310"], REC["293"]
    h310, h293 = HOST["310"].address, HOST["293"].address
    wide = np.zeros((4, 3), np.int32)
    out = {
        # export
        "export-310": (expect(None, norvik.export, r310.address, r310.count, path, True),
                       [path]),
        "export-293": (versioned((3, 0, 0), expect(None, norvik.export, r293.address,
                                                    r293.count, path, None)), [path]),
        "export-raising-use_debug": (expect(Boom, norvik.export, r310.address, 1, path,
                                            use_debug), [use_debug, path]),
        "export-str-path": (expect(TypeError, norvik.export, 0, 0, "out.json", False), []),
        "export-null-byte-path": (expect(ValueError, norvik.export, 0, 0, b"a\0b", False), []),
        "export-raising-int": (expect(Boom, norvik.export, RaisingInt(), 0, path, False), []),
        "export-overflow": (expect(OverflowError, norvik.export, 2 ** 64, 0, path, False), []),
        "export-binding": (expect(TypeError, norvik.export, 0, 0, path, False, ob_ptr=0), []),
        "export-unopenable": (expect(None, norvik.export, r310.address, 1, bad_dir, 0),
                              [bad_dir]),
        "export-profiler": (profiled(norvik.export, r310.address, 1, path, False), [path]),
        "export-full-disk": (expect(None, norvik.export, r310.address, 2, b"/dev/full", 0), []),
        # export_scenes
        "export_scenes": (expect(None, norvik.export_scenes, CAMS.address, 2, path), [path]),
        "export_scenes-unopenable": (expect(None, norvik.export_scenes, 0, 1, bad_dir),
                                     [bad_dir]),
        "export_scenes-bytearray-path": (expect(TypeError, norvik.export_scenes, 0, 0,
                                                ["x"]), []),
        "export_scenes-profiler": (profiled(norvik.export_scenes, CAMS.address, 2, path),
                                   [path]),
        # get_mesh_tri_data and get_material_indices
        "get_mesh_tri_data": (expect(None, norvik.get_mesh_tri_data, h310), []),
        "get_mesh_tri_data-null-arrays": (expect(ValueError, norvik.get_mesh_tri_data,
                                                 NULL_MESH.address), []),
        "get_mesh_tri_data-negative-count": (expect(ValueError, norvik.get_mesh_tri_data,
                                                    NEG_MESH.address), []),
        "get_mesh_tri_data-keyword": (expect(TypeError, norvik.get_mesh_tri_data,
                                             mesh_ptr=h310), []),
        "get_mesh_tri_data-profiler": (profiled(norvik.get_mesh_tri_data, h310), []),
        "get_material_indices": (expect(None, norvik.get_material_indices, h310), []),
        "get_material_indices-null-arrays": (expect(ValueError, norvik.get_material_indices,
                                                    NULL_MESH.address), []),
        "get_material_indices-negative-count": (expect(ValueError, norvik.get_material_indices,
                                                       NEG_MESH.address), []),
        # get_tri_count_per_material_index
        "tri_count": (expect(None, norvik.get_tri_count_per_material_index, MATS, 4), [MATS]),
        "tri_count-strided": (expect(None, norvik.get_tri_count_per_material_index,
                                     MATS[::3], 5), [MATS]),
        "tri_count-subclass": (expect(None, norvik.get_tri_count_per_material_index,
                                      MATS.view(Sub), 4), [MATS]),
        "tri_count-none": (expect(TypeError, norvik.get_tri_count_per_material_index, None, 2),
                           []),
        "tri_count-two-dims": (expect(ValueError, norvik.get_tri_count_per_material_index,
                                      wide, 2), [wide]),
        "tri_count-float64": (expect(ValueError, norvik.get_tri_count_per_material_index,
                                     NORMALS.astype(np.float64), 2), []),
        "tri_count-list": (expect(TypeError, norvik.get_tri_count_per_material_index,
                                  [1, 2], 2), []),
        "tri_count-negative": (expect(ValueError, norvik.get_tri_count_per_material_index,
                                      MATS, -1), [MATS]),
        "tri_count-profiler": (profiled(norvik.get_tri_count_per_material_index, MATS, 4),
                               [MATS]),
    }
    out["get_mesh_tri_data_multi_material-293"] = (versioned((2, 93, 0), expect(
        None, norvik.get_mesh_tri_data_multi_material, h293, MATS, TPM, NORMALS)),
        [MATS, TPM, NORMALS])
    for name in MULTI:
        fn = getattr(norvik, name)
        host = h293 if name.endswith("293_to_300") else h310
        watched = [MATS, TPM, NORMALS]
        out.update({
            name: (expect(None, fn, host, MATS, TPM, NORMALS), watched),
            name + "-keywords": (expect(None, fn, mesh_ptr=host, material_indices=MATS,
                                        tris_per_material=TPM, split_normals=NORMALS),
                                 watched),
            name + "-subclass-normals": (
                expect(None, fn, SMALL_HOST["293" if name.endswith("300") else "310"]
                       .address, SMALL_MATS, SMALL_TPM, SMALL_NORMALS),
                [SMALL_MATS, SMALL_TPM, SMALL_NORMALS]),
            name + "-none-normals": (expect(AttributeError, fn, host, MATS, TPM, None),
                                     [MATS, TPM]),
            name + "-reshape": (expect(ValueError, fn, host, MATS, TPM, NORMALS[:-1]),
                                watched),
            name + "-row-index": (expect(IndexError, fn, host, MATS, TPM, NORMALS[:30]),
                                  watched),
            name + "-short-counts": (expect(ValueError, fn, host, MATS, TPM[:2], NORMALS),
                                     watched),
            name + "-none-indices": (expect(ValueError, fn, host, None, TPM, NORMALS),
                                     [TPM, NORMALS]),
            name + "-null-arrays": (expect(ValueError, fn, NULL_MESH.address, MATS, TPM,
                                           NORMALS), watched),
            name + "-negative-count": (expect(ValueError, fn, NEG_MESH.address, None, None,
                                              NORMALS), [NORMALS]),
            name + "-wrong-dtype": (expect(ValueError, fn, host, MATS, TPM, MATS), [MATS, TPM]),
            name + "-profiler": (profiled(fn, host, MATS, TPM, NORMALS), watched),
        })
    return out


def _names():
    return list(scenarios("/nonexistent"))


@pytest.fixture(scope="module")
def cases(tmp_path_factory):
    return scenarios(str(tmp_path_factory.mktemp("refcounts")))


@pytest.fixture
def quiet(monkeypatch):
    """Unraisable reports are counted, not printed, while the calls run."""
    seen = []
    monkeypatch.setattr(sys, "unraisablehook", lambda u: seen.append(u.exc_type))
    yield seen
    seen.clear()


@pytest.mark.parametrize("name", _names())
def test_calls_leave_refcounts_and_memory_flat(name, cases, quiet, capfd, b3d_version):
    b3d_version((3, 4, 1))
    call, watched = cases[name]
    watched = list(watched) + [None, True, False]
    for _ in range(WARM):
        call()
    capfd.readouterr()
    gc.collect()
    total = sys.gettotalrefcount() if hasattr(sys, "gettotalrefcount") else None
    before = [sys.getrefcount(o) for o in watched]
    mem = rss()
    for i in range(CALLS):
        call()
        if i % 500 == 499:
            capfd.readouterr()
    gc.collect()
    after = [sys.getrefcount(o) for o in watched]
    grown = rss() - mem
    capfd.readouterr()
    # Arguments exactly; the shared singletons within a few stray references of the
    # rest of the process (a leak per call would show as one per call or more).
    n = len(watched) - 3
    assert after[:n] == before[:n], list(zip(map(type, watched), before, after))
    assert all(abs(a - b) < SINGLETON_SLACK for a, b in zip(after[n:], before[n:])), \
        (before, after)
    if total is not None:
        assert sys.gettotalrefcount() - total < 100
    assert grown < RSS_SLACK, "resident memory grew by %d bytes over %d calls" % (grown, CALLS)


def test_dispatch_with_a_raising_version_leaves_refcounts_flat(b3d_version, quiet, capfd,
                                                               tmp_path):
    class Version:
        def __getitem__(self, i):
            raise Boom("b3d_version")
    version = Version()
    b3d_version(version)
    path = os.fsencode(tmp_path / "out.json")
    calls = [expect(Boom, norvik.get_mesh_tri_data_multi_material, HOST["310"].address, MATS,
                    TPM, NORMALS),
             expect(None, norvik.export, REC["310"].address, 1, path, False)]
    for c in calls:
        c()
    gc.collect()
    before = [sys.getrefcount(o) for o in (version, MATS, TPM, NORMALS, path, None)]
    mem = rss()
    for _ in range(CALLS):
        for c in calls:
            c()
    capfd.readouterr()
    gc.collect()
    after = [sys.getrefcount(o) for o in (version, MATS, TPM, NORMALS, path, None)]
    assert after[:5] == before[:5] and abs(after[5] - before[5]) < SINGLETON_SLACK
    assert rss() - mem < RSS_SLACK
    assert quiet and set(quiet) == {Boom}
