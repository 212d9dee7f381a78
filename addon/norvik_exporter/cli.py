"""Command-line export: run inside Blender (or with the bpy module).

    blender -b --factory-startup --python cli.py -- [--blend FILE] [--out DIR]

Without --blend the built-in demo scene is exported.  Prints one line per
exported object, a line per warning (objects renamed in the document among
them) and a final summary; exits non-zero when a document could not be
written.  With --check the written documents are then read back and checked
as an engine would read them (norvik_records.check), one line per object;
a problem found there also gives a non-zero exit.

With --watch (and --blend) the same Blender stays: it exports again
whenever the .blend changes on disk (Blender saves through a new file
renamed over it), one summary line per export, until SIGINT or SIGTERM
(exit status 0).
"""
import argparse
import os
import signal
import sys
import time


def _arguments(argv):
    if argv is None:
        argv = sys.argv[sys.argv.index("--") + 1:] if "--" in sys.argv else sys.argv[1:]
    p = argparse.ArgumentParser(prog="norvik-export", description=__doc__.splitlines()[0])
    p.add_argument("--blend", help=".blend file to export (default: the built-in demo scene)")
    p.add_argument("--out", default="out", help="output folder (default: out)")
    p.add_argument("--name", help="document name (default: the .blend's name, or 'demo')")
    p.add_argument("--selected", action="store_true", help="selected objects only")
    p.add_argument("--no-modifiers", action="store_true", help="export meshes without modifiers")
    p.add_argument("--no-cameras", action="store_true", help="do not write the camera document")
    p.add_argument("--mesh-only", action="store_true",
                   help="mesh objects only: leave out curves, text, surfaces, metaballs and the like")
    p.add_argument("--subdivision", type=int, default=2, help="demo scene: Suzanne's subdivision level")
    p.add_argument("--save-demo", help="demo scene: also save it as this .blend")
    p.add_argument("--check", action="store_true",
                   help="check the written documents (python -m norvik_records.check)")
    p.add_argument("--watch", action="store_true",
                   help="with --blend: export again whenever the .blend changes, until stopped")
    args = p.parse_args(argv)
    if args.watch and not args.blend:
        p.error("--watch needs --blend")
    return args


def main(argv=None):
    args = _arguments(argv)
    sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    import bpy
    from norvik_exporter import demo, exporter

    if args.blend:
        problem = _open_blend(bpy, os.path.abspath(args.blend))
        if problem:
            print("norvik-export: " + problem, file=sys.stderr, flush=True)
            return 2
        name = args.name or os.path.splitext(os.path.basename(args.blend))[0]
    else:
        demo.build_demo_scene(args.subdivision)
        name = args.name or "demo"
        if args.save_demo:
            bpy.ops.wm.save_as_mainfile(filepath=os.path.abspath(args.save_demo))
    os.makedirs(args.out, exist_ok=True)
    scene_path = os.path.join(args.out, name + ".json")
    camera_path = None if args.no_cameras else exporter.camera_path_for(scene_path)

    print("norvik export of %s with Blender %s" % (args.blend or "the demo scene",
                                                 bpy.app.version_string), flush=True)

    def progress(i, n, obj, verts, tris, placed):
        print("  [%d/%d] %s: %d vertices, %d triangles, %d placement%s"
              % (i + 1, n, obj, verts, tris, placed, "" if placed == 1 else "s"), flush=True)

    options = exporter.ExportOptions(selected_only=args.selected,
                                     apply_modifiers=not args.no_modifiers,
                                     mesh_only=args.mesh_only)

    def export(progress=None, quiet=False):
        result = exporter.export_scene(scene_path, camera_path, options=options,
                                       progress=progress, echo=not quiet)
        if not quiet:
            for w in result.warnings:
                print("  warning: " + w)
        if not result.ok:
            print("Export failed: " + "; ".join(result.errors) if quiet else
                  "\n".join(["  error: " + e for e in result.errors] + ["Export failed"]),
                  flush=True)
            return 1
        print("Exported " + result.summary, flush=True)
        if quiet:
            return 0
        print("  scene:   " + scene_path)
        if camera_path:
            print("  cameras: " + camera_path + " (%s)" % ", ".join(result.cameras))
        sys.stdout.flush()
        return run_check(scene_path, camera_path) if args.check else 0

    if args.watch:
        return watch(bpy, os.path.abspath(args.blend), lambda: export(quiet=True))
    return export(progress)


def _stamp(path):
    """What changes when a file is written or replaced; None while it is missing."""
    try:
        st = os.stat(path)
    except OSError:
        return None
    return st.st_ino, st.st_size, st.st_mtime_ns


def watch(bpy, path, export, interval=0.05):
    """Export now and again whenever ``path`` changes (re-opened first), until SIGINT or SIGTERM."""
    stop = []
    for number in (signal.SIGINT, signal.SIGTERM):
        signal.signal(number, lambda sig, frame: stop.append(sig))
    seen = _stamp(path)
    export()
    print("Watching %s (Ctrl+C stops)" % path, flush=True)
    while not stop:
        time.sleep(interval)
        now = _stamp(path)
        if now is None or now == seen:
            continue
        # A file written in place (not renamed) is read once it stopped changing.
        time.sleep(interval)
        if _stamp(path) != now:
            continue
        seen = now
        problem = _open_blend(bpy, path)
        if problem:
            print("norvik-export: " + problem, flush=True)
            continue
        export()
    print("Stopped watching", flush=True)
    return 0


def _open_blend(bpy, path):
    """Opens ``path`` in Blender; None, or one line saying why it cannot be read."""
    try:
        with open(path, "rb") as f:
            f.read(1)
    except OSError as exc:
        return "cannot read %s: %s" % (path, exc.strerror or exc)
    try:
        bpy.ops.wm.open_mainfile(filepath=path)
    except RuntimeError as exc:
        # Blender's report names the file too: "Error: Cannot read file '<path>': why",
        # "Error: File format is not supported in file '<path>'".
        reason = str(exc).strip().splitlines()[-1]
        if reason.startswith("Error: "):
            reason = reason[len("Error: "):]
        quoted = "'%s'" % path
        head, found, tail = reason.partition(quoted + ": ")
        reason = tail if found else reason.replace(" in file " + quoted, "").replace(quoted, "")
        return "cannot read %s: %s" % (path, reason.strip() or "not a .blend file")
    return None


def run_check(scene_path, camera_path):
    """Check the written documents; prints a line per object, or the problems.  Exit status."""
    try:
        from norvik_exporter.norvik_records import check
    except ImportError:
        from norvik_records import check
    try:
        lines = check.check_documents(scene_path, camera_path)
    except check.DocumentError as exc:
        for problem in exc.problems:
            print("  check failed: %s: %s" % (exc.path, problem))
        sys.stdout.flush()
        return 1
    for line in lines:
        print("  check: " + line)
    print("Checked: no problems")
    sys.stdout.flush()
    return 0


if __name__ == "__main__":
    sys.exit(main())
