#!/usr/bin/env bash
# Export a .blend (or, without one, the built-in demo scene) with real Blender, headless.
#   tools/blender_export.sh [file.blend] [outdir] [more exporter options]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
command -v blender >/dev/null || { echo "blender is not installed (run tools/setup_blender.sh)" >&2; exit 1; }
"$root/tools/install_addon.sh" >/dev/null
args=()
if [ $# -gt 0 ] && [[ "$1" == *.blend ]]; then args+=(--blend "$(realpath "$1")"); shift; fi
out="${1:-$root/out}"; [ $# -gt 0 ] && shift
args+=(--out "$(realpath -m "$out")" "$@")
# Blender's own start-up chatter goes to stderr; the exporter's lines to stdout.
blender -b --factory-startup --python-exit-code 1 \
    --python "$root/addon/norvik_exporter/cli.py" -- "${args[@]}" 2> >(grep -v -e '^$' -e '^Blender quit' -e '^Read prefs' >&2) \
    | grep -v -e '^Blender [0-9]' -e '^Read prefs' -e '^Blender quit' -e '^$'
