#include "host/generation.hpp"

#include "module/pyref.hpp"
#include "module/state.hpp"

namespace norvik::host {
namespace {

// Item `i` of the version; lists and tuples are indexed directly (with a
// bounds check), anything else through its item protocol.
PyObject* version_item(PyObject* version, Py_ssize_t i, PyObject* index) {
    if (PyList_CheckExact(version) || PyTuple_CheckExact(version)) {
        Py_ssize_t n = PyList_CheckExact(version) ? PyList_GET_SIZE(version) : PyTuple_GET_SIZE(version);
        if (i >= n) {
            PyErr_SetString(PyExc_IndexError,
                            PyList_CheckExact(version) ? "list index out of range" : "tuple index out of range");
            return nullptr;
        }
        PyObject* item = PyList_CheckExact(version) ? PyList_GET_ITEM(version, i) : PyTuple_GET_ITEM(version, i);
        return Ref::borrow(item).release();
    }
    return PyObject_GetItem(version, index);
}

// item == 3, with the exact int and float taken directly.
int equals_three(PyObject* item) {
    if (PyLong_CheckExact(item)) {
        int overflow = 0;
        long long v = PyLong_AsLongLongAndOverflow(item, &overflow);
        return !overflow && v == 3;
    }
    if (PyFloat_CheckExact(item)) return PyFloat_AS_DOUBLE(item) == 3.0;
    Ref r(PyObject_RichCompare(item, state().i_3, Py_EQ));
    return r ? PyObject_IsTrue(r.get()) : -1;
}

// item >= 4 for an integer (anything with __index__) or a float; anything
// else is not a 4.0-onward major. Never fails: other types keep the old rule.
bool four_or_more(PyObject* item) {
    if (PyFloat_Check(item)) return PyFloat_AS_DOUBLE(item) >= 4.0;
    if (!PyIndex_Check(item)) return false;
    Ref index(PyNumber_Index(item));
    if (!index) {
        PyErr_Clear();
        return false;
    }
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
    if (v == -1 && PyErr_Occurred()) {
        PyErr_Clear();
        return false;
    }
    return overflow > 0 || v >= 4;
}

}  // namespace

bool choose_generation(Generation& out) {
    State& st = state();
    Ref version(lookup_global(st.s_b3d_version));
    if (!version) return false;
    Ref major(version_item(version.get(), 0, st.i_0));
    if (!major) return false;
    int eq = equals_three(major.get());
    if (eq < 0) return false;
    if (!eq) {
        out = four_or_more(major.get()) ? Generation::G400 : Generation::G293;
        return true;
    }
    Ref one(PyLong_FromLong(1));
    if (!one) return false;
    Ref minor(version_item(version.get(), 1, one.get()));
    if (!minor) return false;
    Ref gt(PyObject_RichCompare(minor.get(), st.i_0, Py_GT));
    if (!gt) return false;
    int newer = PyObject_IsTrue(gt.get());
    if (newer < 0) return false;
    out = newer ? Generation::G310 : Generation::G293;
    return true;
}

}  // namespace norvik::host
