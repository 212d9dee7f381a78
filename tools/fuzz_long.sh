#!/usr/bin/env bash
# Long differential fuzz run against the models (default 100,000 cases over 2
# processes); extra arguments go to tools/fuzz_long.py (--cases, --seed, --jobs).
set -euo pipefail
cd "$(dirname "$0")/.."
exec .venv/bin/python tools/fuzz_long.py "$@"
