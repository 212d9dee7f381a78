// Advice for the large arrays the triangle functions create and then fill.
//
// A fresh np.zeros array of many megabytes is untouched memory: its first
// write takes one page fault, and one page clear, per 4 KiB. On Linux the
// 2 MiB-aligned middle of such an array is advised as huge pages before the
// first write, so that it faults in 2 MiB at a time (where transparent huge
// pages are enabled, including "madvise" mode). Only whole 2 MiB blocks that
// lie inside the array are advised: the process never holds more memory
// than the array itself. Elsewhere, or where the advice is refused, nothing
// changes.
#pragma once

#include <cstdint>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace norvik {

// Arrays below this size keep the default pages (advice costs a system call
// and splits the mapping; small arrays gain nothing from it).
inline constexpr std::int64_t kHugeAdviceMinBytes = std::int64_t{8} << 20;

inline void advise_fresh_pages(char* data, std::int64_t bytes) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    constexpr std::uintptr_t kHuge = std::uintptr_t{1} << 21;
    if (!data || bytes < kHugeAdviceMinBytes) return;
    const auto begin = reinterpret_cast<std::uintptr_t>(data);
    const std::uintptr_t lo = (begin + kHuge - 1) & ~(kHuge - 1);
    const std::uintptr_t hi = (begin + static_cast<std::uintptr_t>(bytes)) & ~(kHuge - 1);
    if (hi > lo) madvise(reinterpret_cast<void*>(lo), hi - lo, MADV_HUGEPAGE);  // advice only: a refusal changes nothing
#else
    (void)data;
    (void)bytes;
#endif
}

}  // namespace norvik
