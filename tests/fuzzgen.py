"""Random cases for differential fuzzing of norvik against the Python models.

Each ``*_case(rng, ...)`` function builds one random input, runs norvik on it
and the model on the same data, and returns None when both agree or a short
text describing the difference.  Used by ``test_fuzz_documents.py`` (a few
hundred cases) and by ``tools/fuzz_long.py`` (100,000 and more).

Every address handed to norvik points at a real array at least as long as
the counts in its record claim.  Out-of-range values are only put where the
module checks them: loop and vertex indices of the scene writer (checked
against the record's counts), material indices, block sizes and normal rows
of the triangle arrays.  Loop and vertex indices of the triangle arrays stay
in range, since a HostMesh carries no count to check them against.
"""
import json
import os
import tempfile

import numpy as np

import norvik
from norvik_records import (
    Camera, ExportObject, HostMesh, camera_records, export_records, loop_array, looptri_array,
    poly_array, tri_poly_array, uv_array, vertex_array,
)

import docmodel as dm
from samples import values

try:
    import trimodel as tm
except ImportError:  # the triangle-array model is optional
    tm = None

VERSIONS = {"310": [(3, 1, 0), (3, 4, 1), (3, 6, 5), (3.0, 2)],
            "293": [(2, 93, 0), (3, 0, 0), (2, 93, 18), (3, 0, 1)],
            "400": [(4, 0, 0), (4, 2, 1), (5, 0, 1), (5, 3, 0)]}
GENERATIONS = list(VERSIONS)


class CapturedStdout:
    """Redirects file descriptor 1 (C stdout) into a temporary file until closed."""

    def __init__(self):
        import sys
        sys.stdout.flush()
        self._saved = os.dup(1)
        self._file = tempfile.TemporaryFile()
        os.dup2(self._file.fileno(), 1)

    def read(self):
        """Bytes written since the last read."""
        fd = self._file.fileno()
        size = os.lseek(fd, 0, os.SEEK_END)
        os.lseek(fd, 0, os.SEEK_SET)
        data = os.read(fd, size) if size else b""
        os.ftruncate(fd, 0)
        os.lseek(fd, 0, os.SEEK_SET)
        return data

    def close(self):
        os.dup2(self._saved, 1)
        os.close(self._saved)
        self._file.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def random_bytes(rng, max_len):
    """A text of any byte values (zero bytes included, which end the text early)."""
    n = int(rng.integers(0, max_len + 1))
    if rng.random() < 0.3:
        return bytes(rng.integers(0, 256, n, dtype=np.uint8))
    pool = np.frombuffer(b'\x00\x01\x1f "\\\x7f\x80\xc3\xa9\xff\t\n', np.uint8)
    mixed = np.where(rng.random(n) < 0.5, rng.choice(pool, n),
                     rng.integers(0x20, 0x7f, n, dtype=np.uint8)).astype(np.uint8)
    return bytes(mixed)


def _values(rng, shape):
    """Finite values with ties and extreme magnitudes; sometimes with NaN and infinities."""
    return values(rng, shape, nonfinite=float(rng.choice([0.0, 0.0, 0.1, 0.5])))


def _count(rng, n):
    """A count for an array of n elements: usually n, sometimes fewer, zero or negative."""
    r = rng.random()
    if r < 0.7:
        return n
    if r < 0.85:
        return int(rng.integers(0, n + 1))
    return int(rng.choice([-1, -2, -(2 ** 31)]))


def _indices(rng, n, size):
    """``n`` indices below ``size``, some of them (rarely) out of range."""
    out = rng.integers(0, max(size, 1), n).astype(np.uint64)
    if size == 0:
        out[:] = 0
    bad = rng.random(n) < float(rng.choice([0.0, 0.0, 0.05, 0.3]))
    out[bad] = rng.choice(np.array([size, size + 1, 2 ** 31 - 1, 2 ** 31, 2 ** 32 - 1],
                                   np.uint64), int(bad.sum()))
    return out.astype(np.uint32)


def random_object(rng, generation):
    nv, nl, nt = (int(rng.integers(0, k)) for k in (8, 12, 7))
    positions = None if rng.random() < 0.08 else _values(rng, (nv, 3))
    fields = dict(vert_count=_count(rng, nv))
    if generation == "293":
        fields["packed_normals"] = rng.integers(-32768, 32768, (nv, 3)).astype(np.int16)
    else:
        if rng.random() < 0.9:
            fields["vert_normals"] = _values(rng, (nv, 3))
        if rng.random() < 0.4:
            fields["custom_normals"] = _values(rng, (nv, 3))
    if rng.random() > 0.08:
        fields["loop_vertices"] = _indices(rng, nl, nv)
    fields["loop_count"] = _count(rng, nl)
    if rng.random() < 0.7:
        fields["uvs"] = _values(rng, (nl, 2))
    if rng.random() > 0.08:
        fields["tri_loops"] = _indices(rng, nt * 3, nl).reshape(nt, 3)
    fields["looptri_count"] = _count(rng, nt)
    if rng.random() < 0.4:
        k = int(rng.integers(0, 4))
        inst = _values(rng, (k, 3, 4))
        if rng.random() < 0.2:
            with np.errstate(over="ignore"):
                inst *= np.float32(1e37)
        fields["instances"] = inst
        fields["instance_count"] = _count(rng, k)
    if positions is None and generation == "293":
        fields.pop("packed_normals")
    return ExportObject(random_bytes(rng, 40), random_bytes(rng, 45), positions, **fields)


def _parse(doc):
    json.loads(doc.decode("latin-1"))


def export_case(rng, path, cap):
    generation = str(rng.choice(GENERATIONS))
    version = VERSIONS[generation][int(rng.integers(0, 4))]
    objects = [random_object(rng, generation) for _ in range(int(rng.integers(0, 4)))]
    recs = export_records(objects, generation, garbage_fill=True, rng=rng)
    address, count, expected = recs.address, recs.count, objects
    r = rng.random()
    if r < 0.04:
        address, count, expected = 0, int(rng.integers(0, 5)), []
    elif r < 0.1:
        count = int(rng.integers(-2, len(objects) + 1))
        expected = objects[:max(count, 0)]
    norvik.b3d_version = version
    use_debug = [False, True, None, 1, "x"][int(rng.integers(0, 5))]
    ok = norvik.export(address, count, path, use_debug)
    with open(path, "rb") as f:
        doc = f.read()
    msgs = cap.read()
    exp_doc, exp_msgs = dm.scene_document(expected, generation)
    if ok is not True:
        return "export returned %r" % (ok,)
    if doc != exp_doc:
        return "document differs (generation %s):\n%r\n%r" % (generation, doc, exp_doc)
    if msgs != exp_msgs.encode():
        return "messages differ: %r != %r" % (msgs, exp_msgs)
    try:
        _parse(doc)
    except ValueError as e:
        return "document is not JSON: %s" % e
    return None


def camera_case(rng, path, cap):
    cams = []
    for _ in range(int(rng.integers(0, 5))):
        m = _values(rng, (4, 4))
        if rng.random() < 0.1:
            with np.errstate(over="ignore"):
                m *= np.float32(1e37)
        cams.append(Camera(random_bytes(rng, 72), _values(rng, ())[()], m))
    recs = camera_records(cams, garbage_fill=True, rng=rng)
    address, count, expected = recs.address, recs.count, cams
    r = rng.random()
    if r < 0.05:
        address, count, expected = 0, int(rng.integers(0, 5)), []
    elif r < 0.12:
        count = int(rng.integers(-2, len(cams) + 1))
        expected = cams[:max(count, 0)]
    ok = norvik.export_scenes(address, count, path)
    with open(path, "rb") as f:
        doc = f.read()
    msgs = cap.read()
    exp_doc, exp_msgs = dm.camera_document(expected)
    if ok is not True:
        return "export_scenes returned %r" % (ok,)
    if doc != exp_doc:
        return "camera document differs:\n%r\n%r" % (doc, exp_doc)
    if msgs != exp_msgs.encode():
        return "messages differ: %r != %r" % (msgs, exp_msgs)
    try:
        _parse(doc)
    except ValueError as e:
        return "camera document is not JSON: %s" % e
    return None


# --- triangle arrays -------------------------------------------------------------------

def _outcome(fn, *args):
    """("ok", bytes) or ("raise", type, message)."""
    try:
        out = fn(*args)
    except Exception as e:  # noqa: BLE001 - compared with the model's
        if tm is not None and isinstance(e, tm.ModelRejection):
            return ("raise", ValueError, None)
        return ("raise", type(e), str(e))
    return ("ok", out.dtype.str, out.shape, out.tobytes())


def _same(got, want):
    if want[0] == "raise" and got[0] == "raise":
        return got[1] is want[1] and (want[2] is None or got[2] == want[2])
    return got == want


def _strided(rng, arr):
    """``arr`` as itself or as a strided view with the same items."""
    if arr is None or rng.random() < 0.6:
        return arr
    big = np.zeros(len(arr) * 2, arr.dtype)
    big[::2] = arr
    return big[::2]


def tri_case(rng):
    """One random mesh through all six array functions, each compared with the model."""
    if tm is None:
        return None
    nv, nl, nt, npoly = (int(rng.integers(1, k)) for k in (8, 12, 7, 4))
    positions = _values(rng, (nv, 3))
    loop_vertices = rng.integers(0, nv, nl).astype(np.uint32)
    tri_loops = rng.integers(0, nl, (nt, 3)).astype(np.uint32)
    tri_polys = rng.integers(0, npoly, nt).astype(np.uint32)
    poly_mats = rng.choice(np.int16([0, 1, 2, 3, -1, -32768, 32767]), npoly,
                           p=[.3, .25, .2, .1, .05, .05, .05])
    uvs = _values(rng, (nl, 2))
    has_uvs = int(rng.choice([0, 1, 1, 7, -1]))
    tri_count = int(rng.integers(0, nt + 1)) if rng.random() < 0.3 else nt
    if rng.random() < 0.05:
        tri_count = -int(rng.integers(1, 3))
    material_count = int(rng.integers(0, 5)) if rng.random() > 0.05 else -1
    generation = str(rng.choice(GENERATIONS))

    # One kind of fault per case: a null array, or one bad array argument.
    fault = rng.choice(["none"] * 6 + ["null", "mi", "tpm", "normals"])
    arrays = dict(verts=True, loops=True, looptris=True, uvs=True, polys=True)
    if fault == "null":
        arrays[str(rng.choice(list(arrays)))] = False
    if not arrays["uvs"] and rng.random() < 0.5:
        has_uvs = 0

    def host(gen):
        verts = vertex_array(positions, gen, rng.integers(-99, 99, (nv, 3)) if gen == "293"
                             else None, garbage_fill=True, rng=rng)
        uv_addr = uv_array(uvs, True, rng, gen) if arrays["uvs"] else None
        if not has_uvs and not arrays["uvs"] and rng.random() < 0.5:
            uv_addr = 0x10   # never read while the flag is zero
        return HostMesh(verts if arrays["verts"] else None,
                        poly_array(poly_mats, True, rng, gen) if arrays["polys"] else None,
                        loop_array(loop_vertices, True, rng, gen) if arrays["loops"] else None,
                        uv_addr,
                        looptri_array(tri_loops, tri_polys, True, rng, gen) if arrays["looptris"]
                        else None,
                        has_uvs=has_uvs, looptri_count=tri_count,
                        material_count=material_count, garbage_fill=True, rng=rng,
                        # from 4.0 on a null triangle array goes with null triangle polygons
                        tri_polys=(tri_poly_array(tri_polys) if arrays["looptris"] else 0)
                        if gen == "400" else None)

    P = positions if arrays["verts"] else None
    L = loop_vertices if arrays["loops"] else None
    T = tri_loops if arrays["looptris"] else None
    U = uvs if arrays["uvs"] else None
    problems = []

    def compare(name, got, want):
        if not _same(got, want):
            problems.append("%s: %r != model %r" % (name, got[:3], want[:3]))

    h310 = host("310")
    h400 = host("400")
    # The single-material functions read the 3.1 layouts, or the 4.0 ones from 4.0 on.
    for gen, h in (("310", h310), ("400", h400)):
        norvik.b3d_version = VERSIONS[gen][int(rng.integers(0, 4))]
        compare("get_mesh_tri_data " + gen, _outcome(norvik.get_mesh_tri_data, h.address),
                _outcome(tm.tri_data, tri_count, P, L, T, U, has_uvs))
        compare("get_material_indices " + gen, _outcome(norvik.get_material_indices, h.address),
                _outcome(tm.material_indices, tri_count,
                         tri_polys if arrays["looptris"] else None,
                         poly_mats if arrays["polys"] else None, gen))

    # The arrays that the add-on chains, then perhaps spoilt.
    mats = tm.material_indices(max(tri_count, 0), tri_polys, poly_mats)
    if rng.random() < 0.3:
        mats = rng.integers(-2, 6, max(tri_count, 0)).astype(np.int32)
    tpm = tm.tri_count_per_material_index(mats, max(material_count, 0))
    compare("get_tri_count_per_material_index",
            _outcome(norvik.get_tri_count_per_material_index, _strided(rng, mats),
                     material_count),
            _outcome(tm.tri_count_per_material_index, mats, material_count))
    normals = _values(rng, nl * 3)
    if fault == "mi":
        mats = [None, mats[:-1], rng.integers(0, 4, len(mats)).astype(np.int32)][
            int(rng.integers(0, 3))]
    elif fault == "tpm":
        k = int(rng.integers(0, 4))
        if k == 0:
            tpm = None
        elif k == 1:
            tpm = tpm[:-1].copy()
        elif len(tpm):
            tpm = tpm.copy()
            tpm[int(rng.integers(0, len(tpm)))] += int(rng.choice([-1, 1, 5, -(2 ** 30)]))
    elif fault == "normals":
        k = int(rng.integers(0, 3))
        normals = [None, normals[:-1], normals[:-3 * int(rng.integers(1, nl + 1))]][k]
    mats_arg, tpm_arg, normals_arg = (_strided(rng, a) for a in (mats, tpm, normals))

    def want():
        return _outcome(tm.multi_material, tri_count, material_count, mats_arg, tpm_arg,
                        normals_arg, P, L, T, U, has_uvs)
    model = want()
    compare("__310_to_current",
            _outcome(norvik.get_mesh_tri_data_multi_material__310_to_current, h310.address,
                     mats_arg, tpm_arg, normals_arg), model)
    h293 = host("293")
    compare("__293_to_300",
            _outcome(norvik.get_mesh_tri_data_multi_material__293_to_300, h293.address,
                     mats_arg, tpm_arg, normals_arg), model)
    hgen = {"310": h310, "293": h293, "400": h400}[generation]
    norvik.b3d_version = VERSIONS[generation][int(rng.integers(0, 4))]
    compare("get_mesh_tri_data_multi_material",
            _outcome(norvik.get_mesh_tri_data_multi_material, hgen.address, mats_arg, tpm_arg,
                     normals_arg), model)
    return "; ".join(problems) or None


KINDS = {"export": export_case, "camera": camera_case, "tri": tri_case}


def run(seed, count, path, kinds=("export", "camera", "tri"), stop_after=5):
    """Runs ``count`` cases from ``seed``; returns (cases run, [(case index, kind, text)])."""
    rng = np.random.default_rng(seed)
    failures = []
    saved = norvik.__dict__.get("b3d_version")
    cap = CapturedStdout()
    try:
        with np.errstate(all="ignore"):
            for i in range(count):
                kind = kinds[i % len(kinds)]
                if kind == "tri":
                    problem = tri_case(rng)
                else:
                    problem = KINDS[kind](rng, path, cap)
                if problem:
                    failures.append((i, kind, problem))
                    if len(failures) >= stop_after:
                        return i + 1, failures
    finally:
        cap.close()
        norvik.b3d_version = saved
    return count, failures
