"""Instructions per written number of the arm64 list paths (portable, NEON),
counted under qemu-user, where neither valgrind nor a processor counter runs.

qemu logs every translated block (its instructions) and every block it
executes (no chaining, so each run of a block is logged); the instructions
of the blocks run inside the formatting (functions of norvik's number
formatter and the run loop of bench/format_count.cpp) are summed. Counts of
emulated instructions, not timings.

    python tools/count_arm64.py [COUNT]    (default 200,000 numbers per path)
"""
import os
import re
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BLOCK = re.compile(r"^0x([0-9a-f]+):\s")
TRACE = re.compile(r"^Trace \d+: \S+ \[[0-9a-f]+/([0-9a-f]+)/[0-9a-f]+/[0-9a-f]+\] (\S*)")


def build(out):
    exe = os.path.join(out, "format_count_arm64")
    subprocess.run([sys.executable, "-m", "ziglang", "c++", "-target", "aarch64-linux-musl", "-std=c++20", "-O3",
                    "-DNDEBUG", "-static", "-I", os.path.join(ROOT, "src"),
                    os.path.join(ROOT, "bench", "format_count.cpp"),
                    os.path.join(ROOT, "src", "writer", "format_list.cpp"), "-o", exe], check=True)
    return exe


def count(exe, kind, path, n, log):
    run = subprocess.run(["qemu-aarch64-static", "-d", "in_asm,exec,nochain", "-D", log, exe, kind, path, str(n)],
                         capture_output=True, text=True, check=True)
    numbers_bytes = int(run.stdout.split()[2])
    sizes, start, total = {}, None, 0
    with open(log, errors="replace") as f:
        for line in f:
            if line.startswith("IN:"):
                start = None
                continue
            m = BLOCK.match(line)
            if m:
                if start is None:
                    start = int(m.group(1), 16)
                    sizes[start] = 0
                sizes[start] += 1
                continue
            t = TRACE.match(line)
            if t and ("norvik" in t.group(2) or "fmt" in t.group(2)):
                total += sizes.get(int(t.group(1), 16), 0)
    return total / n, numbers_bytes / n


def main(argv):
    n = int(argv[0]) if argv else 200000
    with tempfile.TemporaryDirectory() as out:
        exe = build(out)
        print("| numbers | path | emulated arm64 instructions / number | bytes / number |")
        print("| --- | --- | --- | --- |")
        for kind, label in (("f4", '"%.4f"'), ("u32", '"%u"')):
            for path in ("portable", "neon"):
                per, size = count(exe, kind, path, n, os.path.join(out, "log"))
                print("| %s | %s | %.1f | %.2f |" % (label, path, per, size))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
