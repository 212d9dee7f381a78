// Bodies of the public functions, called by the argument layer with the
// converted arguments. Each body reports itself under the function's name.
#pragma once

#include "module/args.hpp"

namespace norvik {

PyObject* export_body(Args& a);         // writer/scene.cpp
PyObject* export_scenes_body(Args& a);  // writer/camera.cpp
PyObject* get_mesh_tri_data_body(Args& a);                // tridata/tri_data.cpp
PyObject* get_material_indices_body(Args& a);             // tridata/materials.cpp
PyObject* get_tri_count_per_material_index_body(Args& a); // tridata/materials.cpp
PyObject* get_mesh_tri_data_multi_material_body(Args& a); // tridata/multi_material.cpp
PyObject* get_mesh_tri_data_multi_material__310_to_current_body(Args& a);
PyObject* get_mesh_tri_data_multi_material__293_to_300_body(Args& a);

}  // namespace norvik
