#!/usr/bin/env bash
# Second command of the README: the whole test suite (installs and builds
# first when needed, so it works from a clean clone).
set -euo pipefail
cd "$(dirname "$0")/.."
tools/bootstrap.sh
tools/setup_blender.sh
tools/window_hosts.sh
tools/viewer_setup.sh
exec .venv/bin/python -m pytest tests -q "$@"
