"""The camera document of ``norvik.export_scenes``, compared byte for byte with the model."""
import os

import numpy as np
import pytest

import norvik
from platform_support import on_disk
from norvik_records import Camera, camera_records

import docmodel as dm
from samples import NAMES, values

NAN, INF = float("nan"), float("inf")
PLACED = [(1, 0, 0, 1), (0, 1, 0, 2), (0, 0, 1, 3), (0, 0, 0, 1)]


def check(cameras, path, c_stdout, garbage_fill=True, seed=0):
    recs = camera_records(cameras, garbage_fill=garbage_fill, rng=seed)
    ok = norvik.export_scenes(recs.address, recs.count, path)
    doc, msgs = dm.camera_document(cameras)
    with open(path, "rb") as f:
        assert f.read() == doc
    assert c_stdout() == msgs
    assert ok is True
    return doc, msgs


def test_worked_example(out_path, c_stdout):
    doc, _ = check([Camera("Cam", 0.5, PLACED)], out_path, c_stdout)
    assert doc == on_disk(
        b'{\n\t"Cam" : {\n\t\t"fov" : 0.5000,\n\t\t"matrix" : [100.0000,0.0000,0.0000,0.0000,'
        b'0.0000,100.0000,0.0000,0.0000,0.0000,0.0000,100.0000,0.0000,'
        b'100.0000,200.0000,300.0000,1.0000]\n\t}\n}')


@pytest.mark.parametrize("cameras, messages, fragment", [
    ([Camera("A", 0.25, PLACED), Camera("B", 1, np.eye(4))], "",
     b'\n\t},\n\t"B" : {\n\t\t"fov" : 1.0000,'),
    ([Camera("N", NAN, [(INF, 0, 0, 0), (0, 1e37, 0, 0), (0, 0, 1, -INF), (0, 0, 0, NAN)])],
     dm.WARN_CAMERAS * 5,
     b'"fov" : 0.0000,\n\t\t"matrix" : [0.0000,0.0000,0.0000,0.0000,0.0000,0.0000,0.0000,'
     b'0.0000,0.0000,0.0000,100.0000,0.0000,0.0000,0.0000,0.0000,0.0000]'),
    ([Camera(b'q"\\\x02' + "é".encode() * 40, -0.0, -np.eye(4) * 0.03125)], "",
     b'"q\\"\\\\\\u0002' + "é".encode() * 31 + b'\xc3" : {\n\t\t"fov" : -0.0000,\n'
     b'\t\t"matrix" : [-3.1250,-0.0000,-0.0000,-0.0000,'),
], ids=["two", "nonfinite", "texts"])
def test_cases(cameras, messages, fragment, out_path, c_stdout):
    doc, msgs = check(cameras, out_path, c_stdout)
    assert msgs == messages
    assert on_disk(fragment) in doc


@pytest.mark.parametrize("seed", range(8))
def test_random_cameras(seed, out_path, c_stdout):
    rng = np.random.default_rng(seed)
    nonfinite = 0.05 if seed % 2 else 0.0
    cameras = [Camera(NAMES[rng.integers(len(NAMES))], values(rng, (), nonfinite),
                      values(rng, (4, 4), nonfinite))
               for _ in range(int(rng.integers(1, 6)))]
    check(cameras, out_path, c_stdout, garbage_fill=seed % 3 != 0, seed=seed)


@pytest.mark.parametrize("address, count", [(None, 0), (None, -5), (0, 2)])
def test_no_sections(address, count, out_path, c_stdout):
    recs = camera_records([Camera("Cam", 0.5, PLACED)])
    address = recs.address if address is None else address
    assert norvik.export_scenes(address, count, out_path) is True
    with open(out_path, "rb") as f:
        assert f.read() == on_disk(b"{\n}")
    assert c_stdout() == ""


@pytest.mark.parametrize("path, message", [
    (b"/nonexistent-dir/x/cams.json", dm.ERR_OPEN),
    (b"/dev/full", dm.ERR_WRITE),
])
def test_file_errors(path, message, c_stdout):
    recs = camera_records([Camera("Cam", 0.5, PLACED)])
    assert norvik.export_scenes(recs.address, recs.count, path) is False
    assert c_stdout() == message
    assert path == b"/dev/full" or not os.path.exists(path)


@pytest.mark.parametrize("version", [(3, 0, 0), (3, 4, 1), None])
def test_independent_of_host_version(version, b3d_version, out_path, c_stdout):
    b3d_version(version)
    check([Camera("Cam", 0.5, PLACED)], out_path, c_stdout)
