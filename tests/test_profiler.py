"""Profiler events, traceback entries and unraisable reports of norvik's routines."""
import cProfile
import io
import pstats
import sys
import traceback

import numpy as np
import pytest

import norvik
from norvik_records import Camera, Mesh, camera_records, export_records

QUAD = Mesh([(0, 0, 0), (1, 0, 0), (1, 1, 0), (0, 1, 0)], [(0, 1, 2, 3)],
            uvs=[(0, 0), (1, 0), (1, 1), (0, 1)], materials=[1])
TRI = Mesh([(0, 0, 0), (1, 0, 0), (0, 1, 0)], [(0, 1, 2)])


class Recorder:
    """A profile function that keeps norvik's events as (event, name, result)."""

    def __init__(self, raise_on=None):
        self.events = []
        self.raise_on = raise_on

    def __call__(self, frame, event, arg):
        code = frame.f_code
        if code.co_filename != "norvik.cpp":
            return
        if isinstance(arg, np.ndarray):
            arg = "array"
        self.events.append((event, code.co_name, arg))
        if self.raise_on == (event, code.co_name):
            raise KeyError("from the profiler")

    def run(self, fn, *args):
        sys.setprofile(self)
        try:
            return fn(*args)
        finally:
            sys.setprofile(None)


def nested(*calls):
    """Expected events for routines entered and left in order: (name, result, children)."""
    out = []
    for name, result, children in calls:
        out.append(("call", name, None))
        out.extend(nested(*children))
        out.append(("return", name, result))
    return out


def leaf(name):
    return (name, None, ())


def object_section(gen, n_verts, instances):
    normals = ("write_mesh_normals__293_to_300", None,
               [leaf("normal_short_to_float_v3")] * n_verts) if gen == "293" else \
        leaf("write_mesh_normals__310_to_current")
    uvs = ("write_mesh_uvs", None, [leaf("filter_nan")] * (2 * n_verts))
    children = [leaf("write_object_name"), leaf("write_object_material"),
                leaf(f"write_mesh_vertices__{'293_to_300' if gen == '293' else '310_to_current'}"),
                normals, uvs, leaf("write_mesh_indices")]
    if instances:
        children.append(leaf("write_object_instances"))
    return children


@pytest.mark.parametrize("generation", ["310", "293"], indirect=True)
def test_export_of_two_objects_reports_every_routine_nested(generation, out_path):
    recs = export_records([QUAD.export_object("Quad", "M", instances=np.eye(3, 4)),
                           QUAD.export_object("Again", "M")], generation=generation)
    rec = Recorder()
    assert rec.run(norvik.export, recs.address, recs.count, out_path, False) is True
    sections = object_section(generation, 4, True) + object_section(generation, 4, False)
    routine = "export__293_to_300" if generation == "293" else "export__310_to_current"
    assert rec.events == nested(("export (wrapper)", True, [
        ("export", True, [(routine, None, sections)])]))


def test_camera_export_events(out_path):
    cams = camera_records([Camera("Cam", 0.5, np.eye(4))])
    rec = Recorder()
    assert rec.run(norvik.export_scenes, cams.address, cams.count, out_path) is True
    assert rec.events == nested(("export_scenes (wrapper)", True, [("export_scenes", True, ())]))


def test_array_function_events(b3d_version):
    b3d_version((3, 4, 1))
    host = QUAD.host_arrays("310")
    normals = np.zeros(12, np.float32)
    mi = np.ones(2, np.int32)
    tpm = np.array([0, 2], np.int32)
    rec = Recorder()
    rec.run(norvik.get_mesh_tri_data, host.address)
    rec.run(norvik.get_material_indices, host.address)
    rec.run(norvik.get_tri_count_per_material_index, mi, 1)
    rec.run(norvik.get_mesh_tri_data_multi_material, host.address, mi, tpm, normals)
    rec.run(norvik.get_mesh_tri_data_multi_material__293_to_300, QUAD.host_arrays("293").address,
            mi, tpm, normals)
    fill = "get_mesh_tri_data_multi_material__310_to_current"
    assert rec.events == nested(
        ("get_mesh_tri_data (wrapper)", "array", [("get_mesh_tri_data", "array", ())]),
        ("get_material_indices (wrapper)", "array", [("get_material_indices", "array", ())]),
        ("get_tri_count_per_material_index (wrapper)", "array",
         [("get_tri_count_per_material_index", "array", ())]),
        ("get_mesh_tri_data_multi_material (wrapper)", "array", [
            ("get_mesh_tri_data_multi_material", "array", [(fill, "array", ())])]),
        ("get_mesh_tri_data_multi_material__293_to_300 (wrapper)", "array", [
            ("get_mesh_tri_data_multi_material__293_to_300", "array", ())]),
    )


def entries(exc):
    return [f.name for f in traceback.extract_tb(exc.__traceback__) if f.filename == "norvik.cpp"]


def test_failing_call_returns_none_and_keeps_its_traceback(b3d_version):
    b3d_version((3, 4, 1))
    host = QUAD.host_arrays("310")
    rec = Recorder()
    with pytest.raises(AttributeError) as info:
        rec.run(norvik.get_mesh_tri_data_multi_material, host.address,
                np.ones(2, np.int32), np.array([0, 2], np.int32), None)
    fill = "get_mesh_tri_data_multi_material__310_to_current"
    assert rec.events == nested(("get_mesh_tri_data_multi_material (wrapper)", None, [
        ("get_mesh_tri_data_multi_material", None, [(fill, None, ())])]))
    # Outermost first: the function, then the fill of the generation it chose.
    assert entries(info.value) == ["norvik.get_mesh_tri_data_multi_material", "norvik." + fill]


def test_argument_errors_are_reported_before_any_event():
    rec = Recorder()
    with pytest.raises(TypeError) as info:
        rec.run(norvik.get_tri_count_per_material_index, [0], 1)
    assert rec.events == []
    assert entries(info.value) == ["norvik.get_tri_count_per_material_index"]


@pytest.mark.parametrize("event", ["call", "return"])
def test_raising_profile_function_fails_an_array_function(event):
    rec = Recorder(raise_on=(event, "get_tri_count_per_material_index"))
    with pytest.raises(KeyError, match="from the profiler") as info:
        rec.run(norvik.get_tri_count_per_material_index, np.zeros(3, np.int32), 2)
    assert "norvik.get_tri_count_per_material_index" in entries(info.value)
    assert sys.getprofile() is None


@pytest.mark.parametrize("routine, result", [
    ("export", False),                 # the whole export fails the unraisable way
    ("write_mesh_uvs", True),          # one section writer fails; the export goes on
])
def test_raising_profile_function_in_export_is_unraisable(routine, result, out_path, monkeypatch):
    seen = []
    monkeypatch.setattr(sys, "unraisablehook", lambda u: seen.append((u.exc_type, u.object)))
    recs = export_records([QUAD.export_object("Quad", "M")])
    rec = Recorder(raise_on=("call", routine))
    assert rec.run(norvik.export, recs.address, recs.count, out_path, False) is result
    assert seen == [(KeyError, "norvik." + routine)]


@pytest.mark.skipif(sys.version_info >= (3, 12),
                    reason="cProfile listens to sys.monitoring from 3.12 on, not to the profile hook")
def test_cprofile_counts_calls_per_routine(out_path):
    recs = export_records([TRI.export_object("A"), TRI.export_object("B"), TRI.export_object("C")])
    prof = cProfile.Profile()
    for _ in range(2):
        prof.runcall(norvik.export, recs.address, recs.count, out_path, False)
    stats = pstats.Stats(prof, stream=io.StringIO()).stats
    calls = {name: data[1] for (filename, line, name), data in stats.items()
             if filename == "norvik.cpp"}
    assert calls["export (wrapper)"] == 2
    assert calls["export"] == 2
    assert calls["export__310_to_current"] == 2
    assert calls["write_object_name"] == 6
    assert calls["write_default_mesh_uvs"] == 6
    assert calls["write_mesh_indices"] == 6


def test_no_events_inside_a_profile_callback(out_path):
    """A profiler that calls norvik itself does not see norvik's events of that call."""
    recs = export_records([TRI.export_object("A")])
    inner = []

    def prof(frame, event, arg):
        if event == "call" and frame.f_code.co_name == "export (wrapper)":
            inner.append(norvik.get_tri_count_per_material_index(np.zeros(1, np.int32), 1))

    sys.setprofile(prof)
    try:
        norvik.export(recs.address, recs.count, out_path, False)
    finally:
        sys.setprofile(None)
    assert len(inner) == 1 and inner[0].tolist() == [1]


def test_start_up_is_reported_once_per_import():
    """Steps binding np, bpy and b3d_version are one call, seen only on the first import."""
    import json
    import os
    import subprocess
    code = f"""
import importlib, json, sys
sys.path[:0] = [{os.path.dirname(norvik.__file__)!r}, {os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "tools", "host_stub")!r}]
events = []
def prof(frame, event, arg):
    if frame.f_code.co_filename == "norvik.cpp":
        events.append([event, frame.f_code.co_name])
sys.setprofile(prof)
import norvik
importlib.reload(norvik)
sys.setprofile(None)
print(json.dumps(events))
"""
    proc = subprocess.run([sys.executable, "-I", "-c", code], capture_output=True, text=True, timeout=60)
    assert proc.returncode == 0, proc.stderr
    assert json.loads(proc.stdout) == [["call", "PyInit_norvik"], ["return", "PyInit_norvik"]]
