"""The add-on's own copy of the record layouts, and its name cutting (no Blender needed)."""
import importlib.util
import os

import numpy as np
import pytest

import norvik_records

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def _load_layouts():
    # The add-on package itself imports bpy; its layouts module does not.
    path = os.path.join(ROOT, "addon", "norvik_exporter", "layouts.py")
    spec = importlib.util.spec_from_file_location("addon_layouts", path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


layouts = _load_layouts()


def _offsets(dtype):
    return {name: (dtype.fields[name][1], dtype.fields[name][0].itemsize) for name in dtype.names}


@pytest.mark.parametrize("ours, theirs, renamed", [
    (layouts.EXPORT_OBJECT, norvik_records.EXPORT_OBJECT_RECORD, {}),
    (layouts.CAMERA, norvik_records.CAMERA_RECORD, {}),
    (layouts.HOST_MESH, norvik_records.HOST_MESH, {}),
    (layouts.VERTEX, norvik_records.VERTEX_310, {}),
    (layouts.LOOP, norvik_records.LOOP, {}),
    (layouts.LOOPTRI, norvik_records.LOOPTRI, {"loops": "tri"}),
    (layouts.UV, norvik_records.UV, {}),
    (layouts.POLY, norvik_records.POLY, {"material_index": "mat_nr"}),
])
def test_layouts_agree_with_the_reference_records(ours, theirs, renamed):
    assert ours.itemsize == theirs.itemsize
    mine = {renamed.get(k, k): v for k, v in _offsets(ours).items()}
    assert mine == _offsets(theirs)


def test_instance_rows_are_the_first_three_matrix_rows():
    m = [[1, 2, 3, 4], [5, 6, 7, 8], [9, 10, 11, 12], [0, 0, 0, 1]]
    rows = layouts.instance_rows([m, m])
    assert rows.dtype == np.float32 and rows.shape == (2, 3, 4)
    assert rows.tobytes()[:48] == np.asarray(m[:3], np.float32).tobytes()


class TestFitText:
    @pytest.mark.parametrize("text", ["", "Suzanne", "x" * 32])
    def test_short_names_are_kept(self, text):
        assert layouts.fit_text(text, 33) == text.encode()

    @pytest.mark.parametrize("char", ["a", "é", "€", "\U0001F600"])
    @pytest.mark.parametrize("size", [33, 39, 68])
    def test_long_names_are_cut_between_characters(self, char, size):
        text = "N" + char * 80
        cut = layouts.fit_text(text, size)
        assert len(cut) <= size - 1
        decoded = cut.decode("utf-8")                 # strict: no half character
        assert text.startswith(decoded)
        # As much as fits: one more character would not.
        assert len(text[:len(decoded) + 1].encode()) > size - 1

    def test_cut_name_fills_a_record_with_its_nul(self):
        rec = np.zeros(1, layouts.EXPORT_OBJECT)
        rec["name"] = layouts.fit_text("ü" * 40, layouts.NAME_SIZE)
        raw = rec.tobytes()
        assert raw[:32] == ("ü" * 16).encode() and raw[32] == 0
