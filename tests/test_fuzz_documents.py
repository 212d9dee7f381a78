"""Differential fuzzing: random records and meshes through norvik and through the models.

Both generations, random counts (zero, short, negative), null addresses, NaN
and infinities, out-of-range indices where the module checks them, huge and
tiny magnitudes, and names with every byte value.  The quick run here checks
a few hundred cases of each kind; ``tools/fuzz_long.sh`` runs 100,000 and more.
"""
import os

import pytest

import fuzzgen

CASES = int(os.environ.get("NORVIK_FUZZ_CASES", "300"))


@pytest.mark.parametrize("kind, seed", [("export", 101), ("camera", 202), ("tri", 303)])
def test_random_cases_match_the_model(kind, seed, tmp_path, b3d_version):
    if kind == "tri" and fuzzgen.tm is None:
        pytest.skip("tests/trimodel.py is not there yet")
    ran, failures = fuzzgen.run(seed, CASES, os.fsencode(tmp_path / "doc.json"), (kind,))
    assert not failures, "\n\n".join("case %d (%s): %s" % f for f in failures)
    assert ran == CASES
