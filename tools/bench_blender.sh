#!/usr/bin/env bash
# The add-on against Blender's OBJ exporter in every installed host: prints the
# tables (one mesh, 2,500 to 40,000 objects with the split of the add-on's
# export, one and two cores with the 16-core projection) and writes
# bench/bench_blender.png and bench/bench_blender_objects.png (bench/bench_blender.py).
#   tools/bench_blender.sh [--repeat N] [--quick] [--hosts a,b] [--plot FILE] [--no-cores]
#   tools/bench_blender.sh --window [--repeat N] [--quick]     (Blender 3.4 and 4.3 with a window)
set -euo pipefail
cd "$(dirname "$0")/.."
tools/bootstrap.sh
.venv/bin/python -c "import matplotlib" 2>/dev/null \
    || .venv/bin/pip install -q matplotlib 2> >(grep -v "^WARNING: Location" >&2)
tools/setup_blender.sh
# The add-on with norvik for CPython 3.11 (Blender 3.4, bpy 4.x and 5.0) and,
# when a host runs it, 3.13 (bpy 5.1 onward).
tools/install_addon.sh >/dev/null
source tools/hosts.sh
# Debian 13's Blender 4.3 (the windowed host) runs CPython 3.13 too.
[ ! -f build/trixie/.norvik-root ] || BPY_HOSTS+=("blender-4.3 3.13 -")
for host in "${BPY_HOSTS[@]}"; do
    read -r name version _ <<<"$host"
    [ "$version" != 3.11 ] && { [ -x ".hosts/$name/bin/python" ] || [ "$name" == blender-4.3 ]; } \
        || continue
    python=$(bash tools/build_python.sh "$version")
    for so in "$(dirname "$(dirname "$python")")"/lib/python"$version"/site-packages/norvik.cpython-*.so; do
        # A new file renamed into place: a Blender that loaded the old one keeps it.
        cp -f "$so" "addon/norvik_exporter/.$(basename "$so").new"
        mv -f "addon/norvik_exporter/.$(basename "$so").new" "addon/norvik_exporter/$(basename "$so")"
    done
done
exec .venv/bin/python bench/bench_blender.py "$@"
