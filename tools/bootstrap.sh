#!/usr/bin/env bash
# Creates the project's virtual environment (CPython 3.11, numpy 1.x),
# installs what the build and the tests need, and builds norvik into it. Idempotent; safe to run repeatedly.
set -euo pipefail
cd "$(dirname "$0")/.."
python="${PYTHON:-python3}"
if [ ! -x .venv/bin/python ]; then
    "$python" -m venv .venv
fi
if ! .venv/bin/python -c "import numpy, pytest, scikit_build_core, cmake, ninja" >/dev/null 2>&1; then
    .venv/bin/pip install -q --upgrade pip >/dev/null
    .venv/bin/pip install -q "numpy>=1.23,<2" "pytest>=7" "scikit-build-core>=0.8" cmake ninja
fi
# The build reads numpy 2's headers: one binary then runs under numpy 1.x
# and 2.x. They are kept apart from the environment's own numpy 1.x.
if [ ! -f build/numpy-headers/numpy/_core/include/numpy/_numpyconfig.h ]; then
    .venv/bin/pip install -q --no-deps --target build/numpy-headers "numpy>=2,<3" \
        2> >(grep -v "^WARNING: Location" >&2)
fi
tools/build.sh
