#include "module/args.hpp"

#include <cstring>

#include "module/state.hpp"

namespace norvik {

// ---------------------------------------------------------------------------
// Binding
// ---------------------------------------------------------------------------

namespace {

void raise_arg_count(const Signature& sig, Py_ssize_t given) {
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 sig.name, "exactly", static_cast<Py_ssize_t>(sig.count),
                 sig.count == 1 ? "" : "s", given);
}

bool key_matches(PyObject* key, PyObject* name) {
    if (key == name) return true;
    if (!PyUnicode_Check(key)) return false;
    return PyUnicode_Compare(key, name) == 0;
}

// Fills `out` with borrowed references to the arguments in parameter order.
bool bind(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out) {
    Py_ssize_t npos = PyTuple_GET_SIZE(args);
    const int n = sig.count;
    if (npos > n) {
        raise_arg_count(sig, npos);
        return false;
    }
    for (Py_ssize_t i = 0; i < npos; ++i) out[i] = PyTuple_GET_ITEM(args, i);
    Py_ssize_t nkw = kwargs ? PyDict_GET_SIZE(kwargs) : 0;
    if (nkw == 0) {
        if (npos < n) {
            raise_arg_count(sig, npos);
            return false;
        }
        return true;
    }
    Py_ssize_t found = 0;
    for (int i = static_cast<int>(npos); i < n; ++i) {
        PyObject* v = PyDict_GetItemWithError(kwargs, sig.interned[i]);
        if (!v) {
            if (PyErr_Occurred()) return false;
            raise_arg_count(sig, i);
            return false;
        }
        out[i] = v;
        ++found;
    }
    if (found == nkw) return true;
    // Leftover keywords: examine them one by one.
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", sig.name);
            return false;
        }
        bool known = false;
        for (int i = static_cast<int>(npos); i < n && !known; ++i) known = key_matches(key, sig.interned[i]);
        if (known) continue;
        for (int i = 0; i < npos; ++i) {
            if (key_matches(key, sig.interned[i])) {
                PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                             sig.name, key);
                return false;
            }
        }
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", sig.name, key);
        return false;
    }
    return true;
}

// ---------------------------------------------------------------------------
// Scalar conversions
// ---------------------------------------------------------------------------

// The object itself for an int, else the result of its integer conversion.
PyObject* as_int(PyObject* o) {
    if (PyLong_Check(o)) return Ref::borrow(o).release();
    PyNumberMethods* nb = Py_TYPE(o)->tp_as_number;
    if (!nb || !nb->nb_int) {
        PyErr_SetString(PyExc_TypeError, "an integer is required");
        return nullptr;
    }
    PyObject* r = nb->nb_int(o);
    if (!r || PyLong_CheckExact(r)) return r;
    if (PyLong_Check(r)) {
        if (PyErr_WarnFormat(PyExc_DeprecationWarning, 1,
                             "__int__ returned non-int (type %.200s).  The ability to return an "
                             "instance of a strict subclass of int is deprecated, and may be "
                             "removed in a future version of Python.",
                             Py_TYPE(r)->tp_name) < 0) {
            Py_DECREF(r);
            return nullptr;
        }
        return r;
    }
    PyErr_Format(PyExc_TypeError, "__%.4s__ returned non-%.4s (type %.200s)", "int", "int",
                 Py_TYPE(r)->tp_name);
    Py_DECREF(r);
    return nullptr;
}

bool to_address(PyObject* o, std::int64_t& out) {
    Ref i(as_int(o));
    if (!i) return false;
    long long v = PyLong_AsLongLong(i.get());
    if (v == -1 && PyErr_Occurred()) return false;
    out = v;
    return true;
}

bool to_count(PyObject* o, std::int64_t& out) {
    Ref i(as_int(o));
    if (!i) return false;
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(i.get(), &overflow);
    if (v == -1 && PyErr_Occurred()) return false;
    if (overflow || v > INT32_MAX || v < INT32_MIN) {
        PyErr_SetString(PyExc_OverflowError, "value too large to convert to int");
        return false;
    }
    out = v;
    return true;
}

bool to_path(PyObject* o, std::string& out) {
    const char* data;
    Py_ssize_t size;
    if (PyByteArray_Check(o)) {
        data = PyByteArray_AS_STRING(o);
        size = PyByteArray_GET_SIZE(o);
    } else if (PyBytes_Check(o)) {
        data = PyBytes_AS_STRING(o);
        size = PyBytes_GET_SIZE(o);
    } else {
        PyErr_Format(PyExc_TypeError, "expected bytes, %.200s found", Py_TYPE(o)->tp_name);
        return false;
    }
    // A name cut at a zero byte would silently write somewhere else.
    if (std::memchr(data, 0, static_cast<size_t>(size))) {
        PyErr_SetString(PyExc_ValueError, "embedded null byte");
        return false;
    }
    // Copied: later Python code (a profile function) may resize a bytearray.
    out.assign(data, static_cast<size_t>(size));
    return true;
}

bool to_flag(PyObject* o, bool& out) {
    if (o == Py_True) return out = true, true;
    if (o == Py_False || o == Py_None) return out = false, true;
    int t = PyObject_IsTrue(o);
    if (t < 0) return false;
    out = t != 0;
    return true;
}

}  // namespace

bool to_int32(PyObject* o, std::int32_t& out) {
    std::int64_t v;
    if (!to_count(o, v)) return false;
    out = static_cast<std::int32_t>(v);
    return true;
}

namespace {

bool is_array_kind(Kind k) { return k == Kind::Int32Array || k == Kind::Float32Array; }

}  // namespace

// ---------------------------------------------------------------------------
// Typed buffer views
// ---------------------------------------------------------------------------

namespace {

struct FormatChar {
    char group;  // 'I' signed, 'U' unsigned, 'R' real, 'C' complex, 'H' char, 'O', 'P'
    Py_ssize_t native;
    Py_ssize_t standard;
};

bool format_char(char c, bool complex, FormatChar& f) {
    switch (c) {
        case 'c': f = {'H', 1, 1}; return true;
        case 'b': f = {'I', 1, 1}; return true;
        case 'h': f = {'I', sizeof(short), 2}; return true;
        case 'i': f = {'I', sizeof(int), 4}; return true;
        case 'l': f = {'I', sizeof(long), 4}; return true;
        case 'q': f = {'I', sizeof(long long), 8}; return true;
        case 's': case 'p': f = {'I', 1, 1}; return true;
        case '?': f = {'U', 1, 1}; return true;
        case 'B': f = {'U', 1, 1}; return true;
        case 'H': f = {'U', sizeof(unsigned short), 2}; return true;
        case 'I': f = {'U', sizeof(unsigned int), 4}; return true;
        case 'L': f = {'U', sizeof(unsigned long), 4}; return true;
        case 'Q': f = {'U', sizeof(unsigned long long), 8}; return true;
        case 'f': f = {complex ? 'C' : 'R', complex ? 8 : 4, complex ? 8 : 4}; return true;
        case 'd': f = {complex ? 'C' : 'R', complex ? 16 : 8, complex ? 16 : 8}; return true;
        case 'g': f = {complex ? 'C' : 'R', static_cast<Py_ssize_t>(sizeof(long double) * (complex ? 2 : 1)),
                       static_cast<Py_ssize_t>(sizeof(long double) * (complex ? 2 : 1))}; return true;
        case 'O': f = {'O', sizeof(void*), sizeof(void*)}; return true;
        case 'P': f = {'P', sizeof(void*), sizeof(void*)}; return true;
        default: return false;
    }
}

const char* describe(char c, bool complex) {
    switch (c) {
        case 'c': return "'char'";
        case 'b': return "'signed char'";
        case 'B': return "'unsigned char'";
        case 'h': return "'short'";
        case 'H': return "'unsigned short'";
        case 'i': return "'int'";
        case 'I': return "'unsigned int'";
        case 'l': return "'long'";
        case 'L': return "'unsigned long'";
        case 'q': return "'long long'";
        case 'Q': return "'unsigned long long'";
        case 'f': return complex ? "'complex float'" : "'float'";
        case 'd': return complex ? "'complex double'" : "'double'";
        case 'g': return complex ? "'complex long double'" : "'long double'";
        case '?': return "'bool'";
        case 'T': return "a struct";
        case 'O': return "Python object";
        case 'P': return "a pointer";
        case 's': case 'p': return "a string";
        case 0: return "end";
        default: return "unparseable format string";
    }
}

const char* elem_name(Elem e) { return e == Elem::Int32 ? "int32_t" : "float32_t"; }

void raise_expected(Elem e, const char* got) {
    PyErr_Format(PyExc_ValueError, "Buffer dtype mismatch, expected %s%s%s but got %s", "'",
                 elem_name(e), "'", got);
}

// Checks that the format describes exactly one element of the expected kind.
bool check_format(const char* ts, Elem expected) {
    if (!ts) ts = "B";
    char packmode = '@';
    for (;;) {
        char c = *ts;
        if (c == '@' || c == '^' || c == '=') {
            packmode = c;
            ++ts;
        } else if (c == '<') {
            packmode = '=';
            ++ts;
        } else if (c == '>' || c == '!') {
            PyErr_SetString(PyExc_ValueError, "Big-endian buffer not supported on little-endian compiler");
            return false;
        } else {
            break;
        }
    }
    bool complex = false;
    if (*ts == 'Z') {
        ++ts;
        if (*ts != 'f' && *ts != 'd' && *ts != 'g') {
            PyErr_Format(PyExc_ValueError, "Unexpected format string character: '%c'", 'Z');
            return false;
        }
        complex = true;
    }
    char c = *ts;
    if (c == 0 || c == 'T' || (c >= '0' && c <= '9') || c == 'x' || c == '(' || c == '{') {
        // Structured, repeated or empty formats never describe one scalar.
        raise_expected(expected, describe(c, false));
        return false;
    }
    FormatChar f;
    if (!format_char(c, complex, f)) {
        PyErr_Format(PyExc_ValueError, "Does not understand character buffer dtype format string ('%c')", c);
        return false;
    }
    Py_ssize_t size = (packmode == '@' || packmode == '^') ? f.native : f.standard;
    char want_group = expected == Elem::Int32 ? 'I' : 'R';
    if (f.group != want_group || size != 4) {
        raise_expected(expected, describe(c, complex));
        return false;
    }
    if (ts[1] != 0) {
        PyErr_Format(PyExc_ValueError, "Buffer dtype mismatch, expected end but got %s",
                     describe(ts[1], false));
        return false;
    }
    return true;
}

}  // namespace

bool acquire_view(PyObject* obj, Elem elem, bool writable, ArrayView& out) {
    out.obj = obj;
    int flags = PyBUF_FORMAT | PyBUF_STRIDES | (writable ? PyBUF_WRITABLE : 0);
    if (!out.buffer.acquire(obj, flags)) return false;
    const Py_buffer& v = out.buffer.view();
    if (v.ndim != 1) {
        PyErr_Format(PyExc_ValueError, "Buffer has wrong number of dimensions (expected %d, got %d)", 1,
                     v.ndim);
        out.buffer.release();
        return false;
    }
    if (!check_format(v.format, elem)) {
        out.buffer.release();
        return false;
    }
    if (v.itemsize != 4) {
        PyErr_Format(PyExc_ValueError, "Item size of buffer (%zd byte%s) does not match size of '%s' (%zd byte%s)",
                     v.itemsize, v.itemsize > 1 ? "s" : "", elem_name(elem), static_cast<Py_ssize_t>(4), "s");
        out.buffer.release();
        return false;
    }
    out.data = static_cast<char*>(v.buf);
    out.len = v.shape ? v.shape[0] : v.len / v.itemsize;
    out.stride = v.strides ? v.strides[0] : v.itemsize;
    return true;
}

PyObject* new_zeros(std::int64_t n, Elem elem, ArrayView& view) {
    State& st = state();
    Ref np(lookup_global(st.s_np));
    if (!np) return nullptr;
    Ref zeros(PyObject_GetAttr(np.get(), st.s_zeros));
    if (!zeros) return nullptr;
    Ref dtype(PyObject_GetAttr(np.get(), elem == Elem::Int32 ? st.s_int32 : st.s_float32));
    if (!dtype) return nullptr;
    Ref len(PyLong_FromLongLong(n));
    if (!len) return nullptr;
    Ref pos(PyTuple_Pack(1, len.get()));
    Ref kw(PyDict_New());
    if (!pos || !kw || PyDict_SetItem(kw.get(), st.s_dtype, dtype.get()) < 0) return nullptr;
    Ref arr(PyObject_Call(zeros.get(), pos.get(), kw.get()));
    if (!arr) return nullptr;
    if (!PyObject_TypeCheck(arr.get(), st.ndarray)) {
        PyErr_Format(PyExc_TypeError, "Cannot convert %.200s to %.200s", Py_TYPE(arr.get())->tp_name,
                     st.ndarray->tp_name);
        return nullptr;
    }
    if (!acquire_view(arr.get(), elem, true, view)) return nullptr;
    // Everything after this writes n elements through the view.
    if (view.len != n) {
        PyErr_Format(PyExc_ValueError, "np.zeros(%lld) returned an array of %lld elements",
                     static_cast<long long>(n), static_cast<long long>(view.len));
        view.buffer.release();
        return nullptr;
    }
    return arr.release();
}

// ---------------------------------------------------------------------------
// The driver
// ---------------------------------------------------------------------------

bool intern_params(Signature& sig) {
    for (int i = 0; i < sig.count; ++i) {
        if (sig.interned[i]) continue;
        sig.interned[i] = PyUnicode_InternFromString(sig.params[i].name);
        if (!sig.interned[i]) return false;
    }
    return true;
}

PyObject* call(Signature& sig, PyObject* args, PyObject* kwargs, PyObject* one) {
    PyObject* objs[4] = {};
    Args a;
    if (one) {
        objs[0] = one;
    } else if (!bind(sig, args, kwargs, objs)) {
        add_traceback(*sig.wrapper);
        return nullptr;
    }
    // Scalars in parameter order, then the array type tests.
    for (int i = 0; i < sig.count; ++i) {
        bool ok = true;
        switch (sig.params[i].kind) {
            case Kind::Address: ok = to_address(objs[i], a.a[i].value); break;
            case Kind::Count: ok = to_count(objs[i], a.a[i].value); break;
            case Kind::Path: ok = to_path(objs[i], a.a[i].path); break;
            case Kind::Flag: ok = to_flag(objs[i], a.a[i].flag); break;
            default: break;
        }
        if (!ok) {
            add_traceback(*sig.wrapper);
            return nullptr;
        }
    }
    PyTypeObject* ndarray = state().ndarray;
    for (int i = 0; i < sig.count; ++i) {
        if (!is_array_kind(sig.params[i].kind)) continue;
        PyObject* o = objs[i];
        a.a[i].array.obj = o;
        if (o != Py_None && !PyObject_TypeCheck(o, ndarray)) {
            PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                         sig.params[i].name, ndarray->tp_name, Py_TYPE(o)->tp_name);
            add_traceback(*sig.wrapper);
            return nullptr;
        }
    }
    Trace t(*sig.wrapper);
    if (!t.entered()) return t.fail();
    for (int i = 0; i < sig.count; ++i) {
        const Param& p = sig.params[i];
        if (!is_array_kind(p.kind) || objs[i] == Py_None) continue;
        if (!acquire_view(objs[i], p.kind == Kind::Int32Array ? Elem::Int32 : Elem::Float32, false,
                          a.a[i].array))
            return t.fail();
    }
    PyObject* result = sig.body(a);
    for (auto& arg : a.a) arg.array.buffer.release();
    // A failing body has already added its own traceback entry.
    return result ? t.done(result) : t.pass();
}

}  // namespace norvik
