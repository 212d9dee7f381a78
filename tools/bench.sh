#!/usr/bin/env bash
# The benchmarks: export against its peers, and the triangle arrays against
# numpy. Scripts, not timed tests; they print tables of figures, and at the
# end the three target ratios of this run side by side.
#   tools/bench.sh [--quick]
set -euo pipefail
cd "$(dirname "$0")/.."
tools/bootstrap.sh
.venv/bin/python -c "import orjson" 2>/dev/null || .venv/bin/pip install -q orjson
figures=$(mktemp -d)
trap 'rm -rf "$figures"' EXIT
.venv/bin/python bench/bench_export.py --json "$figures/export.json" "$@"
if [ "${1:-}" = "--quick" ]; then
    .venv/bin/python bench/bench_tri_arrays.py --quads-per-side 300 --json "$figures/tri.json"
else
    .venv/bin/python bench/bench_tri_arrays.py --json "$figures/tri.json"
fi
.venv/bin/python - "$figures/export.json" "$figures/tri.json" <<'PY'
import json
import sys

export = json.load(open(sys.argv[1]))
tri = json.load(open(sys.argv[2]))
m = export["machine"]
main = export["main"]
rows = [
    ("`export` of a %d-vertex grid to %s / writing the same bytes there" % (main["verts"], export["dir_fs"]),
     main["norvik"][0], main["floor"][0], 3.0),
    ("multi-material fill (%d triangles, %d materials) / vectorised numpy" % (tri["triangles"], tri["materials"]),
     tri["fill"], tri["fill_numpy"], 0.10),
    ("`get_mesh_tri_data` (%d triangles) / numpy" % tri["triangles"], tri["single"], tri["single_numpy"], 0.25),
]
print()
print("Targets, this run (%s, %d CPUs, Linux %s; best of runs):" % (m["cpu"], m["nproc"], m["kernel"]))
print()
print("| figure | norvik | peer | ratio | target |")
print("| --- | --- | --- | --- | --- |")
for label, ours, peer, target in rows:
    print("| %s | %.1f ms | %.1f ms | %.3fx | at most %.2fx: %s |" % (
        label, ours * 1e3, peer * 1e3, ours / peer, target, "met" if ours / peer <= target else "NOT MET"))
PY
