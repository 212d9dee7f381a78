"""The document number formatters against the C runtime's snprintf, in C++.

Compiles tests/cpp/format_check.cpp against the module's own formatter and
runs it over a sample of every float32 and uint32 bit pattern and the hard
rounding cases (ties, negative zero, the edges of the fast path).
"""
import os
import shutil
import subprocess

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
STRIDE = os.environ.get("NORVIK_FORMAT_STRIDE", "997")


@pytest.mark.skipif(shutil.which("g++") is None, reason="needs g++")
def test_formatters_match_snprintf(tmp_path):
    exe = tmp_path / "format_check"
    subprocess.run(["g++", "-std=c++20", "-O2", "-I", os.path.join(ROOT, "src"),
                    os.path.join(ROOT, "tests", "cpp", "format_check.cpp"), "-o", str(exe)],
                   check=True)
    proc = subprocess.run([str(exe), STRIDE], capture_output=True, text=True, timeout=600)
    assert proc.returncode == 0, proc.stdout
    assert " 0 failed" in proc.stdout
