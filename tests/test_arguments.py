"""The argument layer of the eight functions: binding, conversions, array views.

Every call here either fails in the argument layer, before the body runs, or
is arranged so that the body touches no host memory (a count of 0, a null
mesh address) or reads memory laid out by ``norvik_records``.
"""
import math
import os
import sys
import traceback
import warnings

import numpy as np
import pytest

import norvik
from norvik_records import Mesh, export_records
from platform_support import on_disk

PARAMS = {
    "export": ("ob_ptr", "count", "output_path", "use_debug"),
    "export_scenes": ("scn_ptr", "count", "output_path"),
    "get_tri_count_per_material_index": ("material_indices", "material_count"),
    "get_mesh_tri_data_multi_material": ("mesh_ptr", "material_indices", "tris_per_material",
                                         "split_normals"),
    "get_mesh_tri_data_multi_material__310_to_current": ("mesh_ptr", "material_indices",
                                                         "tris_per_material", "split_normals"),
    "get_mesh_tri_data_multi_material__293_to_300": ("mesh_ptr", "material_indices",
                                                     "tris_per_material", "split_normals"),
}
KW_FUNCTIONS = list(PARAMS)
ONE_ARG_FUNCTIONS = ["get_mesh_tri_data", "get_material_indices"]
MULTI = KW_FUNCTIONS[3:]

I4 = np.array([0, 1, 1], np.int32)
F4 = np.zeros(9, np.float32)


class Placeholder:
    """An argument that must never get as far as conversion."""


def entries(exc):
    """The module's traceback entries on an exception, innermost last."""
    return [f.name for f in traceback.extract_tb(exc.__traceback__) if f.name.startswith("norvik.")]


def raises(exc_type, message, fn, *args, **kwargs):
    """Calls fn, checks the exception type and exact message, returns the exception."""
    with pytest.raises(exc_type) as info:
        fn(*args, **kwargs)
    assert str(info.value) == message
    return info.value


def count_message(name, given):
    n = len(PARAMS[name])
    return f"{name}() takes exactly {n} positional arguments ({given} given)"


def read(path):
    with open(path, "rb") as f:
        return f.read()


@pytest.fixture(scope="module")
def mesh():
    """A two-material mesh with its material queries done.

    Laid out with the 20-byte vertices, so that every generation's reader stays inside it.
    """
    m = Mesh([(1, 2, 3), (4, 5, 6), (7, 8, 9), (10, 11, 12)], [(0, 1, 2, 3), (1, 3, 2)],
             uvs=[(i / 8, i / 16) for i in range(7)], materials=[1, 0])
    block = m.host_arrays("293")
    block.mi = norvik.get_material_indices(block.address)
    block.tpm = norvik.get_tri_count_per_material_index(block.mi, 2)
    block.split = np.linspace(-1, 1, 21, dtype=np.float32)
    return block


# ---------------------------------------------------------------------------
# Binding
# ---------------------------------------------------------------------------

def binding_cases():
    """(function, args, kwargs, expected message) for every binding rule of every function."""
    for name, params in PARAMS.items():
        n = len(params)
        args = [Placeholder()] * n
        kw = dict.fromkeys(params, Placeholder())
        yield name, args + [Placeholder()], {}, count_message(name, n + 1)
        yield name, args + [Placeholder()], {"mode": 1}, count_message(name, n + 1)
        yield name, [], {}, count_message(name, 0)
        yield name, args[:-1], {}, count_message(name, n - 1)
        # A missing keyword reports its position, even when earlier ones came as keywords.
        yield name, [], {k: kw[k] for k in params[:-1]}, count_message(name, n - 1)
        yield name, [], {k: kw[k] for k in params[1:]}, count_message(name, 0)
        yield name, args[:1], {k: kw[k] for k in params[2:]}, count_message(name, 1)
        # The missing parameter is reported before a leftover keyword is examined.
        yield name, args[:1], {"mode": 1}, count_message(name, 1)
        yield name, args, {params[0]: 1}, \
            f"{name}() got multiple values for keyword argument '{params[0]}'"
        yield name, args[:1], dict(kw), \
            f"{name}() got multiple values for keyword argument '{params[0]}'"
        yield name, args, {"mode": 1}, f"{name}() got an unexpected keyword argument 'mode'"
        # Leftover keywords are examined in the order they were given.
        yield name, args, {"mode": 1, params[0]: 1}, \
            f"{name}() got an unexpected keyword argument 'mode'"
        yield name, args[:-1], {params[-1]: 1, "mode": 1}, \
            f"{name}() got an unexpected keyword argument 'mode'"


@pytest.mark.parametrize("name, args, kwargs, message", list(binding_cases()))
def test_binding_errors(name, args, kwargs, message):
    exc = raises(TypeError, message, getattr(norvik, name), *args, **kwargs)
    assert entries(exc) == [f"norvik.{name}"]


@pytest.mark.parametrize("name", KW_FUNCTIONS)
def test_non_str_keyword(name):
    testcapi = pytest.importorskip("_testcapi")
    n = len(PARAMS[name])
    fn = getattr(norvik, name)
    with pytest.raises(TypeError, match=r"^%s\(\) keywords must be strings$" % name):
        testcapi.pyobject_fastcalldict(fn, (Placeholder(),) * n, {1: 2})


@pytest.mark.parametrize("name", ONE_ARG_FUNCTIONS)
def test_one_argument_functions_use_the_interpreter_check(name):
    """The interpreter's own messages, taken from a one-argument builtin of the same interpreter."""
    fn = getattr(norvik, name)
    for call, ref in [
        (lambda f: f(0, 0), lambda: math.sqrt(0, 0)),
        (lambda f: f(), lambda: math.sqrt()),
        (lambda f: f(mesh_ptr=0), lambda: math.sqrt(x=0)),
    ]:
        with pytest.raises(TypeError) as expected:
            ref()
        with pytest.raises(TypeError) as got:
            call(fn)
        assert str(got.value) == str(expected.value).replace("math.sqrt", f"norvik.{name}")


def test_keywords_bind_in_any_order(out_path, mesh):
    assert norvik.export(use_debug=0, output_path=out_path, count=0, ob_ptr=0) is True
    assert read(out_path) == on_disk(b"{\n}")
    got = norvik.get_tri_count_per_material_index(material_count=3, material_indices=I4)
    assert got.tolist() == [1, 2, 0]
    for name in MULTI:
        fn = getattr(norvik, name)
        positional = fn(mesh.address, mesh.mi, mesh.tpm, mesh.split)
        keyword = fn(split_normals=mesh.split, mesh_ptr=mesh.address, tris_per_material=mesh.tpm,
                     material_indices=mesh.mi)
        mixed = fn(mesh.address, mesh.mi, split_normals=mesh.split, tris_per_material=mesh.tpm)
        np.testing.assert_array_equal(keyword, positional)
        np.testing.assert_array_equal(mixed, positional)


# ---------------------------------------------------------------------------
# Host addresses and counts
# ---------------------------------------------------------------------------

class IntSub(int):
    pass


class HasInt:
    def __init__(self, value):
        self.value = value

    def __int__(self):
        return self.value


class IntOverridesInt(int):
    def __int__(self):
        return 99


class IntFails:
    def __int__(self):
        raise KeyError("from __int__")


DEPRECATED = ("__int__ returned non-int (type IntSub).  The ability to return an instance of a "
              "strict subclass of int is deprecated, and may be removed in a future version of "
              "Python.")


@pytest.mark.parametrize("value", [
    0, -1, True, False, IntSub(7), HasInt(-5), 1234.9, -0.5, 2 ** 63 - 1, -2 ** 63,
    np.int64(9), np.uint64(2 ** 63 - 1),
], ids=repr)
def test_address_values_that_pass(value, out_path):
    # With a count of 0 the body never reads through the address.
    assert norvik.export(value, 0, out_path, False) is True
    assert read(out_path) == on_disk(b"{\n}")


@pytest.mark.parametrize("value", [0, 0.9, -1, -2 ** 31, False, IntSub(0),
                                   HasInt(0), -7.99], ids=repr)
def test_count_values_that_pass(value, out_path):
    # No record is written for a count below 1, whatever the address.
    assert norvik.export(0, value, out_path, False) is True
    assert read(out_path) == on_disk(b"{\n}")


NOT_INTEGERS = [
    ("0", TypeError, "an integer is required"),
    (None, TypeError, "an integer is required"),
    (b"1", TypeError, "an integer is required"),
    (HasInt("7"), TypeError, "__int__ returned non-int (type str)"),
    (HasInt(1.5), TypeError, "__int__ returned non-int (type float)"),
    (IntFails(), KeyError, "'from __int__'"),
    (float("nan"), ValueError, "cannot convert float NaN to integer"),
    (float("inf"), OverflowError, "cannot convert float infinity to integer"),
]
ADDRESS_ERRORS = [
    (2 ** 63, OverflowError, None),
    (-2 ** 63 - 1, OverflowError, None),
    (2 ** 64, OverflowError, None),
    (np.uint64(2 ** 64 - 1), OverflowError, None),
] + NOT_INTEGERS
COUNT_ERRORS = [
    (2 ** 31, OverflowError, None),
    (-2 ** 31 - 1, OverflowError, None),
    (2 ** 40, OverflowError, None),
    (float(2 ** 31), OverflowError, None),
] + NOT_INTEGERS


def scalar_calls(out_path):
    """(function name, call) pairs placing a value at each address and count parameter."""
    return [
        ("export", lambda v: norvik.export(v, 0, out_path, False)),
        ("export_scenes", lambda v: norvik.export_scenes(v, 0, out_path)),
        ("get_mesh_tri_data", lambda v: norvik.get_mesh_tri_data(v)),
        ("get_material_indices", lambda v: norvik.get_material_indices(v)),
    ] + [(name, lambda v, fn=getattr(norvik, name): fn(v, None, None, None)) for name in MULTI]


def count_calls(out_path):
    return [
        ("export", lambda v: norvik.export(0, v, out_path, False)),
        ("export_scenes", lambda v: norvik.export_scenes(0, v, out_path)),
        ("get_tri_count_per_material_index",
         lambda v: norvik.get_tri_count_per_material_index(I4, v)),
    ]


def check_conversion_error(calls, value, exc_type, message, out_path):
    for name, call in calls:
        with pytest.raises(exc_type) as info:
            call(value)
        if message is not None:
            assert str(info.value) == message, name
        assert entries(info.value) == [f"norvik.{name}"]
    assert not os.path.exists(out_path)


@pytest.mark.parametrize("value, exc_type, message", ADDRESS_ERRORS, ids=repr)
def test_address_conversion_errors(value, exc_type, message, out_path):
    check_conversion_error(scalar_calls(out_path), value, exc_type, message, out_path)


@pytest.mark.parametrize("value, exc_type, message", COUNT_ERRORS, ids=repr)
def test_count_conversion_errors(value, exc_type, message, out_path):
    check_conversion_error(count_calls(out_path), value, exc_type, message, out_path)


@pytest.mark.parametrize("value, expected", [
    (3, 3), (True, 1), (IntSub(4), 4), (HasInt(2), 2), (2.99, 2), (np.int16(5), 5),
    (IntOverridesInt(2), 2),  # an int subclass is used as it is, without its __int__
], ids=repr)
def test_count_value_is_used(value, expected):
    got = norvik.get_tri_count_per_material_index(I4, value)
    assert got.tolist() == [1, 2, 0, 0, 0][:expected]


def test_address_value_is_used(mesh):
    expected = norvik.get_material_indices(mesh.address)
    assert expected.tolist() == [1, 1, 0]
    for value in [IntSub(mesh.address), HasInt(mesh.address), float(mesh.address) + 0.75,
                  np.uint64(mesh.address)]:
        np.testing.assert_array_equal(norvik.get_material_indices(value), expected)
        tri = norvik.get_mesh_tri_data(value)
        np.testing.assert_array_equal(tri, norvik.get_mesh_tri_data(mesh.address))


@pytest.mark.parametrize("result", [IntSub(0), False], ids=repr)
@pytest.mark.parametrize("where", ["address", "count"])
def test_int_subclass_from_int_is_deprecated(where, result, out_path):
    value = HasInt(result)
    args = (value, 0) if where == "address" else (0, value)
    message = DEPRECATED.replace("IntSub", type(result).__name__)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        assert norvik.export(*args, out_path, False) is True
    assert [(w.category, str(w.message)) for w in caught] == [(DeprecationWarning, message)]
    assert caught[0].filename == __file__  # reported at the caller's line
    os.remove(out_path)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        exc = raises(DeprecationWarning, message, norvik.export, *args, out_path, False)
    assert entries(exc) == ["norvik.export"]
    assert not os.path.exists(out_path)


# ---------------------------------------------------------------------------
# Paths and flags
# ---------------------------------------------------------------------------

class BytesSub(bytes):
    pass


class BytearraySub(bytearray):
    pass


@pytest.mark.parametrize("kind", [bytes, bytearray, BytesSub, BytearraySub])
@pytest.mark.parametrize("name", ["export", "export_scenes"])
def test_byte_paths_are_accepted(kind, name, tmp_path):
    target = tmp_path / "doc.json"
    path = kind(os.fsencode(target))
    fn = getattr(norvik, name)
    fn(0, 0, path, False) if name == "export" else fn(0, 0, path)
    assert target.read_bytes().startswith(b"{")


@pytest.mark.parametrize("value, exc_type, message", [
    ("out.json", TypeError, None),
    (memoryview(b"out.json"), TypeError, None),
    (None, TypeError, None),
    (b"out\0.json", ValueError, "embedded null byte"),
    (bytearray(b"out\0"), ValueError, "embedded null byte"),
    (BytesSub(b"\0"), ValueError, "embedded null byte"),
], ids=repr)
@pytest.mark.parametrize("name", ["export", "export_scenes"])
def test_path_errors(value, exc_type, message, name, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    fn = getattr(norvik, name)
    args = (0, 0, value, False) if name == "export" else (0, 0, value)
    with pytest.raises(exc_type) as info:
        fn(*args)
    if message is not None:
        assert str(info.value) == message
    assert entries(info.value) == [f"norvik.{name}"]
    assert os.listdir(tmp_path) == []  # nothing written, not even under the cut name


class Boom(Exception):
    pass


class BadBool:
    def __bool__(self):
        raise Boom("truth test")


class EmptyLen:
    def __len__(self):
        return 0


def test_use_debug_only_runs_its_truth_test(tmp_path):
    tri = Mesh([(0, 0, 0), (1, 0, 0), (0, 1, 0)], [(0, 1, 2)], uvs=[(0, 0), (1, 0), (0, 1)])
    recs = export_records([tri.export_object("Tri", "Mat")], "310")
    documents = set()
    for i, flag in enumerate([True, False, None, 1, 0, "yes", [], EmptyLen(), object()]):
        path = os.fsencode(tmp_path / f"{i}.json")
        assert norvik.export(recs.address, recs.count, path, flag) is True
        documents.add(read(path))
    assert len(documents) == 1
    assert documents.pop().startswith(on_disk(b'{\n\t"Tri" : {'))

    path = tmp_path / "failed.json"
    for flag, exc_type in [(BadBool(), Boom), (np.array([1, 2]), ValueError)]:
        with pytest.raises(exc_type) as info:
            norvik.export(recs.address, recs.count, os.fsencode(path), flag)
        assert entries(info.value) == ["norvik.export"]
        assert not path.exists()


# ---------------------------------------------------------------------------
# Order of the stages
# ---------------------------------------------------------------------------

TYPE_MESSAGE = "Argument '{}' has incorrect type (expected numpy.ndarray, got {})"
F8 = np.zeros(3, np.float64)
I4_2D = np.zeros((2, 3), np.int32)
F4_2D = np.zeros((2, 3), np.float32)


@pytest.mark.parametrize("args, exc_type, message", [
    (([1], "x"), TypeError, "an integer is required"),
    (([1], 2 ** 31), OverflowError, None),
    ((F8, "x"), TypeError, "an integer is required"),
    ((I4_2D, None), TypeError, "an integer is required"),
    (([1], 2), TypeError, TYPE_MESSAGE.format("material_indices", "list")),
    ((np.int32(1), 2), TypeError, TYPE_MESSAGE.format("material_indices", "numpy.int32")),
    ((F8, 2), ValueError, "Buffer dtype mismatch, expected 'int32_t' but got 'double'"),
], ids=str)
def test_count_converted_before_array_tested(args, exc_type, message):
    with pytest.raises(exc_type) as info:
        norvik.get_tri_count_per_material_index(*args)
    if message is not None:
        assert str(info.value) == message


@pytest.mark.parametrize("args, exc_type, message", [
    (("x", 2 ** 31, "p", BadBool()), TypeError, "an integer is required"),
    ((0, 2 ** 31, "p", BadBool()), OverflowError, None),
    ((0, 0, "p", BadBool()), TypeError, None),
    ((0, 0, b"p\0", BadBool()), ValueError, "embedded null byte"),
    ((0, 0, b"p", BadBool()), Boom, "truth test"),
], ids=str)
def test_export_converts_in_parameter_order(args, exc_type, message, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    with pytest.raises(exc_type) as info:
        norvik.export(*args)
    if message is not None:
        assert str(info.value) == message
    assert os.listdir(tmp_path) == []


MULTI_ORDER = [
    # The address first, then the type tests of all three arrays, then the views in order.
    (("x", [1], [2], [3]), TypeError, "an integer is required"),
    ((2 ** 64, F8, None, None), OverflowError, None),
    ((0, [1], I4_2D, F4_2D), TypeError, TYPE_MESSAGE.format("material_indices", "list")),
    ((0, F8, (2,), F4_2D), TypeError, TYPE_MESSAGE.format("tris_per_material", "tuple")),
    ((0, F8, None, [3.0]), TypeError, TYPE_MESSAGE.format("split_normals", "list")),
    ((0, F8, I4_2D, F4_2D), ValueError, "Buffer dtype mismatch, expected 'int32_t' but got 'double'"),
    ((0, None, I4_2D, F8), ValueError, "Buffer has wrong number of dimensions (expected 1, got 2)"),
    ((0, I4, I4, F8), ValueError, "Buffer dtype mismatch, expected 'float32_t' but got 'double'"),
    ((0, I4, F4, F4_2D), ValueError, "Buffer dtype mismatch, expected 'int32_t' but got 'float'"),
    ((0, I4, I4, F4_2D), ValueError, "Buffer has wrong number of dimensions (expected 1, got 2)"),
]


@pytest.mark.parametrize("name", MULTI)
@pytest.mark.parametrize("args, exc_type, message", MULTI_ORDER, ids=str)
def test_multi_material_stage_order(name, args, exc_type, message):
    with pytest.raises(exc_type) as info:
        getattr(norvik, name)(*args)
    if message is not None:
        assert str(info.value) == message
    assert entries(info.value) == [f"norvik.{name}"]


@pytest.mark.parametrize("name", MULTI)
def test_views_released_after_a_failure(name, mesh):
    """A view acquired before a later one fails is released; so are all views after the body."""
    fn = getattr(norvik, name)
    mi, tpm, split = mesh.mi.copy(), mesh.tpm.copy(), mesh.split.copy()
    before = [sys.getrefcount(a) for a in (mi, tpm, split)]
    for bad in [(mi, tpm, F4_2D), (mi, I4_2D, split), (mi, tpm, F8)]:
        with pytest.raises(ValueError):
            fn(mesh.address, *bad)
    del bad
    fn(mesh.address, mi, tpm, split)
    with pytest.raises(ValueError):
        fn(0, mi, tpm, split)  # fails in the body
    # Every view holds a reference to its array until it is released.
    assert [sys.getrefcount(a) for a in (mi, tpm, split)] == before


# ---------------------------------------------------------------------------
# Array views
# ---------------------------------------------------------------------------

def description(dtype):
    """How the view reports an element of a numpy dtype, from the format numpy gives it."""
    fmt = memoryview(np.zeros(1, dtype)).format.lstrip("@=<")
    return {
        "b": "'signed char'", "B": "'unsigned char'", "h": "'short'", "H": "'unsigned short'",
        "i": "'int'", "I": "'unsigned int'", "l": "'long'", "L": "'unsigned long'",
        "q": "'long long'", "Q": "'unsigned long long'", "?": "'bool'", "f": "'float'",
        "d": "'double'", "g": "'long double'", "Zf": "'complex float'",
        "Zd": "'complex double'", "Zg": "'complex long double'", "O": "Python object",
    }[fmt]


MISMATCHED = {
    "int32_t": ["f4", "f8", "i8", "u4", "i2", "u2", "i1", "u1", "?", "c8", "c16", "g", "O"],
    "float32_t": ["i4", "f8", "i8", "u4", "i2", "?", "c8", "g", "O"],
}


def view_calls():
    """(element name, call(array)) for every array parameter of every function."""
    yield "int32_t", "get_tri_count_per_material_index", \
        lambda a: norvik.get_tri_count_per_material_index(a, 0)
    for name in MULTI:
        fn = getattr(norvik, name)
        yield "int32_t", name, lambda a, fn=fn: fn(0, a, None, None)
        yield "int32_t", name, lambda a, fn=fn: fn(0, None, a, None)
        yield "float32_t", name, lambda a, fn=fn: fn(0, None, None, a)


VIEW_CALLS = list(view_calls())


@pytest.mark.parametrize("elem, name, call", VIEW_CALLS, ids=lambda v: v if isinstance(v, str) else "")
def test_view_rejections(elem, name, call):
    base = "i4" if elem == "int32_t" else "f4"
    cases = [(np.zeros((2, 2), base), "Buffer has wrong number of dimensions (expected 1, got 2)"),
             (np.zeros((1, 2, 1), base), "Buffer has wrong number of dimensions (expected 1, got 3)"),
             (np.array(0, base), "Buffer has wrong number of dimensions (expected 1, got 0)"),
             (np.zeros(3, ">" + base), "Big-endian buffer not supported on little-endian compiler"),
             (np.zeros(3, ">f8"), "Big-endian buffer not supported on little-endian compiler"),
             (np.zeros(3, "f2"), "Does not understand character buffer dtype format string ('e')")]
    cases += [(np.zeros(3, dt), f"Buffer dtype mismatch, expected '{elem}' but got {description(dt)}")
              for dt in MISMATCHED[elem]]
    for array, message in cases:
        with pytest.raises(ValueError) as info:
            call(array)
        assert (str(array.dtype), str(info.value)) == (str(array.dtype), message)
        assert entries(info.value) == [f"norvik.{name}"]


@pytest.mark.parametrize("elem, name, call", VIEW_CALLS, ids=lambda v: v if isinstance(v, str) else "")
def test_other_formats_are_value_errors(elem, name, call):
    """Records, strings and padding never describe one number; arrays without a buffer fail as numpy says."""
    for dtype in [[("a", "i4")], [("a", "f4")], "S4", "U1", "V4"]:
        with pytest.raises(ValueError):
            call(np.zeros(3, dtype))
    for dtype in ["M8[s]", "m8[s]"]:
        array = np.zeros(3, dtype)
        with pytest.raises(ValueError) as numpy_says:
            memoryview(array)
        with pytest.raises(ValueError) as info:
            call(array)
        assert str(info.value) == str(numpy_says.value)
        assert entries(info.value) == [f"norvik.{name}"]


class Sub(np.ndarray):
    pass


@pytest.mark.parametrize("elem, name, call", VIEW_CALLS, ids=lambda v: v if isinstance(v, str) else "")
def test_view_acceptance(elem, name, call):
    """Arrays that pass the view checks reach the body (whose own error, if any, is not a view error)."""
    base = np.arange(12, dtype="i4" if elem == "int32_t" else "f4")
    readonly = base.copy()
    readonly.setflags(write=False)
    for array in [base, base.astype("<" + base.dtype.str[1:]), base.astype("=" + base.dtype.str[1:]),
                  base[::2], base[::-3], base.reshape(3, 4)[:, 1], readonly, base.view(Sub),
                  base[:0], None]:
        try:
            call(array)
        except ValueError as e:
            assert "Buffer" not in str(e) and "buffer" not in str(e)
        except (TypeError, AttributeError) as e:
            assert "incorrect type" not in str(e)


@pytest.mark.parametrize("make", [
    lambda a: a[::2],
    lambda a: a[::-1],
    lambda a: a.reshape(-1, 2)[:, 1],
    lambda a: np.asfortranarray(a.reshape(2, -1))[1],
    lambda a: np.frombuffer(a.tobytes(), np.int32),
    lambda a: a.view(Sub)[1::3],
    lambda a: a.astype("<i4"),
], ids=["step2", "reversed", "column", "fortran-row", "readonly", "subclass", "little-endian"])
def test_counts_read_through_the_view(make):
    rng = np.random.default_rng(5)
    source = rng.integers(-2, 7, 40).astype(np.int32)
    array = make(source)
    assert array.ndim == 1
    expected = [int(np.count_nonzero(array == m)) for m in range(6)]
    assert norvik.get_tri_count_per_material_index(array, 6).tolist() == expected


def test_none_arrays_pass_the_argument_layer():
    out = norvik.get_tri_count_per_material_index(None, 0)
    assert out.dtype == np.int32 and out.shape == (0,)
    empty = Mesh(np.zeros((0, 3)), []).host_arrays("310")
    for name in MULTI:
        got = getattr(norvik, name)(empty.address, None, None, np.zeros(0, np.float32))
        assert got.dtype == np.float32 and got.shape == (0,)


# ---------------------------------------------------------------------------
# Traceback entries of errors raised past the argument layer
# ---------------------------------------------------------------------------

def test_body_errors_have_one_entry_per_routine(mesh, b3d_version, monkeypatch):
    b3d_version((3, 4, 1))
    for exc_type, message, args in [
        (ValueError, "negative dimensions are not allowed", (I4, -1)),
        (TypeError, "'NoneType' object is not subscriptable", (None, 1)),
    ]:
        exc = raises(exc_type, message, norvik.get_tri_count_per_material_index, *args)
        assert entries(exc) == ["norvik.get_tri_count_per_material_index"]
    monkeypatch.setattr(norvik, "np", None)   # every array is made through the module's np
    calls = {
        "get_mesh_tri_data": lambda: norvik.get_mesh_tri_data(mesh.address),
        "get_material_indices": lambda: norvik.get_material_indices(mesh.address),
        "get_tri_count_per_material_index":
            lambda: norvik.get_tri_count_per_material_index(mesh.mi, 2),
    }
    for name in MULTI:
        calls[name] = lambda fn=getattr(norvik, name): fn(mesh.address, mesh.mi, mesh.tpm, mesh.split)
    for name, call in calls.items():
        with pytest.raises(AttributeError) as info:
            call()
        expected = [f"norvik.{name}"]
        if name == "get_mesh_tri_data_multi_material":
            expected.append(f"norvik.{name}__310_to_current")
        assert entries(info.value) == expected, name
