// Prints every layout the module reads, one line per field, in the names of
// the add-on's numpy layouts (norvik_records.layouts):
//     LAYOUT FIELD OFFSET SIZE        and        LAYOUT itemsize SIZE
// tests/test_records.py compares the lines with those layouts.
#include <cstdio>

#include "host/layouts.hpp"

using namespace norvik::host;

namespace {

void field(const char* layout, const char* name, long offset, long size) {
    std::printf("%s %s %ld %ld\n", layout, name, offset, size);
}

void itemsize(const char* layout, long size) { std::printf("%s itemsize %ld\n", layout, size); }

template <Generation G>
void elements(const char* vertex, const char* loop, const char* looptri, const char* uv, const char* poly) {
    using S = Strides<G>;
    itemsize(vertex, S::kVertex);
    field(vertex, "co", 0, 12);
    if constexpr (G == Generation::G293) field(vertex, "no", S::kPackedNormal, 6);
    itemsize(loop, S::kLoop);
    field(loop, "v", 0, 4);
    itemsize(looptri, S::kTri);
    field(looptri, "tri", 0, 12);
    if constexpr (G != Generation::G400) field(looptri, "poly", S::kTriPoly, 4);
    itemsize(uv, S::kUv);
    field(uv, "uv", 0, 8);
    itemsize(poly, S::kPoly);
    field(poly, "mat_nr", S::kMaterial, S::kMaterialSize);
}

}  // namespace

int main() {
    elements<Generation::G293>("VERTEX_293", "LOOP", "LOOPTRI", "UV", "POLY");
    elements<Generation::G310>("VERTEX_310", "LOOP", "LOOPTRI", "UV", "POLY");
    elements<Generation::G400>("VERTEX_400", "LOOP_400", "LOOPTRI_400", "UV_400", "MATERIAL_400");
    itemsize("TRI_POLY_400", 4);
    field("TRI_POLY_400", "poly", 0, 4);
    itemsize("NORMAL", Normals::kStride);
    field("NORMAL", "no", 0, 12);
    itemsize("INSTANCE_TRANSFORM", InstanceTransforms::kStride);
    field("INSTANCE_TRANSFORM", "m", 0, 48);

    using H = HostMesh;
    itemsize("HOST_MESH", H::kSize);
    field("HOST_MESH", "verts_ptr", H::kVerts, 8);
    field("HOST_MESH", "tri_polys_ptr", H::kTriPolys, 8);
    field("HOST_MESH", "polys_ptr", H::kPolys, 8);
    field("HOST_MESH", "loops_ptr", H::kLoops, 8);
    field("HOST_MESH", "uvs_ptr", H::kUvs, 8);
    field("HOST_MESH", "looptris_ptr", H::kLooptris, 8);
    field("HOST_MESH", "has_uvs", H::kUvFlag, 4);
    field("HOST_MESH", "looptri_count", H::kTriCount, 4);
    field("HOST_MESH", "material_count", H::kMaterialCount, 4);

    using E = ExportObjectRecord;
    itemsize("EXPORT_OBJECT_RECORD", E::kSize);
    field("EXPORT_OBJECT_RECORD", "name", E::kName, E::kNameSize);
    field("EXPORT_OBJECT_RECORD", "material", E::kMaterial, E::kMaterialSize);
    field("EXPORT_OBJECT_RECORD", "verts_ptr", E::kVerts, 8);
    field("EXPORT_OBJECT_RECORD", "vert_normals_ptr", E::kVertNormals, 8);
    field("EXPORT_OBJECT_RECORD", "loops_ptr", E::kLoops, 8);
    field("EXPORT_OBJECT_RECORD", "uvs_ptr", E::kUvs, 8);
    field("EXPORT_OBJECT_RECORD", "looptris_ptr", E::kLooptris, 8);
    field("EXPORT_OBJECT_RECORD", "vert_count", E::kVertCount, 4);
    field("EXPORT_OBJECT_RECORD", "loop_count", E::kLoopCount, 4);
    field("EXPORT_OBJECT_RECORD", "looptri_count", E::kLooptriCount, 4);
    field("EXPORT_OBJECT_RECORD", "instances_ptr", E::kInstances, 8);
    field("EXPORT_OBJECT_RECORD", "instance_count", E::kInstanceCount, 4);
    field("EXPORT_OBJECT_RECORD", "custom_normals_ptr", E::kCustomNormals, 8);

    using C = CameraRecord;
    itemsize("CAMERA_RECORD", C::kSize);
    field("CAMERA_RECORD", "name", C::kName, C::kNameSize);
    field("CAMERA_RECORD", "fov", C::kFov, 4);
    field("CAMERA_RECORD", "matrix", C::kMatrix, 64);
    return 0;
}
