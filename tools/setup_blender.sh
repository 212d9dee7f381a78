#!/usr/bin/env bash
# Install the real hosts (as root, idempotent):
#  - Debian's blender with Debian's numpy (Blender 3.4 runs on the system Python 3.11);
#  - each bpy wheel of tools/hosts.sh in its own virtual environment under
#    .hosts/, with the numpy that wheel brings (never replaced), and the
#    X11/GL libraries Blender loads.
# NORVIK_SKIP_BPY=1 installs Debian's Blender only.
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/hosts.sh
ensure_packages blender python3-numpy libx11-6 libxrender1 libxfixes3 libxi6 libxkbcommon0 libsm6 \
    libice6 libgl1 libxxf86vm1
[ "${NORVIK_SKIP_BPY:-0}" != 1 ] || exit 0
for host in "${BPY_HOSTS[@]}"; do
    read -r name version requirement <<<"$host"
    venv=".hosts/$name"
    if "$venv/bin/python" -c "import bpy" >/dev/null 2>&1; then continue; fi
    python=$(pyenv_python "$version")
    [ -n "$python" ] || { echo "CPython $version is not installed; $name skipped" >&2; continue; }
    echo "installing $name ($requirement, CPython $version)"
    "$python" -m venv --clear "$venv"
    "$venv/bin/pip" install -q --disable-pip-version-check "$requirement" 2> >(grep -v "^WARNING: Location" >&2)
done
