#!/usr/bin/env bash
# Build and install norvik (and norvik_records) into the project's virtual environment.
# Serialised with a lock so that parallel callers do not share one build tree at once.
set -euo pipefail
cd "$(dirname "$0")/.."
exec 9>/tmp/norvik-build.lock
flock 9
.venv/bin/pip install --no-build-isolation --no-deps -q . "$@"
