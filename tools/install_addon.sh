#!/usr/bin/env bash
# Put the built norvik module into the add-on package (addon/norvik_exporter/).
#   tools/install_addon.sh            copy the .so from .venv (building it first if missing)
#   tools/install_addon.sh --user     also install the add-on into Blender's user add-ons
set -euo pipefail
cd "$(dirname "$0")/.."
find_so() { ls .venv/lib/python3*/site-packages/norvik.cpython-*.so 2>/dev/null | head -n1; }
so="$(find_so || true)"
if [ -z "$so" ]; then
    echo "norvik is not built yet; building it" >&2
    tools/build.sh
    so="$(find_so)"
fi
pkg=addon/norvik_exporter
# A new file renamed into place: a Blender that has the old one loaded keeps
# its mapping (copying over the loaded file would change it under it).
cp -f "$so" "$pkg/.$(basename "$so").new"
mv -f "$pkg/.$(basename "$so").new" "$pkg/$(basename "$so")"
cp -f python/norvik.pyi "$pkg/norvik.pyi"
rm -rf "$pkg/norvik_records"
cp -r python/norvik_records "$pkg/norvik_records"
rm -rf "$pkg/norvik_records/__pycache__"
echo "installed $(basename "$so") into $pkg"
if [ "${1:-}" = "--user" ]; then
    command -v blender >/dev/null || { echo "blender is not installed" >&2; exit 1; }
    dest="$(blender -b --factory-startup --python-expr \
        'import bpy; print("ADDONS=" + bpy.utils.user_resource("SCRIPTS", path="addons", create=True))' \
        2>/dev/null | sed -n 's/^ADDONS=//p')"
    rm -rf "$dest/norvik_exporter"
    mkdir -p "$dest"
    cp -r "$pkg" "$dest/"
    rm -rf "$dest/norvik_exporter/__pycache__"
    echo "installed the add-on into $dest (enable 'norvik Scene Exporter' in Preferences > Add-ons)"
fi
