// Catmull-Clark refinement of subdivision cages ('PTCH' polygons) into plain
// quads, for formats that have no subdivision surfaces (glTF, OBJ).
#pragma once

#include "formats/mesh_layer.h"

namespace sf::formats {

constexpr int k_max_subdivision_levels = 3;

// A new layer in which every 'PTCH' polygon of three or more distinct
// points is replaced by its quads after `levels` uniform Catmull-Clark
// steps (OpenSubdiv; boundaries interpolated by edge and corner). Refined
// faces are 'FACE' with the cage's surface and copies of its tags, in place
// of the cage in polygon order; the cages of one layer are refined together,
// so cages sharing points stay joined.
//
// Maps on cage points are carried over: a map with per-polygon values on
// some cage is refined as a face-varying channel (texture seams stay seams,
// linear along seams and borders, smooth inside), and is written back as
// per-point values plus per-polygon values where a corner differs; every
// other map is refined like the positions. A refined point gets a value
// only where all the cage values it is made from exist.
//
// Other polygons (faces, leaves, lines, degenerate cages, which become
// 'FACE') are copied with their points, values and tags; points that only
// cages use are replaced by the refined points. Strings and maps keep their
// indices. Levels 0 gives an exact copy (cages stay 'PTCH').
// Throws std::invalid_argument for levels outside 0..k_max_subdivision_levels
// and machine_error when OpenSubdiv rejects the cages.
mesh_layer subdivide_patches(const mesh_layer& layer, int levels);

// A copy without history in which the tube faces (surfaces that look like
// bark or twigs, three or more points) are 'PTCH' cages, as a SubD build
// writes them; leaves and other polygons (twigs too, unless `twigs`) stay
// as they are.
mesh_layer tubes_as_cages(const mesh_layer& layer, bool twigs = true);

// An exact copy: the same journal, strings and maps.
mesh_layer copy_layer(const mesh_layer& layer);

}  // namespace sf::formats
