#!/usr/bin/env bash
# Builds norvik with debug information (no sanitizers) into build/valgrind, runs
# tools/valgrind_workload.py against it under valgrind memcheck, and reports the
# errors and definite leaks whose stacks pass through norvik.
# CPython's own noise is left out by that filter (and by PYTHONMALLOC=malloc,
# which makes every Python allocation visible to memcheck).
# Exits non-zero when any such error or leak is found, or the workload fails.
set -euo pipefail
cd "$(dirname "$0")/.."
out="build/valgrind"
mkdir -p "$out"
start=$(date +%s)
export PATH="$(pwd)/.venv/bin:$PATH"
cmake -S . -B "$out/module" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DPython_EXECUTABLE="$(pwd)/.venv/bin/python" >/dev/null
cmake --build "$out/module" -j 2 >/dev/null
export PYTHONPATH="$(pwd)/$out/module${PYTHONPATH:+:$PYTHONPATH}"
status=0
PYTHONMALLOC=malloc valgrind --tool=memcheck --xml=yes --xml-file="$out/memcheck.xml" \
    --leak-check=full --show-leak-kinds=definite --errors-for-leak-kinds=definite \
    --num-callers=40 --track-origins=no \
    .venv/bin/python tools/valgrind_workload.py "$@" > "$out/workload.log" 2>&1 || status=$?
tail -3 "$out/workload.log"
.venv/bin/python - "$out/memcheck.xml" <<'PY' || status=$?
import sys
import xml.etree.ElementTree as ET

root = ET.parse(sys.argv[1]).getroot()
total, ours = 0, []
for err in root.iter("error"):
    total += 1
    frames = err.findall("./stack/frame")
    objs = [f.findtext("obj") or "" for f in frames]
    if any("norvik" in o for o in objs):
        kind = err.findtext("kind")
        what = err.findtext("what") or err.findtext("xwhat/text")
        where = ["%s %s:%s" % (f.findtext("fn"), f.findtext("file"), f.findtext("line"))
                 for f in frames if "norvik" in (f.findtext("obj") or "")]
        aux = err.findtext("auxwhat") or ""
        ours.append("%s: %s (%s)\n    %s" % (kind, what, aux, "\n    ".join(where[:6])))
for o in ours:
    print(o)
print("valgrind: %d memcheck report(s) in all, %d with norvik in the stack" % (total, len(ours)))
sys.exit(1 if ours else 0)
PY
echo "valgrind: workload exit ${status}, $(( $(date +%s) - start )) s"
exit $status
