"""Output files that cannot be opened or written: a message, False, never an exception.

Both writers, for a path that cannot be opened (a directory, a missing or
read-only directory) and for writes that fail (a full device, a disk that
fills in the middle of a large document, a file size limit).
"""
import os
import shutil
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import norvik
from norvik_records import Camera, Mesh, camera_records, export_records

import docmodel as dm

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def big_mesh(n=6000):
    """A clean mesh (no messages) whose document is a few hundred kilobytes."""
    rng = np.random.default_rng(5)
    pos = rng.uniform(-1000, 1000, (n, 3)).astype(np.float32)
    faces = [(i, i + 1, i + 2) for i in range(n - 2)]
    return Mesh(pos, faces, uvs=rng.random((3 * (n - 2), 2)))


def scene(objects):
    return export_records(objects, "310")


SMALL = [Mesh([(0, 0, 0), (1, 0, 0), (0, 1, 0)], [(0, 1, 2)]).export_object("Tri", "Mat")]
CAMERAS = [Camera("Cam%d" % i, 0.5, np.eye(4)) for i in range(2000)]


def call_export(path, objects=SMALL):
    recs = scene(objects)
    return norvik.export(recs.address, recs.count, path, False)


def call_export_scenes(path, cameras=CAMERAS[:1]):
    recs = camera_records(cameras)
    return norvik.export_scenes(recs.address, recs.count, path)


WRITERS = {"export": call_export, "export_scenes": call_export_scenes}
BIG = {"export": [big_mesh().export_object("Big", "M")], "export_scenes": CAMERAS}


@pytest.fixture
def no_unraisable(monkeypatch):
    seen = []
    monkeypatch.setattr(sys, "unraisablehook", seen.append)
    yield
    assert seen == []


@pytest.fixture
def mounted(tmp_path):
    """Mounts a tmpfs with the given options at a fresh directory (root only)."""
    mounts = []

    def mount(options):
        if sys.platform == "win32":
            pytest.skip("Windows mounts no tmpfs")
        if os.geteuid() != 0 or shutil.which("mount") is None:
            pytest.skip("mounting a tmpfs needs root and mount(8)")
        where = tmp_path / ("mnt%d" % len(mounts))
        where.mkdir()
        r = subprocess.run(["mount", "-t", "tmpfs", "-o", options, "tmpfs", str(where)],
                           capture_output=True, text=True)
        if r.returncode != 0:
            pytest.skip("cannot mount a tmpfs here: %s" % r.stderr.strip())
        mounts.append(where)
        return where

    yield mount
    for where in mounts:
        subprocess.run(["umount", str(where)], check=False)


@pytest.mark.parametrize("writer", WRITERS)
class TestCannotOpen:
    def check(self, writer, path, c_stdout):
        assert WRITERS[writer](path) is False
        assert c_stdout() == dm.ERR_OPEN

    def test_directory_as_path(self, writer, tmp_path, c_stdout, no_unraisable):
        self.check(writer, os.fsencode(tmp_path), c_stdout)

    def test_missing_directory(self, writer, tmp_path, c_stdout, no_unraisable):
        path = tmp_path / "missing" / "out.json"
        self.check(writer, os.fsencode(path), c_stdout)
        assert not path.parent.exists()

    @pytest.mark.skipif(sys.platform != "win32", reason="any bytes name a file on POSIX")
    def test_a_name_that_is_not_utf8(self, writer, tmp_path, c_stdout, no_unraisable):
        # Windows paths reach norvik as UTF-8; other bytes name no file.
        self.check(writer, os.fsencode(tmp_path) + b"\\bad\xff\xfe.json", c_stdout)
        assert os.listdir(tmp_path) == []

    @pytest.mark.skipif(sys.platform == "win32",
                        reason="a read-only attribute does not stop new files in a Windows folder")
    def test_read_only_directory(self, writer, mounted, tmp_path, c_stdout, no_unraisable):
        if os.geteuid() == 0:
            where = mounted("ro,size=64k")
        else:
            where = tmp_path / "ro"
            where.mkdir()
            where.chmod(0o500)
        path = where / "out.json"
        self.check(writer, os.fsencode(path), c_stdout)
        assert not path.exists()


@pytest.mark.parametrize("writer", WRITERS)
class TestCannotWrite:
    @pytest.mark.parametrize("size", ["small", "big"])
    def test_full_device(self, writer, size, c_stdout, no_unraisable):
        if not os.path.exists("/dev/full"):
            pytest.skip("no /dev/full")
        call = WRITERS[writer]
        result = call(b"/dev/full") if size == "small" else call(b"/dev/full", BIG[writer])
        assert result is False
        assert c_stdout() == dm.ERR_WRITE

    def test_disk_fills_during_a_large_document(self, writer, mounted, c_stdout,
                                                no_unraisable):
        where = mounted("size=64k")
        path = where / "out.json"
        assert WRITERS[writer](os.fsencode(path), BIG[writer]) is False
        assert c_stdout() == dm.ERR_WRITE
        # The same call into a roomy place succeeds: the failure came from the disk.
        roomy = os.fsencode(where.parent / "roomy.json")
        assert WRITERS[writer](roomy, BIG[writer]) is True
        assert c_stdout() == ""
        assert os.path.getsize(roomy) > 64 * 1024

    @pytest.mark.skipif(sys.platform == "win32", reason="Windows has no file size limit (ulimit -f)")
    def test_file_size_limit(self, writer, tmp_path):
        """A write limit (``ulimit -f``) with SIGXFSZ ignored, in a child process."""
        script = textwrap.dedent("""
            import os, resource, signal, sys
            sys.path[:0] = [{tests!r}]
            import conftest, norvik
            from test_file_faults import BIG, WRITERS
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
            resource.setrlimit(resource.RLIMIT_FSIZE, (32768, 32768))
            result = WRITERS[{writer!r}]({path!r}, BIG[{writer!r}])
            sys.stdout.flush()
            os.write(1, b"\\nRESULT %r\\n" % (result,))
        """).format(tests=os.path.join(ROOT, "tests"), writer=writer,
                    path=os.fsencode(tmp_path / "out.json"))
        r = subprocess.run([sys.executable, "-c", script], capture_output=True, timeout=120)
        assert r.returncode == 0, r.stderr.decode(errors="replace")
        assert r.stdout.endswith(dm.ERR_WRITE.encode() + b"\nRESULT False\n"), r.stdout[-300:]
        assert r.stderr == b""
        assert os.path.getsize(tmp_path / "out.json") <= 32768
