#!/usr/bin/env bash
# Creates the project's virtual environment, installs what the build and the
# tests need, and builds norvik into it. Idempotent; safe to run repeatedly.
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
tools/build.sh
