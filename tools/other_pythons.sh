#!/usr/bin/env bash
# Builds norvik for the other supported interpreters and numpy majors (pyenv's
# CPython; numpy from PyPI) and runs the suite on each. The main suite
# (tools/test.sh) covers CPython 3.11 with numpy 1.x.
#   tools/other_pythons.sh [VERSION:FLAVOUR...]
#   default: 3.11:numpy2 3.13:numpy2 3.9:numpy1 3.10:numpy1 3.12:numpy1
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
source tools/hosts.sh
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(3.11:numpy2 3.13:numpy2 3.9:numpy1 3.10:numpy1 3.12:numpy1)
main_version=$(.venv/bin/python -c 'import sys; print("%d.%d" % sys.version_info[:2])')
status=0
for target in "${targets[@]}"; do
    v=${target%%:*}
    flavour=${target#*:}
    if [ -z "$(pyenv_python "$v")" ]; then
        echo "== $v: not installed, skipped"
        continue
    fi
    python=$(tools/build_python.sh "$v" "$flavour")
    numpy_version=$("$python" -c "import numpy; print(numpy.__version__)")
    echo "== CPython $v, numpy $numpy_version"
    "$python" -m pytest tests -q -p no:cacheprovider \
        --ignore=tests/test_blender_host.py --ignore=tests/test_window.py \
        --ignore=tests/test_live.py --ignore=tests/test_live_random.py \
        --ignore=tests/test_format_exact.py || status=1
    [ "$v" != "$main_version" ] || continue
    # This build in the project's interpreter: the version check must refuse
    # it when warnings are errors (without that, a binary built against other
    # headers is not safe to run at all).
    venv=$(dirname "$(dirname "$python")")
    other=$(mktemp -d)
    cp "$venv"/lib/python"$v"/site-packages/norvik.cpython-*.so \
        "$other/$(basename .venv/lib/python3*/site-packages/norvik.cpython-*.so)"
    msg=$(PYTHONPATH="$other:$root/tools/host_stub" .venv/bin/python -W error::RuntimeWarning \
          -c "import norvik" 2>&1 | tail -n1 || true)
    rm -rf "$other"
    want="RuntimeWarning: compiletime version $v of module 'norvik' does not match runtime version"
    if [[ "$msg" == "$want"* ]]; then
        echo "== $v build in $main_version: $msg"
    else
        echo "== $v build: expected the version warning, got: $msg"
        status=1
    fi
done
exit $status
