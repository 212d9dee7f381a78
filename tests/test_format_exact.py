"""The document number formatters against the C runtime's snprintf, in C++.

Compiles tests/cpp/format_check.cpp against the module's own formatters and
runs it over a sample of every float32 and uint32 bit pattern, the range
below 10^8 for "%u" and the hard rounding cases (ties, negative zero, the
edges of the fast paths): each number alone, and as lists on every list path
the processor runs, the portable one included (at least 20 million values
of each kind on each path).
"""
import os
import re
import shutil
import subprocess

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
STRIDE = os.environ.get("NORVIK_FORMAT_STRIDE", "199")


@pytest.mark.skipif(shutil.which("g++") is None, reason="needs g++")
def test_formatters_match_snprintf(tmp_path):
    exe = tmp_path / "format_check"
    subprocess.run(["g++", "-std=c++20", "-O2", "-I", os.path.join(ROOT, "src"),
                    os.path.join(ROOT, "tests", "cpp", "format_check.cpp"),
                    os.path.join(ROOT, "src", "writer", "format_list.cpp"), "-o", str(exe)],
                   check=True)
    proc = subprocess.run([str(exe), STRIDE], capture_output=True, text=True, timeout=600)
    assert proc.returncode == 0, proc.stdout
    assert " 0 failed" in proc.stdout
    if STRIDE == "199":
        # Every path this processor runs saw at least 20 million values of each kind.
        paths = re.findall(r'path (\d+): (\d+) "%\.4f" and (\d+) "%u"', proc.stdout)
        assert paths and paths[0][0] == "0", proc.stdout  # the portable path is always checked
        for _, f4, u32 in paths:
            assert int(f4) >= 20_000_000 and int(u32) >= 20_000_000, proc.stdout
