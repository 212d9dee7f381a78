"""Nothing lost between the add-on and the engine, without Blender.

Unique document keys, documents replaced only after a complete write, and the
document checker (``python -m norvik_records.check``) on documents norvik
writes and on broken ones.
"""
import contextlib
import io
import json
import os
import subprocess
import sys
import time

import numpy as np
import pytest

import norvik
from norvik_records import (CAMERA_NAME_SIZE, MATERIAL_SIZE, NAME_SIZE, Camera, Mesh,
                            ReplaceFiles, camera_records, export_records, fit_text, unique_keys)
from norvik_records import check

from test_file_faults import big_mesh, mounted  # noqa: F401  (fixture)

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
LONG = "Building_Facade_Window_Left_Upper_%02d"


class TestUniqueKeys:
    def test_the_reported_collision(self):
        keys = unique_keys([LONG % i for i in range(3)], NAME_SIZE)
        assert keys == [b"Building_Facade_Window_Left_Uppe", b"Building_Facade_Window_Left_Up~2",
                        b"Building_Facade_Window_Left_Up~3"]

    @pytest.mark.parametrize("size", [NAME_SIZE, MATERIAL_SIZE, CAMERA_NAME_SIZE])
    def test_keys_fit_differ_and_keep_what_they_can(self, size):
        rng = np.random.default_rng(13)
        chars = ["a", "é", "€", "\U0001F600", "~", "2"]
        names = ["".join(rng.choice(chars, rng.integers(1, size + 12))) for _ in range(300)]
        names += [names[5]] * 3                              # one name, several objects
        names += [LONG % 1] * 120 + [LONG % 1 + "~2", "A", "A", "A~2"]   # numbered names exist
        keys = unique_keys(names, size)
        assert len(set(keys)) == len(keys)
        for name, key in zip(names, keys):
            assert len(key) <= size - 1
            text = key.decode("utf-8")                       # strict: no half character
            fits = len(name.encode()) <= size - 1
            if text != name:
                base, _, number = text.rpartition("~")
                assert text == fit_text(name, size).decode() or (
                    name.startswith(base) and number.isdigit() and int(number) >= 2), (name, text)
        # A name that fits and comes first is kept, even where a later cut name
        # or a numbered key would have wanted it.
        firsts = {}
        for name, key in zip(names, keys):
            if len(name.encode()) <= size - 1:
                firsts.setdefault(name, key)
        assert all(key == name.encode() for name, key in firsts.items())
        assert keys[names.index("A~2")] == b"A~2" and keys[names.index("A") + 1] == b"A~3"

    def test_many_collisions_stay_fast(self):
        names = [LONG % 0] * 20000
        start = time.perf_counter()
        keys = unique_keys(names, NAME_SIZE)
        assert time.perf_counter() - start < 10
        assert keys[-1].endswith(b"~20000") and len(set(keys)) == 20000


def write_scene(path, objects):
    recs = export_records(objects, "310")
    assert norvik.export(recs.address, recs.count, os.fsencode(path), False) is True


def sample_objects():
    tri = Mesh([(0, 0, 0), (1, 0, 0), (0, 1, 0)], [(0, 1, 2)], uvs=[(0, 0), (1, 0), (0, 1)])
    quad = Mesh([(-2, -1, 0), (2, -1, 0), (2, 1, 5), (-2, 1, 5)], [(0, 1, 2, 3)])
    place = np.eye(3, 4, dtype=np.float32)
    return [tri.export_object("Tri", "Mat"),
            quad.export_object('Quad "Säule" \\ ü', "", instances=[place, place * 2])]


class TestReplaceFiles:
    def previous(self, *paths):
        for path in paths:
            path.write_text("previous " + path.name)

    def assert_unchanged(self, *paths):
        for path in paths:
            assert path.read_text() == "previous " + path.name
            assert sorted(os.listdir(path.parent)) == sorted(p.name for p in paths
                                                             if p.parent == path.parent)

    def test_commit_replaces_in_place_with_the_old_mode(self, tmp_path):
        # Windows keeps no permission bits, and symbolic links need a privilege there.
        posix = sys.platform != "win32"
        folder = tmp_path / "dossier été 日本"
        folder.mkdir()
        target, link = folder / "scène.json", folder / "link.json"
        self.previous(target)
        if posix:
            target.chmod(0o640)
            link.symlink_to(target)
        with ReplaceFiles() as files:
            temp = files.temporary(str(link if posix else target))
            assert os.path.dirname(temp) == str(folder) and os.path.getsize(temp) == 0
            write_scene(temp, sample_objects())
            files.commit()
        if posix:
            assert link.is_symlink() and target.stat().st_mode & 0o777 == 0o640
        assert set(json.loads(target.read_text(encoding="utf-8"))) == {"Tri", 'Quad "Säule" \\ ü'}
        assert sorted(os.listdir(folder)) == ["link.json", "scène.json"][not posix:]

    @pytest.mark.skipif(sys.platform != "win32", reason="only Windows refuses to replace an open file")
    def test_a_target_held_open_stays_and_is_named(self, tmp_path):
        target = tmp_path / "scene.json"
        self.previous(target)
        with open(target, "rb"):                # another program reading it
            with ReplaceFiles() as files:
                write_scene(files.temporary(str(target)), sample_objects())
                with pytest.raises(OSError) as failed:
                    files.commit()
        assert os.path.samefile(failed.value.filename, target)
        self.assert_unchanged(target)

    def test_a_failed_write_leaves_every_previous_document(self, mounted, tmp_path):  # noqa: F811
        full, roomy = mounted("size=64k"), tmp_path / "roomy"
        roomy.mkdir()
        first, second = roomy / "scene.json", full / "scene_cameras.json"
        self.previous(first, second)
        with ReplaceFiles() as files:
            write_scene(files.temporary(str(first)), sample_objects())
            recs = export_records([big_mesh().export_object("Big", "M")], "310")
            assert norvik.export(recs.address, recs.count,
                                 os.fsencode(files.temporary(str(second))), False) is False
        self.assert_unchanged(first, second)

    def test_a_read_only_folder_refuses_the_new_file(self, mounted):  # noqa: F811
        where = mounted("size=64k")
        target = where / "scene.json"
        self.previous(target)
        subprocess.run(["mount", "-o", "remount,ro", str(where)], check=True)
        with ReplaceFiles() as files, pytest.raises(OSError):
            files.temporary(str(target))
        self.assert_unchanged(target)


def run_check(*paths):
    """The checker's command line, in this process: (status, stdout + stderr lines)."""
    so, se = io.StringIO(), io.StringIO()
    with contextlib.redirect_stdout(so), contextlib.redirect_stderr(se):
        status = check.main([str(p) for p in paths])
    out, err = so.getvalue(), se.getvalue()
    return status, out, err


class TestChecker:
    def test_documents_norvik_writes_pass(self, tmp_path):
        scene, cameras = tmp_path / "scene.json", tmp_path / "cameras.json"
        write_scene(scene, sample_objects())
        recs = camera_records([Camera("Cam", 0.5, [[1, 0, 0, 1], [0, 1, 0, 2], [0, 0, 1, 3],
                                                   [0, 0, 0, 1]])])
        norvik.export_scenes(recs.address, recs.count, os.fsencode(cameras))
        status, out, err = run_check(scene, cameras)
        assert (status, err) == (0, "")
        assert '"Tri": 3 vertices, 1 triangles, 0 placements, bounds (0, 0, 0) to (1, 1, 0)' in out
        assert '"Quad \\"Säule\\" \\\\ ü": 4 vertices, 2 triangles, 2 placements' in out
        assert '"Cam": fov 0.5, at (1, 2, 3)' in out

    def test_the_installed_package_runs_it(self, tmp_path):
        """``python -m norvik_records.check`` from the installed wheel, not the source tree."""
        scene = tmp_path / "scene.json"
        write_scene(scene, sample_objects())
        env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
        where = subprocess.run([sys.executable, "-c", "import norvik_records.check as c; "
                                "print(c.__file__)"], capture_output=True, text=True, env=env,
                               cwd=str(tmp_path))
        if where.returncode != 0:
            pytest.skip("norvik_records is not installed (tools/build.sh)")
        assert not where.stdout.startswith(os.path.join(ROOT, "python"))
        run = subprocess.run([sys.executable, "-m", "norvik_records.check", str(scene)],
                             capture_output=True, text=True, env=env, cwd=str(tmp_path))
        assert run.returncode == 0, run.stderr
        assert "2 objects, no problems" in run.stdout

    GOOD = {"material": "M", "vertices": [0, 0, 0, 1, 0, 0, 0, 1, 0], "normals": [0, 0, 1] * 3,
            "uv": [0, 0] * 3, "indices": [0, 1, 2], "instances": [[1.0] * 16]}
    BROKEN = [
        ("normals", [0, 0, 1] * 2, "normals holds 6 numbers for 3 vertices (9 expected)"),
        ("uv", [0, 0] * 4, "uv holds 8 numbers for 3 vertices (6 expected)"),
        ("vertices", [0] * 10, "vertices holds 10 numbers, not a multiple of 3"),
        ("indices", [0, 1, 2, 0], "indices holds 4 numbers, not a multiple of 3"),
        ("indices", [0, 1, 3], "index 3 is not below the vertex count 3"),
        ("indices", [0, -1, 2], "index -1 is not below the vertex count 3"),
        ("indices", [0, 1, 2.0], "indices holds something other than whole numbers"),
        ("instances", [[1.0] * 16, [1.0] * 15], "instance 1 is not a list of 16 numbers"),
        ("instances", [[1.0] * 15 + ["x"]], "instance 0 holds something other than numbers"),
        ("vertices", [0, 0, 0, 1, 0, float("nan"), 0, 1, 0], "vertices: number 5 is not finite"),
        ("uv", [0, 0, 0, 0, 0, float("inf")], "uv: number 5 is not finite"),
        ("instances", [[1.0] * 15 + [float("-inf")]], "instance 0: a number is not finite"),
        ("vertices", None, "no vertices list"),
        ("normals", [[0, 0, 1]] * 3, "normals holds something other than numbers"),
    ]

    @pytest.mark.parametrize("key, value, problem", BROKEN)
    def test_broken_sections_are_named(self, tmp_path, key, value, problem):
        section = dict(self.GOOD)
        if value is None:
            del section[key]
        else:
            section[key] = value
        path = tmp_path / "scene.json"
        path.write_text(json.dumps({"Fine": self.GOOD, "Wall": section}))   # NaN written as NaN
        status, out, err = run_check(path)
        assert status == 1 and out == ""
        assert err == "%s: object \"Wall\": %s\n" % (path, problem)

    @pytest.mark.parametrize("text, problem", [
        ('{"A": %s, "A": %s}', '"A" appears more than once'),
        ('{"A": %s, "B": {"uv": [], "uv": []}}', 'object "B": "uv" appears more than once'),
        ('[%s, %s]', "the document is not a JSON object"),
        pytest.param('{"A": %s, "B": ' + "[" * 100000 + "]" * 100000 + "}",
                     "not valid JSON: nested too deeply", id="nested-too-deeply"),
    ])
    def test_duplicate_keys_and_shapes(self, tmp_path, text, problem):
        path = tmp_path / "scene.json"
        good = json.dumps(self.GOOD)
        path.write_text(text.replace("%s", good))
        status, _, err = run_check(path)
        assert status == 1 and problem in err, err

    def test_a_cut_off_document_names_the_object_it_stops_in(self, tmp_path):
        path = tmp_path / "scene.json"
        write_scene(path, sample_objects())
        data = path.read_bytes()
        path.write_bytes(data[:data.index(b'"instances"')])
        status, _, err = run_check(path)
        assert status == 1
        assert 'not valid JSON in object "Quad \\"Säule\\" \\\\ ü"' in err, err

    def test_cameras_and_unreadable_files(self, tmp_path):
        scene, cameras = tmp_path / "scene.json", tmp_path / "cameras.json"
        scene.write_text(json.dumps({"Fine": self.GOOD}))
        cameras.write_text(json.dumps({"Cam": {"fov": 50.0, "matrix": [0.0] * 15},
                                       "Eye": {"fov": float("nan"), "matrix": [0.0] * 16}}))
        status, out, err = run_check(scene, cameras)
        assert status == 1 and "1 object, no problems" in out
        assert 'camera "Cam": matrix holds 15 numbers, not 16' in err
        assert 'camera "Eye": fov is not finite' in err
        assert run_check(tmp_path / "missing.json")[0] == 2
        assert run_check()[0] == 2
