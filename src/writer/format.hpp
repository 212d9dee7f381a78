// Number formatting that gives exactly what the C runtime's "%.4f" (of a
// float32 passed as a double) and "%u" give, without a printf per value.
//
// For a float32 x, x * 10^4 is exact in double (24 + 14 bits < 53), so
// rounding that product to an integer, ties to even, is exactly the decimal
// rounding "%.4f" performs. Magnitudes of 10^11 and more, and non-finite
// values, go to snprintf; they are rare in meshes.
#pragma once

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

// Writes the decimal digits of n; returns the end.
inline char* write_u64(char* p, std::uint64_t n) {
    char tmp[20];
    char* e = tmp + sizeof tmp;
    char* b = e;
    while (n >= 100) {
        unsigned r = static_cast<unsigned>(n % 100);
        n /= 100;
        b -= 2;
        std::memcpy(b, kDigitPairs + 2 * r, 2);
    }
    if (n >= 10) {
        b -= 2;
        std::memcpy(b, kDigitPairs + 2 * n, 2);
    } else {
        *--b = static_cast<char>('0' + n);
    }
    std::size_t len = static_cast<std::size_t>(e - b);
    std::memcpy(p, b, len);
    return p + len;
}

// "%u"
inline char* write_u32(char* p, std::uint32_t n) { return write_u64(p, n); }

// "%.4f" of (double)x.
inline char* write_f4(char* p, float x) {
    double d = static_cast<double>(x) * 10000.0;  // exact
    double a = std::fabs(d);
    if (a < 1e15) [[likely]] {
        // Adding and removing 2^52 rounds to an integer, ties to even, in the
        // default rounding mode; exact for a < 2^52.
        double r = (a + 0x1p52) - 0x1p52;
        std::uint64_t n = static_cast<std::uint64_t>(r);
        if (std::signbit(x)) *p++ = '-';
        p = write_u64(p, n / 10000);
        unsigned frac = static_cast<unsigned>(n % 10000);
        *p = '.';
        std::memcpy(p + 1, kDigitPairs + 2 * (frac / 100), 2);
        std::memcpy(p + 3, kDigitPairs + 2 * (frac % 100), 2);
        return p + 5;
    }
    int len = std::snprintf(p, kMaxNumber, "%.4f", static_cast<double>(x));
    return p + (len > 0 ? len : 0);
}

}  // namespace norvik::fmt
