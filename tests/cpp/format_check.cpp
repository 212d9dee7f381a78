// Compares the document number formatters with the C runtime's "%.4f" (of a
// float32 passed as a double) and "%u": each number alone, and the same
// numbers as comma-separated lists on every list path this processor runs
// (the portable one included). Values: a sample of every float32 and uint32
// bit pattern, the range below 10^8 for "%u", and the cases where rounding
// is hardest. Lists come in every length up to the longest a call takes,
// with and without their leading comma.
//
//   format_check STRIDE   (STRIDE 1 walks every bit pattern)
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <limits>
#include <string>
#include <vector>

#include "writer/format.hpp"

namespace {

namespace fmt = norvik::fmt;

unsigned long checked = 0, bad = 0;
std::vector<fmt::Path> paths;
unsigned long list_values[std::size(fmt::kPaths)][2];  // [path][f4, u32]

void fail_single(const char* what, const char* want, const char* got, std::ptrdiff_t len) {
    if (bad++ < 10) std::printf("%s: want %s, got %.*s\n", what, want, static_cast<int>(len), got);
}

// A list of numbers under construction: the values, and the text snprintf
// gives for them joined with commas.
template <class T>
struct List {
    T values[fmt::kListMax];
    std::size_t n = 0;
    std::string want;
    unsigned seed = 12345;
    std::size_t target = 1;
    bool first = true;

    void add(T v, const char* text) {
        if (n || !first) want += ',';
        want += text;
        values[n++] = v;
        if (n == target) flush();
    }

    void flush() {
        if (n == 0) return;
        // Exactly the room a list call is given (a sanitizer build sees any store past it).
        static char* const got = new char[fmt::kListRoom];
        for (fmt::Path path : paths) {
            char* e;
            if constexpr (sizeof(T) == 4 && static_cast<T>(0.5) != 0)
                e = fmt::write_f4_list(got, reinterpret_cast<const float*>(values), n, first, path);
            else
                e = fmt::write_u32_list(got, reinterpret_cast<const std::uint32_t*>(values), n, first, path);
            list_values[static_cast<int>(path)][static_cast<T>(0.5) != 0 ? 0 : 1] += n;
            if (static_cast<std::size_t>(e - got) != want.size() || std::memcmp(got, want.data(), want.size()) != 0) {
                if (bad++ < 10)
                    std::printf("list of %zu (path %d, first %d): want\n  %s\ngot\n  %.*s\n", n,
                                static_cast<int>(path), first, want.c_str(), static_cast<int>(e - got), got);
            }
        }
        // The next list's length (1 to kListMax, long ones most often) and leading comma.
        seed = seed * 1103515245u + 12345u;
        const unsigned r = seed >> 16;
        target = r % 4 ? fmt::kListMax - (r >> 2) % 8 : 1 + (r >> 2) % fmt::kListMax;
        first = (r >> 9) % 5 == 0;
        n = 0;
        want.clear();
    }
};

List<float> f4_list;
List<std::uint32_t> u32_list;

void check_f4(float x) {
    char want[96], got[96];
    int n = std::snprintf(want, sizeof want, "%.4f", static_cast<double>(x));
    char* e = fmt::write_f4(got, x);
    ++checked;
    if (e - got != n || std::memcmp(want, got, static_cast<std::size_t>(n)) != 0) {
        char what[64];
        std::snprintf(what, sizeof what, "%%.4f of %a", static_cast<double>(x));
        fail_single(what, want, got, e - got);
    }
    f4_list.add(x, want);
}

void check_u32(std::uint32_t v) {
    char want[32], got[32];
    int n = std::snprintf(want, sizeof want, "%u", v);
    char* e = fmt::write_u32(got, v);
    ++checked;
    if (e - got != n || std::memcmp(want, got, static_cast<std::size_t>(n)) != 0) {
        char what[64];
        std::snprintf(what, sizeof what, "%%u of %u", v);
        fail_single(what, want, got, e - got);
    }
    u32_list.add(v, want);
}

void both_signs(float x) {
    check_f4(x);
    check_f4(-x);
}

}  // namespace

int main(int argc, char** argv) {
    const std::uint64_t stride = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 199;
    for (fmt::Path p : fmt::kPaths)
        if (fmt::path_available(p)) paths.push_back(p);
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
    // edges of the fast paths.
    for (int d = 0; d < 1000000; ++d) {
        float mid = (static_cast<float>(d) + 0.5f) * 1e-4f;
        both_signs(std::nextafter(mid, 0.0f));
        both_signs(mid);
        both_signs(std::nextafter(mid, 1e9f));
    }
    for (float edge : {9999.99995f, 1e4f, 99999999.0f, 1e8f, 1e11f, 1e15f, 16777216.0f, 3.4028235e38f,
                       1.17549435e-38f, 1e-45f, 0.0f, 0.00005f, 0.00004999f, 999.99995f, 99.99995f,
                       9.99995f, 0.99995f})
    {
        float down = edge, up = edge;
        for (int i = 0; i < 64; ++i) {
            both_signs(down);
            both_signs(up);
            down = std::nextafter(down, 0.0f);
            up = std::nextafter(up, std::numeric_limits<float>::infinity());
        }
    }
    // Indices: every value below 2,000,000, then every 7th below 10^8, and
    // the neighbours of every power of ten.
    for (std::uint32_t v = 0; v < 2000000; ++v) check_u32(v);
    for (std::uint32_t v = 2000000; v < 100000000u; v += 7) check_u32(v);
    for (std::uint32_t p = 10; p < 1000000000u; p *= 10)
        for (std::uint32_t v = p - 3; v <= p + 3; ++v) check_u32(v);
    check_u32(2147483647u);
    check_u32(2147483648u);
    check_u32(4294967295u);
    f4_list.flush();
    u32_list.flush();
    for (fmt::Path p : paths)
        std::printf("path %d: %lu \"%%.4f\" and %lu \"%%u\" values in lists\n", static_cast<int>(p),
                    list_values[static_cast<int>(p)][0], list_values[static_cast<int>(p)][1]);
    std::printf("%lu passed, %lu failed\n", checked - bad, bad);
    return bad != 0;
}
