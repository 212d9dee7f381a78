#!/usr/bin/env bash
# The test suite on Windows x64: the win_amd64 wheels (tools/build_wheels.sh
# windows-x64) installed into real Windows CPythons run by wine, each with a
# numpy that runs in wine; then the real-host tests in the Windows bpy hosts
# (Windows Blender as a Python module). Installs what it needs (wine from
# Debian, the interpreters and wheels from PyPI) and reuses it.
#   tools/test_windows.sh [VERSION...]      default: 3.11 3.13 3.9 3.10
# Wine is not Windows: see the README's platform table.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
source tools/hosts.sh

ensure_packages wine64 wine
export WINEDEBUG=-all
# One wine prefix for the project, made once.
export WINEPREFIX="$root/build/wine"
tools/bootstrap.sh >/dev/null
tools/build_wheels.sh windows-x64 >/dev/null

# The numpy each interpreter gets: the newest that wine 8 runs (numpy 2.2 on
# needs a UCRT function wine 8 lacks), numpy 1.x where it is the version
# Blender shipped with that interpreter.
declare -A NUMPY=([3.9]="numpy==1.26.4" [3.10]="numpy==1.26.4" [3.11]="numpy==2.0.2" [3.13]="numpy==2.1.3")

# Installs Windows wheels for CPython $2 (with what they need; with
# --no-deps as $3, exactly those named) into the Windows Python folder $1,
# once per set; downloads are kept in build/cross.
win_install() {
    local home=$1 version=$2; shift 2
    local stamp="$home/.installed-$(echo "$*" | md5sum | cut -c1-12)"
    [ -f "$stamp" ] && return 0
    local wheels
    wheels=$(pip download --disable-pip-version-check --only-binary=:all: --platform win_amd64 \
        --python-version "$version" --implementation cp -d build/cross/downloads "$@" 2>/dev/null |
        sed -n 's/^ *\(Saved\|File was already downloaded\) \(.*\.whl\)$/\2/p')
    [ -n "$wheels" ] || { echo "no Windows wheels for CPython $version: $*" >&2; exit 1; }
    .venv/bin/python - "$home/Lib/site-packages" $wheels <<'PY'
import sys, zipfile
for wheel in sys.argv[2:]:
    zipfile.ZipFile(wheel).extractall(sys.argv[1])
PY
    touch "$stamp"
}

# Installs the norvik wheel for CPython $2 into $1, replacing any earlier one.
install_norvik() {
    local site="$1/Lib/site-packages" nodot=${2/./}
    rm -rf "$site"/norvik*.pyd "$site"/norvik.pyi "$site"/norvik_records "$site"/norvik-*.dist-info
    .venv/bin/python -c "import sys, zipfile; zipfile.ZipFile(sys.argv[1]).extractall(sys.argv[2])" \
        dist/norvik-*-cp"$nodot"-cp"$nodot"-win_amd64.whl "$site"
}

# Runs a Windows python.exe with stdin from /dev/null and output through a
# pipe (wine's Python cannot write straight into a redirected file).
wine_python() {
    local exe=$1; shift
    wine "$exe" "$@" </dev/null 2>&1 | cat
    return "${PIPESTATUS[0]}"
}

# The Windows bpy hosts: a Windows CPython of the host's version with the bpy
# wheel and a numpy that wine runs, in .hosts/<name>.
for host in "${WIN_BPY_HOSTS[@]}"; do
    read -r name version wheels <<<"$host"
    home=".hosts/$name"
    [ -f "$home/python.exe" ] || .venv/bin/python tools/cross.py python windows-x64 "$version" "$home" >/dev/null
    # (word splitting of $wheels on purpose: one requirement a word)
    # shellcheck disable=SC2086
    win_install "$home" "$version" --no-deps $wheels
    rm -f "$home/DLLs/_wmi.pyd"         # see below: CPython 3.13 under wine 8
    if ! wine_python "$home/python.exe" -c "import bpy" >/dev/null; then
        echo "$name: Windows Blender (${wheels%% *}) does not start under wine" >&2
        exit 1
    fi
done

# The extension zip (Linux and Windows wheels), which the Windows hosts install.
tools/build_extension.sh "$root/build/cross/norvik_exporter.zip" >/dev/null
export NORVIK_EXTENSION_ZIP="$root/build/cross/norvik_exporter.zip"

versions=("$@")
[ ${#versions[@]} -gt 0 ] || versions=(3.11 3.13 3.9 3.10)
status=0
for v in "${versions[@]}"; do
    home=$(.venv/bin/python tools/cross.py python windows-x64 "$v")
    # pip evaluates the wheels' markers for this interpreter, not the target:
    # what pytest needs below 3.11 is asked for by name.
    old_python=()
    [[ "$v" != 3.9 && "$v" != 3.10 ]] || old_python=(exceptiongroup tomli)
    win_install "$home" "$v" "${NUMPY[$v]}" pytest "${old_python[@]}"
    # wine 8 lacks propsys.VariantToString, which CPython 3.13's platform
    # module reaches through _wmi (numpy.testing asks platform.machine()):
    # without _wmi it reads the registry, as before 3.12.
    rm -f "$home/DLLs/_wmi.pyd"
    install_norvik "$home" "$v"
    numpy_version=$(wine_python "$home/python.exe" -c "import numpy; print(numpy.__version__)" | tr -d '\r')
    echo "== Windows CPython $v (wine), numpy $numpy_version"
    # The real-host tests run once, with the hosts' own interpreter version.
    extra=()
    [ "$v" == "3.11" ] || extra=(--ignore=tests/test_blender_host.py)
    NORVIK_WINDOWS_WHEELS="$root/dist" wine_python "$home/python.exe" -m pytest tests -q \
        -p no:cacheprovider -rs "${extra[@]}" || status=1
done
exit $status
