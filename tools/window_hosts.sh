#!/usr/bin/env bash
# The windowed Blender hosts (as root, idempotent): Xvfb for a display (Mesa's
# llvmpipe gives it OpenGL), xdotool for the user's keys and clicks,
# ImageMagick for screenshots; Debian's Blender 3.4.1 (tools/setup_blender.sh)
# and Debian 13's Blender 4.3.2 in an amd64 root made by mmdebstrap and kept
# in build/trixie. tools/blender43 runs the root's Blender.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
dir="$root/build/trixie"

source tools/hosts.sh
ensure_packages xvfb xdotool x11-utils imagemagick mmdebstrap
NORVIK_SKIP_BPY=1 tools/setup_blender.sh

# Debian 13's Blender with Debian's numpy; made again when the recipe changes.
PACKAGES="blender,python3-numpy"
recipe="mmdebstrap --variant=apt --include=$PACKAGES trixie"
[ "$(cat "$dir/.norvik-root" 2>/dev/null)" == "$recipe" ] && exit 0
mkdir -p "$root/build"
exec 9>"$root/build/.trixie.lock"
flock 9
[ "$(cat "$dir/.norvik-root" 2>/dev/null)" == "$recipe" ] && exit 0
echo "setting up the Debian 13 root with Blender 4.3 (build/trixie)"
start=$SECONDS
# Nothing is ever mounted below the root outside a private mount namespace
# (tools/blender43), so it can be removed as it is.
rm -rf "$dir" "$dir.partial"
mirror=$(python3 tools/cross.py mirror)
mmdebstrap --quiet --mode=root --variant=apt --include="$PACKAGES" \
    --dpkgopt='path-exclude=/usr/share/doc/*' --dpkgopt='path-exclude=/usr/share/man/*' \
    --dpkgopt='path-exclude=/usr/share/locale/*' trixie "$dir.partial" "$mirror" \
    > "$root/build/trixie.log" 2>&1 ||
    { cat "$root/build/trixie.log" >&2; echo "setting up the Debian 13 root failed" >&2; exit 1; }
chroot "$dir.partial" blender --version | head -n1
echo "$recipe" > "$dir.partial/.norvik-root"
mv "$dir.partial" "$dir"
echo "  $((SECONDS - start)) s, $(du -sh "$dir" | cut -f1)"
