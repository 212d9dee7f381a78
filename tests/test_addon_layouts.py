"""What the add-on fills records with: its layouts and its name cutting (no Blender needed)."""
import importlib.util
import os

import numpy as np
import pytest

import norvik_records
from norvik_records import fit_text, instance_rows

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def _load_layouts():
    # The add-on package itself imports bpy; its layouts module does not.
    path = os.path.join(ROOT, "addon", "norvik_exporter", "layouts.py")
    spec = importlib.util.spec_from_file_location("addon_layouts", path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def test_the_add_on_uses_the_one_set_of_layouts():
    layouts = _load_layouts()
    assert layouts.EXPORT_OBJECT is norvik_records.EXPORT_OBJECT_RECORD
    assert layouts.CAMERA is norvik_records.CAMERA_RECORD
    assert layouts.VERTEX is norvik_records.VERTEX_310
    assert layouts.fit_text is fit_text


def test_instance_rows_are_the_first_three_matrix_rows():
    m = [[1, 2, 3, 4], [5, 6, 7, 8], [9, 10, 11, 12], [0, 0, 0, 1]]
    rows = instance_rows([m, m])
    assert rows.dtype == np.float32 and rows.shape == (2, 3, 4)
    assert rows.tobytes()[:48] == np.asarray(m[:3], np.float32).tobytes()


class TestFitText:
    @pytest.mark.parametrize("text", ["", "Suzanne", "x" * 32])
    def test_short_names_are_kept(self, text):
        assert fit_text(text, 33) == text.encode()

    @pytest.mark.parametrize("char", ["a", "é", "€", "\U0001F600"])
    @pytest.mark.parametrize("size", [33, 39, 68])
    def test_long_names_are_cut_between_characters(self, char, size):
        text = "N" + char * 80
        cut = fit_text(text, size)
        assert len(cut) <= size - 1
        decoded = cut.decode("utf-8")                 # strict: no half character
        assert text.startswith(decoded)
        # As much as fits: one more character would not.
        assert len(text[:len(decoded) + 1].encode()) > size - 1

    def test_cut_name_fills_a_record_with_its_nul(self):
        rec = np.zeros(1, norvik_records.EXPORT_OBJECT_RECORD)
        rec["name"] = fit_text("ü" * 40, norvik_records.NAME_SIZE)
        raw = rec.tobytes()
        assert raw[:32] == ("ü" * 16).encode() and raw[32] == 0
