"""Follows a scene document as an engine would: one line per complete new version.

    python -m norvik_records.watch DOCUMENT [--interval SECONDS]

The exporter writes each version into a new file and renames it over the
document, so a reader that opens the document by name gets either the old
version or the whole new one, never a part.  This watcher polls the file's
identity (inode, size, modification time), and on a change reads the new
version and checks it as ``python -m norvik_records.check`` does.  Per
version it prints the objects, the vertices, and how many seconds passed
since the version replaced the previous one (the file's status change time),
or the problems found.  Runs until SIGINT or SIGTERM (exit status 0).
"""
import argparse
import os
import re
import signal
import sys
import time

from .check import DocumentError, check_scene

__all__ = ["identity", "read_version", "main"]

_COUNTS = re.compile(r": (\d+) vertices, \d+ triangles, \d+ placements?")


def identity(path):
    """What changes when the document is replaced (or None while there is none)."""
    try:
        st = os.stat(path)
    except OSError:
        return None
    return (st.st_ino, st.st_size, st.st_mtime_ns, st.st_ctime_ns)


def replaced_at(path):
    """When the document was put in place: the rename changes the status
    time (POSIX); Windows keeps only the write time."""
    st = os.stat(path)
    return st.st_mtime if sys.platform == "win32" else max(st.st_mtime, st.st_ctime)


def read_version(path):
    """(objects, vertices) of the document, checked; raises DocumentError."""
    lines = check_scene(path)
    vertices = 0
    for line in lines:
        found = _COUNTS.findall(line)
        vertices += int(found[-1]) if found else 0
    return len(lines), vertices


def main(argv=None):
    p = argparse.ArgumentParser(prog="python -m norvik_records.watch",
                                description=__doc__.splitlines()[0])
    p.add_argument("document", help="the scene document to follow")
    p.add_argument("--interval", type=float, default=0.02, help="seconds between polls")
    args = p.parse_args(argv)
    stop = []
    for sig in (signal.SIGINT, signal.SIGTERM):
        signal.signal(sig, lambda number, frame: stop.append(number))
    name = os.path.basename(args.document)
    seen = None
    version = 0
    while not stop:
        now = identity(args.document)
        if now is None or now == seen:
            time.sleep(args.interval)
            continue
        try:
            age = time.time() - replaced_at(args.document)
            result = read_version(args.document)
        except DocumentError as exc:
            result = exc
        except OSError:
            result = None
        unreadable = result is None or getattr(result, "unreadable", False)
        if unreadable or identity(args.document) != now:
            # Replaced or removed meanwhile: the newer version is the one reported.
            time.sleep(args.interval)
            continue
        seen = now
        version += 1
        if isinstance(result, DocumentError):
            for problem in result.problems:
                print("%s: version %d: problem: %s" % (name, version, problem), flush=True)
        else:
            print("%s: version %d: %d objects, %d vertices, %.3f s after it replaced the "
                  "previous one" % (name, version, result[0], result[1], max(age, 0.0)),
                  flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
