// Wind data for game engines: per point, the pivot of the branch (or leaf)
// it belongs to, the branch's direction there, its length, its level in the
// hierarchy and a phase, recovered from the tubes and leaves of a layer.
#pragma once

#include "formats/mesh_layer.h"

namespace sf::formats {

// Levels of the hierarchy.
enum class wind_level : int { trunk = 0, branch = 1, twig = 2, leaf = 3 };

// The four 'TXUV' maps the data is kept in, written into .glb as
// TEXCOORD_1 .. TEXCOORD_4 (README, "Wind data"):
//   0 (pivot x, pivot y)   1 (pivot z, length)
//   2 (direction x, y)     3 (direction z, level + phase)
// with the level a whole number and the phase in [0, 1).
inline constexpr const char* k_wind_maps[4] = {"SF_wind_pivot_xy", "SF_wind_pivot_z_length", "SF_wind_dir_xy",
                                               "SF_wind_dir_z_level_phase"};

// Adds the wind maps to a layer as the tool wrote it (tubes as polygons or
// cages, leaves). A branch is the set of tube polygons joined by edges,
// cut where a side tube leaves its parent's fork box: a side tube's quads
// carry per-polygon bark coordinates on their first two corners, which lie
// on the parent. Its pivot is the centre of that fork box (on the parent's
// axis), its direction runs from the exit face to the side tube's first
// ring. A tube without a parent (a trunk) pivots at the centre of its
// first ring. A leaf pivots at the middle of its base (its "SF_leaf"
// v = 0 points nearest u = 0.5) and points towards its tip (v = 1). Length is the greatest distance from the pivot
// to a point of the branch; the phase is drawn from the branch's first
// point. Where a point is shared by two branches, the polygons of the one
// that does not own it get per-polygon values, so the data never blends
// across a junction. Points of no tube or leaf polygon get no values.
void add_wind_maps(mesh_layer& layer);

}  // namespace sf::formats
