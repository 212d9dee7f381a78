// Number formatting that gives exactly what the C runtime's "%.4f" (of a
// float32 passed as a double) and "%u" give, without a printf per value.
//
// For a float32 x, x * 10^4 is exact in double (24 + 14 bits < 53), so
// rounding that product to an integer, ties to even, is exactly the decimal
// rounding "%.4f" performs. Magnitudes of 10^11 and more, and non-finite
// values, go to snprintf; they are rare in meshes.
#pragma once

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace norvik::fmt {

// Longest text either formatter produces ("-" + 39 digits + ".0000").
constexpr int kMaxNumber = 48;

inline constexpr char kDigitPairs[201] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

inline constexpr std::uint64_t kPow10[20] = {
    1ull, 10ull, 100ull, 1000ull, 10000ull, 100000ull, 1000000ull, 10000000ull,
    100000000ull, 1000000000ull, 10000000000ull, 100000000000ull, 1000000000000ull,
    10000000000000ull, 100000000000000ull, 1000000000000000ull, 10000000000000000ull,
    100000000000000000ull, 1000000000000000000ull, 10000000000000000000ull};

// Number of decimal digits of n (1 for 0).
inline int digits10(std::uint64_t n) {
    int t = ((64 - std::countl_zero(n | 1)) * 1233) >> 12;  // floor(log10(2) * bits)
    return t + ((n | 1) >= kPow10[t]);
}

// Writes the digits of n so that they end at e (two at a time, backwards).
// Instantiated for 32-bit values too: their divisions by 100 are cheaper.
template <class U>
inline void put_digits(char* e, U n) {
    while (n >= 100) {
        e -= 2;
        std::memcpy(e, kDigitPairs + 2 * (n % 100), 2);
        n /= 100;
    }
    if (n >= 10) {
        std::memcpy(e - 2, kDigitPairs + 2 * n, 2);
    } else {
        e[-1] = static_cast<char>('0' + n);
    }
}

// Writes the decimal digits of n; returns the end.
inline char* write_u64(char* p, std::uint64_t n) {
    char* e = p + digits10(n);
    if (n <= 0xffffffffu)
        put_digits<std::uint32_t>(e, static_cast<std::uint32_t>(n));
    else
        put_digits<std::uint64_t>(e, n);
    return e;
}

// The eight decimal digits of n < 10^8 as eight bytes 0..9, the first digit
// in the lowest byte: both halves of four digits, then pairs, then single
// digits, split side by side in one 64-bit word (no lane overflows).
inline std::uint64_t digits8(std::uint32_t n) {
    std::uint64_t hi = n / 10000, lo = n - hi * 10000;
    std::uint64_t v = hi | (lo << 32);
    std::uint64_t q = ((v * 10486) >> 20) & 0x0000007F0000007Full;  // /100 per lane
    v = q | ((v - q * 100) << 16);
    q = ((v * 103) >> 10) & 0x000F000F000F000Full;                   // /10 per lane
    return q | ((v - q * 10) << 8);
}

// "%u"; needs 16 bytes of room at p.
inline char* write_u32(char* p, std::uint32_t n) {
    if (n < 100000000u) [[likely]] {
        // All eight digits, then the leading zeros dropped by a fixed-size move.
        std::uint64_t d = digits8(n);
        int zeros = d ? std::countr_zero(d) >> 3 : 7;  // leading zero digits (keep one for 0)
        std::uint64_t ascii = (d + 0x3030303030303030ull) >> (8 * zeros);
        std::memcpy(p, &ascii, 8);
        return p + 8 - zeros;
    }
    char* e = p + digits10(n);
    put_digits<std::uint32_t>(e, n);
    return e;
}

// "%.4f" of (double)x.
inline char* write_f4(char* p, float x) {
    double d = static_cast<double>(x) * 10000.0;  // exact
    double a = std::fabs(d);
    if (a < 1e15) [[likely]] {
        // Adding and removing 2^52 rounds to an integer, ties to even, in the
        // default rounding mode; exact for a < 2^52.
        // The integer then sits in the low 52 bits of the sum: no conversion.
        std::uint64_t n = std::bit_cast<std::uint64_t>(a + 0x1p52) & ((std::uint64_t{1} << 52) - 1);
        *p = '-';  // kept only for a negative sign (no branch on it)
        p += std::signbit(x);
        if (n < 100000000u) [[likely]] {
            // |x| < 10^4: "IIII.FFFF" with leading zeros of the integer part
            // dropped by a fixed-size move (at least one integer digit).
            std::uint32_t m = static_cast<std::uint32_t>(n);
            std::uint64_t d = digits8(m);
            // Leading zero digits of the integer part (its last digit always stays).
            int zeros = (d & 0x00FFFFFFull) ? std::countr_zero(d) >> 3 : 3;
            int ilen = 4 - zeros;
            std::uint64_t ascii = d + 0x3030303030303030ull;
            std::uint64_t head = ((ascii & 0xFFFFFFFFull) >> (8 * zeros)) | (std::uint64_t{'.'} << (8 * ilen));
            std::uint32_t tail = static_cast<std::uint32_t>(ascii >> 32);
            std::memcpy(p, &head, 8);
            std::memcpy(p + ilen + 1, &tail, 4);
            return p + ilen + 5;
        }
        // All digits of n at once, at least five ("0.dddd"), the point put
        // in by moving the last four one place on.
        int len = digits10(n);
        if (len < 5) len = 5;
        char* e = p + len + 1;
        unsigned frac = static_cast<unsigned>(n - (n / 10000) * 10000);
        std::memcpy(e - 4, kDigitPairs + 2 * (frac / 100), 2);
        std::memcpy(e - 2, kDigitPairs + 2 * (frac % 100), 2);
        e[-5] = '.';
        std::uint64_t ip = n / 10000;
        if (ip <= 0xffffffffu)
            put_digits<std::uint32_t>(e - 5, static_cast<std::uint32_t>(ip));
        else
            put_digits<std::uint64_t>(e - 5, ip);
        return e;
    }
    int len = std::snprintf(p, kMaxNumber, "%.4f", static_cast<double>(x));
    return p + (len > 0 ? len : 0);
}

// ---------------------------------------------------------------------------
// Lists: many numbers at once
// ---------------------------------------------------------------------------

// The ways of writing a list. Every path gives the same bytes; the portable
// one is the formatters above, one number at a time.
enum class Path { Portable, Sse41, Avx2, Avx512, Neon };
inline constexpr Path kPaths[] = {Path::Portable, Path::Sse41, Path::Avx2, Path::Avx512, Path::Neon};
inline constexpr const char* kPathNames[] = {"portable", "sse41", "avx2", "avx512", "neon"};

// Whether this processor runs `path`.
bool path_available(Path path);

// The fastest path this processor runs (looked up once).
Path best_path();

// Numbers a list call takes at most, and the room it needs at p.
constexpr std::size_t kListMax = 64;
constexpr std::size_t kListRoom = kListMax * (kMaxNumber + 1) + 16;

// Writes x[0..n) ("%.4f") or v[0..n) ("%u") separated by commas, with a
// leading comma unless `first`; n at most kListMax. Returns the end.
char* write_f4_list(char* p, const float* x, std::size_t n, bool first, Path path);
char* write_u32_list(char* p, const std::uint32_t* v, std::size_t n, bool first, Path path);

}  // namespace norvik::fmt
