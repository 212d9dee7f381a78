// The camera document: `export_scenes`.
#include "host/layouts.hpp"
#include "module/functions.hpp"
#include "writer/document.hpp"

namespace norvik {
namespace {

NORVIK_ROUTINE(export_scenes);

constexpr const char kCamerasNan[] = "WARN! N.A.N. detected in cameras!!!";

void write_camera(Sink& out, const host::CameraRecord& c, bool first) {
    if (first)
        out.lit("\n\t\"");
    else
        out.lit(",\n\t\"");
    out.json_text(c.name);
    out.lit("\" : {\n\t\t\"fov\" : ");
    finite_f4(out, 0, c.fov, kCamerasNan);
    out.lit(",\n\t\t\"matrix\" : [");
    // Column order; the first three groups scaled to the document's units.
    for (int j = 0; j < 4; ++j) {
        for (int g = 0; g < 4; ++g) {
            float x = g < 3 ? c.matrix[g][j] * 100.0f : c.matrix[g][j];
            finite_f4(out, (j || g) ? ',' : 0, x, kCamerasNan);
        }
    }
    out.lit("]\n\t}");
}

}  // namespace

PyObject* export_scenes_body(Args& a) {
    Trace t(R_export_scenes);
    if (!t.entered()) return finish_document(t, R_export_scenes, false);
    std::FILE* f = open_document(a.a[2].path);
    if (!f) return finish_document(t, R_export_scenes, false);
    Sink out(f);
    out.ch('{');
    const host::Addr scn_ptr = a.a[0].value;
    const auto count = static_cast<std::int32_t>(a.a[1].value);
    for (std::int32_t i = 0; i < count && scn_ptr && !out.failed(); ++i)
        write_camera(out, host::CameraRecord::read(scn_ptr, i), i == 0);
    out.lit("\n}");
    return finish_document(t, R_export_scenes, close_document(out));
}

}  // namespace norvik
