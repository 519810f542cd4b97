// The drawn bark as a material set: a height field drawn first, and the
// colour, tangent-space normal and occlusion/roughness images derived from
// it, so all three agree. Every image tiles in both directions.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "app/textures.h"

namespace sf::app {

// The side of the square bark images. One tile covers k_bark_tile_metres
// around a tube and as much along it (formats/bark_uv.h).
constexpr int k_bark_side = 1024;

// Relief from 0 (deepest furrow) to 1 (top of a plate), row by row from the
// image's top; u (around the tube) runs across, v (along it) up.
struct height_field {
    int side = 0;
    std::vector<float> h;
    float at(int x, int y) const {
        x = ((x % side) + side) % side;
        y = ((y % side) + side) % side;
        return h[std::size_t(y) * std::size_t(side) + std::size_t(x)];
    }
};
height_field draw_bark_height(std::uint32_t seed, int side = k_bark_side);

// Depth of the relief at h = 0 below h = 1, in metres: the normal map's slopes.
constexpr double k_bark_relief_metres = 0.012;

struct bark_set {
    rgba_image colour;  // sRGB
    rgba_image normal;  // +X along u, +Y along v (up in the image), +Z out
    rgba_image orm;     // R occlusion, G roughness, B metalness (0)
};
bark_set draw_bark_set(std::uint32_t seed, int side = k_bark_side);

// A bark image as the PNG bytes compiled in: RGB at zlib level 6 (level 9
// takes ten times as long on these noisy images for 8 % fewer bytes).
std::string encode_bark_png(const rgba_image& image);

}  // namespace sf::app
