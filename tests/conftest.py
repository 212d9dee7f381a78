"""Shared set-up of the test suite.

norvik imports ``bpy`` when it is first imported, so the stand-in host module
goes on the path here, before any test module imports norvik, and only when
no real ``bpy`` is importable.  The working copy of ``norvik_records`` is put
first on the path so that tests use the source tree.
"""
import importlib.util
import os
import sys

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

if importlib.util.find_spec("bpy") is None:
    sys.path.insert(0, os.path.join(ROOT, "tools", "host_stub"))
sys.path.insert(0, os.path.join(ROOT, "python"))

import platform_support  # noqa: E402  (pytest puts this folder on the path first)

platform_support.retry_wine_process_starts()

# b3d_version values that select each layout generation.
VERSIONS = {"310": (3, 4, 1), "293": (3, 0, 0)}
_MISSING = object()


@pytest.fixture
def out_path(tmp_path):
    """A fresh output file name, as bytes."""
    return os.fsencode(tmp_path / "out.json")


@pytest.fixture
def c_stdout(capfd):
    """Reads what was written to file descriptor 1 (C stdout) since the last read.

    norvik writes its messages with the C runtime and flushes at the end of
    each call, so the text is complete once the call has returned.
    """
    capfd.readouterr()

    def read():
        return capfd.readouterr().out

    return read


@pytest.fixture
def b3d_version():
    """Sets ``norvik.b3d_version`` for one test (``b3d_version(None)`` deletes it)."""
    import norvik

    saved = norvik.__dict__.get("b3d_version", _MISSING)

    def set_version(value):
        if value is None:
            norvik.__dict__.pop("b3d_version", None)
        else:
            norvik.b3d_version = value

    yield set_version
    if saved is _MISSING:
        norvik.__dict__.pop("b3d_version", None)
    else:
        norvik.b3d_version = saved


@pytest.fixture
def generation(request, b3d_version):
    """Parametrise with ``indirect=True`` over "293"/"310": selects that generation."""
    b3d_version(VERSIONS[request.param])
    return request.param


@pytest.fixture(scope="session")
def addon_dir(tmp_path_factory):
    """The add-on package, with norvik for every interpreter a real host runs."""
    import hosts
    return hosts.make_addon_dir(tmp_path_factory.mktemp("addon"))


@pytest.fixture(scope="session")
def extension_zip(tmp_path_factory):
    """The extension zip of tools/build_extension.sh, built once per session."""
    import hosts
    return hosts.make_extension_zip(tmp_path_factory.mktemp("extension") / "norvik_exporter.zip")
