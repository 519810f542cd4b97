// Bark texture coordinates for rendering, scaled to the world: around a
// tube in proportion to its girth, along it in proportion to its length, so
// that trunk and twig show bark of one grain size.
#pragma once

#include "formats/mesh_layer.h"

namespace sf::formats {

// One tile of the bark images covers this much around a tube and as much
// along it.
constexpr double k_bark_tile_metres = 1.0;

// The 'TXUV' map the host adds for rendering; the tool's "SF_branch" stays
// as it is.
inline constexpr const char* k_map_bark_uv = "bark_uv";

// Adds the map k_map_bark_uv to a layer as the tool wrote it (tubes as
// rings of points, "SF_branch" u around from 0 to 1, v growing along the
// tube): for every "SF_branch" value of a tube or root point, per point and
// per polygon alike (seams stay seams),
//   u' = u * girth / tile,   v' = v * scale / tile,
// where girth is the perimeter of the point's ring, measured from the
// edges to its ring neighbours (points of equal v), and scale the metres
// per unit of v, the median over the edges along the tubes (one for the
// tubes, one for the roots, whose v counts segments). Values at points that
// no tube polygon uses are not added. Refinement and levels of detail carry
// the map like any other.
void add_bark_uv(mesh_layer& layer);

// Whether the layer has the map (with two values).
bool has_bark_uv(const mesh_layer& layer);

// A copy of the layer without history, with add_bark_uv applied.
mesh_layer with_bark_uv(const mesh_layer& layer);

}  // namespace sf::formats
