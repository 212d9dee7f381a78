#!/usr/bin/env python3
"""Time of the document checker against json.load alone, on a ~100 MB scene document.

The document is the export benchmark's grid (1,000,000 vertices, about two
million triangles) written by norvik.  Best of several runs of each, in the
same process, alternating:

    .venv/bin/python bench/bench_check.py [--side 1000] [--runs 5]
"""
import argparse
import gc
import json
import os
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import bench_export  # noqa: E402  (puts the source tree's norvik_records on the path)

import norvik  # noqa: E402
from norvik_records import check  # noqa: E402


def timed(fn):
    gc.collect()
    start = time.perf_counter()
    fn()
    return time.perf_counter() - start


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--side", type=int, default=1000, help="grid side (vertices = side^2)")
    p.add_argument("--runs", type=int, default=5)
    args = p.parse_args()
    folder = "/dev/shm" if os.path.isdir("/dev/shm") else None
    with tempfile.TemporaryDirectory(dir=folder) as tmp:
        path = os.path.join(tmp, "grid.json")
        grid = bench_export.Grid(args.side)
        records = grid.records()
        assert norvik.export(records.address, records.count, os.fsencode(path), False)
        del grid, records

        def plain():
            with open(path, "rb") as f:
                json.load(f)

        lines = []
        def checked():
            lines[:] = check.check_scene(path)

        plain_t, check_t = [], []
        for _ in range(args.runs):
            plain_t.append(timed(plain))
            check_t.append(timed(checked))
        size = os.path.getsize(path)
    print(lines[0])
    print("document: %.1f MB" % (size / 1e6))
    print("json.load:   best %.3f s" % min(plain_t))
    print("check_scene: best %.3f s  (%.2fx json.load)" % (min(check_t), min(check_t) / min(plain_t)))


if __name__ == "__main__":
    main()
