"""Checks a scene document (and a camera document) before an engine reads it.

    python -m norvik_records.check SCENE.json [CAMERAS.json]

Prints one line per object (vertices, triangles, placements, bounds) and per
camera.  Exits with status 1 and one line per problem, naming the object,
when a document is not valid JSON, holds a key twice, or holds lists that
do not fit together: positions and normals of 3 numbers per vertex, UVs of 2,
triangle indices in threes and below the vertex count, placements of 16
numbers, a field of view and a 16-number camera matrix, every number finite.
Status 2 means a document could not be read at all.
"""
import json
import math
import sys

import numpy as np

__all__ = ["DocumentError", "check_scene", "check_cameras", "check_documents", "main"]


class DocumentError(ValueError):
    """A document that an engine could not use; ``problems`` lists every finding."""

    def __init__(self, path, problems, unreadable=False):
        self.path = path
        self.unreadable = unreadable
        self.problems = list(problems)
        super().__init__("%s: %s" % (path, "; ".join(self.problems)))


class _Members(dict):
    """A JSON object that remembers the keys it held more than once."""
    __slots__ = ("repeated",)


def _members(pairs):
    members = _Members(pairs)
    members.repeated = []
    if len(members) != len(pairs):
        seen = set()
        for key, _ in pairs:
            if key in seen and key not in members.repeated:
                members.repeated.append(key)
            seen.add(key)
    return members


def _load(path):
    """The document's top-level object; a DocumentError when it is not one."""
    # NaN and Infinity are read as numbers here, so that the object holding
    # one is named when its lists are checked.
    try:
        with open(path, "rb") as f:
            text = f.read()
        doc = json.loads(text, object_pairs_hook=_members)
    except OSError as exc:
        raise DocumentError(path, ["cannot be read: %s" % (exc.strerror or exc)],
                            unreadable=True) from None
    except json.JSONDecodeError as exc:
        raise DocumentError(path, ["not valid JSON%s: %s" % (_near(exc.doc, exc.pos), exc)]) from None
    except ValueError as exc:            # not UTF-8 text
        raise DocumentError(path, ["not valid JSON: %s" % exc]) from None
    except RecursionError:
        raise DocumentError(path, ["not valid JSON: nested too deeply to be read"]) from None
    if not isinstance(doc, dict):
        raise DocumentError(path, ["the document is not a JSON object"])
    if doc.repeated:
        raise DocumentError(path, ["%s appears more than once" % _quoted(k) for k in doc.repeated])
    return doc


def _near(text, pos):
    """' in object "X"' for the last top-level key before ``pos``, as the writer lays keys out."""
    start = text.rfind('\n\t"', 0, pos)
    if start < 0:
        return ""
    end = text.find('" : {', start + 3, pos)
    if end < 0:
        return ""
    try:
        name = json.loads(text[start + 2:end + 1])
    except ValueError:
        return ""
    return " in object %s" % _quoted(name)


def _quoted(name):
    return json.dumps(name, ensure_ascii=False)


def _numbers(section, key, what, width=None, integers=False, required=True):
    """``section[key]`` as a flat numpy array, checked; raises ValueError naming ``what``."""
    if key not in section:
        if required:
            raise ValueError("no %s list" % what)
        return None
    values = section[key]
    if not isinstance(values, list):
        raise ValueError("%s is not a list" % what)
    try:
        array = np.asarray(values) if values else np.zeros(0, np.int64 if integers else np.float64)
    except (ValueError, TypeError, OverflowError):      # ragged nesting and the like
        array = np.zeros((0, 0))
    if array.ndim != 1 or array.dtype.kind not in ("iu" if integers else "iuf"):
        raise ValueError("%s holds something other than %s" % (
            what, "whole numbers" if integers else "numbers"))
    if array.dtype.kind == "f" and not np.isfinite(array).all():
        bad = int(np.flatnonzero(~np.isfinite(array))[0])
        raise ValueError("%s: number %d is not finite" % (what, bad))
    if width and len(array) % width:
        raise ValueError("%s holds %d numbers, not a multiple of %d" % (what, len(array), width))
    return array


def _scene_object(name, section):
    """Summary line of one object section; raises ValueError with the problem."""
    if not isinstance(section, dict):
        raise ValueError("the section is not a JSON object")
    if section.repeated:
        raise ValueError("%s appears more than once in the section"
                         % ", ".join(map(_quoted, section.repeated)))
    material = section.get("material", None)
    if material is not None and not isinstance(material, str):
        raise ValueError("material is not a text")
    vertices = _numbers(section, "vertices", "vertices", 3)
    count = len(vertices) // 3
    for key, width in (("normals", 3), ("uv", 2)):
        values = _numbers(section, key, key, width)
        if len(values) != width * count:
            raise ValueError("%s holds %d numbers for %d vertices (%d expected)"
                             % (key, len(values), count, width * count))
    indices = _numbers(section, "indices", "indices", 3, integers=True)
    if len(indices):
        low, high = int(indices.min()), int(indices.max())
        if low < 0 or high >= count:
            bad = low if low < 0 else high
            raise ValueError("index %d is not below the vertex count %d" % (bad, count))
    placements = 0
    if "instances" in section:
        instances = section["instances"]
        if not isinstance(instances, list):
            raise ValueError("instances is not a list")
        try:
            matrices = np.asarray(instances)
        except (ValueError, TypeError, OverflowError):
            matrices = None
        if (matrices is None or matrices.shape != (len(instances), 16)
                or matrices.dtype.kind not in "iuf"):
            for k, matrix in enumerate(instances):
                if not isinstance(matrix, list) or len(matrix) != 16:
                    raise ValueError("instance %d is not a list of 16 numbers" % k)
                _numbers({"m": matrix}, "m", "instance %d" % k)
        elif not np.isfinite(matrices).all():
            k = int(np.flatnonzero(~np.isfinite(matrices).all(axis=1))[0])
            raise ValueError("instance %d: a number is not finite" % k)
        placements = len(instances)
    line = "%s: %d vertices, %d triangles, %d placement%s" % (
        _quoted(name), count, len(indices) // 3, placements, "" if placements == 1 else "s")
    if count:
        co = vertices.reshape(-1, 3)
        low, high = co.min(axis=0), co.max(axis=0)
        line += ", bounds (%s) to (%s)" % (", ".join("%g" % v for v in low),
                                            ", ".join("%g" % v for v in high))
    return line


def _camera(name, section):
    if not isinstance(section, dict):
        raise ValueError("the section is not a JSON object")
    if section.repeated:
        raise ValueError("%s appears more than once in the section"
                         % ", ".join(map(_quoted, section.repeated)))
    fov = section.get("fov")
    if isinstance(fov, bool) or not isinstance(fov, (int, float)):
        raise ValueError("no field of view (fov) number")
    if not math.isfinite(fov):
        raise ValueError("fov is not finite")
    matrix = _numbers(section, "matrix", "matrix")
    if len(matrix) != 16:
        raise ValueError("matrix holds %d numbers, not 16" % len(matrix))
    return "%s: fov %g, at (%g, %g, %g)" % (_quoted(name), fov, matrix[12] / 100.0,
                                            matrix[13] / 100.0, matrix[14] / 100.0)


def _check(path, one, what):
    doc = _load(path)
    lines, problems = [], []
    for name, section in doc.items():
        try:
            lines.append(one(name, section))
        except ValueError as exc:
            problems.append("%s %s: %s" % (what, _quoted(name), exc))
    if problems:
        raise DocumentError(path, problems)
    return lines


def check_scene(path):
    """Summary lines of a scene document's objects; raises DocumentError listing every problem."""
    return _check(path, _scene_object, "object")


def check_cameras(path):
    """Summary lines of a camera document's cameras; raises DocumentError listing every problem."""
    return _check(path, _camera, "camera")


def check_documents(scene_path, camera_path=None):
    """Both documents: the summary lines, or a DocumentError for the first document with problems."""
    lines = check_scene(scene_path)
    if camera_path is not None:
        lines += ["camera " + line for line in check_cameras(camera_path)]
    return lines


def main(argv=None):
    argv = sys.argv[1:] if argv is None else argv
    if not 1 <= len(argv) <= 2 or argv[0].startswith("-"):
        print("usage: python -m norvik_records.check SCENE.json [CAMERAS.json]", file=sys.stderr)
        return 2
    status = 0
    for path, check in zip(argv, (check_scene, check_cameras)):
        try:
            lines = check(path)
        except DocumentError as exc:
            for problem in exc.problems:
                print("%s: %s" % (path, problem), file=sys.stderr)
            status = max(status, 2 if exc.unreadable else 1)
            continue
        for line in lines:
            print("%s: %s" % (path, line))
        what = "object" if check is check_scene else "camera"
        print("%s: %d %s%s, no problems" % (path, len(lines), what, "" if len(lines) == 1 else "s"))
    return status


if __name__ == "__main__":
    sys.exit(main())
