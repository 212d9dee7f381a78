"""Long differential fuzz run: ``python tools/fuzz_long.py [--cases N] [--seed S] [--jobs J]``.

Splits N cases (default 100,000) over J processes (default 2), each with its
own seed derived from S, and prints the count checked and every mismatch.
Exits 1 when any case differs from the model.
"""
import argparse
import multiprocessing
import os
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def worker(args):
    seed, count = args
    import importlib.util
    if importlib.util.find_spec("bpy") is None:
        sys.path.insert(0, os.path.join(ROOT, "tools", "host_stub"))
    sys.path[:0] = [os.path.join(ROOT, "python"), os.path.join(ROOT, "tests")]
    import fuzzgen
    with tempfile.TemporaryDirectory() as tmp:
        ran, failures = fuzzgen.run(seed, count, os.fsencode(os.path.join(tmp, "doc.json")),
                                    stop_after=20)
    return seed, ran, failures, fuzzgen.tm is not None


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--cases", type=int, default=100_000)
    p.add_argument("--seed", type=int, default=20240601)
    p.add_argument("--jobs", type=int, default=2)
    a = p.parse_args()
    per = [a.cases // a.jobs + (1 if i < a.cases % a.jobs else 0) for i in range(a.jobs)]
    start = time.time()
    ctx = multiprocessing.get_context("spawn")
    with ctx.Pool(a.jobs) as pool:
        results = pool.map(worker, [(a.seed * 1000 + i, n) for i, n in enumerate(per)])
    total = sum(r[1] for r in results)
    failures = [(r[0],) + f for r in results for f in r[2]]
    for seed, case, kind, text in failures:
        print("seed %d case %d (%s): %s" % (seed, case, kind, text[:2000]))
    kinds = "export, camera, tri" if all(r[3] for r in results) else "export, camera"
    print("fuzz_long: %d cases checked (%s; seed %d, %d processes) in %.0f s: %s"
          % (total, kinds, a.seed, a.jobs, time.time() - start,
             "all match the models" if not failures else "%d MISMATCHES" % len(failures)))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
