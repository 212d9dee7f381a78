#!/usr/bin/env bash
# Install the real-host test and demo dependencies (as root, idempotent):
#  - Debian's blender with Debian's numpy (Blender 3.4 runs on the system Python 3.11);
#  - the bpy 4.5 wheel in .venv-bpy (Blender 4.x as a Python module, on numpy < 2),
#    with the X11/GL libraries it loads.
set -euo pipefail
cd "$(dirname "$0")/.."
pkgs=(blender python3-numpy libx11-6 libxrender1 libxfixes3 libxi6 libxkbcommon0 libsm6 libice6 libgl1 libxxf86vm1)
missing=()
for p in "${pkgs[@]}"; do dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p"); done
if [ ${#missing[@]} -gt 0 ]; then
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
if [ "${NORVIK_SKIP_BPY:-0}" != 1 ] && ! .venv-bpy/bin/python -c "import bpy" >/dev/null 2>&1; then
    python=".venv/bin/python"; [ -x "$python" ] || python="python3.11"
    "$python" -m venv --clear .venv-bpy
    .venv-bpy/bin/pip install -q "bpy>=4.5,<4.6" "numpy<2" 2> >(grep -v "^WARNING: Location" >&2)
fi
