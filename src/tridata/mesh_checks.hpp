// Checks made before any host array of a mesh is read.
#pragma once

#include "host/layouts.hpp"
#include "module/pyref.hpp"

namespace norvik {

// Reads the HostMesh record; ValueError for a null record address.
inline bool read_mesh(host::Addr mesh_ptr, host::HostMesh& out) {
    if (!mesh_ptr) {
        PyErr_SetString(PyExc_ValueError, "mesh_ptr is a null address");
        return false;
    }
    out = host::HostMesh::read(mesh_ptr);
    return true;
}

// A mesh with triangles must have the arrays its triangles are read from.
inline bool require_array(host::Addr addr, const char* what) {
    if (addr) return true;
    PyErr_Format(PyExc_ValueError, "the mesh has triangles but its %s array is a null address", what);
    return false;
}

inline bool require_corner_arrays(const host::HostMesh& m) {
    return require_array(m.verts, "vertex") && require_array(m.loops, "loop") &&
           require_array(m.looptris, "triangle") && (!m.uv_flag || require_array(m.uvs, "UV"));
}

}  // namespace norvik
