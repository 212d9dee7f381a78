#!/usr/bin/env bash
# Builds the Blender extension (4.2 onward): dist/norvik_exporter-<version>.zip,
# holding the add-on, blender_manifest.toml and the norvik wheels for CPython
# 3.11 and 3.13 on Linux x86_64 and arm64 (manylinux) and Windows x64
# (tools/build_wheels.sh); the manifest lists the platforms of those wheels.
# macOS wheels built here are a compile-and-link check that no one has run,
# so they are not put in; a release run's (--wheels) are. Blender's
# own extension tool (from a bpy host in .hosts) builds and validates it.
#   tools/build_extension.sh [--wheels DIR] [OUTPUT.zip]
# --wheels DIR adds the CPython 3.11 and 3.13 norvik wheels of DIR (a release
# run on real machines, say) to those built here; their tags are checked, and
# each platform they cover is listed in the manifest.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
source tools/hosts.sh
version=$(sed -n 's/^version = "\(.*\)"/\1/p' pyproject.toml | head -n1)
outside=""
if [ "${1:-}" == "--wheels" ]; then
    outside=$(realpath "$2")
    shift 2
fi
out=${1:-$root/dist/norvik_exporter-$version.zip}
[ -f build/numpy-headers/numpy/_core/include/numpy/_numpyconfig.h ] || tools/bootstrap.sh >/dev/null

# Blender's extension tool, from the newest bpy host installed.
tool=""
for host in "${BPY_HOSTS[@]}"; do
    read -r name _ _ <<<"$host"
    found=$(ls -d .hosts/"$name"/lib/python3*/site-packages/bpy/*/scripts/addons_core/bl_pkg/cli/blender_ext.py 2>/dev/null | tail -n1 || true)
    [ -z "$found" ] || { tool=$found; tool_python=.hosts/$name/bin/python; }
done
if [ -z "$tool" ]; then
    # The same tool in a Windows host (tools/test_windows.sh): plain Python, run here.
    tool=$(ls -d .hosts/win-bpy-*/Lib/site-packages/bpy/*/scripts/addons_core/bl_pkg/cli/blender_ext.py 2>/dev/null | tail -n1 || true)
    tool_python=.venv/bin/python
fi
[ -n "$tool" ] || { echo "no bpy host with Blender's extension tool; run tools/setup_blender.sh" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/src/wheels"
# Blender 4.2 to 5.0 run CPython 3.11, 5.1 onward 3.13: those wheels of each platform.
tools/build_wheels.sh linux-x64 linux-arm64 windows-x64 | grep -E -- '-cp31[13]-' | while read -r whl; do
    cp "$whl" "$work/src/wheels/"
done
if [ -n "$outside" ]; then
    found=0
    for whl in "$outside"/norvik-"$version"-cp31[13]-*.whl; do
        [ -e "$whl" ] || continue
        name=$(basename "$whl")
        # norvik-<version>-cp3XX-cp3XX-<platform>.whl, a platform Blender runs on.
        if ! [[ "$name" =~ ^norvik-$version-(cp311-cp311|cp313-cp313)-(manylinux[a-z0-9_.]*_(x86_64|aarch64)|win_amd64|macosx_[0-9]+_[0-9]+_(arm64|x86_64))\.whl$ ]]; then
            echo "$name: not a norvik $version wheel for CPython 3.11 or 3.13 on a Blender platform" >&2
            exit 1
        fi
        [ -e "$work/src/wheels/$name" ] || cp "$whl" "$work/src/wheels/"
        found=$((found + 1))
    done
    [ "$found" -gt 0 ] || { echo "no norvik $version wheels for CPython 3.11 or 3.13 in $outside" >&2; exit 1; }
fi
# The add-on's sources (norvik and norvik_records come from the wheels).
cp addon/norvik_exporter/*.py LICENSE "$work/src/"
wheels=$(cd "$work/src" && for w in wheels/*.whl; do printf '  "./%s",\n' "$w"; done)
python3 - "$work/src/blender_manifest.toml" "$version" "$wheels" <<'PY'
import re, sys
path, version, wheels = sys.argv[1:]
# Blender's platform names, from the wheels' platform tags.
names = [("manylinux", "x86_64", "linux-x64"), ("manylinux", "aarch64", "linux-arm64"),
         ("win", "amd64", "windows-x64"), ("macosx", "arm64", "macos-arm64"),
         ("macosx", "x86_64", "macos-x64")]
platforms = []
for tag in re.findall(r"-([a-z0-9_.]+)\.whl", wheels):
    tag = tag.split(".")[0]
    name = next(n for os_, arch, n in names if tag.startswith(os_) and tag.endswith(arch))
    if name not in platforms:
        platforms.append(name)
text = open("addon/extension/blender_manifest.toml").read()
text = text.replace("@PLATFORMS@", ", ".join('"%s"' % p for p in platforms))
open(path, "w").write(text.replace("@VERSION@", version).replace("@WHEELS@", wheels.rstrip(",\n")))
PY
mkdir -p "$(dirname "$out")"
rm -f "$out"
"$tool_python" "$tool" build --source-dir "$work/src" --output-filepath "$out" >/dev/null
"$tool_python" "$tool" validate "$out"
echo "$out: $(stat -c %s "$out") bytes"
