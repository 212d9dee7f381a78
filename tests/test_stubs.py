"""The type stubs describe the module that is built."""
import ast
import os

import norvik

STUBS = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                     "python", "norvik.pyi")


def test_stubs_name_exactly_the_module_functions_and_globals():
    with open(STUBS) as f:
        tree = ast.parse(f.read())
    functions = {n.name for n in tree.body if isinstance(n, ast.FunctionDef)}
    globals_ = {n.target.id for n in tree.body if isinstance(n, ast.AnnAssign)}
    public = {n for n, v in vars(norvik).items() if callable(v) and not n.startswith("_")}
    assert functions == public and len(functions) == 8
    assert {"b3d_version", "np", "bpy"} <= globals_
    assert all(hasattr(norvik, g) for g in globals_)
