// A billboard impostor of a whole tree, the last level of detail of a .glb:
// views from around the tree and from above in one colour atlas (alpha
// cuts the tree out) and one normal atlas, shown by crossed cards that any
// glTF viewer draws, with the atlas' layout in the node's extras for an
// engine's camera-facing shader. The views are drawn by the host
// (app/impostor_bake.h); this part places them and writes them.
#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <vector>

namespace sf::formats {

constexpr int k_impostor_sides = 8;  // side views, 45° apart

// A cell of the atlas in glTF's texture coordinates: u to the right, v down
// from the image's top edge.
struct impostor_cell {
    double u0 = 0, v0 = 0, u1 = 0, v1 = 0;
};

// Side view k looks from azimuth 360° k / k_impostor_sides about +Y: its
// camera lies towards (sin a, 0, cos a) from the pivot, its image has
// (cos a, 0, -sin a) to the right and +Y up, and it covers `half_width`
// either side of the axis and `bottom` to `top` in height. The top view
// looks down from +Y with +X to the right and -Z up its image, over
// half_width either side of the axis in x and z. Normals are stored per
// view as (x right, y up, z towards its camera) * 0.5 + 0.5 in RGB: the
// tangent-space normals of a card facing that view.
struct impostor {
    double pivot[3] = {0, 0, 0};  // on the trunk's axis, at the height of the tree's lowest point
    double half_width = 1;        // the side views' and the top view's half extent, margin included
    double bottom = 0, top = 1;   // the side views' extent in y, margin included
    double lo[3] = {0, 0, 0}, hi[3] = {0, 0, 0};  // the tree's bounds
    int width = 0, height = 0;    // of both atlases, pixels
    std::vector<impostor_cell> cells;  // k_impostor_sides side views, then the top view
    std::string colour_png;            // RGBA, sRGB colour, alpha the coverage
    std::string normal_png;            // RGB
};

// Azimuth of side view k, radians.
double impostor_azimuth(int k);
// Its sine and cosine, exact to the last bit on every machine (multiples of
// 45°: 0, ±1 or ±sqrt(1/2)) rather than from the C library.
void impostor_direction(int k, double& sin_a, double& cos_a);

struct impostor_vertex {
    float pos[3], normal[3], tangent[4], uv[2];
};
using impostor_card = std::array<impostor_vertex, 4>;  // counter-clockwise seen from its front

// The crossed cards: per side view a vertical quad through the axis facing
// that view's camera, showing its cell (one-sided: opposite views' cards lie
// back to back, each a hair towards its own camera). The top view has no
// card: a horizontal one would cut the crown in two and shade its lower
// half; it is there for a shader that picks views.
std::vector<impostor_card> impostor_cards(const impostor& imp);

// Adds the impostor as the last level to a .glb that holds the levels of
// detail (formats/lod.h merge_glb_levels): node "NAME_impostor" with the
// cards' mesh, its material "NAME_impostor" (alphaMode MASK, not
// double-sided) and images "NAME_impostor_color" and "NAME_impostor_normal";
// the node's extras.impostor give the layout. The root lists it last in
// MSFT_lod, with `coverage` (one per level and the impostor) as its
// extras.MSFT_screencoverage.
std::string add_impostor_level(const std::string& glb, const impostor& imp, const std::string& name,
                               const std::vector<double>& coverage);

// Triangles of the cards.
std::size_t impostor_triangles();

}  // namespace sf::formats
