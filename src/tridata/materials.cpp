// Material index queries: the material of each triangle, and the number of
// triangles of each material.
#include "host/generation.hpp"
#include "host/layouts.hpp"
#include "module/functions.hpp"
#include "module/state.hpp"
#include "tridata/fresh_pages.hpp"
#include "tridata/mesh_checks.hpp"

namespace norvik {
namespace {

NORVIK_ROUTINE(get_material_indices);
NORVIK_ROUTINE(get_tri_count_per_material_index);

// Counting through the array library, one comparison per material: the way
// for ndarray subclasses (which may override comparison and item access)
// and for None.
bool count_generic(PyObject* indices, std::int32_t material_count, ArrayView& out) {
    State& st = state();
    for (std::int32_t i = 0; i < material_count; ++i) {
        Ref value(PyLong_FromLong(i));
        if (!value) return false;
        Ref mask(PyObject_RichCompare(indices, value.get(), Py_EQ));
        if (!mask) return false;
        Ref hits(PyObject_GetItem(indices, mask.get()));
        if (!hits) return false;
        Ref shape(PyObject_GetAttr(hits.get(), st.s_shape));
        if (!shape) return false;
        Ref n(PySequence_GetItem(shape.get(), 0));
        std::int32_t count;
        if (!n || !to_int32(n.get(), count)) return false;
        out.at<std::int32_t>(i) = count;
    }
    return true;
}

// One pass over the entries; entries outside 0 .. count - 1 are counted
// nowhere, as with the comparisons.
void count_direct(const ArrayView& indices, std::int32_t material_count, ArrayView& out) {
    const auto limit = static_cast<std::uint32_t>(material_count);
    if (out.stride == sizeof(std::int32_t)) {
        auto* counts = reinterpret_cast<std::int32_t*>(out.data);
        for (std::int64_t j = 0; j < indices.len; ++j) {
            auto m = static_cast<std::uint32_t>(indices.at<std::int32_t>(j));
            if (m < limit) ++counts[m];
        }
        return;
    }
    for (std::int64_t j = 0; j < indices.len; ++j) {
        auto m = static_cast<std::uint32_t>(indices.at<std::int32_t>(j));
        if (m < limit) ++out.at<std::int32_t>(m);
    }
}

template <host::Generation G>
void triangle_materials(const host::HostMesh& m, ArrayView& out) {
    host::LoopTris<G> tris{host::at(m.looptris), host::at(m.tri_polys)};
    host::Polys<G> polys{host::at(m.polys)};
    for (std::int32_t i = 0; i < m.tri_count; ++i) out.at<std::int32_t>(i) = polys.material(tris.poly(i));
}

}  // namespace

PyObject* get_material_indices_body(Args& a) {
    Trace t(R_get_material_indices);
    if (!t.entered()) return t.fail();
    // The 3.1 layouts, or the 4.0-onward ones where b3d_version names 4.0 on.
    host::Generation g;
    if (!host::choose_generation(g)) return t.fail();
    host::HostMesh m;
    if (!read_mesh(a.a[0].value, m)) return t.fail();
    ArrayView out;
    Ref result(new_zeros(m.tri_count, Elem::Int32, out));
    if (!result) return t.fail();
    if (out.stride == 4) advise_fresh_pages(out.data, 4 * out.len);
    if (g == host::Generation::G400) {
        // From 4.0 on each triangle's polygon is an array of its own, and a
        // mesh whose polygons all have material 0 has no material array.
        if (m.tri_count > 0 && !require_array(m.tri_polys, "triangle polygon")) return t.fail();
        triangle_materials<host::Generation::G400>(m, out);
    } else {
        if (m.tri_count > 0 && (!require_array(m.looptris, "triangle") || !require_array(m.polys, "polygon")))
            return t.fail();
        triangle_materials<host::Generation::G310>(m, out);
    }
    out.buffer.release();
    return t.done(result.release());
}

PyObject* get_tri_count_per_material_index_body(Args& a) {
    Trace t(R_get_tri_count_per_material_index);
    if (!t.entered()) return t.fail();
    ArrayView& indices = a.a[0].array;
    const auto material_count = static_cast<std::int32_t>(a.a[1].value);
    ArrayView out;
    Ref result(new_zeros(material_count, Elem::Int32, out));
    if (!result) return t.fail();
    if (!indices.none() && Py_TYPE(indices.obj) == state().ndarray) {
        count_direct(indices, material_count, out);
    } else if (!count_generic(indices.obj, material_count, out)) {
        return t.fail();
    }
    out.buffer.release();
    return t.done(result.release());
}

}  // namespace norvik
