"""Reference model of the scene and camera documents, in plain Python.

It takes the same ``ExportObject``/``Camera`` data that ``norvik_records``
lays out and returns the exact bytes norvik must write (a text file: CR LF
line ends on Windows) together with the
messages it must print on C stdout.  It reads no memory: None stands for a
null address and the counts are taken from the objects as given.
"""
import math

import numpy as np

from platform_support import on_disk

F32 = np.float32
HUNDRED = F32(100.0)
ONE = F32(1.0)
# The float32 nearest to 1/32767 (bit pattern 0x38000100).
INV_SHORT = np.array([0x38000100], np.uint32).view(np.float32)[0]

NAME_SIZE, MATERIAL_SIZE, CAMERA_NAME_SIZE = 33, 39, 68

WARN_VERTS = "WARN! N.A.N. detected in verts!!!"
WARN_NORMALS = "WARN! N.A.N. detected in normals!!!"
WARN_UVS = "WARN! N.A.N. detected in UVs!!!"
WARN_INSTANCES = "WARN! N.A.N. detected in instances!!!"
WARN_CAMERAS = "WARN! N.A.N. detected in cameras!!!"
ERR_NULL_VERTS = "[ERROR] NULL mesh vertices!\n"
ERR_NULL_NORMALS = "[ERROR] NULL mesh normals!\n"
ERR_LOOPS = "[ERROR] Invalid mesh loops."
ERR_NO_TRIS = "[ERROR] No mesh looptris!\n"
ERR_NULL_TRIS = "[ERROR] NULL mesh looptris!\n"
ERR_RANGE = "[ERROR] Mesh indices out of range!\n"
ERR_OPEN = "\n* ERROR: Unable to open file!\n"
ERR_WRITE = "\n* ERROR: Unable to write file!\n"


def fmt(x):
    """C's "%.4f" of a float32 passed as a double."""
    return ("%.4f" % float(F32(x))).encode()


from norvik_records import generation_of  # noqa: E402,F401  (the one rule, re-exported)


def text(value, size):
    """The bytes norvik sees in a text field: cut to the field, up to the first NUL."""
    if isinstance(value, str):
        value = value.encode("utf-8")
    return bytes(value)[:size - 1].split(b"\0", 1)[0]


def escape(raw):
    out = bytearray()
    for b in raw:
        if b in (0x22, 0x5C):
            out += b"\\" + bytes([b])
        elif b < 0x20:
            out += b"\\u%04x" % b
        else:
            out.append(b)
    return bytes(out)


class _Out:
    def __init__(self):
        self.doc = []
        self.msgs = []

    def w(self, data):
        self.doc.append(data)

    def say(self, msg):
        self.msgs.append(msg)

    def finite(self, value, warning):
        """``value`` formatted, or 0.0000 with ``warning`` when it is not finite."""
        if math.isfinite(float(value)):
            return fmt(value)
        self.say(warning)
        return b"0.0000"

    def result(self):
        """The document's bytes as they reach the disk, and the messages."""
        return on_disk(b"".join(self.doc)), "".join(self.msgs)


def _object_section(o, i, ob, generation):
    w = o.w
    n = ob.vert_count
    w((b"\n\t\"" if i == 0 else b",\n\t\"") + escape(text(ob.name, NAME_SIZE)) + b"\" : {\n")
    w(b"\t\t\"material\" : \"" + escape(text(ob.material, MATERIAL_SIZE)) + b"\"")

    # Vertices.
    w(b",\n\t\t\"vertices\" : [")
    verts_ok = n > 0 and ob.positions is not None
    if n > 0 and ob.positions is None:
        o.say(ERR_NULL_VERTS)
    if verts_ok:
        items = []
        for x, y, z in ob.positions[:n]:
            if all(math.isfinite(float(c)) for c in (x, y, z)):
                items.append(b"%s,%s,%s" % (fmt(x), fmt(y), fmt(z)))
            else:
                o.say(WARN_VERTS)
                items.append(b"0.0,0.0,0.0")
        w(b",".join(items))

    # Normals.
    w(b"],\n\t\t\"normals\" : [")
    triples = None
    if generation == "293":
        if verts_ok:
            packed = ob.packed_normals
            if packed is None:
                packed = np.zeros((n, 3), np.int16)
            triples = [[F32(s) * INV_SHORT for s in row] for row in packed[:n]]
    elif n > 0:
        source = ob.custom_normals if ob.custom_normals is not None else ob.vert_normals
        if source is None:
            o.say(ERR_NULL_NORMALS)
        else:
            triples = source[:n]
    if triples is not None:
        w(b",".join(b",".join(o.finite(c, WARN_NORMALS) for c in row) for row in triples))

    # UVs.
    if ob.uvs is None:
        w(b"],\n\t\t\"uv\" : [")
        w(b",".join([b"0.0,0.0"] * max(n, 0)))
    elif ob.looptri_count != 0 and ob.tri_loops is not None:
        w(b"],\n\t\t\"uv\" : [")
        if n > 0 and ob.loop_vertices is None:
            w(b",".join([b"0.0,0.0"] * n))
        elif n > 0:
            first = [-1] * n
            assigned = 0
            for j in range(max(ob.loop_count, 0)):
                v = int(ob.loop_vertices[j])
                if v >= n or first[v] != -1:
                    continue
                first[v] = j
                assigned += 1
                if assigned == n:
                    break
            pairs = []
            for v in range(n):
                if first[v] == -1:
                    pairs.append(b"0.0000,1.0000")
                    continue
                u_, v_ = ob.uvs[first[v]]
                if not math.isfinite(float(v_)):
                    o.say(WARN_UVS)
                    v_ = F32(0)
                if not math.isfinite(float(u_)):
                    o.say(WARN_UVS)
                    u_ = F32(0)
                pairs.append(b"%s,%s" % (fmt(u_), fmt(ONE - F32(v_))))
            w(b",".join(pairs))

    # Indices.
    if ob.loop_vertices is None:
        o.say(ERR_LOOPS)
    elif ob.looptri_count == 0:
        o.say(ERR_NO_TRIS)
    elif ob.tri_loops is None:
        o.say(ERR_NULL_TRIS)
    else:
        tris = ob.tri_loops[:max(ob.looptri_count, 0)]
        ok = all(int(l) < ob.loop_count and int(ob.loop_vertices[l]) < n
                 for tri in tris for l in tri)
        if not ok:
            o.say(ERR_RANGE)
        else:
            w(b"],\n\t\t\"indices\" : [")
            w(b",".join(b"%d" % int(ob.loop_vertices[l]) for tri in tris for l in tri))

    # Instances and the closing of the section.
    if ob.instances is None:
        w(b"]\n\t}")
        return
    w(b"],\n\t\t\"instances\" : [\n\t\t\t")
    mats = []
    for m in ob.instances[:max(ob.instance_count, 0)]:
        with np.errstate(over="ignore", invalid="ignore"):
            scaled = m.astype(np.float32) * HUNDRED
        cols = []
        for c in range(4):
            col = b",".join(o.finite(scaled[r, c], WARN_INSTANCES) for r in range(3))
            cols.append(col + (b",1.0" if c == 3 else b",0.0"))
        mats.append(b"[" + b",".join(cols) + b"]")
    w(b",\n\t\t\t".join(mats))
    w(b"\n\t\t]\n\t}")


def scene_document(objects, generation):
    """(document bytes, stdout messages) of ``export`` over ``objects``.

    ``objects`` is a list of ``ExportObject`` (an empty list also stands for
    a null record address); ``generation`` is "293" or "310".
    """
    o = _Out()
    o.w(b"{")
    for i, ob in enumerate(objects):
        _object_section(o, i, ob, str(generation))
    o.w(b"\n}")
    return o.result()


def camera_document(cameras):
    """(document bytes, stdout messages) of ``export_scenes`` over ``Camera`` objects."""
    o = _Out()
    o.w(b"{")
    for i, cam in enumerate(cameras):
        o.w((b"\n\t\"" if i == 0 else b",\n\t\"") + escape(text(cam.name, CAMERA_NAME_SIZE))
            + b"\" : {\n")
        o.w(b"\t\t\"fov\" : " + o.finite(F32(cam.fov), WARN_CAMERAS))
        o.w(b",\n\t\t\"matrix\" : [")
        m = np.asarray(cam.matrix, np.float32).reshape(4, 4)
        with np.errstate(over="ignore", invalid="ignore"):
            scaled = m * np.float32([[100], [100], [100], [1]])
        o.w(b",".join(o.finite(scaled[g, j], WARN_CAMERAS) for j in range(4) for g in range(4)))
        o.w(b"]\n\t}")
    o.w(b"\n}")
    return o.result()
