#include "writer/document.hpp"

#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>

#include <vector>
#endif

namespace norvik {

namespace {

#ifdef _WIN32
// Windows hands paths over as UTF-8 bytes; the narrow fopen would read them
// in the ANSI code page. Opened through the wide API, any name a user can
// type works. Bytes that are not UTF-8 name no file: null, as for any path
// that cannot be opened.
std::FILE* open_text_for_writing(const std::string& path) {
    const int size = static_cast<int>(path.size());
    if (path.size() > 0x7fffffff) return nullptr;
    const int wide = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path.data(), size, nullptr, 0);
    if (wide <= 0) return nullptr;
    std::vector<wchar_t> name(static_cast<std::size_t>(wide) + 1, L'\0');
    if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path.data(), size, name.data(), wide) != wide)
        return nullptr;
    return _wfopen(name.data(), L"w");
}
#else
std::FILE* open_text_for_writing(const std::string& path) { return std::fopen(path.c_str(), "w"); }
#endif

}  // namespace

std::FILE* open_document(const std::string& path) {
    std::FILE* f = open_text_for_writing(path);
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
