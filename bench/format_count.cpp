// Formats numbers of one kind through one list path, for instruction counts
// under callgrind (tools/callgrind_format.sh); wall time is not measured.
//
//   format_count f4|u32 portable|sse41|avx2|avx512|neon COUNT    exit 2 when the path is not available
//
// "%.4f" values are mesh-like: positions within +-10, unit normal
// components, UVs in [0, 1]; "%u" values are indices below 10^6. Only
// norvik_format_run is counted: making the values is left out.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "writer/format.hpp"

namespace fmt = norvik::fmt;

extern "C" __attribute__((noinline)) std::size_t norvik_format_run(const float* f, const std::uint32_t* u,
                                                                    std::size_t n, fmt::Path path) {
    static char buf[fmt::kListRoom];
    std::size_t bytes = 0;
    for (std::size_t i = 0; i < n; i += fmt::kListMax) {
        const std::size_t k = n - i < fmt::kListMax ? n - i : fmt::kListMax;
        char* e = f ? fmt::write_f4_list(buf, f + i, k, i == 0, path) : fmt::write_u32_list(buf, u + i, k, i == 0, path);
        bytes += static_cast<std::size_t>(e - buf);
    }
    return bytes;
}

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: format_count f4|u32 portable|sse41|avx2|avx512|neon COUNT\n");
        return 1;
    }
    const bool f4 = std::strcmp(argv[1], "f4") == 0;
    fmt::Path path = fmt::Path::Portable;
    bool known = false;
    for (fmt::Path p : fmt::kPaths) {
        if (std::strcmp(argv[2], fmt::kPathNames[static_cast<int>(p)]) == 0) {
            path = p;
            known = true;
        }
    }
    if (!known) {
        std::fprintf(stderr, "unknown path: %s\n", argv[2]);
        return 1;
    }
    if (!fmt::path_available(path)) return 2;
    const std::size_t n = std::strtoull(argv[3], nullptr, 10);
    std::vector<float> f(f4 ? n : 0);
    std::vector<std::uint32_t> u(f4 ? 0 : n);
    std::uint64_t s = 0x9E3779B97F4A7C15ull;
    for (std::size_t i = 0; i < n; ++i) {
        s = s * 6364136223846793005ull + 1442695040888963407ull;
        const double r = static_cast<double>(s >> 11) * 0x1p-53;  // [0, 1)
        if (f4) {
            switch (i % 8) {
                case 0: case 1: case 2: f[i] = static_cast<float>(20.0 * r - 10.0); break;  // position
                case 3: case 4: case 5: f[i] = static_cast<float>(2.0 * r - 1.0); break;    // normal
                default: f[i] = static_cast<float>(r); break;                                // UV
            }
        } else {
            u[i] = static_cast<std::uint32_t>(r * 1e6);
        }
    }
    const std::size_t bytes = norvik_format_run(f4 ? f.data() : nullptr, f4 ? nullptr : u.data(), n, path);
    std::printf("%zu numbers, %zu bytes\n", n, bytes);
    return 0;
}
