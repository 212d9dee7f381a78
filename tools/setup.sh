#!/usr/bin/env bash
# First command of the README: install everything, build norvik, and run the
# main job: export the built-in demo scene from real Blender into out/.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/bootstrap.sh
tools/setup_blender.sh
tools/blender_demo.sh "${1:-out}"
