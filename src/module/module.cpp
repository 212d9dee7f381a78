// The module object: its definition, function table and start-up sequence.
#include <cctype>
#include <cstdio>

#include "module/args.hpp"
#include "module/functions.hpp"
#include "module/routine.hpp"
#include "module/state.hpp"
#include "module/numpy_gate.hpp"

namespace norvik {
namespace {

// ---------------------------------------------------------------------------
// Function table
// ---------------------------------------------------------------------------

#define NORVIK_WRAPPER(ident) \
    Routine W_##ident { #ident " (wrapper)", "norvik." #ident, __LINE__ }

NORVIK_WRAPPER(export);
NORVIK_WRAPPER(export_scenes);
NORVIK_WRAPPER(get_mesh_tri_data);
NORVIK_WRAPPER(get_material_indices);
NORVIK_WRAPPER(get_tri_count_per_material_index);
NORVIK_WRAPPER(get_mesh_tri_data_multi_material);
NORVIK_WRAPPER(get_mesh_tri_data_multi_material__310_to_current);
NORVIK_WRAPPER(get_mesh_tri_data_multi_material__293_to_300);

#define MULTI_MATERIAL_PARAMS                                                           \
    {{"mesh_ptr", Kind::Address}, {"material_indices", Kind::Int32Array},               \
     {"tris_per_material", Kind::Int32Array}, {"split_normals", Kind::Float32Array}}

Signature S_export{"export", 4,
                   {{"ob_ptr", Kind::Address}, {"count", Kind::Count},
                    {"output_path", Kind::Path}, {"use_debug", Kind::Flag}},
                   &W_export, export_body};
Signature S_export_scenes{"export_scenes", 3,
                          {{"scn_ptr", Kind::Address}, {"count", Kind::Count}, {"output_path", Kind::Path}},
                          &W_export_scenes, export_scenes_body};
Signature S_get_mesh_tri_data{"get_mesh_tri_data", 1, {{"mesh_ptr", Kind::Address}},
                              &W_get_mesh_tri_data, get_mesh_tri_data_body};
Signature S_get_material_indices{"get_material_indices", 1, {{"mesh_ptr", Kind::Address}},
                                 &W_get_material_indices, get_material_indices_body};
Signature S_get_tri_count_per_material_index{
    "get_tri_count_per_material_index", 2,
    {{"material_indices", Kind::Int32Array}, {"material_count", Kind::Count}},
    &W_get_tri_count_per_material_index, get_tri_count_per_material_index_body};
Signature S_multi{"get_mesh_tri_data_multi_material", 4, MULTI_MATERIAL_PARAMS,
                  &W_get_mesh_tri_data_multi_material, get_mesh_tri_data_multi_material_body};
Signature S_multi_310{"get_mesh_tri_data_multi_material__310_to_current", 4, MULTI_MATERIAL_PARAMS,
                      &W_get_mesh_tri_data_multi_material__310_to_current,
                      get_mesh_tri_data_multi_material__310_to_current_body};
Signature S_multi_293{"get_mesh_tri_data_multi_material__293_to_300", 4, MULTI_MATERIAL_PARAMS,
                      &W_get_mesh_tri_data_multi_material__293_to_300,
                      get_mesh_tri_data_multi_material__293_to_300_body};

Signature* const kSignatures[] = {&S_export, &S_export_scenes, &S_get_mesh_tri_data,
                                  &S_get_material_indices, &S_get_tri_count_per_material_index,
                                  &S_multi, &S_multi_310, &S_multi_293};

template <Signature& S>
PyObject* entry_kw(PyObject*, PyObject* args, PyObject* kwargs) {
    return call(S, args, kwargs, nullptr);
}

template <Signature& S>
PyObject* entry_one(PyObject*, PyObject* arg) {
    return call(S, nullptr, nullptr, arg);
}

#define KW_ENTRY(S) \
    {S.name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(entry_kw<S>)), METH_VARARGS | METH_KEYWORDS, nullptr}
#define ONE_ENTRY(S) {S.name, entry_one<S>, METH_O, nullptr}

PyMethodDef kMethods[] = {
    KW_ENTRY(S_export),
    KW_ENTRY(S_export_scenes),
    ONE_ENTRY(S_get_mesh_tri_data),
    ONE_ENTRY(S_get_material_indices),
    KW_ENTRY(S_get_tri_count_per_material_index),
    KW_ENTRY(S_multi),
    KW_ENTRY(S_multi_310),
    KW_ENTRY(S_multi_293),
    {nullptr, nullptr, 0, nullptr},
};

// ---------------------------------------------------------------------------
// Create step
// ---------------------------------------------------------------------------

bool copy_spec_attr(PyObject* spec, PyObject* dict, const char* from, const char* to, bool allow_none) {
    Ref value(PyObject_GetAttrString(spec, from));
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        return true;
    }
    if (!allow_none && value.get() == Py_None) return true;
    return PyDict_SetItemString(dict, to, value.get()) == 0;
}

PyObject* module_create(PyObject* spec, PyModuleDef*) {
    State& st = state();
    std::int64_t id = PyInterpreterState_GetID(PyThreadState_Get()->interp);
    if (st.interpreter_id == -1) {
        if (id == -1) return nullptr;
        st.interpreter_id = id;
    } else if (id != st.interpreter_id) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one interpreter per process.");
        return nullptr;
    }
    if (st.module) return Ref::borrow(st.module).release();
    Ref name(PyObject_GetAttrString(spec, "name"));
    if (!name) return nullptr;
    Ref module(PyModule_NewObject(name.get()));
    if (!module) return nullptr;
    PyObject* dict = PyModule_GetDict(module.get());
    if (!copy_spec_attr(spec, dict, "loader", "__loader__", true) ||
        !copy_spec_attr(spec, dict, "origin", "__file__", true) ||
        !copy_spec_attr(spec, dict, "parent", "__package__", true) ||
        !copy_spec_attr(spec, dict, "submodule_search_locations", "__path__", false))
        return nullptr;
    return module.release();
}

// ---------------------------------------------------------------------------
// Exec step
// ---------------------------------------------------------------------------

// The build's interpreter version against the running one, over at most
// four characters; a mismatch is a RuntimeWarning, fatal only when warnings
// are errors.
bool check_interpreter_version() {
    char ctversion[5];
    PyOS_snprintf(ctversion, sizeof ctversion, "%d.%d", PY_MAJOR_VERSION, PY_MINOR_VERSION);
    const char* rt = Py_GetVersion();
    bool same = true;
    for (int i = 0; i < 4; ++i) {
        if (!ctversion[i]) {
            same = !std::isdigit(static_cast<unsigned char>(rt[i]));
            break;
        }
        if (rt[i] != ctversion[i]) {
            same = false;
            break;
        }
    }
    if (same) return true;
    char rtversion[5] = {};
    bool found_dot = false;
    for (int i = 0; i < 4; ++i) {
        if (rt[i] == '.') {
            if (found_dot) break;
            found_dot = true;
        } else if (!std::isdigit(static_cast<unsigned char>(rt[i]))) {
            break;
        }
        rtversion[i] = rt[i];
    }
    char message[200];
    PyOS_snprintf(message, sizeof message,
                  "compiletime version %s of module '%.100s' does not match runtime version %s", ctversion,
                  "norvik", rtversion);
    return PyErr_WarnEx(PyExc_RuntimeWarning, message, 1) == 0;
}

bool register_bare_name(PyObject* module) {
    PyObject* modules = PyImport_GetModuleDict();
    Ref key(PyUnicode_InternFromString("norvik"));
    if (!key) return false;
    PyObject* present = PyDict_GetItemWithError(modules, key.get());
    if (present) return true;
    if (PyErr_Occurred()) return false;
    return PyDict_SetItem(modules, key.get(), module) == 0;
}

// A failed start-up takes back the bare name it registered, so that a later
// `import norvik` does not find the half-initialised module.
void unregister_bare_name(PyObject* module) {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyObject* modules = PyImport_GetModuleDict();
    PyObject* present = PyDict_GetItemString(modules, "norvik");
    if (present == module) PyDict_DelItemString(modules, "norvik");
    PyErr_Clear();
    PyErr_Restore(type, value, tb);
}

bool bind_import(PyObject* dict, const char* module, const char* as) {
    Ref m(PyImport_ImportModule(module));
    return m && PyDict_SetItemString(dict, as, m.get()) == 0;
}

Routine R_init{"PyInit_norvik", "init norvik", __LINE__};

// Steps 7 to 10, reported to a profiler as one call.
bool bind_namespace(PyObject* dict) {
    Trace t(R_init);
    if (!t.entered()) return t.pass(), false;
    if (!bind_import(dict, "numpy", "np") || !bind_numpy_api() || !bind_import(dict, "bpy", "bpy"))
        return t.pass(), false;
    Ref name(PyUnicode_InternFromString("bpy"));
    Ref bpy(name ? lookup_global(name.get()) : nullptr);
    Ref app(bpy ? PyObject_GetAttrString(bpy.get(), "app") : nullptr);
    Ref version(app ? PyObject_GetAttrString(app.get(), "version") : nullptr);
    if (!version || PyDict_SetItem(dict, state().s_b3d_version, version.get()) < 0) return t.pass(), false;
    return t.done(Ref::borrow(Py_None).release()) != nullptr;
}

int module_exec(PyObject* module) {
    State& st = state();
    if (st.module) {
        if (st.module == module) return 0;
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'norvik' has already been imported. Re-initialisation is not supported.");
        return -1;
    }
    if (!check_interpreter_version()) return -1;
    st.module = Ref::borrow(module).release();
    st.globals = PyModule_GetDict(module);
    bool ok = init_constants();
    for (Signature* s : kSignatures) ok = ok && intern_params(*s);
    ok = ok && register_bare_name(module) && check_numpy_types() && bind_namespace(st.globals);
    if (ok) return 0;
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_ImportError, "init norvik");
    add_traceback(R_init);
    unregister_bare_name(module);
    st.globals = nullptr;
    PyObject* m = st.module;
    st.module = nullptr;
    Py_DECREF(m);
    return -1;
}

PyModuleDef_Slot kSlots[] = {
    {Py_mod_create, reinterpret_cast<void*>(module_create)},
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyModuleDef kModuleDef = {
    PyModuleDef_HEAD_INIT,
    "norvik",  // m_name
    nullptr,   // m_doc
    0,         // m_size
    kMethods,  // m_methods
    kSlots,    // m_slots
    nullptr,   // m_traverse
    nullptr,   // m_clear
    nullptr,   // m_free
};

}  // namespace
}  // namespace norvik

PyMODINIT_FUNC PyInit_norvik(void) {
    return PyModuleDef_Init(&norvik::kModuleDef);
}
