// Compares the document number formatters with the C runtime's "%.4f" (of a
// float32 passed as a double) and "%u", over a sample of every float32 and
// uint32 bit pattern plus the cases where rounding is hardest.
//
//   format_check STRIDE   (STRIDE 1 walks every bit pattern)
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <limits>

#include "writer/format.hpp"

namespace {

unsigned long checked = 0, bad = 0;

void check_f4(float x) {
    char want[96], got[96];
    int n = std::snprintf(want, sizeof want, "%.4f", static_cast<double>(x));
    char* e = norvik::fmt::write_f4(got, x);
    ++checked;
    if (e - got != n || std::memcmp(want, got, static_cast<std::size_t>(n)) != 0) {
        if (bad++ < 10) std::printf("%%.4f of %a: want %s, got %.*s\n", static_cast<double>(x), want, static_cast<int>(e - got), got);
    }
}

void check_u32(std::uint32_t v) {
    char want[32], got[32];
    int n = std::snprintf(want, sizeof want, "%u", v);
    char* e = norvik::fmt::write_u32(got, v);
    ++checked;
    if (e - got != n || std::memcmp(want, got, static_cast<std::size_t>(n)) != 0) {
        if (bad++ < 10) std::printf("%%u of %u: want %s, got %.*s\n", v, want, static_cast<int>(e - got), got);
    }
}

void both_signs(float x) {
    check_f4(x);
    check_f4(-x);
}

}  // namespace

int main(int argc, char** argv) {
    const std::uint64_t stride = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 997;
    for (std::uint64_t u = 0; u < (std::uint64_t{1} << 32); u += stride) {
        auto bits = static_cast<std::uint32_t>(u);
        float x;
        std::memcpy(&x, &bits, 4);
        if (std::isfinite(x)) check_f4(x);
        check_u32(bits);
    }
    // Exact ties of the fifth decimal: odd multiples of 1/32 (k/32 has five
    // decimals ending in 5 when k is odd) and of 1/2^n near them.
    for (int k = 1; k < 4000000; k += 2) both_signs(static_cast<float>(k) / 32.0f);
    for (int e = 5; e <= 30; ++e)
        for (int k = 1; k < 2000; k += 2) both_signs(std::ldexp(static_cast<float>(k), -e));
    // Neighbours of every value d * 10^-4 + 0.5 * 10^-4 up to 100, and the
    // edges of the fast path.
    for (int d = 0; d < 1000000; ++d) {
        float mid = (static_cast<float>(d) + 0.5f) * 1e-4f;
        both_signs(std::nextafter(mid, 0.0f));
        both_signs(mid);
        both_signs(std::nextafter(mid, 1e9f));
    }
    for (float edge : {9999.99995f, 1e4f, 99999999.0f, 1e8f, 1e11f, 1e15f, 16777216.0f, 3.4028235e38f,
                       1.17549435e-38f, 1e-45f, 0.0f, 0.00005f, 0.00004999f})
    {
        float down = edge, up = edge;
        for (int i = 0; i < 64; ++i) {
            both_signs(down);
            both_signs(up);
            down = std::nextafter(down, 0.0f);
            up = std::nextafter(up, std::numeric_limits<float>::infinity());
        }
    }
    for (std::uint32_t v = 0; v < 2000000; ++v) check_u32(v);
    for (std::uint32_t p = 10; p < 1000000000u; p *= 10)
        for (std::uint32_t v = p - 3; v <= p + 3; ++v) check_u32(v);
    check_u32(4294967295u);
    std::printf("%lu passed, %lu failed\n", checked - bad, bad);
    return bad != 0;
}
