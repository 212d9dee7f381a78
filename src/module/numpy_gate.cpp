#include "module/numpy_gate.hpp"

#include "module/pyref.hpp"
#include "module/state.hpp"

// The headers are used for struct sizes and version numbers only; nothing
// calls through numpy's C API. They are numpy 2's, built for the oldest
// numpy the module supports (1.23), which is how one binary serves both
// numpy majors.
#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#define NPY_TARGET_VERSION NPY_1_23_API_VERSION
#define NO_IMPORT_ARRAY
#define NO_IMPORT_UFUNC
#include <numpy/ndarraytypes.h>
#include <numpy/ufuncobject.h>

#include <algorithm>

static_assert(NPY_VERSION == 0x2000000, "norvik is built against numpy 2 headers");

namespace norvik {
namespace {

// numpy's C-API ABIs that the module accepts: the whole 1.x series, and the
// 2.x series of the headers it is built with. A newer ABI is refused.
constexpr unsigned kNumpyAbi1 = 0x1000009;
constexpr unsigned kNumpyAbi2 = NPY_VERSION;

// Lowest feature level: the build's target, or the oldest numpy release
// supporting this interpreter where that is newer.
#if PY_VERSION_HEX >= 0x030C0000
constexpr unsigned kInterpreterFeature = 0x11;
#else
constexpr unsigned kInterpreterFeature = 0;
#endif
constexpr unsigned kNumpyFeature = std::max<unsigned>(NPY_FEATURE_VERSION, kInterpreterFeature);

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

// numpy 2 keeps the table in numpy._core; numpy 1.x in numpy.core (1.26
// also answers to the new name). The old name is a deprecated alias in
// numpy 2, so it is only tried when the new one does not exist.
PyObject* import_multiarray_umath() {
    PyObject* mu = PyImport_ImportModule("numpy._core._multiarray_umath");
    if (mu || !PyErr_ExceptionMatches(PyExc_ModuleNotFoundError)) return mu;
    PyErr_Clear();
    return PyImport_ImportModule("numpy.core._multiarray_umath");
}

bool check_api() {
    Ref mu(import_multiarray_umath());
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
    if (abi != kNumpyAbi1 && abi != kNumpyAbi2) {
        PyErr_Format(PyExc_RuntimeError, "module compiled against ABI version 0x%x but this version of numpy is 0x%x",
                     kNumpyAbi2, abi);
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

// The major version of the running numpy, from numpy.__version__; 1 when
// that cannot be read (the larger, stricter dtype size then applies).
long numpy_major(PyObject* numpy) {
    Ref version(PyObject_GetAttrString(numpy, "__version__"));
    const char* text = version && PyUnicode_Check(version.get()) ? PyUnicode_AsUTF8(version.get()) : nullptr;
    PyErr_Clear();
    long major = 0;
    for (; text && *text >= '0' && *text <= '9' && major < 1000; ++text) major = major * 10 + (*text - '0');
    return major > 0 ? major : 1;
}

}  // namespace

bool check_numpy_types() {
    Ref builtins(PyImport_ImportModule("builtins"));
    if (!builtins || !check_type(builtins.get(), "builtins", {"type", sizeof(PyHeapTypeObject), SizeCheck::Warn}, nullptr))
        return false;
    Ref numpy(PyImport_ImportModule("numpy"));
    if (!numpy) return false;
    // numpy 2 shrank the dtype object; the headers describe both layouts.
    const Py_ssize_t dtype_size =
        numpy_major(numpy.get()) >= 2 ? sizeof(_PyArray_DescrNumPy2) : sizeof(PyArray_DescrProto);
    const TypeCheck checks[] = {
        {"dtype", dtype_size, SizeCheck::Ignore},
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
