// The images that dress a tree in mesh files: bark and a leaf atlas, drawn
// from a fixed seed when the program is built and compiled into it (so a
// run costs nothing and writes the same bytes every time), or the user's
// own PNG files.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "formats/materials.h"

namespace sf::app {

struct rgba_image {
    int width = 0, height = 0;
    std::vector<unsigned char> pixels;  // RGBA, row by row from the top
};

// The seed of the images compiled in.
constexpr std::uint32_t k_texture_seed = 0x5f1a7a3u;

// An image as the PNG bytes written for it: 8-bit RGBA, or RGB without
// alpha, compressed hard (it is done once, at build time).
std::string encode_texture_png(const rgba_image& image, bool alpha);

// The bark (colour, normal map, occlusion/roughness) is drawn by
// draw_bark_set (app/bark_draw.h).

// A 3 x 3 atlas of leaves for the "SF_all_leaves" coordinates. Tile (a, b)
// covers u in [a/3, (a+1)/3] and v in [b/3, (b+1)/3] (v up, the image's
// bottom row at v = 0); in it the leaf's base is at the bottom, its tip at
// the top and its midrib at the middle, as the leaf's own (u, v) run. The
// columns differ in outline, the rows in hue (warmer upwards), and every
// leaf in brightness, patches, midrib, veins and margin; alpha is 0 outside
// the leaf, where the colour is that of the nearest leaf pixel (so that
// filtering never darkens the outline).
constexpr int k_atlas_size = 512;  // a power of two, as mipmapping wants
rgba_image draw_leaf_atlas(std::uint32_t seed);

// The atlas' tangent-space normal map (x right, y up the image, z out of
// the leaf; OpenGL's convention, as glTF and Blender read it): the midrib
// and veins in relief on a slightly cushioned blade, flat off the leaves.
rgba_image draw_leaf_normals(std::uint32_t seed);

// The largest side of a user's image, and of its file.
constexpr int k_max_texture_side = 8192;
constexpr std::uintmax_t k_max_texture_bytes = std::uintmax_t(64) << 20;

// Where the images come from.
struct texture_request {
    bool none = false;                       // --no-textures
    std::optional<std::string> bark_file;    // --bark-texture
    std::optional<std::string> leaf_file;    // --leaf-atlas
};

// The drawn images as compiled in: encode_bark_png of draw_bark_set, and
// encode_texture_png of draw_leaf_atlas and draw_leaf_normals, with
// k_texture_seed.
const formats::texture_set& default_textures();

// The images for a request: the user's files read and checked (throws
// input_error with one line naming the option and file), the drawn
// ones for the rest; empty images with none. The leaf normal map belongs to
// the drawn atlas: a user's atlas goes without one.
formats::texture_set load_textures(const texture_request& request);

}  // namespace sf::app
