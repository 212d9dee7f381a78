// The argument layer: one binding mechanism, driven by a table per function.
//
// Stages, in order; the first failure ends the call:
//   1. binding of positional and keyword arguments to the parameter names;
//   2. conversion of the scalar parameters (addresses, counts, paths, flags);
//   3. type test of the array parameters;
//   4. the call event of the argument layer ("<name> (wrapper)");
//   5. acquisition of the read-only views of the non-None arrays;
//   6. the body; then every view is released.
#pragma once

#include <cstdint>
#include <string>

#include "module/pyref.hpp"
#include "module/routine.hpp"

namespace norvik {

enum class Kind { Address, Count, Path, Flag, Int32Array, Float32Array };

// Element types that typed views accept.
enum class Elem { Int32, Float32 };

// A one-dimensional typed strided view of an array argument (or of an array
// the module created). For None the view is empty.
struct ArrayView {
    PyObject* obj = nullptr;  // borrowed: the argument as given (None or an ndarray)
    char* data = nullptr;
    std::int64_t len = 0;
    std::int64_t stride = 0;
    BufferView buffer;

    bool none() const { return obj == Py_None; }
    template <class T>
    T& at(std::int64_t i) const {
        return *reinterpret_cast<T*>(data + i * stride);
    }
};

// Acquires a one-dimensional view of `obj` whose elements are `elem`, with
// the buffer checks and messages of the argument layer. False with an
// exception set.
bool acquire_view(PyObject* obj, Elem elem, bool writable, ArrayView& out);

struct Arg {
    std::int64_t value = 0;  // addresses and counts (counts fit 32 bits)
    bool flag = false;
    std::string path;
    ArrayView array;
};

struct Args {
    Arg a[4];
};

struct Param {
    const char* name;
    Kind kind;
};

struct Signature {
    const char* name;
    int count;
    Param params[4];
    Routine* wrapper;  // "<name> (wrapper)"
    PyObject* (*body)(Args&);
    PyObject* interned[4] = {};  // parameter names, made at start-up
};

// Creates the interned parameter names of a signature; false on error.
bool intern_params(Signature& sig);

// Runs the argument layer and the body. `one` is the argument of a
// one-object function (args and kwargs are then unused).
PyObject* call(Signature& sig, PyObject* args, PyObject* kwargs, PyObject* one);

// Converts a Python integer (or an object with __int__) to a signed 32-bit
// value; OverflowError when it does not fit. False with an exception set.
bool to_int32(PyObject* o, std::int32_t& out);

// Creates np.zeros(n, dtype=np.<dtype>) through the module global `np` and
// acquires a writable view of it. Returns the array (new reference) or null.
PyObject* new_zeros(std::int64_t n, Elem elem, ArrayView& view);

}  // namespace norvik
