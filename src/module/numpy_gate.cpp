#include "module/numpy_gate.hpp"

#include "module/pyref.hpp"
#include "module/state.hpp"

// The headers are used for struct sizes only; nothing calls through them.
#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#define NO_IMPORT_ARRAY
#define NO_IMPORT_UFUNC
#include <numpy/ndarraytypes.h>
#include <numpy/ufuncobject.h>

namespace norvik {
namespace {

// numpy's C-API ABI that the module accepts: the whole 1.x series.
constexpr unsigned kNumpyAbi = 0x1000009;

// Feature level of the oldest numpy 1.x release supporting this interpreter.
#if PY_VERSION_HEX >= 0x030C0000
constexpr unsigned kNumpyFeature = 0x11;
#elif PY_VERSION_HEX >= 0x030B0000
constexpr unsigned kNumpyFeature = 0x10;
#elif PY_VERSION_HEX >= 0x030A0000
constexpr unsigned kNumpyFeature = 0xF;
#else
constexpr unsigned kNumpyFeature = 0xD;
#endif

// Slots of numpy's C-API table read by the gate.
constexpr int kApiAbiVersion = 0;
constexpr int kApiEndianness = 210;
constexpr int kApiFeatureVersion = 211;
constexpr int kCpuLittle = 1;

enum class SizeCheck { Ignore, Warn };

struct TypeCheck {
    const char* name;
    Py_ssize_t size;
    SizeCheck larger;
};

bool check_type(PyObject* module, const char* module_name, const TypeCheck& c, PyTypeObject** out) {
    Ref obj(PyObject_GetAttrString(module, c.name));
    if (!obj) return false;
    if (!PyType_Check(obj.get())) {
        PyErr_Format(PyExc_TypeError, "%.200s.%.200s is not a type object", module_name, c.name);
        return false;
    }
    Py_ssize_t basic = reinterpret_cast<PyTypeObject*>(obj.get())->tp_basicsize;
    if (basic < c.size) {
        PyErr_Format(PyExc_ValueError,
                     "%.200s.%.200s size changed, may indicate binary incompatibility. "
                     "Expected %zd from C header, got %zd from PyObject",
                     module_name, c.name, c.size, basic);
        return false;
    }
    if (basic > c.size && c.larger == SizeCheck::Warn) {
        char warning[300];
        PyOS_snprintf(warning, sizeof warning,
                      "%s.%s size changed, may indicate binary incompatibility. "
                      "Expected %zd from C header, got %zd from PyObject",
                      module_name, c.name, c.size, basic);
        if (PyErr_WarnEx(PyExc_RuntimeWarning, warning, 0) < 0) return false;
    }
    if (out) *out = reinterpret_cast<PyTypeObject*>(obj.release());
    return true;
}

unsigned call_unsigned(void** api, int slot) { return reinterpret_cast<unsigned (*)(void)>(api[slot])(); }

bool check_api() {
    Ref mu(PyImport_ImportModule("numpy.core._multiarray_umath"));
    if (!mu) return false;
    Ref capsule(PyObject_GetAttrString(mu.get(), "_ARRAY_API"));
    if (!capsule) return false;
    if (!PyCapsule_CheckExact(capsule.get())) {
        PyErr_SetString(PyExc_RuntimeError, "_ARRAY_API is not PyCapsule object");
        return false;
    }
    void** api = static_cast<void**>(PyCapsule_GetPointer(capsule.get(), nullptr));
    if (!api) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_RuntimeError, "_ARRAY_API is NULL pointer");
        return false;
    }
    unsigned abi = call_unsigned(api, kApiAbiVersion);
    if (abi != kNumpyAbi) {
        PyErr_Format(PyExc_RuntimeError, "module compiled against ABI version 0x%x but this version of numpy is 0x%x",
                     kNumpyAbi, abi);
        return false;
    }
    unsigned feature = call_unsigned(api, kApiFeatureVersion);
    if (feature < kNumpyFeature) {
        PyErr_Format(PyExc_RuntimeError, "module compiled against API version 0x%x but this version of numpy is 0x%x",
                     kNumpyFeature, feature);
        return false;
    }
    int endian = reinterpret_cast<int (*)(void)>(api[kApiEndianness])();
    if (endian != kCpuLittle) {
        PyErr_SetString(PyExc_RuntimeError,
                        "FATAL: module compiled as little endian, but detected different endianness at runtime");
        return false;
    }
    state().numpy_api = api;
    return true;
}

}  // namespace

bool check_numpy_types() {
    Ref builtins(PyImport_ImportModule("builtins"));
    if (!builtins || !check_type(builtins.get(), "builtins", {"type", sizeof(PyHeapTypeObject), SizeCheck::Warn}, nullptr))
        return false;
    Ref numpy(PyImport_ImportModule("numpy"));
    if (!numpy) return false;
    const TypeCheck checks[] = {
        {"dtype", sizeof(PyArray_Descr), SizeCheck::Ignore},
        {"flatiter", sizeof(PyArrayIterObject), SizeCheck::Ignore},
        {"broadcast", sizeof(PyArrayMultiIterObject), SizeCheck::Ignore},
        {"ndarray", sizeof(PyArrayObject_fields), SizeCheck::Ignore},
        {"generic", sizeof(PyObject), SizeCheck::Warn},
        {"number", sizeof(PyObject), SizeCheck::Warn},
        {"integer", sizeof(PyObject), SizeCheck::Warn},
        {"signedinteger", sizeof(PyObject), SizeCheck::Warn},
        {"unsignedinteger", sizeof(PyObject), SizeCheck::Warn},
        {"inexact", sizeof(PyObject), SizeCheck::Warn},
        {"floating", sizeof(PyObject), SizeCheck::Warn},
        {"complexfloating", sizeof(PyObject), SizeCheck::Warn},
        {"flexible", sizeof(PyObject), SizeCheck::Warn},
        {"character", sizeof(PyObject), SizeCheck::Warn},
        {"ufunc", sizeof(PyUFuncObject), SizeCheck::Ignore},
    };
    State& st = state();
    for (const TypeCheck& c : checks) {
        PyTypeObject* t = nullptr;
        if (!check_type(numpy.get(), "numpy", c, &t)) return false;
        if (c.name[0] == 'n' && c.name[1] == 'd') {
            Py_XDECREF(st.ndarray);
            st.ndarray = t;
        } else {
            Py_DECREF(t);
        }
    }
    return true;
}

bool bind_numpy_api() {
    if (check_api()) return true;
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb && value) PyException_SetTraceback(value, tb);
    Py_XDECREF(type);
    Py_XDECREF(tb);
    PyErr_SetString(PyExc_ImportError, "numpy.core.multiarray failed to import");
    PyObject *t2, *v2, *tb2;
    PyErr_Fetch(&t2, &v2, &tb2);
    PyErr_NormalizeException(&t2, &v2, &tb2);
    if (value) PyException_SetContext(v2, value);  // steals `value`
    PyErr_Restore(t2, v2, tb2);
    return false;
}

}  // namespace norvik
