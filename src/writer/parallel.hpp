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

// Runs `worker` on `threads` - 1 new threads and `caller` on the calling
// one, and returns when every one has returned. A thread the system refuses
// is not started: the caller must be able to do the workers' share. Neither
// may throw.
template <class Worker, class Caller>
void run_on_threads(unsigned threads, Worker& worker, Caller& caller) {
    std::vector<std::thread> started;
    try {
        started.reserve(threads > 1 ? threads - 1 : 0);
        for (unsigned k = 1; k < threads; ++k) started.emplace_back(std::ref(worker));
    } catch (...) {
        // No more threads (or no memory for them): the caller does their share.
    }
    caller();
    for (std::thread& t : started) t.join();
}

}  // namespace norvik
