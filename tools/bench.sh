#!/usr/bin/env bash
# The benchmarks: export against its peers, and the triangle arrays against
# numpy. Scripts, not timed tests; they print tables of figures.
#   tools/bench.sh [--quick]
set -euo pipefail
cd "$(dirname "$0")/.."
tools/bootstrap.sh
.venv/bin/python -c "import orjson" 2>/dev/null || .venv/bin/pip install -q orjson
.venv/bin/python bench/bench_export.py "$@"
if [ "${1:-}" = "--quick" ]; then
    .venv/bin/python bench/bench_tri_arrays.py --quads-per-side 300
else
    .venv/bin/python bench/bench_tri_arrays.py
fi
