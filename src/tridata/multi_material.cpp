// Multi-material triangle data: every corner's position, normal and UV,
// grouped by material with one counting placement.
//
// Material m owns 24 * T(m) floats, T(m) = tris_per_material[m], laid out as
// [positions: 9 per triangle][normals: 9 per triangle][UVs: 6 per triangle];
// the blocks follow each other in ascending material index. Positions and
// normals are written y, x, z; UVs as u, 1 - v.
#include <vector>

#include "host/generation.hpp"
#include "host/layouts.hpp"
#include "module/compat.hpp"
#include "module/functions.hpp"
#include "module/state.hpp"
#include "tridata/fresh_pages.hpp"
#include "tridata/mesh_checks.hpp"

namespace norvik {
namespace {

using host::Generation;

NORVIK_ROUTINE(get_mesh_tri_data_multi_material);
NORVIK_ROUTINE(get_mesh_tri_data_multi_material__310_to_current);
NORVIK_ROUTINE(get_mesh_tri_data_multi_material__293_to_300);
NORVIK_ROUTINE(get_mesh_tri_data_multi_material__400_to_current);

// The per-loop normals, read straight from a plain ndarray's buffer, or
// through item access for subclasses that may override it.
class NormalRows {
public:
    // `rows` is split_normals.reshape(-1, 3).
    bool open(PyObject* rows, PyTypeObject* ndarray) {
        rows_ = rows;
        if (Py_TYPE(rows) != ndarray) return true;
        if (!view_.acquire(rows, PyBUF_STRIDES | PyBUF_FORMAT)) {
            PyErr_Clear();
            return true;
        }
        const Py_buffer& v = view_.view();
        const char* f = v.format ? v.format : "B";
        if (*f == '<' || *f == '=' || *f == '@') ++f;
        if (v.ndim != 2 || v.shape[1] != 3 || v.itemsize != 4 || f[0] != 'f' || f[1] != 0) {
            view_.release();
            return true;
        }
        data_ = static_cast<const char*>(v.buf);
        count_ = v.shape[0];
        row_stride_ = v.strides[0];
        col_stride_ = v.strides[1];
        return true;
    }

    // Components 1, 0, 2 of row r, as float32.
    bool get_yxz(std::uint32_t r, float out[3]) {
        if (data_) [[likely]] {
            if (r >= count_) [[unlikely]] {
                PyErr_Format(PyExc_IndexError, "index %u is out of bounds for axis 0 with size %zd", r, count_);
                return false;
            }
            const char* row = data_ + r * row_stride_;
            std::memcpy(&out[0], row + col_stride_, 4);
            std::memcpy(&out[1], row, 4);
            std::memcpy(&out[2], row + 2 * col_stride_, 4);
            return true;
        }
        return get_generic(r, out);
    }

private:
    bool get_generic(std::uint32_t r, float out[3]) {
        Ref index(PyLong_FromUnsignedLong(r));
        Ref row(index ? PyObject_GetItem(rows_, index.get()) : nullptr);
        if (!row) return false;
        static const Py_ssize_t order[3] = {1, 0, 2};
        for (int c = 0; c < 3; ++c) {
            Ref item(PySequence_GetItem(row.get(), order[c]));
            if (!item) return false;
            double d = PyFloat_CheckExact(item.get()) ? PyFloat_AS_DOUBLE(item.get()) : PyFloat_AsDouble(item.get());
            if (d == -1.0 && PyErr_Occurred()) return false;
            out[c] = static_cast<float>(d);
        }
        return true;
    }

    PyObject* rows_ = nullptr;
    BufferView view_;
    const char* data_ = nullptr;
    Py_ssize_t count_ = 0;
    Py_ssize_t row_stride_ = 0, col_stride_ = 0;
};

bool value_error(const char* msg) {
    PyErr_SetString(PyExc_ValueError, msg);
    return false;
}

// Everything the placement relies on, checked before anything is written:
// the arrays exist and are long enough, and every material's triangles fit
// its block. `placed` receives the number of triangles of each material.
bool check_inputs(const host::HostMesh& m, const ArrayView& mi, const ArrayView& tpm, std::int64_t out_len,
                  std::vector<std::int64_t>& placed) {
    if (m.tri_count > 0) {
        if (!require_corner_arrays(m)) return false;
        if (mi.none()) return value_error("material_indices is None but the mesh has triangles");
        if (mi.len < m.tri_count) {
            PyErr_Format(PyExc_ValueError, "material_indices has %lld entries but the mesh has %d triangles",
                         static_cast<long long>(mi.len), m.tri_count);
            return false;
        }
    }
    if (m.material_count > 0) {
        if (tpm.none()) return value_error("tris_per_material is None but the mesh has materials");
        if (tpm.len < m.material_count) {
            PyErr_Format(PyExc_ValueError, "tris_per_material has %lld entries but the mesh has %d materials",
                         static_cast<long long>(tpm.len), m.material_count);
            return false;
        }
    }
    const std::int32_t materials = m.material_count > 0 ? m.material_count : 0;
    placed.assign(static_cast<std::size_t>(materials), 0);
    const auto limit = static_cast<std::uint32_t>(materials);
    for (std::int32_t i = 0; i < m.tri_count; ++i) {
        auto mat = static_cast<std::uint32_t>(mi.at<std::int32_t>(i));
        if (mat < limit) ++placed[mat];
    }
    std::int64_t total = 0;
    for (std::int32_t k = 0; k < materials; ++k) {
        std::int32_t t = tpm.at<std::int32_t>(k);
        if (t < 0) {
            PyErr_Format(PyExc_ValueError, "tris_per_material[%d] is negative (%d)", k, t);
            return false;
        }
        if (placed[k] > t) {
            PyErr_Format(PyExc_ValueError,
                         "material %d has %lld triangles but tris_per_material gives it room for %d", k,
                         static_cast<long long>(placed[k]), t);
            return false;
        }
        total += 24 * static_cast<std::int64_t>(t);
    }
    if (total > out_len) {
        PyErr_Format(PyExc_ValueError,
                     "tris_per_material asks for %lld floats but the output holds %lld (24 per triangle)",
                     static_cast<long long>(total), static_cast<long long>(out_len));
        return false;
    }
    return true;
}

// Where the next triangle of a material goes: the element offsets of its
// position, normal and UV slots.
struct Cursor {
    std::int64_t pos, nrm, uv;
};

// The output, contiguous (the usual case) or through its stride.
template <bool kContiguous>
struct Output {
    char* data;
    std::int64_t stride;
    void put(std::int64_t i, float v) const {
        if constexpr (kContiguous)
            std::memcpy(data + 4 * i, &v, 4);
        else
            std::memcpy(data + i * stride, &v, 4);
    }
};

// The counting placement: one pass over the triangles, each written straight
// to its final slots through its material's cursor.
template <Generation G, bool kUvs, bool kContiguous>
bool place(const host::HostMesh& m, const ArrayView& mi, std::vector<Cursor>& cursors, NormalRows& normals,
           Output<kContiguous> out) {
    host::Vertices<G> verts{host::at(m.verts)};
    host::Loops<G> loops{host::at(m.loops)};
    host::LoopTris<G> tris{host::at(m.looptris)};
    host::Uvs<G> uvs{host::at(m.uvs)};
    const auto limit = static_cast<std::uint32_t>(cursors.size());
    for (std::int32_t i = 0; i < m.tri_count; ++i) {
        auto mat = static_cast<std::uint32_t>(mi.at<std::int32_t>(i));
        if (mat >= limit) continue;  // counted under no material: no place for it
        Cursor& c = cursors[mat];
        const Cursor at = c;
        c.pos += 9;
        c.nrm += 9;
        c.uv += 6;
        if constexpr (kContiguous) {
            // Eight materials keep 24 output streams open at once: more than
            // the hardware follows by itself. Asking for the lines a little
            // ahead of each stream hides the misses of the first writes.
            constexpr std::int64_t kAhead = 128;  // elements (512 bytes)
            compat::prefetch_for_write(out.data + 4 * (at.pos + kAhead));
            compat::prefetch_for_write(out.data + 4 * (at.nrm + kAhead));
            if constexpr (kUvs) compat::prefetch_for_write(out.data + 4 * (at.uv + kAhead));
        }
        std::uint32_t l[3];
        tris.loops(i, l);
        for (int j = 0; j < 3; ++j) {
            float n[3];
            if (!normals.get_yxz(l[j], n)) [[unlikely]]
                return false;
            host::Vec3 p = verts.position(loops.vertex(l[j]));
            out.put(at.pos + 3 * j, p.y);
            out.put(at.pos + 3 * j + 1, p.x);
            out.put(at.pos + 3 * j + 2, p.z);
            out.put(at.nrm + 3 * j, n[0]);
            out.put(at.nrm + 3 * j + 1, n[1]);
            out.put(at.nrm + 3 * j + 2, n[2]);
            if constexpr (kUvs) {
                out.put(at.uv + 2 * j, uvs.u(l[j]));
                out.put(at.uv + 2 * j + 1, 1.0f - uvs.v(l[j]));
            }
        }
    }
    return true;
}

template <Generation G>
bool place_any(const host::HostMesh& m, const ArrayView& mi, std::vector<Cursor>& cursors, NormalRows& normals,
               const ArrayView& out) {
    if (out.stride == 4) {
        Output<true> o{out.data, 4};
        return m.uv_flag ? place<G, true>(m, mi, cursors, normals, o) : place<G, false>(m, mi, cursors, normals, o);
    }
    Output<false> o{out.data, out.stride};
    return m.uv_flag ? place<G, true>(m, mi, cursors, normals, o) : place<G, false>(m, mi, cursors, normals, o);
}

template <Generation G>
PyObject* fill(Args& a) {
    Routine& r = host::by_generation<G>(R_get_mesh_tri_data_multi_material__293_to_300,
                                        R_get_mesh_tri_data_multi_material__310_to_current,
                                        R_get_mesh_tri_data_multi_material__400_to_current);
    Trace t(r);
    if (!t.entered()) return t.fail();
    host::HostMesh m;
    if (!read_mesh(a.a[0].value, m)) return t.fail();
    const ArrayView& mi = a.a[1].array;
    const ArrayView& tpm = a.a[2].array;
    PyObject* split_normals = a.a[3].array.obj;

    // The block start table, the fill counters and the output, through the
    // array library.
    ArrayView starts_v, counters_v, out;
    Ref starts(new_zeros(static_cast<std::int64_t>(m.material_count) * 3, Elem::Int32, starts_v));
    if (!starts) return t.fail();
    Ref counters(new_zeros(m.material_count, Elem::Int32, counters_v));
    if (!counters) return t.fail();
    Ref result(new_zeros(static_cast<std::int64_t>(m.tri_count) * 24, Elem::Float32, out));
    if (!result) return t.fail();
    if (out.stride == 4) advise_fresh_pages(out.data, 4 * out.len);

    State& st = state();
    Ref rows(PyObject_CallMethodObjArgs(split_normals, st.s_reshape, st.i_neg1, st.i_3, nullptr));
    if (!rows) return t.fail();

    std::vector<std::int64_t> placed;
    if (!check_inputs(m, mi, tpm, out.len, placed)) return t.fail();

    // Block starts: positions, normals and UVs of each material. The cursors
    // the placement advances are our own; the tables keep the starts and,
    // at the end, the counts.
    std::vector<Cursor> cursors(placed.size());
    std::int64_t s = 0;
    for (std::size_t k = 0; k < placed.size(); ++k) {
        std::int64_t n = tpm.at<std::int32_t>(static_cast<std::int64_t>(k));
        cursors[k] = {s, s + 9 * n, s + 18 * n};
        starts_v.at<std::int32_t>(3 * k) = static_cast<std::int32_t>(s);
        starts_v.at<std::int32_t>(3 * k + 1) = static_cast<std::int32_t>(s + 9 * n);
        starts_v.at<std::int32_t>(3 * k + 2) = static_cast<std::int32_t>(s + 18 * n);
        s += 24 * n;
    }

    NormalRows normals;
    normals.open(rows.get(), st.ndarray);
    if (!place_any<G>(m, mi, cursors, normals, out)) return t.fail();
    for (std::size_t k = 0; k < placed.size(); ++k)
        counters_v.at<std::int32_t>(static_cast<std::int64_t>(k)) = static_cast<std::int32_t>(placed[k]);
    out.buffer.release();
    return t.done(result.release());
}

}  // namespace

PyObject* get_mesh_tri_data_multi_material__310_to_current_body(Args& a) { return fill<Generation::G310>(a); }

PyObject* get_mesh_tri_data_multi_material__293_to_300_body(Args& a) { return fill<Generation::G293>(a); }

PyObject* get_mesh_tri_data_multi_material_body(Args& a) {
    Trace t(R_get_mesh_tri_data_multi_material);
    if (!t.entered()) return t.fail();
    Generation g;
    if (!host::choose_generation(g)) return t.fail();
    PyObject* result = nullptr;
    switch (g) {
        case Generation::G293: result = fill<Generation::G293>(a); break;
        case Generation::G310: result = fill<Generation::G310>(a); break;
        case Generation::G400: result = fill<Generation::G400>(a); break;
    }
    return result ? t.done(result) : t.fail();
}

}  // namespace norvik
