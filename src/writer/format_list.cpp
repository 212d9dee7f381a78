// Lists of numbers, several at a time.
//
// One algorithm, written once (list_kernels.inc) over each instruction set's
// vector operations (the Ops structs below): a group of numbers (four with
// SSE4.1 and NEON, eight with AVX2, sixteen with AVX-512) is rounded and
// split into digits by one set of vector operations; then each number is put
// together from its eight digits, its sign, the point and the comma, either
// by one byte shuffle per number from a table chosen by its length, sign and
// separator (SSE4.1, AVX2, NEON), or four numbers at a time by one byte
// compress under a mask of the bytes they keep (AVX-512 VBMI2). A group of
// which any number needs a slower case (magnitudes from 10^4 on for "%.4f",
// 10^8 on for "%u", non-finite values) goes through the portable formatters.
// On x86-64 the path is chosen at run time, so that one build runs on every
// x86-64 processor; on arm64, NEON is always there.
#include <bit>
#include <cstddef>
#include <cstdint>
#include <initializer_list>

#include "module/compat.hpp"
#include "writer/format.hpp"

// GCC 12's own AVX-512 intrinsics start from a deliberately uninitialized
// vector (`__Y = __Y`), which trips its uninitialized-use checks.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

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

#if defined(NORVIK_X86_SIMD) || defined(NORVIK_ARM64_NEON)

// ---------------------------------------------------------------------------
// Tables
// ---------------------------------------------------------------------------

// The source of each number's shuffle: its eight digits in bytes 0 to 7
// (first digit lowest), then the point, the minus sign and the comma.
constexpr int kPoint = 8, kMinus = 9, kComma = 10;
constexpr std::uint64_t kTailBytes = std::uint64_t{'.'} | std::uint64_t{'-'} << 8 | std::uint64_t{','} << 16;

// Shuffle masks and lengths, indexed by
//   "%.4f": zeros | sign << 2 | comma << 3  (zeros: dropped leading zeros of the four integer digits, 0 to 3)
//   "%u":   zeros | comma << 3              (zeros: dropped leading zeros of the eight digits, 0 to 7)
// A mask byte of 0x80 stores a zero (past the number's end).
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

#endif  // NORVIK_X86_SIMD || NORVIK_ARM64_NEON

#ifdef NORVIK_X86_SIMD

// ---------------------------------------------------------------------------
// SSE4.1: four numbers at a time
// ---------------------------------------------------------------------------

struct Sse41 {
    using Floats = __m128;
    using Uints = __m128i;
    using Ints = __m128i;
    using Doubles = __m128d;
    using HalfInts = __m128i;
    using Digits = __m128i;
    static constexpr std::size_t kNumbers = 4;
    static constexpr bool kCompress = false;

    NORVIK_TARGET_SSE41 static Floats load(const float* x) { return _mm_loadu_ps(x); }
    NORVIK_TARGET_SSE41 static Doubles widen_lo(Floats x) { return _mm_cvtps_pd(x); }
    NORVIK_TARGET_SSE41 static Doubles widen_hi(Floats x) { return _mm_cvtps_pd(_mm_movehl_ps(x, x)); }
    NORVIK_TARGET_SSE41 static Doubles dup(double v) { return _mm_set1_pd(v); }
    NORVIK_TARGET_SSE41 static Doubles mul(Doubles a, Doubles b) { return _mm_mul_pd(a, b); }
    NORVIK_TARGET_SSE41 static Doubles sub(Doubles a, Doubles b) { return _mm_sub_pd(a, b); }
    NORVIK_TARGET_SSE41 static Doubles abs(Doubles a) {
        return _mm_and_pd(a, _mm_castsi128_pd(_mm_set1_epi64x(0x7fffffffffffffffll)));
    }
    NORVIK_TARGET_SSE41 static Doubles round_even(Doubles a) {
        return _mm_round_pd(a, _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC);
    }
    NORVIK_TARGET_SSE41 static Doubles floor(Doubles a) { return _mm_floor_pd(a); }
    NORVIK_TARGET_SSE41 static bool all_below(Doubles a, Doubles b, double limit) {
        const __m128d l = _mm_set1_pd(limit);
        return _mm_movemask_pd(_mm_and_pd(_mm_cmplt_pd(a, l), _mm_cmplt_pd(b, l))) == 0x3;
    }
    NORVIK_TARGET_SSE41 static HalfInts to_int32(Doubles a) { return _mm_cvttpd_epi32(a); }
    NORVIK_TARGET_SSE41 static Digits pair(HalfInts hi, HalfInts lo) { return _mm_unpacklo_epi32(hi, lo); }
    NORVIK_TARGET_SSE41 static Ints join(HalfInts a, HalfInts b) { return _mm_unpacklo_epi64(a, b); }

    NORVIK_TARGET_SSE41 static __m128i dup32(int v) { return _mm_set1_epi32(v); }
    NORVIK_TARGET_SSE41 static __m128i dup16(short v) { return _mm_set1_epi16(v); }
    NORVIK_TARGET_SSE41 static __m128i dup8(char v) { return _mm_set1_epi8(v); }
    NORVIK_TARGET_SSE41 static __m128i mulhi_u16(__m128i a, __m128i b) { return _mm_mulhi_epu16(a, b); }
    NORVIK_TARGET_SSE41 static __m128i mullo16(__m128i a, __m128i b) { return _mm_mullo_epi16(a, b); }
    NORVIK_TARGET_SSE41 static __m128i sub16(__m128i a, __m128i b) { return _mm_sub_epi16(a, b); }
    NORVIK_TARGET_SSE41 static __m128i add8(__m128i a, __m128i b) { return _mm_add_epi8(a, b); }
    NORVIK_TARGET_SSE41 static __m128i bit_or(__m128i a, __m128i b) { return _mm_or_si128(a, b); }
    template <int N>
    NORVIK_TARGET_SSE41 static __m128i shr16(__m128i a) { return _mm_srli_epi16(a, N); }
    template <int N>
    NORVIK_TARGET_SSE41 static __m128i shl16(__m128i a) { return _mm_slli_epi16(a, N); }
    template <int N>
    NORVIK_TARGET_SSE41 static __m128i shl32(__m128i a) { return _mm_slli_epi32(a, N); }

    NORVIK_TARGET_SSE41 static Ints zero() { return _mm_setzero_si128(); }
    NORVIK_TARGET_SSE41 static Ints dup_i32(int v) { return _mm_set1_epi32(v); }
    NORVIK_TARGET_SSE41 static Ints less(Ints v, int limit) { return _mm_cmpgt_epi32(_mm_set1_epi32(limit), v); }
    NORVIK_TARGET_SSE41 static Ints sub32(Ints a, Ints b) { return _mm_sub_epi32(a, b); }
    NORVIK_TARGET_SSE41 static Ints bit_or32(Ints a, Ints b) { return _mm_or_si128(a, b); }
    template <int N>
    NORVIK_TARGET_SSE41 static Ints shl32i(Ints a) { return _mm_slli_epi32(a, N); }
    NORVIK_TARGET_SSE41 static Ints sign_bits(Floats x) { return _mm_srli_epi32(_mm_castps_si128(x), 31); }
    NORVIK_TARGET_SSE41 static void store_ints(int* out, Ints v) {
        _mm_store_si128(reinterpret_cast<__m128i*>(out), v);
    }

    NORVIK_TARGET_SSE41 static Uints load_u32(const std::uint32_t* v) {
        return _mm_loadu_si128(reinterpret_cast<const __m128i*>(v));
    }
    NORVIK_TARGET_SSE41 static bool all_below_u32(Uints u, std::uint32_t limit) {
        const __m128i most = _mm_set1_epi32(static_cast<int>(limit - 1));
        return _mm_movemask_epi8(_mm_cmpeq_epi32(_mm_min_epu32(u, most), u)) == 0xffff;
    }
    // (Values below 10^8 are the same as int32.)
    NORVIK_TARGET_SSE41 static Doubles u32_lo(Uints u) { return _mm_cvtepi32_pd(u); }
    NORVIK_TARGET_SSE41 static Doubles u32_hi(Uints u) { return _mm_cvtepi32_pd(_mm_unpackhi_epi64(u, u)); }
    NORVIK_TARGET_SSE41 static Ints as_ints(Uints u) { return u; }

    // Puts together and stores the two numbers whose digits are in d, with
    // the shuffles idx[0..2); returns the end.
    NORVIK_TARGET_SSE41 static char* store_numbers(char* p, Digits d, const int* idx, const Shuffles& t) {
        const __m128i tail = _mm_set1_epi64x(static_cast<long long>(kTailBytes));
        const __m128i src[2] = {_mm_unpacklo_epi64(d, tail), _mm_unpackhi_epi64(d, tail)};
        for (int k = 0; k < 2; ++k) {
            const __m128i mask = _mm_load_si128(reinterpret_cast<const __m128i*>(t.mask[idx[k]]));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(p), _mm_shuffle_epi8(src[k], mask));
            p += t.len[idx[k]];
        }
        return p;
    }
};

// ---------------------------------------------------------------------------
// AVX2: eight numbers at a time
// ---------------------------------------------------------------------------

struct Avx2 {
    using Floats = __m256;
    using Uints = __m256i;
    using Ints = __m256i;
    using Doubles = __m256d;
    using HalfInts = __m128i;
    using Digits = __m256i;
    static constexpr std::size_t kNumbers = 8;
    static constexpr bool kCompress = false;

    NORVIK_TARGET_AVX2 static Floats load(const float* x) { return _mm256_loadu_ps(x); }
    NORVIK_TARGET_AVX2 static Doubles widen_lo(Floats x) { return _mm256_cvtps_pd(_mm256_castps256_ps128(x)); }
    NORVIK_TARGET_AVX2 static Doubles widen_hi(Floats x) { return _mm256_cvtps_pd(_mm256_extractf128_ps(x, 1)); }
    NORVIK_TARGET_AVX2 static Doubles dup(double v) { return _mm256_set1_pd(v); }
    NORVIK_TARGET_AVX2 static Doubles mul(Doubles a, Doubles b) { return _mm256_mul_pd(a, b); }
    NORVIK_TARGET_AVX2 static Doubles sub(Doubles a, Doubles b) { return _mm256_sub_pd(a, b); }
    NORVIK_TARGET_AVX2 static Doubles abs(Doubles a) {
        return _mm256_and_pd(a, _mm256_castsi256_pd(_mm256_set1_epi64x(0x7fffffffffffffffll)));
    }
    NORVIK_TARGET_AVX2 static Doubles round_even(Doubles a) {
        return _mm256_round_pd(a, _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC);
    }
    NORVIK_TARGET_AVX2 static Doubles floor(Doubles a) { return _mm256_floor_pd(a); }
    NORVIK_TARGET_AVX2 static bool all_below(Doubles a, Doubles b, double limit) {
        const __m256d l = _mm256_set1_pd(limit);
        return _mm256_movemask_pd(_mm256_and_pd(_mm256_cmp_pd(a, l, _CMP_LT_OQ), _mm256_cmp_pd(b, l, _CMP_LT_OQ))) ==
               0xf;
    }
    NORVIK_TARGET_AVX2 static HalfInts to_int32(Doubles a) { return _mm256_cvttpd_epi32(a); }
    NORVIK_TARGET_AVX2 static Digits pair(HalfInts hi, HalfInts lo) {
        return _mm256_set_m128i(_mm_unpackhi_epi32(hi, lo), _mm_unpacklo_epi32(hi, lo));
    }
    NORVIK_TARGET_AVX2 static Ints join(HalfInts a, HalfInts b) { return _mm256_set_m128i(b, a); }

    NORVIK_TARGET_AVX2 static __m256i dup32(int v) { return _mm256_set1_epi32(v); }
    NORVIK_TARGET_AVX2 static __m256i dup16(short v) { return _mm256_set1_epi16(v); }
    NORVIK_TARGET_AVX2 static __m256i dup8(char v) { return _mm256_set1_epi8(v); }
    NORVIK_TARGET_AVX2 static __m256i mulhi_u16(__m256i a, __m256i b) { return _mm256_mulhi_epu16(a, b); }
    NORVIK_TARGET_AVX2 static __m256i mullo16(__m256i a, __m256i b) { return _mm256_mullo_epi16(a, b); }
    NORVIK_TARGET_AVX2 static __m256i sub16(__m256i a, __m256i b) { return _mm256_sub_epi16(a, b); }
    NORVIK_TARGET_AVX2 static __m256i add8(__m256i a, __m256i b) { return _mm256_add_epi8(a, b); }
    NORVIK_TARGET_AVX2 static __m256i bit_or(__m256i a, __m256i b) { return _mm256_or_si256(a, b); }
    template <int N>
    NORVIK_TARGET_AVX2 static __m256i shr16(__m256i a) { return _mm256_srli_epi16(a, N); }
    template <int N>
    NORVIK_TARGET_AVX2 static __m256i shl16(__m256i a) { return _mm256_slli_epi16(a, N); }
    template <int N>
    NORVIK_TARGET_AVX2 static __m256i shl32(__m256i a) { return _mm256_slli_epi32(a, N); }

    NORVIK_TARGET_AVX2 static Ints zero() { return _mm256_setzero_si256(); }
    NORVIK_TARGET_AVX2 static Ints dup_i32(int v) { return _mm256_set1_epi32(v); }
    NORVIK_TARGET_AVX2 static Ints less(Ints v, int limit) { return _mm256_cmpgt_epi32(_mm256_set1_epi32(limit), v); }
    NORVIK_TARGET_AVX2 static Ints sub32(Ints a, Ints b) { return _mm256_sub_epi32(a, b); }
    NORVIK_TARGET_AVX2 static Ints bit_or32(Ints a, Ints b) { return _mm256_or_si256(a, b); }
    template <int N>
    NORVIK_TARGET_AVX2 static Ints shl32i(Ints a) { return _mm256_slli_epi32(a, N); }
    NORVIK_TARGET_AVX2 static Ints sign_bits(Floats x) { return _mm256_srli_epi32(_mm256_castps_si256(x), 31); }
    NORVIK_TARGET_AVX2 static void store_ints(int* out, Ints v) {
        _mm256_store_si256(reinterpret_cast<__m256i*>(out), v);
    }

    NORVIK_TARGET_AVX2 static Uints load_u32(const std::uint32_t* v) {
        return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(v));
    }
    NORVIK_TARGET_AVX2 static bool all_below_u32(Uints u, std::uint32_t limit) {
        const __m256i most = _mm256_set1_epi32(static_cast<int>(limit - 1));
        return _mm256_movemask_epi8(_mm256_cmpeq_epi32(_mm256_min_epu32(u, most), u)) == -1;
    }
    // (Values below 10^8 are the same as int32.)
    NORVIK_TARGET_AVX2 static Doubles u32_lo(Uints u) { return _mm256_cvtepi32_pd(_mm256_castsi256_si128(u)); }
    NORVIK_TARGET_AVX2 static Doubles u32_hi(Uints u) { return _mm256_cvtepi32_pd(_mm256_extracti128_si256(u, 1)); }
    NORVIK_TARGET_AVX2 static Ints as_ints(Uints u) { return u; }

    // Puts together and stores the four numbers whose digits are in d, with
    // the shuffles idx[0..4); returns the end.
    NORVIK_TARGET_AVX2 static char* store_numbers(char* p, Digits d, const int* idx, const Shuffles& t) {
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
};

// ---------------------------------------------------------------------------
// AVX-512 (VBMI2): sixteen numbers at a time
// ---------------------------------------------------------------------------
//
// Every number gets a 16-byte slot of fixed shape, four to a register:
// "%.4f" ",-DDDD.DDDD" and "%u" ",DDDDDDDD". A 16-bit mask per number says
// which of its slot's bytes it keeps (comma, sign, digits from the first
// one written); the kept bytes of four numbers are packed together by one
// byte compress and stored as one 64-byte write.

// vpermt2b indices building four slots from the digits of numbers
// `base`..`base`+3 (bytes 8n to 8n+7 of the first source) and the marks of
// the second (comma, minus, point at bytes 0, 1, 2; a zero at byte 3).
struct SlotIndex {
    alignas(64) std::uint8_t idx[64];
};

constexpr SlotIndex make_slots(const char* shape, int base) {
    SlotIndex s{};
    int len = 0;
    while (shape[len]) ++len;
    for (int k = 0; k < 4; ++k) {
        for (int b = 0; b < 16; ++b) {
            const char c = b < len ? shape[b] : ' ';
            int from = 64 + 3;
            if (c >= '0' && c <= '7') from = 8 * (base + k) + (c - '0');
            if (c == ',') from = 64;
            if (c == '-') from = 65;
            if (c == '.') from = 66;
            s.idx[16 * k + b] = static_cast<std::uint8_t>(from);
        }
    }
    return s;
}

constexpr SlotIndex kF4Slots[2] = {make_slots(",-0123.4567", 0), make_slots(",-0123.4567", 4)};
constexpr SlotIndex kU32Slots[2] = {make_slots(",01234567", 0), make_slots(",01234567", 4)};

struct Avx512 {
    using Floats = __m512;
    using Uints = __m512i;
    using Ints = __m512i;
    using Doubles = __m512d;
    using HalfInts = __m256i;
    using Digits = __m512i;
    static constexpr std::size_t kNumbers = 16;
    static constexpr bool kCompress = true;

    NORVIK_TARGET_AVX512 static Floats load(const float* x) { return _mm512_loadu_ps(x); }
    NORVIK_TARGET_AVX512 static Doubles widen_lo(Floats x) { return _mm512_cvtps_pd(_mm512_castps512_ps256(x)); }
    NORVIK_TARGET_AVX512 static Doubles widen_hi(Floats x) {
        return _mm512_cvtps_pd(_mm256_castpd_ps(_mm512_extractf64x4_pd(_mm512_castps_pd(x), 1)));
    }
    NORVIK_TARGET_AVX512 static Doubles dup(double v) { return _mm512_set1_pd(v); }
    NORVIK_TARGET_AVX512 static Doubles mul(Doubles a, Doubles b) { return _mm512_mul_pd(a, b); }
    NORVIK_TARGET_AVX512 static Doubles sub(Doubles a, Doubles b) { return _mm512_sub_pd(a, b); }
    NORVIK_TARGET_AVX512 static Doubles abs(Doubles a) { return _mm512_abs_pd(a); }
    NORVIK_TARGET_AVX512 static Doubles round_even(Doubles a) {
        return _mm512_roundscale_pd(a, _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC);
    }
    NORVIK_TARGET_AVX512 static Doubles floor(Doubles a) {
        return _mm512_roundscale_pd(a, _MM_FROUND_TO_NEG_INF | _MM_FROUND_NO_EXC);
    }
    NORVIK_TARGET_AVX512 static bool all_below(Doubles a, Doubles b, double limit) {
        const __m512d l = _mm512_set1_pd(limit);
        return (_mm512_cmp_pd_mask(a, l, _CMP_LT_OQ) & _mm512_cmp_pd_mask(b, l, _CMP_LT_OQ)) == 0xff;
    }
    NORVIK_TARGET_AVX512 static HalfInts to_int32(Doubles a) { return _mm512_cvttpd_epi32(a); }
    NORVIK_TARGET_AVX512 static Digits pair(HalfInts hi, HalfInts lo) {
        return _mm512_or_si512(_mm512_cvtepu32_epi64(hi), _mm512_slli_epi64(_mm512_cvtepu32_epi64(lo), 32));
    }
    NORVIK_TARGET_AVX512 static Ints join(HalfInts a, HalfInts b) {
        return _mm512_inserti64x4(_mm512_castsi256_si512(a), b, 1);
    }

    NORVIK_TARGET_AVX512 static __m512i dup32(int v) { return _mm512_set1_epi32(v); }
    NORVIK_TARGET_AVX512 static __m512i dup16(short v) { return _mm512_set1_epi16(v); }
    NORVIK_TARGET_AVX512 static __m512i dup8(char v) { return _mm512_set1_epi8(v); }
    NORVIK_TARGET_AVX512 static __m512i mulhi_u16(__m512i a, __m512i b) { return _mm512_mulhi_epu16(a, b); }
    NORVIK_TARGET_AVX512 static __m512i mullo16(__m512i a, __m512i b) { return _mm512_mullo_epi16(a, b); }
    NORVIK_TARGET_AVX512 static __m512i sub16(__m512i a, __m512i b) { return _mm512_sub_epi16(a, b); }
    NORVIK_TARGET_AVX512 static __m512i add8(__m512i a, __m512i b) { return _mm512_add_epi8(a, b); }
    NORVIK_TARGET_AVX512 static __m512i bit_or(__m512i a, __m512i b) { return _mm512_or_si512(a, b); }
    template <int N>
    NORVIK_TARGET_AVX512 static __m512i shr16(__m512i a) { return _mm512_srli_epi16(a, N); }
    template <int N>
    NORVIK_TARGET_AVX512 static __m512i shl16(__m512i a) { return _mm512_slli_epi16(a, N); }
    template <int N>
    NORVIK_TARGET_AVX512 static __m512i shl32(__m512i a) { return _mm512_slli_epi32(a, N); }

    NORVIK_TARGET_AVX512 static Ints sign_bits(Floats x) { return _mm512_srli_epi32(_mm512_castps_si512(x), 31); }
    NORVIK_TARGET_AVX512 static Uints load_u32(const std::uint32_t* v) { return _mm512_loadu_si512(v); }
    NORVIK_TARGET_AVX512 static bool all_below_u32(Uints u, std::uint32_t limit) {
        return _mm512_cmplt_epu32_mask(u, _mm512_set1_epi32(static_cast<int>(limit))) == 0xffff;
    }
    NORVIK_TARGET_AVX512 static Doubles u32_lo(Uints u) { return _mm512_cvtepu32_pd(_mm512_castsi512_si256(u)); }
    NORVIK_TARGET_AVX512 static Doubles u32_hi(Uints u) { return _mm512_cvtepu32_pd(_mm512_extracti64x4_epi64(u, 1)); }
    NORVIK_TARGET_AVX512 static Ints as_ints(Uints u) { return u; }

    // Sets `bit` in the keep mask of every number of which v >= limit.
    NORVIK_TARGET_AVX512 static __m512i keep_if(__m512i keep, Ints v, int limit, int bit) {
        return _mm512_mask_or_epi32(keep, _mm512_cmpge_epi32_mask(v, _mm512_set1_epi32(limit)), keep,
                                    _mm512_set1_epi32(bit));
    }

    // Packs and stores the sixteen numbers: keep holds each number's mask in
    // its 32-bit lane; the first loses its comma when `first`.
    NORVIK_TARGET_AVX512 NORVIK_ALWAYS_INLINE static char* compress_store(char* p, Digits d0, Digits d1,
                                                                          __m512i keep, const SlotIndex (&slots)[2],
                                                                          bool first) {
        alignas(32) std::uint64_t masks[4];
        _mm256_store_si256(reinterpret_cast<__m256i*>(masks), _mm512_cvtepi32_epi16(keep));
        masks[0] &= ~static_cast<std::uint64_t>(first);
        const __m512i marks = _mm512_set1_epi32(',' | '-' << 8 | '.' << 16);
        const __m512i lo = _mm512_load_si512(slots[0].idx), hi = _mm512_load_si512(slots[1].idx);
        const __m512i slot[4] = {_mm512_permutex2var_epi8(d0, lo, marks), _mm512_permutex2var_epi8(d0, hi, marks),
                                 _mm512_permutex2var_epi8(d1, lo, marks), _mm512_permutex2var_epi8(d1, hi, marks)};
        for (int k = 0; k < 4; ++k) {
            _mm512_storeu_si512(p, _mm512_maskz_compress_epi8(masks[k], slot[k]));
            p += std::popcount(masks[k]);
        }
        return p;
    }

    // Slot ",-DDDD.DDDD": comma (bit 0), minus (1), the integer digits from
    // the first nonzero one (2 to 5, the last always), point and decimals (6 to 10).
    NORVIK_TARGET_AVX512 static char* compress_f4(char* p, Digits d0, Digits d1, Ints h, Ints sign, bool first) {
        __m512i keep = _mm512_or_si512(_mm512_set1_epi32(0x7e1), _mm512_slli_epi32(sign, 1));
        keep = keep_if(keep, h, 1000, 1 << 2);
        keep = keep_if(keep, h, 100, 1 << 3);
        keep = keep_if(keep, h, 10, 1 << 4);
        return compress_store(p, d0, d1, keep, kF4Slots, first);
    }

    // Slot ",DDDDDDDD": comma (bit 0), the digits from the first nonzero one
    // (1 to 8, the last always).
    NORVIK_TARGET_AVX512 static char* compress_u32(char* p, Digits d0, Digits d1, Ints u, bool first) {
        __m512i keep = _mm512_set1_epi32(0x101);
        int pw = 10000000;
        for (int bit = 1; bit < 8; ++bit, pw /= 10) keep = keep_if(keep, u, pw, 1 << bit);
        return compress_store(p, d0, d1, keep, kU32Slots, first);
    }
};

namespace sse41 {
#define NORVIK_KERNEL NORVIK_TARGET_SSE41
#include "writer/list_kernels.inc"
#undef NORVIK_KERNEL
}  // namespace sse41

namespace avx2 {
#define NORVIK_KERNEL NORVIK_TARGET_AVX2
#include "writer/list_kernels.inc"
#undef NORVIK_KERNEL
}  // namespace avx2

namespace avx512 {
#define NORVIK_KERNEL NORVIK_TARGET_AVX512
#include "writer/list_kernels.inc"
#undef NORVIK_KERNEL
}  // namespace avx512

#endif  // NORVIK_X86_SIMD

#ifdef NORVIK_ARM64_NEON

// ---------------------------------------------------------------------------
// NEON: four numbers at a time
// ---------------------------------------------------------------------------

struct Neon {
    using Floats = float32x4_t;
    using Uints = uint32x4_t;
    using Ints = int32x4_t;
    using Doubles = float64x2_t;
    using HalfInts = int32x2_t;
    using Digits = uint16x8_t;
    static constexpr std::size_t kNumbers = 4;
    static constexpr bool kCompress = false;

    static Floats load(const float* x) { return vld1q_f32(x); }
    static Doubles widen_lo(Floats x) { return vcvt_f64_f32(vget_low_f32(x)); }
    static Doubles widen_hi(Floats x) { return vcvt_high_f64_f32(x); }
    static Doubles dup(double v) { return vdupq_n_f64(v); }
    static Doubles mul(Doubles a, Doubles b) { return vmulq_f64(a, b); }
    static Doubles sub(Doubles a, Doubles b) { return vsubq_f64(a, b); }
    static Doubles abs(Doubles a) { return vabsq_f64(a); }
    static Doubles round_even(Doubles a) { return vrndnq_f64(a); }
    static Doubles floor(Doubles a) { return vrndmq_f64(a); }
    static bool all_below(Doubles a, Doubles b, double limit) {
        const float64x2_t l = vdupq_n_f64(limit);
        const uint64x2_t m = vandq_u64(vcltq_f64(a, l), vcltq_f64(b, l));
        return vminvq_u32(vreinterpretq_u32_u64(m)) == 0xffffffffu;
    }
    static HalfInts to_int32(Doubles a) { return vmovn_s64(vcvtq_s64_f64(a)); }
    static Digits pair(HalfInts hi, HalfInts lo) {
        return vreinterpretq_u16_s32(vcombine_s32(vzip1_s32(hi, lo), vzip2_s32(hi, lo)));
    }
    static Ints join(HalfInts a, HalfInts b) { return vcombine_s32(a, b); }

    static Digits dup32(int v) { return vreinterpretq_u16_s32(vdupq_n_s32(v)); }
    static Digits dup16(short v) { return vdupq_n_u16(static_cast<std::uint16_t>(v)); }
    static Digits dup8(char v) { return vreinterpretq_u16_u8(vdupq_n_u8(static_cast<std::uint8_t>(v))); }
    static Digits mulhi_u16(Digits a, Digits b) {
        const uint32x4_t lo = vmull_u16(vget_low_u16(a), vget_low_u16(b));
        const uint32x4_t hi = vmull_high_u16(a, b);
        return vuzp2q_u16(vreinterpretq_u16_u32(lo), vreinterpretq_u16_u32(hi));
    }
    static Digits mullo16(Digits a, Digits b) { return vmulq_u16(a, b); }
    static Digits sub16(Digits a, Digits b) { return vsubq_u16(a, b); }
    static Digits add8(Digits a, Digits b) {
        return vreinterpretq_u16_u8(vaddq_u8(vreinterpretq_u8_u16(a), vreinterpretq_u8_u16(b)));
    }
    static Digits bit_or(Digits a, Digits b) { return vorrq_u16(a, b); }
    template <int N>
    static Digits shr16(Digits a) { return vshrq_n_u16(a, N); }
    template <int N>
    static Digits shl16(Digits a) { return vshlq_n_u16(a, N); }
    template <int N>
    static Digits shl32(Digits a) { return vreinterpretq_u16_u32(vshlq_n_u32(vreinterpretq_u32_u16(a), N)); }

    static Ints zero() { return vdupq_n_s32(0); }
    static Ints dup_i32(int v) { return vdupq_n_s32(v); }
    static Ints less(Ints v, int limit) { return vreinterpretq_s32_u32(vcltq_s32(v, vdupq_n_s32(limit))); }
    static Ints sub32(Ints a, Ints b) { return vsubq_s32(a, b); }
    static Ints bit_or32(Ints a, Ints b) { return vorrq_s32(a, b); }
    template <int N>
    static Ints shl32i(Ints a) { return vshlq_n_s32(a, N); }
    static Ints sign_bits(Floats x) { return vreinterpretq_s32_u32(vshrq_n_u32(vreinterpretq_u32_f32(x), 31)); }
    static void store_ints(int* out, Ints v) { vst1q_s32(out, v); }

    static Uints load_u32(const std::uint32_t* v) { return vld1q_u32(v); }
    static bool all_below_u32(Uints u, std::uint32_t limit) {
        return vminvq_u32(vcltq_u32(u, vdupq_n_u32(limit))) == 0xffffffffu;
    }
    static Doubles u32_lo(Uints u) { return vcvtq_f64_u64(vmovl_u32(vget_low_u32(u))); }
    static Doubles u32_hi(Uints u) { return vcvtq_f64_u64(vmovl_high_u32(u)); }
    static Ints as_ints(Uints u) { return vreinterpretq_s32_u32(u); }

    // Puts together and stores the two numbers whose digits are in d, with
    // the shuffles idx[0..2); returns the end. (A table index of 16 or more
    // stores a zero, as 0x80 does on x86.)
    static char* store_numbers(char* p, Digits d, const int* idx, const Shuffles& t) {
        const uint8x8_t tail = vcreate_u8(kTailBytes);
        const uint8x16_t bytes = vreinterpretq_u8_u16(d);
        const uint8x16_t src[2] = {vcombine_u8(vget_low_u8(bytes), tail), vcombine_u8(vget_high_u8(bytes), tail)};
        for (int k = 0; k < 2; ++k) {
            vst1q_u8(reinterpret_cast<std::uint8_t*>(p), vqtbl1q_u8(src[k], vld1q_u8(t.mask[idx[k]])));
            p += t.len[idx[k]];
        }
        return p;
    }
};

namespace neon {
#define NORVIK_KERNEL
#include "writer/list_kernels.inc"
#undef NORVIK_KERNEL
}  // namespace neon

#endif  // NORVIK_ARM64_NEON

}  // namespace

bool path_available(Path path) {
    switch (path) {
        case Path::Portable: return true;
#ifdef NORVIK_X86_SIMD
        case Path::Sse41: return compat::cpu_has_sse41();
        case Path::Avx2: return compat::cpu_has_avx2();
        case Path::Avx512: return compat::cpu_has_avx512_vbmi2();
#else
        case Path::Sse41:
        case Path::Avx2:
        case Path::Avx512: return false;
#endif
#ifdef NORVIK_ARM64_NEON
        case Path::Neon: return true;
#else
        case Path::Neon: return false;
#endif
    }
    return false;
}

Path best_path() {
    static const Path best = [] {
        for (Path p : {Path::Avx512, Path::Avx2, Path::Sse41, Path::Neon})
            if (path_available(p)) return p;
        return Path::Portable;
    }();
    return best;
}

char* write_f4_list(char* p, const float* x, std::size_t n, bool first, Path path) {
    switch (path) {
#ifdef NORVIK_X86_SIMD
        case Path::Avx512: return avx512::f4_kernel<Avx512>(p, x, n, first);
        case Path::Avx2: return avx2::f4_kernel<Avx2>(p, x, n, first);
        case Path::Sse41: return sse41::f4_kernel<Sse41>(p, x, n, first);
#endif
#ifdef NORVIK_ARM64_NEON
        case Path::Neon: return neon::f4_kernel<Neon>(p, x, n, first);
#endif
        default: return f4_portable(p, x, n, first);
    }
}

char* write_u32_list(char* p, const std::uint32_t* v, std::size_t n, bool first, Path path) {
    switch (path) {
#ifdef NORVIK_X86_SIMD
        case Path::Avx512: return avx512::u32_kernel<Avx512>(p, v, n, first);
        case Path::Avx2: return avx2::u32_kernel<Avx2>(p, v, n, first);
        case Path::Sse41: return sse41::u32_kernel<Sse41>(p, v, n, first);
#endif
#ifdef NORVIK_ARM64_NEON
        case Path::Neon: return neon::u32_kernel<Neon>(p, v, n, first);
#endif
        default: return u32_portable(p, v, n, first);
    }
}

}  // namespace norvik::fmt
