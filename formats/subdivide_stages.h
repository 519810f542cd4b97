// The stages of subdivide_patches, one function each, so they can be timed
// one by one. Each stage takes what the one before produced:
//   find_cages + plan_cages -> cage_plan     which polygons are cages, vertex
//                                             numbering, carried maps
//   gather_cages            -> coarse_cages  topology and level-0 values
//   refine_cages            -> refined_cages OpenSubdiv's refinement
//   assemble_layer          -> mesh_layer    the new layer
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "formats/mesh_layer.h"

namespace sf::formats::subdivision {

// One carried map and where its values sit in the refined rows.
struct carried_map {
    index_t map;
    int dim;
    int offset;  // first column (vertex maps), or 0 (own face-varying rows)
};

struct cage_plan {
    index_t np = 0, nf = 0;              // points and polygons of the input
    std::vector<std::uint8_t> is_cage;   // per polygon
    std::vector<std::uint8_t> use;       // per point, bit 0: a cage, bit 1: another polygon
    std::size_t cage_count = 0, cage_corners = 0;
    // Filled by plan_cages:
    std::vector<index_t> cage_vertex;    // per point: its cage vertex, or k_none
    std::vector<index_t> kept;           // per point: its index in the new layer, or k_none
    std::vector<index_t> vertex_point;   // per cage vertex: its point
    index_t kept_count = 0;
    std::vector<carried_map> vertex_maps, fvar_maps;
    int width = 3;                       // doubles per vertex row
};

// Cages: 'PTCH' polygons of at least three distinct points; counts them.
cage_plan find_cages(const mesh_layer& in);
// Numbers cage vertices and kept points, and picks how each map is carried.
void plan_cages(const mesh_layer& in, cage_plan& plan);

// The coarse topology and the level-0 rows of vertex and face-varying data.
struct coarse_cages {
    std::vector<int> verts_per_face;
    std::vector<int> face_verts;
    std::vector<double> vdata;                      // per vertex: position, then vertex maps
    std::vector<std::vector<int>> fvar_index;       // per channel: value of each corner
    std::vector<std::vector<double>> fvar_data;     // per channel: values and coverage
};
coarse_cages gather_cages(const mesh_layer& in, const cage_plan& plan);

// OpenSubdiv's refiner, kept opaque here.
struct refiner_box;
struct refiner_box_free {
    void operator()(refiner_box* box) const noexcept;
};

struct refined_cages {
    std::unique_ptr<refiner_box, refiner_box_free> refiner;
    std::vector<double> vdata;                   // rows of the last level
    std::vector<std::vector<double>> fvar_data;  // per channel, the last level
    index_t refined_points = 0;
    int refined_faces = 0;
    int levels = 0;
};
// Refines `levels` uniform steps. Throws machine_error when OpenSubdiv
// rejects the cages or the result does not fit.
refined_cages refine_cages(const mesh_layer& in, const cage_plan& plan, coarse_cages& coarse, int levels);

// The new layer: kept points, refined points, their values, polygons in
// order with cages replaced, tags, per-polygon values.
mesh_layer assemble_layer(const mesh_layer& in, const cage_plan& plan, refined_cages& refined);

}  // namespace sf::formats::subdivision
