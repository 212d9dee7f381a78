"""norvik_records lays bytes where norvik reads them: checked with ``struct``, not the dtypes."""
import ctypes
import os
import shutil
import struct
import subprocess

import numpy as np
import pytest

from norvik_records import (
    Camera, ExportObject, Mesh, address_of, camera_records, export_records, layouts,
)

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def peek(address, fmt, offset=0):
    size = struct.calcsize(fmt)
    return struct.unpack(fmt, ctypes.string_at(address + offset, size))


QUAD = Mesh([(0, 0, 0), (1, 0, 0), (1, 1, 0), (0, 1, 0)], [(0, 1, 2, 3), (0, 2, 1)],
            uvs=[(0, 0), (1, 0), (1, 1), (0, 1), (0.5, 0.5), (1, 1), (1, 0)],
            normals=[(0, 0, 1), (0, 0, -1), (1, 0, 0), (0, 1, 0)], materials=[2, -3])


@pytest.mark.parametrize("garbage_fill", [False, True])
@pytest.mark.parametrize("generation, stride", [("293", 20), ("310", 16)])
def test_host_arrays(generation, stride, garbage_fill):
    h = QUAD.host_arrays(generation, garbage_fill=garbage_fill, rng=3)
    verts, polys, loops, uvs, tris = peek(h.address, "<QxxxxxxxxQQQQ")
    assert peek(h.address, "<iii", 60) == (1, 3, 3)
    assert (verts, polys, loops, uvs, tris) == tuple(
        address_of(a) for a in (h.verts, h.polys, h.loops, h.uvs, h.looptris))
    assert peek(verts, "<3f", 2 * stride) == (1, 1, 0)
    if generation == "293":
        assert peek(verts, "<3h", 12 + stride) == (0, 0, -32767)
    assert peek(loops, "<I", 8 * 5) == (2,)
    assert peek(tris, "<4I", 16 * 2) == (4, 5, 6, 1)
    assert peek(uvs, "<2f", 12 * 4) == (0.5, 0.5)
    assert peek(polys, "<h", 12 + 8) == (-3,)


@pytest.mark.parametrize("garbage_fill", [False, True])
def test_export_record(garbage_fill):
    ob = QUAD.export_object("Ob" * 20, "Mat", custom_normals=QUAD.normals,
                            instances=np.arange(24).reshape(2, 3, 4), loop_count=5)
    recs = export_records([ExportObject("first"), ob], "310", garbage_fill=garbage_fill, rng=1)
    base = recs.address + 168
    assert ctypes.string_at(base, 33)[:33] == b"Ob" * 16 + b"\0"
    assert ctypes.string_at(base + 33, 4) == b"Mat\0"
    ptrs = dict(zip(["verts", "normals", "loops", "uvs", "tris"],
                    peek(base, "<QQxxxxxxxxQQQ", 72)))
    assert peek(base, "<ixxxxixxxxi", 120) == (4, 5, 3)
    inst, inst_count, custom = peek(base, "<QixxxxQ", 144)
    assert inst_count == 2
    assert peek(inst, "<4f", 48 + 16 * 2) == (20, 21, 22, 23)
    assert peek(custom, "<3f", 12) == (0, 0, -1)
    assert peek(ptrs["normals"], "<3f", 24) == (1, 0, 0)
    assert peek(ptrs["verts"], "<3f", 16 * 3) == (0, 1, 0)
    assert peek(ptrs["tris"], "<3I", 16) == (0, 2, 3)
    first = peek(recs.address, "<QQxxxxxxxxQQQixxxxixxxxixxxxQixxxxQ", 72)
    assert first == (0,) * 5 + (0, 0, 0, 0, 0, 0)


def test_camera_record():
    m = np.arange(16, dtype=np.float32).reshape(4, 4)
    recs = camera_records([Camera("a", 1, m), Camera("é" * 40, 0.5, m * 2)], garbage_fill=True)
    second = recs.address + 136
    assert ctypes.string_at(second, 68) == "é".encode() * 33 + b"\xc3\0"
    assert peek(second, "<f", 68) == (0.5,)
    assert peek(second, "<4f", 72 + 16 * 3) == (24, 26, 28, 30)


@pytest.mark.skipif(shutil.which("g++") is None, reason="needs g++")
def test_the_module_and_the_numpy_layouts_agree(tmp_path):
    """Every field offset and size, and every stride, that the module reads
    (tests/cpp/layout_check.cpp prints them from its own layout header)
    against the dtypes of norvik_records.layouts, each dtype field covered."""
    exe = tmp_path / "layout_check"
    subprocess.run(["g++", "-std=c++20", "-I", os.path.join(ROOT, "src"),
                    os.path.join(ROOT, "tests", "cpp", "layout_check.cpp"), "-o", str(exe)],
                   check=True)
    lines = subprocess.run([str(exe)], capture_output=True, text=True, check=True).stdout
    seen = set()
    for line in lines.splitlines():
        name, what, *numbers = line.split()
        dtype = getattr(layouts, name)
        if what == "itemsize":
            assert dtype.itemsize == int(numbers[0]), line
            continue
        form, offset = dtype.fields[what][:2]
        assert (offset, form.itemsize) == (int(numbers[0]), int(numbers[1])), line
        seen.add((name, what))
    for name in layouts.__all__:
        dtype = getattr(layouts, name)
        if isinstance(dtype, np.dtype):
            for field in dtype.names:
                assert (name, field) in seen, (name, field)
