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
    # This build in the project's interpreter: the version check must refuse
    # it when warnings are errors (without that, a binary built against other
    # headers is not safe to run at all).
    other=$(mktemp -d)
    cp "$venv"/lib/python"$v"/site-packages/norvik.cpython-*.so \
        "$other/$(basename .venv/lib/python3*/site-packages/norvik.cpython-*.so)"
    msg=$(PYTHONPATH="$other:$root/tools/host_stub" .venv/bin/python -W error::RuntimeWarning \
          -c "import norvik" 2>&1 | tail -n1 || true)
    rm -rf "$other"
    want="RuntimeWarning: compiletime version $v of module 'norvik' does not match runtime version"
    if [[ "$msg" == "$want"* ]]; then
        echo "== $v build in $(.venv/bin/python -c 'import sys; print("%d.%d" % sys.version_info[:2])'): $msg"
    else
        echo "== $v build: expected the version warning, got: $msg"
        status=1
    fi
done
exit $status
