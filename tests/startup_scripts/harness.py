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

# Lowest numpy C-API feature level that start-up accepts, per interpreter.
FEATURE_LEVEL = {(3, 9): 13, (3, 10): 15, (3, 11): 16, (3, 12): 17}[sys.version_info[:2]]
ABI_VERSION = 0x1000009
NPY_CPU_LITTLE, NPY_CPU_BIG = 1, 2
UMATH = "numpy.core._multiarray_umath"

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
