#!/usr/bin/env bash
# Builds norvik for the other CPython versions found under pyenv and runs the
# suite on each (numpy 1.x exists for 3.9 to 3.12); for 3.13, where no numpy
# 1.x exists, compiles every source against its headers only.
#   tools/other_pythons.sh [VERSION...]     default: 3.9 3.10 3.12 3.13
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
versions=("$@")
[ ${#versions[@]} -gt 0 ] || versions=(3.9 3.10 3.12 3.13)
numpy_include=$(.venv/bin/python -c "import numpy; print(numpy.get_include())")
status=0
for v in "${versions[@]}"; do
    py=$(ls -d "${PYENV_ROOT:-$HOME/.pyenv}"/versions/"$v".*/bin/python"$v" 2>/dev/null | tail -n1 || true)
    if [ -z "$py" ]; then
        echo "== $v: not installed, skipped"
        continue
    fi
    if [ "$v" = 3.13 ]; then
        include=$("$py" -c "import sysconfig; print(sysconfig.get_paths()['include'])")
        for f in src/*/*.cpp; do
            g++ -std=c++20 -fsyntax-only -Wall -Wextra -Werror -I src -I "$include" -I "$numpy_include" "$f" || status=1
        done
        echo "== $v: sources compile"
        continue
    fi
    venv="$root/build/venv-$v"
    [ -x "$venv/bin/python" ] || "$py" -m venv "$venv"
    "$venv/bin/pip" install -q "numpy<2" pytest scikit-build-core cmake ninja 2>&1 | grep -v '^WARNING' || true
    "$venv/bin/pip" install -q --no-build-isolation --no-deps \
        --config-settings=build-dir="build/{wheel_tag}" . 2>&1 | grep -v '^WARNING' || true
    echo "== $v"
    "$venv/bin/python" -m pytest tests -q -p no:cacheprovider \
        --ignore=tests/test_blender_host.py --ignore=tests/test_format_exact.py || status=1
done
exit $status
