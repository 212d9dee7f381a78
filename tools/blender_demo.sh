#!/usr/bin/env bash
# Export the built-in demo scene with real Blender into out/ (or the given folder).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
exec "$root/tools/blender_export.sh" "${1:-$root/out}"
