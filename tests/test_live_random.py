"""A random editing session with live export in each windowed host
(tools/random_edits.py): 100 seeded edits of every kind an artist makes,
undo, redo and File > Revert among them, with pauses that let live exports
overlap the edits.  At every tenth edit and after each revert the settled
live documents must equal File > Export's of the same state, a watcher
process must have seen no partial document, the live status must hold no
error, and Blender must not crash.  The long run over many seeds is the tool itself (README, "Random
editing sessions").
"""
import json
import os
import shutil
import subprocess
import sys

import pytest

import live_window
from hosts import missing, windowed

pytestmark = windowed

TOOL = os.path.join(live_window.ROOT, "tools", "random_edits.py")
# A seed whose 100 edits include undo and redo of one and several steps,
# File > Revert, saves, edit and sculpt mode, and modifiers of every kind.
SEED = 4
EDITS = 100
EVERY = 10


@pytest.mark.parametrize("host", live_window.HOSTS)
def test_random_edits(host, tmp_path):
    reason = live_window.missing_host(host) or (
        shutil.which("blender") is None and "blender is not installed (tools/window_hosts.sh)")
    if reason:
        missing(reason)
    out = tmp_path / "out"
    run = subprocess.run([sys.executable, TOOL, "--host", host, "--seeds", str(SEED), "--edits",
                          str(EDITS), "--checkpoint-every", str(EVERY), "--out", str(out)],
                         stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                         timeout=1800, cwd=live_window.ROOT)
    log = out / ("%s-s%d.jsonl" % (host, SEED))
    assert log.exists(), run.stdout[-5000:]
    with open(log, encoding="utf-8") as f:
        records = [json.loads(line) for line in f]
    edits = [r for r in records if r["kind"] == "edit"]
    done = {r["op"] for r in edits if r["outcome"] == "ok"}
    raised = [r for r in edits if r["outcome"] == "error"]
    assert run.returncode == 0 and not raised, failing_part(run.stdout, records)
    assert len(edits) == EDITS, failing_part(run.stdout, records)
    assert {"undo", "undo_many", "revert", "save", "edit_mesh", "sculpt"} <= done, done
    assert {"redo", "redo_many"} & done, done
    checkpoints = [r for r in records if r["kind"] == "checkpoint"]
    # One every ten edits, and one after each revert.
    assert len(checkpoints) > EDITS // EVERY and all(c["versions"] for c in checkpoints)


def failing_part(output, records):
    """The tool's summary, each failing record with the edits that led to it,
    and the command that reproduces the session."""
    lines = ["tools/random_edits.py said:", output[-3000:], "", "the failing part of its log:"]
    edits = []
    for r in records:
        kind = r["kind"]
        if kind == "edit":
            edits.append(r)
            if r["outcome"] == "error":
                lines.append("edit %d %s raised:\n%s" % (r["index"], r["op"], r["reason"]))
            continue
        bad = (kind == "checkpoint" and (r["problems"] or r["status_error"])) or \
            kind in ("status_error", "crash", "replay", "tool_error") or \
            (kind == "version" and r["problems"])
        if not bad:
            continue
        if kind in ("checkpoint", "crash", "status_error") and r.get("index") is not None:
            lines.append("  the edits before it:")
            for e in edits[-8:]:
                lines.append("    %d %s %s %s" % (e["index"], e["op"], e["outcome"],
                                                 json.dumps(e["args"])))
        shown = {k: v for k, v in r.items() if k not in ("host", "addon", "log_tail")}
        lines.append(json.dumps(shown, indent=1)[:4000])
    return "\n".join(lines)
