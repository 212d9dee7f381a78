"""Numbers of the scene document against the C runtime's own "%.4f" and "%u"."""
import ctypes
import re

import numpy as np
import pytest

import norvik
from norvik_records import ExportObject, export_records

from platform_support import c_format


def float32_samples(seed=7):
    """Finite float32 values that stress rounding: ties, tiny and huge magnitudes, denormals."""
    rng = np.random.default_rng(seed)
    f32 = np.float32
    odd = np.arange(-4097, 4098, 2)
    groups = [
        odd / f32(32),                                             # exact ties at the 5th decimal
        rng.choice(np.arange(-(2 ** 19) + 1, 2 ** 19, 2), 4000) / f32(32),
        rng.choice(np.arange(1, 2 ** 15, 2), 2000) / f32(2 ** 15),  # finer dyadic fractions
    ]
    # Neighbourhoods of the decimal halfway points (m + 1/2) * 1e-4.
    mid = ((rng.integers(-10 ** 6, 10 ** 6, 3000) + 0.5) * 1e-4).astype(f32)
    for step in range(-2, 3):
        groups.append(mid if step == 0 else
                      np.nextafter(mid, f32(np.copysign(np.inf, step)), dtype=f32))
    bits = rng.integers(0, 2 ** 32, 20000, dtype=np.uint64).astype(np.uint32)
    groups.append(bits.view(f32))                                    # every exponent
    denormal = rng.integers(1, 2 ** 23, 1000, dtype=np.uint32)
    groups += [denormal.view(f32), (denormal | np.uint32(2 ** 31)).view(f32)]
    big = 2.0 ** 24
    groups += [
        f32([0.0, -0.0, -1e-5, -4.9999e-5, -5e-5, -5.0001e-5, 5e-5, 4.9999e-5, 1e-4, -1e-45]),
        (big + np.arange(-8, 9)).astype(f32), (-big + np.arange(-8, 9)).astype(f32),
        np.geomspace(1e15, 3.4e38, 400).astype(f32), -np.geomspace(1e15, 3.4e38, 400).astype(f32),
        f32([np.finfo(f32).max, -np.finfo(f32).max, np.finfo(f32).tiny]),
    ]
    values = np.concatenate([np.asarray(g, f32) for g in groups])
    values = values[np.isfinite(values)]
    pad = (-len(values)) % 3
    return np.concatenate([values, np.zeros(pad, f32)])


def list_items(doc, key):
    match = re.search(rb'"' + key + rb'" : \[([^\]]*)\]', doc)
    return match.group(1).split(b",")


@pytest.fixture(scope="module")
def samples():
    return float32_samples()


@pytest.mark.parametrize("generation", ["310"], indirect=True)
def test_floats_match_c_runtime(samples, generation, tmp_path):
    n = len(samples) // 3
    positions = samples.reshape(-1, 3)
    normals = np.roll(samples, 1).reshape(-1, 3)
    # Triangles over boundary indices (9, 10, 99, 100, ...) and random ones.
    bounds = [i for k in range(1, 7) for i in (10 ** k - 1, 10 ** k) if i < n]
    rng = np.random.default_rng(1)
    vertex_ids = np.concatenate([[0, n - 1], bounds, rng.integers(0, n, 3000)]).astype(np.uint32)
    vertex_ids = vertex_ids[:len(vertex_ids) // 3 * 3]
    ob = ExportObject("Numbers", "", positions, vert_normals=normals, loop_vertices=vertex_ids,
                      tri_loops=np.arange(len(vertex_ids)).reshape(-1, 3))
    recs = export_records([ob], generation)
    path = str(tmp_path / "numbers.json").encode()
    assert norvik.export(recs.address, recs.count, path, False) is True
    doc = open(path, "rb").read()

    for key, vals in [(b"vertices", samples), (b"normals", normals.reshape(-1))]:
        got = list_items(doc, key)
        assert len(got) == 3 * n
        want = [c_format(b"%.4f", ctypes.c_double(float(x))) for x in vals]
        bad = [(float(x), w, g) for x, w, g in zip(vals, want, got) if w != g]
        assert not bad[:20], "%d of %d numbers differ" % (len(bad), len(got))

    got = list_items(doc, b"indices")
    want = [c_format(b"%u", ctypes.c_uint(int(v))) for v in vertex_ids]
    assert got == want


def test_reference_formatter_agrees_with_python(samples):
    """The documents' model formats with Python; it must agree with C on every sample."""
    picked = samples[::7]
    assert [("%.4f" % float(x)).encode() for x in picked] == \
        [c_format(b"%.4f", ctypes.c_double(float(x))) for x in picked]
