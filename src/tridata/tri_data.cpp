// Single-material triangle data: positions and UVs of every corner, in
// triangle order.
#include "host/generation.hpp"
#include "host/layouts.hpp"
#include "module/functions.hpp"
#include "tridata/fresh_pages.hpp"
#include "tridata/mesh_checks.hpp"

namespace norvik {
namespace {

NORVIK_ROUTINE(get_mesh_tri_data);

// 24 floats per triangle: 9 positions, the same 9 again, 6 UV values.
template <host::Generation G>
void fill_tri_data(const host::HostMesh& m, ArrayView& out) {
    host::Vertices<G> verts{host::at(m.verts)};
    host::Loops<G> loops{host::at(m.loops)};
    host::LoopTris<G> tris{host::at(m.looptris)};
    host::Uvs<G> uvs{host::at(m.uvs)};
    const std::int64_t s = out.stride;
    for (std::int64_t t = 0; t < m.tri_count; ++t) {
        std::uint32_t l[3];
        tris.loops(t, l);
        char* tri = out.data + 24 * t * s;
        for (int k = 0; k < 3; ++k) {
            host::Vec3 p = verts.position(loops.vertex(l[k]));
            const float pos[3] = {p.x, p.y, p.z};
            for (int c = 0; c < 3; ++c) {
                std::memcpy(tri + (3 * k + c) * s, &pos[c], 4);
                std::memcpy(tri + (9 + 3 * k + c) * s, &pos[c], 4);
            }
            if (m.uv_flag) {
                float u = uvs.u(l[k]), v = uvs.v(l[k]);
                std::memcpy(tri + (18 + 2 * k) * s, &u, 4);
                std::memcpy(tri + (19 + 2 * k) * s, &v, 4);
            }
        }
    }
}

}  // namespace

PyObject* get_mesh_tri_data_body(Args& a) {
    Trace t(R_get_mesh_tri_data);
    if (!t.entered()) return t.fail();
    // The 3.1 layouts, or the 4.0-onward ones where b3d_version names 4.0 on.
    host::Generation g;
    if (!host::choose_generation(g)) return t.fail();
    host::HostMesh m;
    if (!read_mesh(a.a[0].value, m)) return t.fail();
    ArrayView out;
    Ref result(new_zeros(static_cast<std::int64_t>(m.tri_count) * 24, Elem::Float32, out));
    if (!result) return t.fail();
    if (out.stride == 4) advise_fresh_pages(out.data, 4 * out.len);
    if (m.tri_count > 0) {
        if (!require_corner_arrays(m)) return t.fail();
        if (g == host::Generation::G400)
            fill_tri_data<host::Generation::G400>(m, out);
        else
            fill_tri_data<host::Generation::G310>(m, out);
    }
    out.buffer.release();
    return t.done(result.release());
}

}  // namespace norvik
