#!/usr/bin/env bash
# The reference-count and memory check with 10,000 calls per scenario.
set -euo pipefail
cd "$(dirname "$0")/.."
NORVIK_REFCOUNT_CALLS="${NORVIK_REFCOUNT_CALLS:-10000}" exec .venv/bin/python -m pytest \
    tests/test_refcounts.py -q -p no:cacheprovider "$@"
