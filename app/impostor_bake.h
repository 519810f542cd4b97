// The impostor's views of a tree, drawn by a small depth-buffered
// rasterizer on the processor: orthographic views around the tree and from
// above, leaves cut out of the leaf atlas by its alpha, into the colour and
// normal atlases of formats/impostor.h.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "formats/impostor.h"
#include "formats/materials.h"
#include "formats/mesh_layer.h"

namespace sf::app {

// Pixels of a side view's longer edge in the atlas.
constexpr int k_impostor_cell = 512;

// The impostor of a tree as a .glb writes it (the layer of level 0, with
// the images that dress it): colour is the surface's base colour (the bark
// image's mean, the leaf atlas times each leaf's tint), unlit but darker
// deeper inside the crown (down to half at its middle), as the tree shades
// itself; leaves' normals lean halfway towards the crown's outward
// direction so that the crown shades as one volume. Throws usage_error when the tree has no
// polygons to draw.
formats::impostor bake_impostor(const formats::mesh_layer& tree, const formats::texture_set& textures,
                                int cell = k_impostor_cell);

// An orthographic view: a point p lands at image x = (dot(p - centre,
// right) / half_width + 1) / 2 * width, y likewise from the top with `up`.
struct ortho_view {
    double centre[3] = {0, 0, 0};
    double right[3] = {1, 0, 0}, up[3] = {0, 1, 0}, toward[3] = {0, 0, 1};  // toward: to the camera
    double half_width = 1, half_height = 1;
    int width = 1, height = 1;
};

// Side view k of the impostor (its cell's extent) at the given size.
ortho_view impostor_side_view(const formats::impostor& imp, int k, int width, int height);

// Views of layers drawn as the impostor's cells are (coverage as alpha,
// colour bled into the empty pixels around it), without the crown's deep
// shade: one RGBA PNG of width x height, each view in its cell at x0, y0
// (the view's size).
struct view_cell {
    const formats::mesh_layer* layer = nullptr;
    ortho_view view;
    int x0 = 0, y0 = 0;
};
std::string bake_views(const std::vector<view_cell>& cells, const formats::texture_set& textures, int width,
                       int height);

// Which pixels (one sample at each centre, row by row from the top) the
// tree covers seen from the view, leaves cut out by the atlas' alpha; and
// the same for the impostor's crossed cards (or card `only` of them) cut
// out by its colour atlas, back faces culled. A level's cluster cards are
// cut out by cards_png (formats/cluster_cards.h) when given.
std::vector<std::uint8_t> tree_coverage(const formats::mesh_layer& tree, const formats::texture_set& textures,
                                        const ortho_view& view, const std::string& cards_png = {});
std::vector<std::uint8_t> cards_coverage(const formats::impostor& imp, const ortho_view& view, int only = -1);

}  // namespace sf::app
