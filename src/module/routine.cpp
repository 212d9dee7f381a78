#include "module/routine.hpp"

#include <frameobject.h>

#include "module/state.hpp"

namespace norvik {

namespace {

// The source file name that frames and tracebacks carry.
constexpr const char* kSourceName = "norvik.cpp";

PyObject* code_for(PyObject*& slot, const char* name, int line) {
    if (!slot) slot = reinterpret_cast<PyObject*>(PyCode_NewEmpty(kSourceName, name, line));
    return slot;
}

PyObject* globals_dict() { return frame_globals(); }

PyFrameObject* new_frame(PyThreadState* ts, PyObject* code) {
    PyObject* globals = globals_dict();
    if (!code || !globals) return nullptr;
    return PyFrame_New(ts, reinterpret_cast<PyCodeObject*>(code), globals, nullptr);
}

void enter_tracing(PyThreadState* ts) {
#if PY_VERSION_HEX >= 0x030B0000
    PyThreadState_EnterTracing(ts);
#elif PY_VERSION_HEX >= 0x030A0000
    ts->tracing++;
    ts->cframe->use_tracing = 0;
#else
    ts->tracing++;
    ts->use_tracing = 0;
#endif
}

void leave_tracing(PyThreadState* ts) {
#if PY_VERSION_HEX >= 0x030B0000
    PyThreadState_LeaveTracing(ts);
#elif PY_VERSION_HEX >= 0x030A0000
    ts->tracing--;
    ts->cframe->use_tracing = (ts->c_tracefunc || ts->c_profilefunc);
#else
    ts->tracing--;
    ts->use_tracing = (ts->c_tracefunc || ts->c_profilefunc);
#endif
}

}  // namespace

void add_traceback(Routine& r) {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyThreadState* ts = PyThreadState_Get();
    PyFrameObject* frame = new_frame(ts, code_for(r.tb_code, r.qualname, r.line));
    if (!frame) {
        // Keep the original exception; the entry is a courtesy.
        PyErr_Clear();
        PyErr_Restore(type, value, tb);
        return;
    }
    PyErr_Restore(type, value, tb);
    PyTraceBack_Here(frame);
    Py_DECREF(frame);
}

void report_unraisable(Routine& r) {
    if (!PyErr_Occurred()) return;
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb && value) PyException_SetTraceback(value, tb);
    // Print the traceback without the interpreter's SystemExit handling: an
    // exit request raised inside a writer must not end the host process.
    PyErr_Display(type, value, tb);
    PyErr_Clear();
    PyErr_Restore(type, value, tb);
    Ref context(PyUnicode_FromString(r.qualname));
    if (!context) {
        // Out of memory while reporting: the original exception still goes out.
        PyObject *t2, *v2, *tb2;
        PyErr_Fetch(&t2, &v2, &tb2);
        Py_XDECREF(t2);
        Py_XDECREF(v2);
        Py_XDECREF(tb2);
        PyErr_Restore(type, value, tb);
        PyErr_WriteUnraisable(nullptr);
        return;
    }
    PyErr_WriteUnraisable(context.get());
}

bool Trace::call_event() {
    if (ts_->tracing) return true;  // already inside a trace or profile callback
    frame_ = reinterpret_cast<PyObject*>(new_frame(ts_, code_for(r_.prof_code, r_.name, r_.line)));
    if (!frame_) return false;
    enter_tracing(ts_);
    int rc = ts_->c_profilefunc(ts_->c_profileobj, reinterpret_cast<PyFrameObject*>(frame_),
                                PyTrace_CALL, Py_None);
    leave_tracing(ts_);
    return rc == 0;
}

bool Trace::return_event(PyObject* value) {
    if (!frame_ || !ts_->c_profilefunc || ts_->tracing) return true;
    enter_tracing(ts_);
    int rc = ts_->c_profilefunc(ts_->c_profileobj, reinterpret_cast<PyFrameObject*>(frame_),
                                PyTrace_RETURN, value);
    leave_tracing(ts_);
    return rc == 0;
}

PyObject* Trace::finish(PyObject* result, bool add_entry) {
    if (!result) {
        if (add_entry) add_traceback(r_);
        if (frame_) [[unlikely]] {
            PyObject *type, *value, *tb;
            PyErr_Fetch(&type, &value, &tb);
            if (!return_event(Py_None)) PyErr_Clear();
            PyErr_Restore(type, value, tb);
        }
        return nullptr;
    }
    if (frame_) [[unlikely]] {
        if (!return_event(result)) {
            Py_DECREF(result);
            add_traceback(r_);
            return nullptr;
        }
    }
    return result;
}

void Trace::done_void() {
    if (!ts_) return;  // a worker thread (see profiling())
    if (PyErr_Occurred()) [[unlikely]]
        report_unraisable(r_);
    if (frame_) [[unlikely]] {
        if (!return_event(Py_None)) report_unraisable(r_);
    }
}

}  // namespace norvik
