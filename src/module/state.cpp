#include "module/state.hpp"

namespace norvik {

State& state() {
    static State s;
    return s;
}

bool init_constants() {
    State& st = state();
    struct {
        PyObject** slot;
        const char* text;
    } names[] = {
        {&st.s_np, "np"},           {&st.s_b3d_version, "b3d_version"},
        {&st.s_zeros, "zeros"},     {&st.s_dtype, "dtype"},
        {&st.s_int32, "int32"},     {&st.s_float32, "float32"},
        {&st.s_reshape, "reshape"}, {&st.s_shape, "shape"},
    };
    for (auto& n : names) {
        if (*n.slot) continue;
        *n.slot = PyUnicode_InternFromString(n.text);
        if (!*n.slot) return false;
    }
    if (!st.i_0 && !(st.i_0 = PyLong_FromLong(0))) return false;
    if (!st.i_3 && !(st.i_3 = PyLong_FromLong(3))) return false;
    if (!st.i_neg1 && !(st.i_neg1 = PyLong_FromLong(-1))) return false;
    return true;
}

PyObject* frame_globals() {
    State& st = state();
    if (st.globals) return st.globals;
    if (!st.fallback_globals) st.fallback_globals = PyDict_New();
    return st.fallback_globals;
}

PyObject* lookup_global(PyObject* name) {
    State& st = state();
    if (st.globals) {
        PyObject* v = PyDict_GetItemWithError(st.globals, name);
        if (v) return Ref::borrow(v).release();
        if (PyErr_Occurred()) return nullptr;
    }
    PyObject* builtins = PyEval_GetBuiltins();
    if (builtins) {
        PyObject* v = PyDict_GetItemWithError(builtins, name);
        if (v) return Ref::borrow(v).release();
        if (PyErr_Occurred()) return nullptr;
    }
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return nullptr;
}

}  // namespace norvik
