// Shared pieces of the two document writers.
#pragma once

#include <cmath>
#include <string>

#include "module/routine.hpp"
#include "writer/sink.hpp"

namespace norvik {

// Opens the document's file (text mode, emptied or created) behind a sink.
// Prints the open error and returns null when it cannot be opened.
std::FILE* open_document(const std::string& path);

// Closes the document; prints the write error when any write failed.
// Returns whether the whole document reached the file.
bool close_document(Sink& out);

// Result of a routine that never lets an exception out: a failure of the
// profile function on return is reported the unraisable way, and then the
// result is False.
PyObject* finish_document(Trace& t, Routine& r, bool ok);

// Writes x with "%.4f", or 0.0000 with the warning when it is not finite.
inline void finite_f4(Sink& out, char sep, float x, const char* warning) {
    if (!std::isfinite(x)) [[unlikely]] {
        out.say(warning);
        x = 0.0f;
    }
    if (sep)
        out.sep_f4(sep, x);
    else
        out.f4(x);
}

}  // namespace norvik
