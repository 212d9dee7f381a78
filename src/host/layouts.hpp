// Typed readers over the host's mesh memory and the caller-built records.
//
// Everything the module reads through an address goes through one reader
// per layout below. All memory is little-endian; unaligned loads are done
// with memcpy, which compiles to plain moves.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace norvik::host {

using Addr = std::int64_t;

inline const char* at(Addr a) { return reinterpret_cast<const char*>(static_cast<std::uintptr_t>(a)); }

template <class T>
inline T load(const char* p) {
    T v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

struct Vec3 {
    float x, y, z;
};

inline Vec3 load_vec3(const char* p) { return {load<float>(p), load<float>(p + 4), load<float>(p + 8)}; }

// The three generations of the host's element arrays: 2.93 to 3.0 (20-byte
// vertices with a packed normal), 3.1 to 3.x (16-byte vertices, normals
// apart), and 4.0 onward, where every array is a plain attribute array
// (float3 positions, int32 corner vertices, int3 triangles with their
// polygons in an int32 array of their own, float2 UVs, int32 materials).
enum class Generation { G293, G310, G400 };

// One of three things, by generation (routine descriptors and the like).
template <Generation G, class T>
constexpr T& by_generation(T& g293, T& g310, T& g400) {
    if constexpr (G == Generation::G293)
        return g293;
    else if constexpr (G == Generation::G310)
        return g310;
    else
        return g400;
}

// Element strides and the offsets of the fields read inside an element
// (every other field starts at 0); tests/cpp/layout_check.cpp holds them
// against the add-on's numpy layouts.
template <Generation G>
struct Strides {
    static constexpr std::int64_t kVertex = G == Generation::G293 ? 20 : G == Generation::G310 ? 16 : 12;
    static constexpr std::int64_t kLoop = G == Generation::G400 ? 4 : 8;
    static constexpr std::int64_t kTri = G == Generation::G400 ? 12 : 16;
    static constexpr std::int64_t kUv = G == Generation::G400 ? 8 : 12;
    static constexpr std::int64_t kPoly = G == Generation::G400 ? 4 : 12;
    static constexpr std::int64_t kPackedNormal = 12;                        // 2.93 to 3.0
    static constexpr std::int64_t kTriPoly = 12;                             // up to 3.x
    static constexpr std::int64_t kMaterial = G == Generation::G400 ? 0 : 8;  // in the polygon
    static constexpr std::int64_t kMaterialSize = G == Generation::G400 ? 4 : 2;
};

// ---------------------------------------------------------------------------
// Host element arrays
// ---------------------------------------------------------------------------

template <Generation G>
struct Vertices {
    static constexpr std::int64_t kStride = Strides<G>::kVertex;
    const char* base;

    Vec3 position(std::uint32_t v) const { return load_vec3(base + v * kStride); }
    // Packed normal of the 2.93 to 3.0 element: three int16 at offset 12.
    void packed_normal(std::uint32_t v, std::int16_t out[3]) const
        requires(G == Generation::G293)
    {
        std::memcpy(out, base + v * kStride + Strides<G>::kPackedNormal, 6);
    }
};

template <Generation G>
struct Loops {
    static constexpr std::int64_t kStride = Strides<G>::kLoop;
    const char* base;
    std::uint32_t vertex(std::uint32_t l) const { return load<std::uint32_t>(base + l * kStride); }
};

// The triangles; up to 3.x each element carries its polygon at offset 12,
// from 4.0 on the polygons are an array of their own.
template <Generation G>
struct LoopTris {
    static constexpr std::int64_t kStride = Strides<G>::kTri;
    const char* base;
    const char* polys = nullptr;  // 4.0 onward: one int32 per triangle
    void loops(std::int64_t t, std::uint32_t out[3]) const { std::memcpy(out, base + t * kStride, 12); }
    std::uint32_t poly(std::int64_t t) const {
        if constexpr (G == Generation::G400)
            return load<std::uint32_t>(polys + t * 4);
        else
            return load<std::uint32_t>(base + t * kStride + Strides<G>::kTriPoly);
    }
};

template <Generation G>
struct Uvs {
    static constexpr std::int64_t kStride = Strides<G>::kUv;
    const char* base;
    float u(std::uint32_t l) const { return load<float>(base + l * kStride); }
    float v(std::uint32_t l) const { return load<float>(base + l * kStride + 4); }
};

// Material numbers: an int16 at offset 8 of the polygon up to 3.x, a plain
// int32 array from 4.0 on (absent when every polygon has material 0).
template <Generation G>
struct Polys {
    static constexpr std::int64_t kStride = Strides<G>::kPoly;
    const char* base;
    // Sign-extended material number.
    std::int32_t material(std::uint32_t p) const {
        if constexpr (G == Generation::G400)
            return base ? load<std::int32_t>(base + p * kStride + Strides<G>::kMaterial) : 0;
        else
            return load<std::int16_t>(base + p * kStride + Strides<G>::kMaterial);
    }
};

// Plain float32 triples: vertex normals and custom normals.
struct Normals {
    static constexpr std::int64_t kStride = 12;
    const char* base;
    Vec3 at(std::int64_t i) const { return load_vec3(base + i * kStride); }
};

// ---------------------------------------------------------------------------
// HostMesh: the record at mesh_ptr
// ---------------------------------------------------------------------------

// tri_polys is read in the 4.0-onward generation only: the polygon of each
// triangle. polys is the polygon array up to 3.x and the int32 material
// array from 4.0 on.
struct HostMesh {
    // Field offsets (bytes); tests/cpp/layout_check.cpp holds them against
    // the add-on's numpy layouts.
    static constexpr int kVerts = 0, kTriPolys = 8, kPolys = 16, kLoops = 24, kUvs = 32, kLooptris = 40,
                         kUvFlag = 60, kTriCount = 64, kMaterialCount = 68, kSize = 72;
    Addr verts, tri_polys, polys, loops, uvs, looptris;
    std::int32_t uv_flag, tri_count, material_count;

    static HostMesh read(Addr mesh_ptr) {
        const char* p = at(mesh_ptr);
        return {load<Addr>(p + kVerts),          load<Addr>(p + kTriPolys),
                load<Addr>(p + kPolys),          load<Addr>(p + kLoops),
                load<Addr>(p + kUvs),            load<Addr>(p + kLooptris),
                load<std::int32_t>(p + kUvFlag), load<std::int32_t>(p + kTriCount),
                load<std::int32_t>(p + kMaterialCount)};
    }
};

// ---------------------------------------------------------------------------
// Export records built by the add-on
// ---------------------------------------------------------------------------

// A NUL-terminated text inside a fixed-width field; never read past the field.
struct Text {
    const char* data;
    std::size_t size;
};

inline Text field_text(const char* p, std::size_t width) {
    const void* nul = std::memchr(p, 0, width);
    return {p, nul ? static_cast<std::size_t>(static_cast<const char*>(nul) - p) : width};
}

struct ExportObjectRecord {
    static constexpr std::int64_t kSize = 168;
    static constexpr int kName = 0, kNameSize = 33, kMaterial = 33, kMaterialSize = 39, kVerts = 72,
                         kVertNormals = 80, kLoops = 96, kUvs = 104, kLooptris = 112, kVertCount = 120,
                         kLoopCount = 128, kLooptriCount = 136, kInstances = 144, kInstanceCount = 152,
                         kCustomNormals = 160;
    Text name, material;
    Addr verts, vert_normals, loops, uvs, looptris;
    std::int32_t vert_count, loop_count, looptri_count;
    Addr instances;
    std::int32_t instance_count;
    Addr custom_normals;

    static ExportObjectRecord read(Addr array, std::int64_t i) {
        const char* p = at(array) + i * kSize;
        return {field_text(p + kName, kNameSize),    field_text(p + kMaterial, kMaterialSize),
                load<Addr>(p + kVerts),              load<Addr>(p + kVertNormals),
                load<Addr>(p + kLoops),              load<Addr>(p + kUvs),
                load<Addr>(p + kLooptris),           load<std::int32_t>(p + kVertCount),
                load<std::int32_t>(p + kLoopCount),  load<std::int32_t>(p + kLooptriCount),
                load<Addr>(p + kInstances),          load<std::int32_t>(p + kInstanceCount),
                load<Addr>(p + kCustomNormals)};
    }
};

// Three rows of four float32: a row-major 3x4 placement.
struct InstanceTransforms {
    static constexpr std::int64_t kStride = 48;
    const char* base;
    float get(std::int64_t k, int row, int col) const { return load<float>(base + k * kStride + 16 * row + 4 * col); }
};

struct CameraRecord {
    static constexpr std::int64_t kSize = 136;
    static constexpr int kName = 0, kNameSize = 68, kFov = 68, kMatrix = 72;
    Text name;
    float fov;
    float matrix[4][4];  // four groups of four

    static CameraRecord read(Addr array, std::int64_t i) {
        const char* p = at(array) + i * kSize;
        CameraRecord c{field_text(p + kName, kNameSize), load<float>(p + kFov), {}};
        std::memcpy(c.matrix, p + kMatrix, sizeof c.matrix);
        return c;
    }
};

}  // namespace norvik::host
