// Lists of numbers, several at a time.
//
// The AVX2 path takes eight numbers together (the SSE4.1 path four): their
// digits come out of one set of vector operations, and each number is then
// put together by one byte shuffle from a table chosen by its length, sign
// and separator, and stored whole. A group of which any number needs a
// slower case (magnitudes from 10^4 on for "%.4f", 10^8 on for "%u",
// non-finite values) goes through the portable formatters. The path is
// chosen at run time, so that one build runs on every x86-64 processor.
#include <cstddef>
#include <cstdint>
#include <initializer_list>

#include "module/compat.hpp"
#include "writer/format.hpp"

namespace norvik::fmt {
namespace {

char* f4_portable(char* p, const float* x, std::size_t n, bool first) {
    for (std::size_t i = 0; i < n; ++i) {
        *p = ',';
        p += !(first && i == 0);
        p = write_f4(p, x[i]);
    }
    return p;
}

char* u32_portable(char* p, const std::uint32_t* v, std::size_t n, bool first) {
    for (std::size_t i = 0; i < n; ++i) {
        *p = ',';
        p += !(first && i == 0);
        p = write_u32(p, v[i]);
    }
    return p;
}

#ifdef NORVIK_X86_SIMD

// The source of each number's shuffle: its eight digits in bytes 0 to 7
// (first digit lowest), then the point, the minus sign and the comma.
constexpr int kPoint = 8, kMinus = 9, kComma = 10;

// Shuffle masks and lengths, indexed by
//   "%.4f": zeros | sign << 2 | comma << 3  (zeros: dropped leading zeros of the four integer digits, 0 to 3)
//   "%u":   zeros | comma << 3              (zeros: dropped leading zeros of the eight digits, 0 to 7)
struct Shuffles {
    alignas(16) std::uint8_t mask[16][16];
    std::uint8_t len[16];
};

constexpr Shuffles make_f4_shuffles() {
    Shuffles t{};
    for (int idx = 0; idx < 16; ++idx) {
        const int zeros = idx & 3, sign = (idx >> 2) & 1, comma = idx >> 3;
        int k = 0;
        if (comma) t.mask[idx][k++] = kComma;
        if (sign) t.mask[idx][k++] = kMinus;
        for (int d = zeros; d < 4; ++d) t.mask[idx][k++] = static_cast<std::uint8_t>(d);
        t.mask[idx][k++] = kPoint;
        for (int d = 4; d < 8; ++d) t.mask[idx][k++] = static_cast<std::uint8_t>(d);
        t.len[idx] = static_cast<std::uint8_t>(k);
        while (k < 16) t.mask[idx][k++] = 0x80;
    }
    return t;
}

constexpr Shuffles make_u32_shuffles() {
    Shuffles t{};
    for (int idx = 0; idx < 16; ++idx) {
        const int zeros = idx & 7, comma = idx >> 3;
        int k = 0;
        if (comma) t.mask[idx][k++] = kComma;
        for (int d = zeros; d < 8; ++d) t.mask[idx][k++] = static_cast<std::uint8_t>(d);
        t.len[idx] = static_cast<std::uint8_t>(k);
        while (k < 16) t.mask[idx][k++] = 0x80;
    }
    return t;
}

constexpr Shuffles kF4Shuffles = make_f4_shuffles();
constexpr Shuffles kU32Shuffles = make_u32_shuffles();

constexpr std::uint64_t kTailBytes = std::uint64_t{'.'} | std::uint64_t{'-'} << 8 | std::uint64_t{','} << 16;

// ---- SSE4.1: four numbers at a time ----

// As digits4 below, for two integers.
NORVIK_TARGET_SSE41 inline __m128i digits2(__m128d r, __m128i& hi_out) {
    const __m128d h = _mm_floor_pd(_mm_mul_pd(r, _mm_set1_pd(1e-4)));
    const __m128d l = _mm_sub_pd(r, _mm_mul_pd(h, _mm_set1_pd(1e4)));
    const __m128i hi = _mm_cvttpd_epi32(h);
    const __m128i lo = _mm_cvttpd_epi32(l);
    hi_out = hi;
    __m128i v = _mm_unpacklo_epi32(hi, lo);
    __m128i q = _mm_srli_epi16(_mm_mulhi_epu16(v, _mm_set1_epi32(5243)), 3);
    __m128i r100 = _mm_sub_epi16(v, _mm_mullo_epi16(q, _mm_set1_epi32(100)));
    v = _mm_or_si128(q, _mm_slli_epi32(r100, 16));
    q = _mm_mulhi_epu16(v, _mm_set1_epi16(6554));
    __m128i r10 = _mm_sub_epi16(v, _mm_mullo_epi16(q, _mm_set1_epi16(10)));
    v = _mm_or_si128(q, _mm_slli_epi16(r10, 8));
    return _mm_add_epi8(v, _mm_set1_epi8('0'));
}

NORVIK_TARGET_SSE41 inline char* store2(char* p, __m128i d, const int* idx, const Shuffles& t) {
    const __m128i tail = _mm_set1_epi64x(static_cast<long long>(kTailBytes));
    const __m128i src[2] = {_mm_unpacklo_epi64(d, tail), _mm_unpackhi_epi64(d, tail)};
    for (int k = 0; k < 2; ++k) {
        const __m128i mask = _mm_load_si128(reinterpret_cast<const __m128i*>(t.mask[idx[k]]));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(p), _mm_shuffle_epi8(src[k], mask));
        p += t.len[idx[k]];
    }
    return p;
}

NORVIK_TARGET_SSE41 char* f4_sse41(char* p, const float* x, std::size_t n, bool first) {
    std::size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        const __m128 xf = _mm_loadu_ps(x + i);
        const __m128d scale = _mm_set1_pd(1e4);
        const __m128d abs_mask = _mm_castsi128_pd(_mm_set1_epi64x(0x7fffffffffffffffll));
        const __m128d r0 = _mm_round_pd(_mm_and_pd(_mm_mul_pd(_mm_cvtps_pd(xf), scale), abs_mask),
                                        _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC);
        const __m128d r1 = _mm_round_pd(_mm_and_pd(_mm_mul_pd(_mm_cvtps_pd(_mm_movehl_ps(xf, xf)), scale), abs_mask),
                                        _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC);
        const __m128d limit = _mm_set1_pd(1e8);
        if (_mm_movemask_pd(_mm_and_pd(_mm_cmplt_pd(r0, limit), _mm_cmplt_pd(r1, limit))) != 0x3) [[unlikely]] {
            p = f4_portable(p, x + i, 4, first && i == 0);
            continue;
        }
        __m128i h0, h1;
        const __m128i d0 = digits2(r0, h0);
        const __m128i d1 = digits2(r1, h1);
        const __m128i h = _mm_unpacklo_epi64(h0, h1);
        __m128i idx = _mm_sub_epi32(
            _mm_setzero_si128(),
            _mm_add_epi32(_mm_add_epi32(_mm_cmpgt_epi32(_mm_set1_epi32(1000), h), _mm_cmpgt_epi32(_mm_set1_epi32(100), h)),
                          _mm_cmpgt_epi32(_mm_set1_epi32(10), h)));
        idx = _mm_or_si128(idx, _mm_slli_epi32(_mm_srli_epi32(_mm_castps_si128(xf), 31), 2));
        idx = _mm_or_si128(idx, _mm_set1_epi32(8));
        alignas(16) int ix[4];
        _mm_store_si128(reinterpret_cast<__m128i*>(ix), idx);
        if (first && i == 0) ix[0] &= 7;
        p = store2(p, d0, ix, kF4Shuffles);
        p = store2(p, d1, ix + 2, kF4Shuffles);
    }
    return f4_portable(p, x + i, n - i, first && i == 0);
}

NORVIK_TARGET_SSE41 char* u32_sse41(char* p, const std::uint32_t* v, std::size_t n, bool first) {
    std::size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        const __m128i u = _mm_loadu_si128(reinterpret_cast<const __m128i*>(v + i));
        const __m128i big = _mm_or_si128(_mm_cmpgt_epi32(u, _mm_set1_epi32(99999999)),
                                         _mm_cmpgt_epi32(_mm_setzero_si128(), u));
        if (_mm_movemask_epi8(big) != 0) [[unlikely]] {
            p = u32_portable(p, v + i, 4, first && i == 0);
            continue;
        }
        __m128i h0, h1;
        const __m128i d0 = digits2(_mm_cvtepi32_pd(u), h0);
        const __m128i d1 = digits2(_mm_cvtepi32_pd(_mm_unpackhi_epi64(u, u)), h1);
        __m128i zeros = _mm_setzero_si128();
        for (int pw : {10, 100, 1000, 10000, 100000, 1000000, 10000000})
            zeros = _mm_sub_epi32(zeros, _mm_cmpgt_epi32(_mm_set1_epi32(pw), u));
        const __m128i idx = _mm_or_si128(zeros, _mm_set1_epi32(8));
        alignas(16) int ix[4];
        _mm_store_si128(reinterpret_cast<__m128i*>(ix), idx);
        if (first && i == 0) ix[0] &= 7;
        p = store2(p, d0, ix, kU32Shuffles);
        p = store2(p, d1, ix + 2, kU32Shuffles);
    }
    return u32_portable(p, v + i, n - i, first && i == 0);
}

// ---- AVX2: eight numbers at a time ----

// The eight ASCII digits of four integers r < 10^8 (held exactly in
// doubles), one number per 64-bit lane, first digit in the lowest byte; and
// their upper four digits (r / 10^4) as four int32.
NORVIK_TARGET_AVX2 inline __m256i digits4(__m256d r, __m128i& hi_out) {
    // floor(r * 1e-4) is r / 10^4 exactly: the double nearest 1e-4 is a
    // little above it, and r / 10^4 is at least 10^-4 below the next integer.
    const __m256d h = _mm256_floor_pd(_mm256_mul_pd(r, _mm256_set1_pd(1e-4)));
    const __m256d l = _mm256_sub_pd(r, _mm256_mul_pd(h, _mm256_set1_pd(1e4)));  // exact
    const __m128i hi = _mm256_cvttpd_epi32(h);
    const __m128i lo = _mm256_cvttpd_epi32(l);
    hi_out = hi;
    // [hi, lo] per number: each 32-bit lane holds a value below 10^4.
    __m256i v = _mm256_set_m128i(_mm_unpackhi_epi32(hi, lo), _mm_unpacklo_epi32(hi, lo));
    // Per 32-bit lane: v / 100 in the low half, v % 100 in the high half.
    __m256i q = _mm256_srli_epi16(_mm256_mulhi_epu16(v, _mm256_set1_epi32(5243)), 3);  // (v * 5243) >> 19
    __m256i r100 = _mm256_sub_epi16(v, _mm256_mullo_epi16(q, _mm256_set1_epi32(100)));
    v = _mm256_or_si256(q, _mm256_slli_epi32(r100, 16));
    // Per 16-bit lane (below 100): tens in the low byte, ones in the high byte.
    q = _mm256_mulhi_epu16(v, _mm256_set1_epi16(6554));  // (v * 6554) >> 16
    __m256i r10 = _mm256_sub_epi16(v, _mm256_mullo_epi16(q, _mm256_set1_epi16(10)));
    v = _mm256_or_si256(q, _mm256_slli_epi16(r10, 8));
    return _mm256_add_epi8(v, _mm256_set1_epi8('0'));
}

// Puts together and stores four numbers whose digits are in d (one per
// 64-bit lane), with the shuffles idx[0..4); returns the end.
NORVIK_TARGET_AVX2 inline char* store4(char* p, __m256i d, const int* idx, const Shuffles& t) {
    const __m256i tail = _mm256_set1_epi64x(static_cast<long long>(kTailBytes));
    const __m256i even = _mm256_unpacklo_epi64(d, tail);  // numbers 0 and 2
    const __m256i odd = _mm256_unpackhi_epi64(d, tail);   // numbers 1 and 3
    const __m128i src[4] = {_mm256_castsi256_si128(even), _mm256_castsi256_si128(odd),
                            _mm256_extracti128_si256(even, 1), _mm256_extracti128_si256(odd, 1)};
    for (int k = 0; k < 4; ++k) {
        const __m128i mask = _mm_load_si128(reinterpret_cast<const __m128i*>(t.mask[idx[k]]));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(p), _mm_shuffle_epi8(src[k], mask));
        p += t.len[idx[k]];
    }
    return p;
}

NORVIK_TARGET_AVX2 char* f4_avx2(char* p, const float* x, std::size_t n, bool first) {
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        const __m256 xf = _mm256_loadu_ps(x + i);
        const __m256d scale = _mm256_set1_pd(1e4);
        const __m256d abs_mask = _mm256_castsi256_pd(_mm256_set1_epi64x(0x7fffffffffffffffll));
        // |x| * 10^4, exact in double, rounded to an integer, ties to even.
        const __m256d r0 = _mm256_round_pd(
            _mm256_and_pd(_mm256_mul_pd(_mm256_cvtps_pd(_mm256_castps256_ps128(xf)), scale), abs_mask),
            _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC);
        const __m256d r1 = _mm256_round_pd(
            _mm256_and_pd(_mm256_mul_pd(_mm256_cvtps_pd(_mm256_extractf128_ps(xf, 1)), scale), abs_mask),
            _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC);
        // Below 10^8 ("IIII.FFFF"); false for NaN.
        const __m256d limit = _mm256_set1_pd(1e8);
        if (_mm256_movemask_pd(_mm256_and_pd(_mm256_cmp_pd(r0, limit, _CMP_LT_OQ),
                                             _mm256_cmp_pd(r1, limit, _CMP_LT_OQ))) != 0xf) [[unlikely]] {
            p = f4_portable(p, x + i, 8, first && i == 0);
            continue;
        }
        __m128i h0, h1;
        const __m256i d0 = digits4(r0, h0);
        const __m256i d1 = digits4(r1, h1);
        // Shuffle index per number: dropped integer zeros, sign, comma.
        const __m256i h = _mm256_set_m128i(h1, h0);
        __m256i idx = _mm256_sub_epi32(
            _mm256_setzero_si256(),
            _mm256_add_epi32(_mm256_add_epi32(_mm256_cmpgt_epi32(_mm256_set1_epi32(1000), h),
                                              _mm256_cmpgt_epi32(_mm256_set1_epi32(100), h)),
                             _mm256_cmpgt_epi32(_mm256_set1_epi32(10), h)));
        idx = _mm256_or_si256(idx, _mm256_slli_epi32(_mm256_srli_epi32(_mm256_castps_si256(xf), 31), 2));
        idx = _mm256_or_si256(idx, _mm256_set1_epi32(8));
        alignas(32) int ix[8];
        _mm256_store_si256(reinterpret_cast<__m256i*>(ix), idx);
        if (first && i == 0) ix[0] &= 7;
        p = store4(p, d0, ix, kF4Shuffles);
        p = store4(p, d1, ix + 4, kF4Shuffles);
    }
    return f4_portable(p, x + i, n - i, first && i == 0);
}

NORVIK_TARGET_AVX2 char* u32_avx2(char* p, const std::uint32_t* v, std::size_t n, bool first) {
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        const __m256i u = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(v + i));
        // Below 10^8: eight digits. (Values from 2^31 on are negative as int32.)
        const __m256i big = _mm256_or_si256(_mm256_cmpgt_epi32(u, _mm256_set1_epi32(99999999)),
                                             _mm256_cmpgt_epi32(_mm256_setzero_si256(), u));
        if (!_mm256_testz_si256(big, big)) [[unlikely]] {
            p = u32_portable(p, v + i, 8, first && i == 0);
            continue;
        }
        __m128i h0, h1;
        const __m256i d0 = digits4(_mm256_cvtepi32_pd(_mm256_castsi256_si128(u)), h0);
        const __m256i d1 = digits4(_mm256_cvtepi32_pd(_mm256_extracti128_si256(u, 1)), h1);
        // Dropped leading zeros (one digit always stays): the powers of ten above u.
        __m256i zeros = _mm256_setzero_si256();
        for (int pw : {10, 100, 1000, 10000, 100000, 1000000, 10000000})
            zeros = _mm256_sub_epi32(zeros, _mm256_cmpgt_epi32(_mm256_set1_epi32(pw), u));
        const __m256i idx = _mm256_or_si256(zeros, _mm256_set1_epi32(8));
        alignas(32) int ix[8];
        _mm256_store_si256(reinterpret_cast<__m256i*>(ix), idx);
        if (first && i == 0) ix[0] &= 7;
        p = store4(p, d0, ix, kU32Shuffles);
        p = store4(p, d1, ix + 4, kU32Shuffles);
    }
    return u32_portable(p, v + i, n - i, first && i == 0);
}

#endif  // NORVIK_X86_SIMD

}  // namespace

bool path_available(Path path) {
    switch (path) {
        case Path::Portable: return true;
#ifdef NORVIK_X86_SIMD
        case Path::Sse41:
            return compat::cpu_has_sse41();
        case Path::Avx2:
            return compat::cpu_has_avx2();
#else
        case Path::Sse41:
        case Path::Avx2:
            return false;
#endif
    }
    return false;
}

Path best_path() {
    static const Path best = path_available(Path::Avx2)    ? Path::Avx2
                             : path_available(Path::Sse41) ? Path::Sse41
                                                           : Path::Portable;
    return best;
}

char* write_f4_list(char* p, const float* x, std::size_t n, bool first, Path path) {
#ifdef NORVIK_X86_SIMD
    if (path == Path::Avx2) return f4_avx2(p, x, n, first);
    if (path == Path::Sse41) return f4_sse41(p, x, n, first);
#endif
    (void)path;
    return f4_portable(p, x, n, first);
}

char* write_u32_list(char* p, const std::uint32_t* v, std::size_t n, bool first, Path path) {
#ifdef NORVIK_X86_SIMD
    if (path == Path::Avx2) return u32_avx2(p, v, n, first);
    if (path == Path::Sse41) return u32_sse41(p, v, n, first);
#endif
    (void)path;
    return u32_portable(p, v, n, first);
}

}  // namespace norvik::fmt
