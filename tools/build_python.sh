#!/usr/bin/env bash
# Builds norvik for another CPython from pyenv, in its own environment
# build/venv-<version>-<numpy> with numpy of the given major, and prints the
# path of that environment's python.
#   tools/build_python.sh VERSION [numpy1|numpy2]     default: numpy2
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/hosts.sh
version=$1
flavour=${2:-numpy2}
case "$flavour" in
    numpy1) numpy_req="numpy>=1.23,<2" ;;
    numpy2) numpy_req="numpy>=2" ;;
    *) echo "unknown numpy flavour: $flavour" >&2; exit 2 ;;
esac
py=$(pyenv_python "$version")
[ -n "$py" ] || { echo "CPython $version is not installed" >&2; exit 3; }
venv="$(pwd)/build/venv-$version-$flavour"
exec 9>/tmp/norvik-build.lock
flock 9
if ! "$venv/bin/python" -c "import numpy, pytest, scikit_build_core" >/dev/null 2>&1; then
    "$py" -m venv --clear "$venv" >&2
    "$venv/bin/pip" install -q --disable-pip-version-check "$numpy_req" pytest scikit-build-core cmake ninja \
        2> >(grep -v '^WARNING' >&2) >&2
fi
# The build finds numpy 2's headers in a numpy-2 environment, else in
# build/numpy-headers (tools/bootstrap.sh).
"$venv/bin/pip" install -q --disable-pip-version-check --no-build-isolation --no-deps \
    --config-settings=build-dir="build/{wheel_tag}" . 2> >(grep -v '^WARNING' >&2) >&2
echo "$venv/bin/python"
