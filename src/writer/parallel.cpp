#include "writer/parallel.hpp"

#include <cstdlib>
#include <thread>

#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>
#elif defined(__linux__)
#include <sched.h>
#endif

namespace norvik {

namespace {
constexpr unsigned kMaxThreads = 64;

unsigned processors() {
#ifdef _WIN32
    DWORD_PTR process = 0, system = 0;
    if (GetProcessAffinityMask(GetCurrentProcess(), &process, &system) && process) {
        unsigned n = 0;
        for (; process; process &= process - 1) ++n;
        return n;
    }
#elif defined(__linux__)
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) == 0) return static_cast<unsigned>(CPU_COUNT(&set));
#endif
    return std::thread::hardware_concurrency();
}
}  // namespace

unsigned writer_threads() {
    unsigned n = 0;
    if (const char* chosen = std::getenv("NORVIK_WRITER_THREADS")) {
        char* end = nullptr;
        long v = std::strtol(chosen, &end, 10);
        if (end != chosen && *end == '\0' && v >= 1) n = v < long{kMaxThreads} ? static_cast<unsigned>(v) : kMaxThreads;
    }
    if (n == 0) n = processors();
    if (n == 0) n = 1;
    return n < kMaxThreads ? n : kMaxThreads;
}

}  // namespace norvik
