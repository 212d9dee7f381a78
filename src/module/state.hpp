// Process-wide state of the module: written during start-up only.
#pragma once

#include <cstdint>

#include "module/pyref.hpp"

namespace norvik {

struct State {
    std::int64_t interpreter_id = -1;  // the one interpreter this process serves
    PyObject* module = nullptr;        // strong; the initialised module object
    PyObject* globals = nullptr;       // borrowed: the module's namespace
    PyObject* fallback_globals = nullptr;
    PyTypeObject* ndarray = nullptr;   // strong
    void** numpy_api = nullptr;        // bound as a compatibility gate only

    // Interned names looked up at call time.
    PyObject* s_np = nullptr;
    PyObject* s_b3d_version = nullptr;
    PyObject* s_zeros = nullptr;
    PyObject* s_dtype = nullptr;
    PyObject* s_int32 = nullptr;
    PyObject* s_float32 = nullptr;
    PyObject* s_reshape = nullptr;
    PyObject* s_shape = nullptr;
    PyObject* i_0 = nullptr;  // small integer constants
    PyObject* i_3 = nullptr;
    PyObject* i_neg1 = nullptr;
};

State& state();

// Creates the interned strings and constants; false with an exception set.
bool init_constants();

// The module's namespace while it exists, else a private empty dict.
PyObject* frame_globals();

// Looks a name up in the module's globals, then in the builtins, as a Python
// name lookup does; NameError when neither has it. New reference.
PyObject* lookup_global(PyObject* name);

}  // namespace norvik
