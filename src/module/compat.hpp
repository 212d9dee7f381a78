// Compiler and processor specifics, in one place.
//
// Everything that differs between GCC/Clang (Linux, MinGW, zig) and MSVC or
// clang-cl, or between x86-64 and arm64, lives here: the vector paths and
// their target attributes, the processor feature tests, and the prefetch
// hint. The rest of the source uses only the names below.
#pragma once

#if defined(_MSC_VER) && !defined(__clang__)
#include <intrin.h>
#endif

// ---- vector paths ----
//
// NORVIK_X86_SIMD is defined where the SSE4.1, AVX2 and AVX-512 list
// formatters are compiled. They are chosen at run time (cpu_has_*), so the
// build itself targets the x86-64 baseline. GCC and Clang need each such
// function marked with the instruction set it uses; MSVC compiles intrinsics
// anywhere.
//
// NORVIK_ARM64_NEON is defined on arm64, where NEON is the baseline: its
// path needs no attribute and no test.
//
// NORVIK_ALWAYS_INLINE: the small steps of a vector kernel, which must not
// become calls passing vectors through memory.
#if defined(__x86_64__) || defined(_M_X64)
#define NORVIK_X86_SIMD 1
#include <immintrin.h>
#if defined(__GNUC__) || defined(__clang__)
#include <cpuid.h>
#define NORVIK_TARGET_SSE41 __attribute__((target("sse4.1")))
#define NORVIK_TARGET_AVX2 __attribute__((target("avx2")))
// Clang from LLVM 18 on (Apple's from 17) gates 512-bit registers behind
// "evex512" as well; older compilers do not know that name.
#if defined(__clang__) && ((defined(__apple_build_version__) && __clang_major__ >= 17) || \
                           (!defined(__apple_build_version__) && __clang_major__ >= 18))
#define NORVIK_AVX512_EVEX ",evex512"
#else
#define NORVIK_AVX512_EVEX ""
#endif
#define NORVIK_TARGET_AVX512 \
    __attribute__((target("avx512f,avx512bw,avx512vl,avx512dq,avx512vbmi,avx512vbmi2,popcnt" NORVIK_AVX512_EVEX)))
#else
#define NORVIK_TARGET_SSE41
#define NORVIK_TARGET_AVX2
#define NORVIK_TARGET_AVX512
#endif
#elif defined(__aarch64__) || defined(_M_ARM64)
#define NORVIK_ARM64_NEON 1
#include <arm_neon.h>
#endif

#if defined(__GNUC__) || defined(__clang__)
#define NORVIK_ALWAYS_INLINE __attribute__((always_inline)) inline
#elif defined(_MSC_VER)
#define NORVIK_ALWAYS_INLINE __forceinline
#else
#define NORVIK_ALWAYS_INLINE inline
#endif

namespace norvik::compat {

#ifdef NORVIK_X86_SIMD
namespace detail {

struct CpuidRegs {
    unsigned a, b, c, d;
};

inline CpuidRegs cpuid(unsigned leaf, unsigned sub) {
    CpuidRegs r{0, 0, 0, 0};
#if defined(__GNUC__) || defined(__clang__)
    if (!__get_cpuid_count(leaf, sub, &r.a, &r.b, &r.c, &r.d)) return CpuidRegs{0, 0, 0, 0};
#else
    int v[4];
    __cpuid(v, 0);
    if (static_cast<unsigned>(v[0]) < leaf) return r;
    __cpuidex(v, static_cast<int>(leaf), static_cast<int>(sub));
    r = CpuidRegs{static_cast<unsigned>(v[0]), static_cast<unsigned>(v[1]),
                  static_cast<unsigned>(v[2]), static_cast<unsigned>(v[3])};
#endif
    return r;
}

// XCR0, the register states the operating system saves (read only when the
// processor reports OSXSAVE).
inline unsigned long long xcr0() {
#if defined(__GNUC__) || defined(__clang__)
    unsigned lo, hi;
    __asm__ volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
    return (static_cast<unsigned long long>(hi) << 32) | lo;
#else
    return _xgetbv(0);
#endif
}

}  // namespace detail

inline bool cpu_has_sse41() { return (detail::cpuid(1, 0).c >> 19) & 1; }

// AVX2 needs the processor's support and the operating system's: the 256-bit
// registers are usable only where it saves them (XCR0 bits 1 and 2).
inline bool cpu_has_avx2() {
    const detail::CpuidRegs l1 = detail::cpuid(1, 0);
    const bool osxsave = (l1.c >> 27) & 1, avx = (l1.c >> 28) & 1;
    if (!osxsave || !avx || (detail::xcr0() & 6) != 6) return false;
    return (detail::cpuid(7, 0).b >> 5) & 1;
}

// The AVX-512 path: F, BW, VL, DQ, VBMI and VBMI2 (byte permutes and the
// byte compress), with POPCNT, and the operating system saving the opmask
// and 512-bit register states (XCR0 bits 5 to 7 besides 1 and 2).
inline bool cpu_has_avx512_vbmi2() {
    if (!cpu_has_avx2() || !((detail::cpuid(1, 0).c >> 23) & 1)) return false;
    if ((detail::xcr0() & 0xe6) != 0xe6) return false;
    const detail::CpuidRegs l7 = detail::cpuid(7, 0);
    const unsigned ebx_need = 1u << 16 | 1u << 17 | 1u << 30 | 1u << 31;  // F, DQ, BW, VL
    const unsigned ecx_need = 1u << 1 | 1u << 6;                          // VBMI, VBMI2
    return (l7.b & ebx_need) == ebx_need && (l7.c & ecx_need) == ecx_need;
}
#else
inline bool cpu_has_sse41() { return false; }
inline bool cpu_has_avx2() { return false; }
inline bool cpu_has_avx512_vbmi2() { return false; }
#endif

// A hint that the cache line at p will be written soon.
inline void prefetch_for_write(const void* p) {
#if defined(__GNUC__) || defined(__clang__)
    __builtin_prefetch(p, 1);
#elif defined(NORVIK_X86_SIMD)
    _mm_prefetch(static_cast<const char*>(p), _MM_HINT_T0);
#else
    (void)p;
#endif
}

}  // namespace norvik::compat
