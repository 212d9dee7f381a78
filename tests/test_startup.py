"""Start-up of norvik and the module globals that later calls read.

Import behaviour is checked in fresh interpreters (see
``startup_scripts/harness.py``), each importing the same build as this test
process.  The layout-generation rule over ``b3d_version`` is checked here,
in process.
"""
import json
import os
import subprocess
import sys
import textwrap
import traceback

import numpy as np
import pytest

import norvik
from norvik_records import Mesh, export_records

SCRIPTS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "startup_scripts")
MODULE_DIR = os.path.dirname(os.path.abspath(norvik.__file__))
TABLE_ORDER = [
    "export", "export_scenes", "get_mesh_tri_data", "get_material_indices",
    "get_tri_count_per_material_index", "get_mesh_tri_data_multi_material",
    "get_mesh_tri_data_multi_material__310_to_current",
    "get_mesh_tri_data_multi_material__293_to_300",
]
MULTI_MESSAGE = "numpy.core.multiarray failed to import"
INTERPRETER_MESSAGE = ("Interpreter change detected - this module can only be loaded into one "
                       "interpreter per process.")


def run(code, *options):
    """Runs a scenario in a fresh interpreter and returns what it reported."""
    prelude = (f"import sys\nsys.path[:0] = [{SCRIPTS!r}, {MODULE_DIR!r}]\nfrom harness import *\n"
               f"NORVIK_FILE = {os.path.abspath(norvik.__file__)!r}\n")
    proc = subprocess.run([sys.executable, "-I", *options, "-c", prelude + textwrap.dedent(code)],
                          capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    return json.loads(proc.stdout.strip().splitlines()[-1])


# ---------------------------------------------------------------------------
# A successful import
# ---------------------------------------------------------------------------

def test_namespace_after_import():
    got = run("""
        version = [3, 4, 1]            # any object, kept as it is
        sys.modules["bpy"] = bpy = fake_bpy(version)
        import numpy, norvik
        functions = [n for n, v in vars(norvik).items() if type(v) is type(len)]
        report(np=norvik.np is numpy, bpy=norvik.bpy is bpy, version=norvik.b3d_version is version,
               functions=functions, docs=[getattr(norvik, n).__doc__ for n in functions],
               module_doc=norvik.__doc__, name=norvik.__name__, package=norvik.__package__,
               file=norvik.__file__ == NORVIK_FILE, has_path=hasattr(norvik, "__path__"),
               bare=sys.modules["norvik"] is norvik)
    """, "-W", "error")  # a matching interpreter gives no warning at all
    assert got == dict(np=True, bpy=True, version=True, functions=TABLE_ORDER,
                       docs=[None] * 8, module_doc=None, name="norvik", package="",
                       file=True, has_path=False, bare=True)


def test_repeated_import_and_reload_give_the_same_module():
    got = run("""
        import importlib
        sys.modules["bpy"] = bpy = fake_bpy((3, 4, 1))
        import norvik
        first, version = norvik, norvik.b3d_version
        bpy.app.version = (2, 93, 0)       # start-up must not read it again
        reloaded = importlib.reload(norvik)
        del sys.modules["norvik"]
        import norvik as again
        kept = again.b3d_version is version
        again.b3d_version = "rebound"
        importlib.reload(again)
        report(reloaded=reloaded is first, again=again is first, kept=kept,
               rebound=first.b3d_version, registered=sys.modules["norvik"] is first)
    """)
    assert got == dict(reloaded=True, again=True, kept=True, rebound="rebound", registered=True)


@pytest.mark.parametrize("taken", [False, True])
def test_import_as_submodule(taken):
    got = run(f"""
        import importlib, types
        sys.modules["bpy"] = fake_bpy()
        placeholder = types.ModuleType("norvik")
        if {taken}:
            sys.modules["norvik"] = placeholder

        def load(name):  # the build, as a submodule of a package that lives beside it
            package = types.ModuleType(name.split(".")[0])
            package.__path__ = [MODULE_DIR]
            sys.modules[package.__name__] = package
            return importlib.import_module(name)

        mod = load("pkg.norvik")
        seen = dict(bare=sys.modules["norvik"] is mod, kept=sys.modules["norvik"] is placeholder,
                    name=mod.__name__, package=mod.__package__)
        reloaded = importlib.reload(mod)
        other = load("other.norvik")
        report(**seen, other=other is mod, reload=reloaded is mod,
               works=mod.get_tri_count_per_material_index(None, 0).tolist() == [])
    """)
    assert got == dict(bare=not taken, kept=taken, name="pkg.norvik", package="pkg", other=True,
                       reload=True, works=True)


def test_create_and_exec_steps():
    got = run("""
        import _imp, types
        sys.modules["bpy"] = fake_bpy()
        path = NORVIK_FILE
        where = types.SimpleNamespace(name="q.norvik", origin=path, loader="the loader", parent="q",
                                      submodule_search_locations=["/nowhere"])
        first = _imp.create_dynamic(where)
        # Without loader, parent or search locations: nothing to copy, no error.
        second = _imp.create_dynamic(types.SimpleNamespace(name="r.norvik", origin=path))
        copied = dict(name=first.__name__, loader=first.__loader__, file=first.__file__ == path,
                      package=first.__package__, path=first.__path__,
                      second=[second.__name__, second.__loader__, hasattr(second, "__path__")])
        _imp.exec_dynamic(first)
        _imp.exec_dynamic(first)          # the same object again: nothing to do
        try:
            _imp.exec_dynamic(second)
            error = None
        except Exception as exc:
            error = [type(exc).__name__, str(exc)]
        third = _imp.create_dynamic(types.SimpleNamespace(name="s.norvik", origin=path))
        report(copied=copied, error=error, same=third is first, bare=sys.modules["norvik"] is first,
               version=first.b3d_version, has_version=hasattr(second, "b3d_version"))
    """)
    assert got == dict(
        copied=dict(name="q.norvik", loader="the loader", file=True, package="q",
                    path=["/nowhere"], second=["r.norvik", None, False]),
        error=["RuntimeError",
               "Module 'norvik' has already been imported. Re-initialisation is not supported."],
        same=True, bare=True, version=[3, 4, 1], has_version=False)


# ---------------------------------------------------------------------------
# Failed imports, and the import that follows them
# ---------------------------------------------------------------------------

def test_failed_imports_then_success():
    got = run("""
        import numpy, datetime
        real = real_umath()
        steps = {}

        def step(label, bpy=None, numpy_module=numpy, umath=real):
            sys.modules["bpy"] = bpy
            sys.modules["numpy"] = numpy_module
            set_umath(umath)
            steps[label] = attempt()
            steps[label + " left in sys.modules"] = "norvik" in sys.modules

        step("no bpy")
        step("bpy without app", bpy=types.ModuleType("bpy"))
        step("app without version", bpy=fake_bpy(None, build="x"))
        host = fake_bpy((3, 0, 0))
        step("no numpy", bpy=host, numpy_module=None)
        step("_ARRAY_API not a capsule", bpy=host, umath=fake_umath(_ARRAY_API=42))
        step("no _ARRAY_API", bpy=host, umath=fake_umath())
        step("named capsule", bpy=host, umath=fake_umath(_ARRAY_API=datetime.datetime_CAPI))
        step("ABI newer than numpy 2", bpy=host,
             umath=fake_umath(_ARRAY_API=array_api(abi=ABI_2 + 1)))
        step("numpy 3 ABI", bpy=host, umath=fake_umath(_ARRAY_API=array_api(abi=0x3000000)))
        step("older ABI", bpy=host, umath=fake_umath(_ARRAY_API=array_api(abi=ABI_1 - 1)))
        step("feature level too low", bpy=host,
             umath=fake_umath(_ARRAY_API=array_api(feature=FEATURE_LEVEL - 1)))
        step("big-endian", bpy=host,
             umath=fake_umath(_ARRAY_API=array_api(endianness=NPY_CPU_BIG)))
        step("success", bpy=host)
        import norvik
        steps["version"] = norvik.b3d_version
        steps["works"] = norvik.get_tri_count_per_material_index(None, 2 - 2).tolist()
        report(**steps)
    """)
    init = ["init norvik"]
    expected = {
        "no bpy": dict(type="ModuleNotFoundError", is_import_error=True,
                       message="import of bpy halted; None in sys.modules", entries=init,
                       context=None),
        "bpy without app": dict(type="AttributeError", is_import_error=False,
                                message="module 'bpy' has no attribute 'app'", entries=init,
                                context=None),
        "app without version": dict(type="AttributeError", is_import_error=False,
                                    message="'types.SimpleNamespace' object has no attribute 'version'",
                                    entries=init, context=None),
        "no numpy": dict(type="ModuleNotFoundError", is_import_error=True,
                         message="import of numpy halted; None in sys.modules", entries=init,
                         context=None),
        "success": None, "version": [3, 0, 0], "works": [],
    }
    for label in ["_ARRAY_API not a capsule", "no _ARRAY_API", "named capsule",
                  "ABI newer than numpy 2", "numpy 3 ABI", "older ABI", "feature level too low",
                  "big-endian"]:
        result = got[label]
        assert result is not None, label
        assert result.pop("context") is not None, label  # the replaced exception
        expected[label] = dict(type="ImportError", is_import_error=True, message=MULTI_MESSAGE,
                               entries=init)
    for label in list(expected):
        if label not in ("version", "works"):
            expected[label + " left in sys.modules"] = label == "success"
    assert got == expected


@pytest.mark.parametrize("abi", ["ABI_1", "ABI_2"])
def test_lowest_accepted_numpy_feature_level(abi):
    """Both numpy majors' ABIs pass at the lowest feature level, whichever
    numpy runs: the gate reads only the table."""
    got = run(f"""
        import numpy
        sys.modules["bpy"] = fake_bpy()
        real = real_umath()
        set_umath(fake_umath(_ARRAY_API=array_api(abi={abi}, feature=FEATURE_LEVEL)))
        outcome = attempt()
        set_umath(real)
        import norvik
        report(outcome=outcome, np=norvik.np is numpy,
               counts=norvik.get_tri_count_per_material_index(numpy.int32([1, 1, 0]), 2).tolist())
    """)
    assert got == dict(outcome=None, np=True, counts=[1, 2])


def test_table_found_under_either_name_without_warnings():
    """numpy 2's name first; numpy 1.x before 1.26 has only the old one.
    Warnings are errors here: the deprecated alias must not be touched."""
    got = run("""
        import numpy
        sys.modules["bpy"] = fake_bpy()
        real = real_umath()
        # Only the old name exists (numpy 1.25 and earlier).
        sys.modules[UMATH_1] = fake_umath(_ARRAY_API=array_api(abi=ABI_1))
        sys.modules[UMATH_2] = None
        old_only = attempt()
        # Both exist: the new name is the one read.
        sys.modules[UMATH_1] = fake_umath(_ARRAY_API=42)
        sys.modules[UMATH_2] = fake_umath(_ARRAY_API=array_api(abi=ABI_2))
        new_first = attempt()
        report(old_only=old_only, new_first=new_first)
    """, "-W", "error")
    assert got == dict(old_only=None, new_first=None)


def test_real_numpy_imports_with_warnings_as_errors():
    got = run("""
        import numpy
        sys.modules["bpy"] = fake_bpy()
        report(outcome=attempt(), major=int(numpy.__version__.split(".")[0]))
    """, "-W", "error")
    assert got["outcome"] is None


@pytest.mark.parametrize("version, size, expected", [
    ("2.4.6", 88, None), ("2.0.0", 96, None), ("2.4.6", 80, 88),
    ("1.26.4", 96, None), ("1.26.4", 88, 96), ("1.23.0", 104, None), ("", 88, 96),
])
def test_dtype_size_follows_the_running_numpy_major(version, size, expected):
    """numpy 2's dtype object is smaller than 1.x's; a dtype smaller than the
    running major's still fails the import with the exact text."""
    got = run(f"""
        sys.modules["bpy"] = fake_bpy()
        sys.modules["numpy"] = fake_numpy({version!r}, {size})
        report(outcome=attempt())
    """)
    if expected is None:
        # Past the size checks: what stops it later is not a size error.
        assert got["outcome"] is None or "size changed" not in got["outcome"]["message"]
    else:
        assert got["outcome"] == dict(
            type="ValueError", is_import_error=False,
            message="numpy.dtype size changed, may indicate binary incompatibility. "
                    "Expected %d from C header, got %d from PyObject" % (expected, size),
            entries=["init norvik"], context=None)


def test_second_interpreter_is_refused():
    got = run("""
        import os, tempfile
        sys.modules["bpy"] = fake_bpy()
        import norvik
        out = os.path.join(tempfile.mkdtemp(), "sub.txt")
        code = "\\n".join([
            "import sys",
            "sys.path.insert(0, %r)" % MODULE_DIR,
            "try:",
            "    import norvik",
            "    result = 'imported'",
            "except BaseException as exc:",
            "    result = type(exc).__name__ + ': ' + str(exc)",
            "open(%r, 'w').write(result)" % out,
        ])
        try:
            # A legacy subinterpreter sharing the main one's GIL: isolated
            # ones (3.12 onward) refuse the module before its own guard runs.
            import _testcapi
        except ImportError:
            try:
                import _xxsubinterpreters as interpreters
                sub = interpreters.create()
            except ImportError:         # 3.13 (without _testcapi: Windows builds)
                import _interpreters as interpreters
                sub = interpreters.create("legacy")
            interpreters.run_string(sub, code)
            interpreters.destroy(sub)
        else:
            _testcapi.run_in_subinterp(code)
        with open(out) as f:
            sub_result = f.read()
        del sys.modules["norvik"]
        import norvik as again
        report(sub=sub_result, again=again is norvik,
               works=again.get_tri_count_per_material_index(None, 0).tolist())
    """)
    assert got == dict(sub="ImportError: " + INTERPRETER_MESSAGE, again=True, works=[])


# ---------------------------------------------------------------------------
# The layout-generation rule over b3d_version
# ---------------------------------------------------------------------------

class Indexable:
    """A version object with nothing but item access."""

    def __init__(self, *items):
        self.items = items

    def __getitem__(self, i):
        return self.items[i]


class IntSub(int):
    pass


class Failing:
    def __getitem__(self, i):
        raise LookupError("no version")


GENERATION_OF = [
    ((3, 1, 0), "310"), ((3, 6, 5), "310"), ((3.0, 1), "310"), ([3, 2, 0], "310"),
    (Indexable(3, 4), "310"), (np.array([3, 1, 0]), "310"), ((IntSub(3), IntSub(1)), "310"),
    ((3, 0.5), "310"),
    ((3, 0, 0), "293"), ((2, 93, 0), "293"), ((4, 0, 0), "400"), ((4, 2, 1), "400"), ((np.int64(5), 3), "400"),
    ((3, -1), "293"), ([3, 0], "293"), (Indexable(2, 93), "293"), (("3", 1), "293"),
    ((2,), "293"), ((3.5, 1), "293"),
]


@pytest.fixture(scope="module")
def host():
    """A two-material mesh in the 20-byte vertex layout, read through each generation.

    The 16-byte and 12-byte readings of the same memory give other positions, so
    each generation yields its own triangle array and its own document.
    """
    m = Mesh([(1, 2, 3), (4, 5, 6), (7, 8, 9), (10, 11, 12), (13, 14, 15)],
             [(0, 1, 2, 3), (1, 4, 2)], uvs=[(i / 8, i / 16) for i in range(7)],
             normals=[(0, 0, 1), (0, 1, 0), (1, 0, 0), (0, 0, -1), (0, -1, 0)], materials=[1, 0])
    h = m.host_arrays("293")
    mi = norvik.get_material_indices(h.address)
    h.args = (h.address, mi, norvik.get_tri_count_per_material_index(mi, 2),
              np.linspace(-1, 1, 21, dtype=np.float32))
    h.tri = {"310": norvik.get_mesh_tri_data_multi_material__310_to_current(*h.args),
             "293": norvik.get_mesh_tri_data_multi_material__293_to_300(*h.args)}
    saved = norvik.b3d_version
    norvik.b3d_version = (4, 2, 0)          # the 4.0-onward reading, under a plain version
    h.tri["400"] = norvik.get_mesh_tri_data_multi_material(*h.args)
    norvik.b3d_version = saved
    assert not np.array_equal(h.tri["310"], h.tri["293"])
    assert not np.array_equal(h.tri["400"], h.tri["310"])
    h.records = export_records([m.export_object("Mesh", "Mat")], "293")
    return h


def export_document(host, path):
    assert norvik.export(host.records.address, host.records.count, path, False) is True
    with open(path, "rb") as f:
        return f.read()


@pytest.fixture(scope="module")
def documents(host, tmp_path_factory):
    """The scene document of each generation, exported under a plain version tuple."""
    saved = norvik.b3d_version
    path = os.fsencode(tmp_path_factory.mktemp("docs") / "doc.json")
    docs = {}
    for generation, version in [("310", (3, 4, 1)), ("293", (3, 0, 0)), ("400", (4, 2, 0))]:
        norvik.b3d_version = version
        docs[generation] = export_document(host, path)
    norvik.b3d_version = saved
    assert len(set(docs.values())) == 3
    return docs


@pytest.mark.parametrize("version, generation", GENERATION_OF, ids=repr)
def test_generation_rule(version, generation, b3d_version, host, documents, out_path):
    b3d_version(version)
    np.testing.assert_array_equal(norvik.get_mesh_tri_data_multi_material(*host.args),
                                  host.tri[generation])
    assert export_document(host, out_path) == documents[generation]


def test_rebinding_applies_to_the_next_call(b3d_version, host):
    for version, generation in [((3, 0, 0), "293"), ((3, 1, 0), "310"), ((2, 93, 0), "293"),
                                ([3, 3], "310")]:
        b3d_version(version)
        np.testing.assert_array_equal(norvik.get_mesh_tri_data_multi_material(*host.args),
                                      host.tri[generation])


@pytest.mark.parametrize("version, exc_type, message", [
    ((3,), IndexError, "tuple index out of range"),
    ([3], IndexError, "list index out of range"),
    ((), IndexError, "tuple index out of range"),
    (None, NameError, "name 'b3d_version' is not defined"),   # deleted from the namespace
    (3, TypeError, "'int' object is not subscriptable"),
    (Indexable(3), IndexError, "tuple index out of range"),
    (Failing(), LookupError, "no version"),
], ids=repr)
def test_unusable_version(version, exc_type, message, b3d_version, host, out_path):
    b3d_version(version)
    with pytest.raises(exc_type) as info:
        norvik.get_mesh_tri_data_multi_material(*host.args)
    assert str(info.value) == message
    assert [e.name for e in traceback.extract_tb(info.value.__traceback__)
            if e.name.startswith("norvik.")] == ["norvik.get_mesh_tri_data_multi_material"]

    # export reports it the unraisable way and returns False.
    seen = []
    saved, sys.unraisablehook = sys.unraisablehook, seen.append
    try:
        assert norvik.export(host.records.address, host.records.count, out_path, False) is False
    finally:
        sys.unraisablehook = saved
    assert [(u.exc_type, str(u.exc_value), u.object) for u in seen] == \
        [(exc_type, message, "norvik.export")]

    # The fixed-generation entry points do not look at it.
    for generation in ("310", "293"):
        fn = getattr(norvik, "get_mesh_tri_data_multi_material__" +
                     ("310_to_current" if generation == "310" else "293_to_300"))
        np.testing.assert_array_equal(fn(*host.args), host.tri[generation])


def test_failed_submodule_import_takes_back_the_bare_name():
    got = run("""
        import importlib, types
        package = types.ModuleType("pkg")
        package.__path__ = [MODULE_DIR]
        sys.modules["pkg"] = package
        sys.modules.pop("bpy", None)
        sys.modules["bpy"] = None  # not importable
        try:
            importlib.import_module("pkg.norvik")
        except ImportError:
            pass
        left = "norvik" in sys.modules
        sys.modules["bpy"] = fake_bpy()
        mod = importlib.import_module("pkg.norvik")
        import norvik
        report(left=left, same=norvik is mod, version=list(norvik.b3d_version))
    """)
    assert got == dict(left=False, same=True, version=[3, 4, 1])
