"""Helpers for start-up runs of norvik in a fresh interpreter.

test_startup.py runs each scenario with ``python -I -c``, with this folder
and the folder of the norvik build under test first on ``sys.path``, and
binds ``NORVIK_FILE`` to the file of that build.  A
scenario sets up the host module and numpy as it needs, imports norvik,
and prints one line of JSON with what it saw (``report``).
"""
import ctypes
import importlib
import json
import sys
import traceback
import types

# Lowest numpy C-API feature level that start-up accepts: numpy 1.23's,
# or the oldest numpy for this interpreter where newer.
FEATURE_LEVEL = 0x11 if sys.version_info >= (3, 12) else 0x10
ABI_1, ABI_2 = 0x1000009, 0x2000000
ABI_VERSION = ABI_1
NPY_CPU_LITTLE, NPY_CPU_BIG = 1, 2
# Where numpy 2 keeps its C-API table, and where numpy 1.x does.
UMATH_2, UMATH_1 = "numpy._core._multiarray_umath", "numpy.core._multiarray_umath"
UMATH = UMATH_1

_keep = []


# The folder of the norvik build under test, which the runner puts on sys.path.
MODULE_DIR = sys.path[1]


def fake_bpy(version=(3, 4, 1), **app):
    """A host module; ``version=None`` leaves ``app.version`` out."""
    bpy = types.ModuleType("bpy")
    if version is not None:
        app["version"] = version
    bpy.app = types.SimpleNamespace(**app)
    return bpy


def array_api(abi=ABI_VERSION, feature=FEATURE_LEVEL, endianness=NPY_CPU_LITTLE):
    """A capsule holding a numpy-style C-API table that reports the given versions.

    Only the three entries that a compatibility check reads are filled: the
    ABI version (0), the byte order (210) and the feature level (211).
    """
    entries = {0: ctypes.CFUNCTYPE(ctypes.c_uint)(lambda: abi),
               210: ctypes.CFUNCTYPE(ctypes.c_int)(lambda: endianness),
               211: ctypes.CFUNCTYPE(ctypes.c_uint)(lambda: feature)}
    table = (ctypes.c_void_p * 300)()
    for slot, fn in entries.items():
        table[slot] = ctypes.cast(fn, ctypes.c_void_p)
    new = ctypes.pythonapi.PyCapsule_New
    new.restype = ctypes.py_object
    new.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
    _keep.append((entries, table))
    return new(ctypes.addressof(table), None, None)


def fake_umath(**attrs):
    module = types.ModuleType(UMATH)
    vars(module).update(attrs)
    return module


def real_umath():
    """numpy's own module holding the C-API table, found without a warning."""
    try:
        return importlib.import_module(UMATH_2)
    except ModuleNotFoundError:
        return importlib.import_module(UMATH_1)


def set_umath(module):
    """Makes both names of the table's module find ``module``."""
    sys.modules[UMATH_1] = sys.modules[UMATH_2] = module


def fake_numpy(version, dtype_size):
    """numpy with its real types, but the given ``__version__`` and a dtype
    type whose instances are ``dtype_size`` bytes."""
    import numpy
    module = types.ModuleType("numpy")
    for name in ("flatiter", "broadcast", "ndarray", "generic", "number", "integer",
                 "signedinteger", "unsignedinteger", "inexact", "floating", "complexfloating",
                 "flexible", "character", "ufunc"):
        setattr(module, name, getattr(numpy, name))
    slots = (dtype_size - object.__basicsize__ - 8) // 8 + 1
    module.dtype = type("dtype", (), {"__slots__": tuple("s%d" % i for i in range(slots))})
    assert module.dtype.__basicsize__ == dtype_size
    module.__version__ = version
    return module


def failure(exc):
    """What a failed import raised, with the module's traceback entries."""
    names = [f.name for f in traceback.extract_tb(exc.__traceback__)]
    return {
        "type": type(exc).__name__,
        "is_import_error": isinstance(exc, ImportError),
        "message": str(exc),
        "entries": [n for n in names if n == "init norvik" or n.startswith("norvik.")],
        "context": None if exc.__context__ is None else type(exc.__context__).__name__,
    }


def attempt(name="norvik"):
    """Imports ``name``: None when it succeeds, else ``failure`` of the exception."""
    try:
        importlib.import_module(name)
    except Exception as exc:  # noqa: BLE001 - every failure is reported
        return failure(exc)
    return None


def report(**values):
    print(json.dumps(values))
