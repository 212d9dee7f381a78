// The scene document: `export`, its generation dispatch and the section
// writers of one object.
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <new>
#include <vector>

#include "host/generation.hpp"
#include "host/layouts.hpp"
#include "module/functions.hpp"
#include "writer/document.hpp"
#include "writer/parallel.hpp"

namespace norvik {
namespace {

using host::Generation;
using host::Vec3;

constexpr const char kVertsNan[] = "WARN! N.A.N. detected in verts!!!";
constexpr const char kNormalsNan[] = "WARN! N.A.N. detected in normals!!!";
constexpr const char kUvsNan[] = "WARN! N.A.N. detected in UVs!!!";
constexpr const char kInstancesNan[] = "WARN! N.A.N. detected in instances!!!";

// State of one export: the sink and the calling thread (null on a worker
// thread, which formats a part of the document in memory).
struct Writer {
    Sink& out;
    PyThreadState* ts;
};

NORVIK_ROUTINE(export);
NORVIK_ROUTINE(export__310_to_current);
NORVIK_ROUTINE(export__293_to_300);
NORVIK_ROUTINE(export__400_to_current);
NORVIK_ROUTINE(write_object_name);
NORVIK_ROUTINE(write_object_material);
NORVIK_ROUTINE(write_mesh_vertices__293_to_300);
NORVIK_ROUTINE(write_mesh_vertices__400_to_current);
NORVIK_ROUTINE(write_mesh_vertices__310_to_current);
NORVIK_ROUTINE(write_mesh_normals__293_to_300);
NORVIK_ROUTINE(write_mesh_custom_normals);
NORVIK_ROUTINE(write_mesh_normals__310_to_current);
NORVIK_ROUTINE(write_mesh_uvs);
NORVIK_ROUTINE(write_default_mesh_uvs);
NORVIK_ROUTINE(write_mesh_indices);
NORVIK_ROUTINE(write_object_instances);
NORVIK_ROUTINE(normal_short_to_float_v3);
NORVIK_ROUTINE(filter_nan);

// ---------------------------------------------------------------------------
// Per-element conversions
// ---------------------------------------------------------------------------

// The float32 nearest to 1/32767 (bit pattern 0x38000100).
constexpr float kShortToFloat = 0x1.0002p-15f;
static_assert(kShortToFloat == 1.0f / 32767.0f);

inline void decode_normal(const std::int16_t s[3], float out[3]) {
    for (int i = 0; i < 3; ++i) out[i] = static_cast<float>(s[i]) * kShortToFloat;
}

inline void normal_short_to_float_v3(Writer& w, const std::int16_t s[3], float out[3]) {
    if (profiling(w.ts)) [[unlikely]] {
        traced_void(R_normal_short_to_float_v3, w.ts, [&] { decode_normal(s, out); });
        return;
    }
    decode_normal(s, out);
}

inline float filter_value(Sink& out, float x) {
    if (!std::isfinite(x)) [[unlikely]] {
        out.say(kUvsNan);
        return 0.0f;
    }
    return x;
}

inline float filter_nan(Writer& w, float x) {
    if (profiling(w.ts)) [[unlikely]] {
        float r = x;
        traced_void(R_filter_nan, w.ts, [&] { r = filter_value(w.out, x); });
        return r;
    }
    return filter_value(w.out, x);
}

// The numbers of one list, gathered a run of elements at a time and written
// together. An element's numbers carry a leading comma unless it is the
// list's first (index 0). Call flush() before writing anything else into
// the list, and at its end.
template <class T, int kPerElement>
class Run {
public:
    explicit Run(Sink& out) : out_(out) {}
    Run(const Run&) = delete;
    Run& operator=(const Run&) = delete;

    void add(std::int64_t element, const T (&v)[kPerElement]) {
        if (n_ == 0) first_ = element == 0;
        for (int k = 0; k < kPerElement; ++k) buf_[n_ + k] = v[k];
        n_ += kPerElement;
        if (n_ == kSize) flush();
    }
    void flush() {
        if (n_ == 0) return;
        out_.numbers(buf_, n_, first_);
        n_ = 0;
    }

private:
    static constexpr std::size_t kSize = 64 * kPerElement;
    Sink& out_;
    T buf_[kSize];
    std::size_t n_ = 0;
    bool first_ = false;
};

// ---------------------------------------------------------------------------
// Section writers
// ---------------------------------------------------------------------------

void write_object_name(Writer& w, host::Text name, bool first) {
    Trace t(R_write_object_name, w.ts);
    if (t.entered()) {
        if (first)
            w.out.lit("\n\t\"");
        else
            w.out.lit(",\n\t\"");
        w.out.json_text(name);
        w.out.lit("\" : {\n");
    }
    t.done_void();
}

void write_object_material(Writer& w, host::Text material) {
    Trace t(R_write_object_material, w.ts);
    if (t.entered()) {
        w.out.lit("\t\t\"material\" : \"");
        w.out.json_text(material);
        w.out.ch('"');
    }
    t.done_void();
}

template <Generation G>
void write_mesh_vertices(Writer& w, host::Addr verts_ptr, std::int32_t count) {
    Trace t(host::by_generation<G>(R_write_mesh_vertices__293_to_300, R_write_mesh_vertices__310_to_current,
                                   R_write_mesh_vertices__400_to_current),
            w.ts);
    if (t.entered()) {
        Sink& out = w.out;
        out.lit(",\n\t\t\"vertices\" : [");
        if (count > 0 && !verts_ptr) {
            out.say("[ERROR] NULL mesh vertices!\n");
        } else if (count > 0) {
            host::Vertices<G> verts{host::at(verts_ptr)};
            Run<float, 3> run(out);
            for (std::int32_t v = 0; v < count; ++v) {
                Vec3 p = verts.position(static_cast<std::uint32_t>(v));
                if (!std::isfinite(p.x) || !std::isfinite(p.y) || !std::isfinite(p.z)) [[unlikely]] {
                    run.flush();
                    out.say(kVertsNan);
                    if (v)
                        out.lit(",0.0,0.0,0.0");
                    else
                        out.lit("0.0,0.0,0.0");
                    continue;
                }
                run.add(v, {p.x, p.y, p.z});
            }
            run.flush();
        }
    }
    t.done_void();
}

void write_mesh_normals__293_to_300(Writer& w, host::Addr verts_ptr, std::int32_t count) {
    Trace t(R_write_mesh_normals__293_to_300, w.ts);
    if (t.entered()) {
        Sink& out = w.out;
        out.lit("],\n\t\t\"normals\" : [");
        if (count > 0 && verts_ptr) {
            host::Vertices<Generation::G293> verts{host::at(verts_ptr)};
            if (profiling(w.ts)) {
                // One traced conversion per vertex.
                for (std::int32_t v = 0; v < count; ++v) {
                    std::int16_t packed[3];
                    float n[3];
                    verts.packed_normal(static_cast<std::uint32_t>(v), packed);
                    normal_short_to_float_v3(w, packed, n);
                    out.list(v == 0, n[0], n[1], n[2]);
                }
            } else {
                Run<float, 3> run(out);
                for (std::int32_t v = 0; v < count; ++v) {
                    std::int16_t packed[3];
                    float n[3];
                    verts.packed_normal(static_cast<std::uint32_t>(v), packed);
                    decode_normal(packed, n);
                    run.add(v, {n[0], n[1], n[2]});
                }
                run.flush();
            }
        }
    }
    t.done_void();
}

// Float triples, one per vertex; shared by the vertex and custom normals.
void write_normal_triples(Writer& w, host::Addr normals_ptr, std::int32_t count) {
    Sink& out = w.out;
    out.lit("],\n\t\t\"normals\" : [");
    if (count <= 0) return;
    if (!normals_ptr) {
        out.say("[ERROR] NULL mesh normals!\n");
        return;
    }
    host::Normals normals{host::at(normals_ptr)};
    Run<float, 3> run(out);
    for (std::int32_t v = 0; v < count; ++v) {
        Vec3 n = normals.at(v);
        if (std::isfinite(n.x) && std::isfinite(n.y) && std::isfinite(n.z)) [[likely]] {
            run.add(v, {n.x, n.y, n.z});
            continue;
        }
        run.flush();
        finite_f4(out, v ? ',' : 0, n.x, kNormalsNan);
        finite_f4(out, ',', n.y, kNormalsNan);
        finite_f4(out, ',', n.z, kNormalsNan);
    }
    run.flush();
}

void write_mesh_custom_normals(Writer& w, host::Addr normals_ptr, std::int32_t count) {
    Trace t(R_write_mesh_custom_normals, w.ts);
    if (t.entered()) write_normal_triples(w, normals_ptr, count);
    t.done_void();
}

void write_mesh_normals__310_to_current(Writer& w, host::Addr normals_ptr, std::int32_t count) {
    Trace t(R_write_mesh_normals__310_to_current, w.ts);
    if (t.entered()) write_normal_triples(w, normals_ptr, count);
    t.done_void();
}

// One "0.0,0.0" pair per vertex: the list of an object without UVs.
void write_default_pairs(Sink& out, std::int32_t count) {
    for (std::int32_t v = 0; v < count; ++v) {
        if (v)
            out.lit(",0.0,0.0");
        else
            out.lit("0.0,0.0");
    }
}

void write_default_mesh_uvs(Writer& w, std::int32_t vert_count) {
    Trace t(R_write_default_mesh_uvs, w.ts);
    if (t.entered()) {
        w.out.lit("],\n\t\t\"uv\" : [");
        write_default_pairs(w.out, vert_count);
    }
    t.done_void();
}

// UV of each vertex from its first corner: the lowest-numbered loop naming it.
template <Generation G>
void write_first_corner_uvs(Writer& w, const host::ExportObjectRecord& r) {
    Sink& out = w.out;
    const std::int32_t n = r.vert_count;
    auto* table = static_cast<std::int32_t*>(std::malloc(static_cast<std::size_t>(n) * sizeof(std::int32_t)));
    if (!table) {
        if (w.ts)
            PyErr_NoMemory();
        else
            out.give_up();  // a worker's part: written again where the error can be raised
        return;
    }
    for (std::int32_t v = 0; v < n; ++v) table[v] = -1;
    // From the last loop to the first, so that the lowest-numbered loop of a
    // vertex is the one that stays: plain stores, no look at the table.
    host::Loops<G> loops{host::at(r.loops)};
    for (std::int32_t j = r.loop_count > 0 ? r.loop_count - 1 : -1; j >= 0; --j) {
        std::uint32_t v = loops.vertex(static_cast<std::uint32_t>(j));
        if (v < static_cast<std::uint32_t>(n)) table[v] = j;
    }
    host::Uvs<G> uvs{host::at(r.uvs)};
    if (profiling(w.ts)) {
        // One traced filter per value.
        for (std::int32_t v = 0; v < n; ++v) {
            std::int32_t j = table[v];
            if (j < 0) [[unlikely]] {
                // No corner names this vertex: the UV (0, 0).
                if (v)
                    out.lit(",0.0000,1.0000");
                else
                    out.lit("0.0000,1.0000");
                continue;
            }
            float vv = filter_nan(w, uvs.v(static_cast<std::uint32_t>(j)));
            float uu = filter_nan(w, uvs.u(static_cast<std::uint32_t>(j)));
            out.list(v == 0, uu, 1.0f - vv);
        }
    } else {
        Run<float, 2> run(out);
        for (std::int32_t v = 0; v < n; ++v) {
            std::int32_t j = table[v];
            if (j < 0) [[unlikely]] {
                run.add(v, {0.0f, 1.0f});  // no corner names this vertex: the UV (0, 0)
                continue;
            }
            float vv = filter_value(out, uvs.v(static_cast<std::uint32_t>(j)));
            float uu = filter_value(out, uvs.u(static_cast<std::uint32_t>(j)));
            run.add(v, {uu, 1.0f - vv});
        }
        run.flush();
    }
    std::free(table);
}

template <Generation G>
void write_mesh_uvs(Writer& w, const host::ExportObjectRecord& r) {
    Trace t(R_write_mesh_uvs, w.ts);
    if (t.entered() && r.looptri_count != 0 && r.looptris) {
        w.out.lit("],\n\t\t\"uv\" : [");
        if (r.vert_count > 0) {
            if (!r.loops)
                write_default_pairs(w.out, r.vert_count);  // no corners to take UVs from
            else
                write_first_corner_uvs<G>(w, r);
        }
    }
    t.done_void();
}

// Every corner must name an existing loop and every loop an existing vertex.
template <Generation G>
bool indices_in_range(const host::ExportObjectRecord& r) {
    host::Loops<G> loops{host::at(r.loops)};
    host::LoopTris<G> tris{host::at(r.looptris)};
    const std::uint32_t loop_count = r.loop_count > 0 ? static_cast<std::uint32_t>(r.loop_count) : 0;
    const std::uint32_t vert_count = r.vert_count > 0 ? static_cast<std::uint32_t>(r.vert_count) : 0;
    for (std::int32_t t = 0; t < r.looptri_count; ++t) {
        std::uint32_t l[3];
        tris.loops(t, l);
        if ((l[0] >= loop_count) | (l[1] >= loop_count) | (l[2] >= loop_count)) return false;
        // One test for the three corners (| on purpose: no branch per corner).
        if (int{loops.vertex(l[0]) >= vert_count} | int{loops.vertex(l[1]) >= vert_count} |
            int{loops.vertex(l[2]) >= vert_count})
            return false;
    }
    return true;
}

template <Generation G>
void write_mesh_indices(Writer& w, const host::ExportObjectRecord& r) {
    Trace t(R_write_mesh_indices, w.ts);
    if (t.entered()) {
        Sink& out = w.out;
        if (!r.loops) {
            out.say("[ERROR] Invalid mesh loops.");
        } else if (r.looptri_count == 0) {
            out.say("[ERROR] No mesh looptris!\n");
        } else if (!r.looptris) {
            out.say("[ERROR] NULL mesh looptris!\n");
        } else if (!indices_in_range<G>(r)) {
            out.say("[ERROR] Mesh indices out of range!\n");
        } else {
            out.lit("],\n\t\t\"indices\" : [");
            host::Loops<G> loops{host::at(r.loops)};
            host::LoopTris<G> tris{host::at(r.looptris)};
            Run<std::uint32_t, 3> run(out);
            for (std::int32_t i = 0; i < r.looptri_count; ++i) {
                std::uint32_t l[3];
                tris.loops(i, l);
                run.add(i, {loops.vertex(l[0]), loops.vertex(l[1]), loops.vertex(l[2])});
            }
            run.flush();
        }
    }
    t.done_void();
}

// Each transform as the 16 numbers of a 4x4 matrix in column order, the
// translation and rotation scaled to the document's units.
void write_object_instances(Writer& w, host::Addr instances_ptr, std::int32_t count) {
    Trace t(R_write_object_instances, w.ts);
    if (t.entered()) {
        Sink& out = w.out;
        out.lit("],\n\t\t\"instances\" : [\n\t\t\t");
        host::InstanceTransforms inst{host::at(instances_ptr)};
        for (std::int32_t k = 0; k < count; ++k) {
            if (k) out.lit(",\n\t\t\t");
            for (int c = 0; c < 4; ++c) {
                out.ch(c == 0 ? '[' : ',');
                for (int row = 0; row < 3; ++row)
                    finite_f4(out, row ? ',' : 0, inst.get(k, row, c) * 100.0f, kInstancesNan);
                if (c == 3)
                    out.lit(",1.0]");
                else
                    out.lit(",0.0");
            }
        }
        out.lit("\n\t\t]");
    }
    t.done_void();
}

// ---------------------------------------------------------------------------
// Object routines
// ---------------------------------------------------------------------------

template <Generation G>
void write_object(Writer& w, const host::ExportObjectRecord& r, bool first) {
    write_object_name(w, r.name, first);
    write_object_material(w, r.material);
    write_mesh_vertices<G>(w, r.verts, r.vert_count);
    if constexpr (G == Generation::G293) {
        write_mesh_normals__293_to_300(w, r.verts, r.vert_count);
    } else if (r.custom_normals) {
        write_mesh_custom_normals(w, r.custom_normals, r.vert_count);
    } else {
        write_mesh_normals__310_to_current(w, r.vert_normals, r.vert_count);
    }
    if (r.uvs)
        write_mesh_uvs<G>(w, r);
    else
        write_default_mesh_uvs(w, r.vert_count);
    write_mesh_indices<G>(w, r);
    if (r.instances) {
        write_object_instances(w, r.instances, r.instance_count);
        w.out.lit("\n\t}");
    } else {
        w.out.lit("]\n\t}");
    }
}

// ---------------------------------------------------------------------------
// Many objects at once
// ---------------------------------------------------------------------------

// About the bytes an object's section takes: for sizing the parts and their
// buffers only (a buffer grows when it is short).
std::size_t expected_bytes(const host::ExportObjectRecord& r) {
    auto n = [](std::int32_t k) { return k > 0 ? static_cast<std::size_t>(k) : 0; };
    return 160 + 68 * n(r.vert_count) + 20 * n(r.looptri_count) + 170 * n(r.instance_count);
}

// Below this a document is written on the calling thread alone: starting
// threads would cost more than they save.
constexpr std::size_t kParallelBytes = std::size_t{2} << 20;
// The objects of one part.
constexpr std::size_t kPartBytes = std::size_t{256} << 10;

struct Part {
    std::int32_t begin, end;  // objects
    std::size_t bytes;        // expected
};

// The sections of a part's objects, until the sink fails.
template <Generation G>
void write_part(Writer& w, const std::vector<host::ExportObjectRecord>& records, const Part& p) {
    for (std::int32_t i = p.begin; i < p.end && !w.out.failed(); ++i)
        write_object<G>(w, records[static_cast<std::size_t>(i)], i == 0);
}

// The objects' sections formatted on `threads` threads a part at a time,
// each part written into the file in order as soon as it and those before it
// are done. A part is formatted into one of a few buffers that take turns
// (part k into buffer k % buffers, once part k - buffers is written), so the
// memory stays warm and small. The calling thread writes the parts and
// formats too while the next part to write is not done. Every part is the
// text the calling thread alone would write; a part that met a message (a
// warning, an error, no memory) is written again by the calling thread, which
// prints it. False, with nothing written, when there is no memory to start.
template <Generation G>
bool write_objects_in_parts(Writer& w, const std::vector<host::ExportObjectRecord>& records,
                            unsigned threads) {
    const auto count = static_cast<std::int32_t>(records.size());
    std::vector<Part> parts;
    std::vector<std::unique_ptr<Sink>> texts;
    std::unique_ptr<std::atomic<std::size_t>[]> done;  // the part each buffer holds, once formatted
    const std::size_t buffers = 2 * std::size_t{threads} + 2;
    try {
        for (std::int32_t i = 0; i < count;) {
            Part p{i, i, 0};
            while (p.end < count && (p.end == p.begin || p.bytes < kPartBytes))
                p.bytes += expected_bytes(records[static_cast<std::size_t>(p.end++)]);
            parts.push_back(p);
            i = p.end;
        }
        for (std::size_t b = 0; b < buffers; ++b) {
            texts.emplace_back(new (std::nothrow) Sink(kPartBytes));
            if (!texts.back()) return false;
        }
        done.reset(new std::atomic<std::size_t>[buffers]);
    } catch (...) {
        return false;
    }
    const std::size_t total = parts.size();
    constexpr std::size_t kNone = static_cast<std::size_t>(-1);
    for (std::size_t b = 0; b < buffers; ++b) done[b].store(kNone);
    std::atomic<std::size_t> next{0};     // the next part to format
    std::atomic<std::size_t> written{0};  // parts written into the file
    std::atomic<bool> stop{false};        // the file failed: nothing more is formatted
    std::mutex m;
    std::condition_variable changed;

    auto format = [&](std::size_t k) {
        Sink& text = *texts[k % buffers];
        text.restart();
        Writer pw{text, nullptr};
        write_part<G>(pw, records, parts[k]);
        {
            std::lock_guard<std::mutex> lock(m);
            done[k % buffers].store(k);
        }
        changed.notify_all();
    };
    // A worker formats the parts it takes, each once its buffer is free.
    auto work = [&] {
        for (std::size_t k; (k = next.fetch_add(1)) < total;) {
            {
                std::unique_lock<std::mutex> lock(m);
                changed.wait(lock, [&] { return stop.load() || k < written.load() + buffers; });
            }
            if (stop.load()) return;
            format(k);
        }
    };
    // The calling thread, on the other threads' side: writes each part in turn.
    auto write_all = [&] {
        for (std::size_t k = 0; k < total && !w.out.failed(); ++k) {
            for (;;) {
                if (done[k % buffers].load() == k) break;
                // Not done yet: format the next part meanwhile, if its buffer is free.
                std::size_t mine = next.load();
                if (mine < total && mine < k + buffers && next.compare_exchange_strong(mine, mine + 1)) {
                    format(mine);
                    continue;
                }
                std::unique_lock<std::mutex> lock(m);
                changed.wait(lock, [&] { return done[k % buffers].load() == k; });
            }
            const Sink& text = *texts[k % buffers];
            if (!text.failed())
                w.out.append(text);
            else
                write_part<G>(w, records, parts[k]);
            {
                std::lock_guard<std::mutex> lock(m);
                done[k % buffers].store(kNone);
                written.store(k + 1);
            }
            changed.notify_all();
        }
        {
            std::lock_guard<std::mutex> lock(m);
            stop.store(true);
        }
        changed.notify_all();
    };
    run_on_threads(threads, work, write_all);
    return true;
}

template <Generation G>
void export_objects(Writer& w, host::Addr ob_ptr, std::int32_t count) {
    Trace t(host::by_generation<G>(R_export__293_to_300, R_export__310_to_current, R_export__400_to_current), w.ts);
    if (t.entered()) {
        // Profiled exports stay on the calling thread: every routine reports there.
        const unsigned threads = ob_ptr && count > 1 && !profiling(w.ts) ? writer_threads() : 1;
        std::vector<host::ExportObjectRecord> records;
        std::size_t bytes = 0;
        if (threads > 1) {
            try {
                records.reserve(static_cast<std::size_t>(count));
            } catch (...) {
            }
            if (records.capacity() >= static_cast<std::size_t>(count)) {
                for (std::int32_t i = 0; i < count; ++i) {
                    records.push_back(host::ExportObjectRecord::read(ob_ptr, i));
                    bytes += expected_bytes(records.back());
                }
            }
        }
        if (records.size() != static_cast<std::size_t>(count) || bytes < kParallelBytes ||
            !write_objects_in_parts<G>(w, records, threads)) {
            for (std::int32_t i = 0; i < count && !w.out.failed(); ++i) {
                if (!ob_ptr) continue;
                write_object<G>(w, host::ExportObjectRecord::read(ob_ptr, i), i == 0);
            }
        }
    }
    t.done_void();
}

}  // namespace

PyObject* export_body(Args& a) {
    Trace t(R_export);
    if (!t.entered()) return finish_document(t, R_export, false);
    std::FILE* f = open_document(a.a[2].path);
    if (!f) return finish_document(t, R_export, false);
    Sink out(f);
    Writer w{out, t.thread()};
    out.ch('{');
    Generation g;
    if (!host::choose_generation(g)) {
        report_unraisable(R_export);
        close_document(out);
        return finish_document(t, R_export, false);
    }
    const host::Addr ob_ptr = a.a[0].value;
    const auto count = static_cast<std::int32_t>(a.a[1].value);
    switch (g) {
        case Generation::G293: export_objects<Generation::G293>(w, ob_ptr, count); break;
        case Generation::G310: export_objects<Generation::G310>(w, ob_ptr, count); break;
        case Generation::G400: export_objects<Generation::G400>(w, ob_ptr, count); break;
    }
    out.lit("\n}");
    return finish_document(t, R_export, close_document(out));
}

}  // namespace norvik
