#include "writer/document.hpp"

namespace norvik {

std::FILE* open_document(const std::string& path) {
    std::FILE* f = std::fopen(path.c_str(), "w");
    if (!f) say("\n* ERROR: Unable to open file!\n");
    return f;
}

bool close_document(Sink& out) {
    bool ok = out.close();
    if (!ok) say("\n* ERROR: Unable to write file!\n");
    return ok;
}

PyObject* finish_document(Trace& t, Routine& r, bool ok) {
    std::fflush(stdout);
    if (PyErr_Occurred()) report_unraisable(r);
    PyObject* result = t.done(Ref::borrow(ok ? Py_True : Py_False).release());
    if (result) return result;
    report_unraisable(r);
    return Ref::borrow(Py_False).release();
}

}  // namespace norvik
