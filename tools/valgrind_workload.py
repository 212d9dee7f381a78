"""A representative workload for the memcheck run of tools/valgrind.sh.

Every function of norvik in both layout generations, with the error paths:
bad arguments, failing conversions, a raising use_debug and profile function,
numpy errors, rejected meshes, unwritable files, and a few hundred random
fuzz cases.  Exits 1 if a call behaves unexpectedly.
"""
import os
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
import importlib.util  # noqa: E402
if importlib.util.find_spec("bpy") is None:
    sys.path.insert(0, os.path.join(ROOT, "tools", "host_stub"))
sys.path[:0] = [os.path.join(ROOT, "python"), os.path.join(ROOT, "tests")]

import numpy as np  # noqa: E402

import norvik  # noqa: E402
import fuzzgen  # noqa: E402
import test_refcounts as rc  # noqa: E402


def main():
    print("norvik from", norvik.__file__, flush=True)
    seen = []
    sys.unraisablehook = lambda u: seen.append(u.exc_type)
    with tempfile.TemporaryDirectory() as tmp:
        cases = rc.scenarios(tmp)
        # The scenarios lay out records for the generation of this version, or set
        # the version they need themselves.
        norvik.b3d_version = (3, 4, 1)
        for name, (call, _) in cases.items():
            for _ in range(3):
                call()
        ran, failures = fuzzgen.run(7, int(os.environ.get("NORVIK_VALGRIND_FUZZ", "150")),
                                    os.fsencode(os.path.join(tmp, "f.json")))
    for f in failures:
        print("fuzz mismatch:", f)
    print("workload: %d scenarios (both generations), %d fuzz cases, %d unraisable reports"
          % (len(cases), ran, len(seen)), flush=True)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
