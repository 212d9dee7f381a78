// The identity of a routine, and the one guard that reports it.
//
// Every routine of the module (the public functions, their argument layers
// and the internal writers and fills) has one static descriptor. The same
// descriptor serves three purposes:
//   - profiler events: a call and a return event with a synthetic frame whose
//     code object is named after the routine, when a profile function is
//     installed in the calling thread;
//   - traceback entries "norvik.<routine>" on an exception that leaves it;
//   - the unraisable way: routines without a Python result print the
//     exception's traceback and hand it to the unraisable hook, with
//     "norvik.<routine>" as the context.
// With no profile function installed the guard costs one load and one
// well-predicted branch.
#pragma once

#include "module/pyref.hpp"

namespace norvik {

struct Routine {
    const char* name;      // as profilers see it: "export", "export (wrapper)"
    const char* qualname;  // as tracebacks and unraisable reports see it
    int line;              // first line
    PyObject* prof_code = nullptr;  // made on first use, kept for the process
    PyObject* tb_code = nullptr;
};

// Defines the descriptor R_<ident> for a routine of that name.
#define NORVIK_ROUTINE(ident) \
    ::norvik::Routine R_##ident { #ident, "norvik." #ident, __LINE__ }

// A null thread state stands for a worker thread of the module's own, which
// runs no Python: its routines are neither profiled nor report anything.
inline bool profiling(PyThreadState* ts) { return ts && ts->c_profilefunc != nullptr; }

// Adds the routine's traceback entry to the exception being raised.
void add_traceback(Routine& r);

// Reports the pending exception the unraisable way under the routine's name
// and clears it.
void report_unraisable(Routine& r);

class Trace {
public:
    explicit Trace(Routine& r) : Trace(r, PyThreadState_Get()) {}
    Trace(Routine& r, PyThreadState* ts) : r_(r), ts_(ts) {
        if (profiling(ts)) [[unlikely]]
            entered_ = call_event();
    }
    Trace(const Trace&) = delete;
    Trace& operator=(const Trace&) = delete;
    ~Trace() {
        if (frame_) [[unlikely]]
            Py_DECREF(frame_);
    }

    // False when the profile function raised on the call event; the error is
    // pending and the routine must fail.
    bool entered() const { return entered_; }

    // Routines with a Python result. `result` is owned; null means the
    // routine failed with an exception pending. Returns the result, or null
    // with the exception (now carrying the routine's traceback entry).
    PyObject* done(PyObject* result) { return finish(result, true); }
    PyObject* fail() { return finish(nullptr, true); }
    // Fails with an exception that already carries this routine's entry
    // (raised by the body that the argument layer wraps).
    PyObject* pass() { return finish(nullptr, false); }

    // Routines without a Python result: a pending exception, or one raised by
    // the profile function, is reported the unraisable way.
    void done_void();

    PyThreadState* thread() const { return ts_; }

private:
    PyObject* finish(PyObject* result, bool add_entry);
    bool call_event();
    bool return_event(PyObject* value);

    Routine& r_;
    PyThreadState* ts_;
    PyObject* frame_ = nullptr;
    bool entered_ = true;
};

// For routines whose failure leaves no exception of their own but whose
// profiler events must still be reported (per-element helpers).
template <class F>
inline void traced_void(Routine& r, PyThreadState* ts, F&& body) {
    Trace t(r, ts);
    if (t.entered()) body();
    t.done_void();
}

}  // namespace norvik
