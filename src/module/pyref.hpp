// Small RAII layer over the CPython C API: owned references and buffer views.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace norvik {

// An owned (strong) reference. Null means "no object", usually an error set.
class Ref {
public:
    Ref() = default;
    explicit Ref(PyObject* owned) : p_(owned) {}
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& o) noexcept : p_(o.p_) { o.p_ = nullptr; }
    Ref& operator=(Ref&& o) noexcept {
        if (this != &o) {
            Py_XDECREF(p_);
            p_ = o.p_;
            o.p_ = nullptr;
        }
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    static Ref borrow(PyObject* b) {
        Py_XINCREF(b);
        return Ref(b);
    }

    PyObject* get() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }
    PyObject* release() { return std::exchange(p_, nullptr); }
    void reset(PyObject* owned = nullptr) {
        PyObject* old = p_;
        p_ = owned;
        Py_XDECREF(old);
    }

private:
    PyObject* p_ = nullptr;
};

// A held buffer view, released on destruction.
class BufferView {
public:
    BufferView() = default;
    BufferView(const BufferView&) = delete;
    BufferView& operator=(const BufferView&) = delete;
    ~BufferView() { release(); }

    // Requests a strided view with its format; false with the exporter's error set.
    bool acquire(PyObject* obj, int flags) {
        release();
        if (PyObject_GetBuffer(obj, &view_, flags) < 0) return false;
        held_ = true;
        return true;
    }
    void release() {
        if (held_) {
            PyBuffer_Release(&view_);
            held_ = false;
        }
    }
    bool held() const { return held_; }
    const Py_buffer& view() const { return view_; }

private:
    Py_buffer view_{};
    bool held_ = false;
};

}  // namespace norvik
