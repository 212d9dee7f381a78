#!/usr/bin/env bash
# Live export in the windowed hosts and --watch against a fresh Blender per
# export: prints the tables and writes bench/bench_live.png (bench/bench_live.py).
#   tools/bench_live.sh [--hosts blender-3.4,blender-4.3] [--repeat N] [--drag SECONDS] ...
set -euo pipefail
cd "$(dirname "$0")/.."
tools/bootstrap.sh
.venv/bin/python -c "import matplotlib" 2>/dev/null \
    || .venv/bin/pip install -q matplotlib 2> >(grep -v "^WARNING: Location" >&2)
bash tools/window_hosts.sh
tools/install_addon.sh >/dev/null
exec .venv/bin/python bench/bench_live.py "$@"
