// Formatting one document on several threads: the parts of a document are
// written into memory side by side, then into the file in their order.
#pragma once

#include <functional>
#include <thread>
#include <vector>

namespace norvik {

// The threads that may format at once: the processors this process may run
// on (its affinity, where the system tells it), or NORVIK_WRITER_THREADS
// when that is a number from 1 on (1: one thread, the calling one).
unsigned writer_threads();

// Runs `body` on `threads` threads, the calling one among them, and returns
// when every one has returned. A thread the system refuses is not started:
// the bodies share their work, so the others do it. `body` must not throw.
template <class Body>
void run_on_threads(unsigned threads, Body& body) {
    std::vector<std::thread> started;
    try {
        started.reserve(threads > 1 ? threads - 1 : 0);
        for (unsigned k = 1; k < threads; ++k) started.emplace_back(std::ref(body));
    } catch (...) {
        // No more threads (or no memory for them): those running share the work.
    }
    body();
    for (std::thread& t : started) t.join();
}

}  // namespace norvik
