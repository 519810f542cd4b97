// A colour per leaf that viewers multiply into the leaf material, so that
// neighbouring leaves differ a little in brightness and hue.
#pragma once

#include <cmath>
#include <cstdint>
#include <vector>

#include "formats/mesh_layer.h"

namespace sf::formats {

// Bounds of every tint channel: a tint only darkens, by a few percent.
inline constexpr float k_min_leaf_tint = 0.8f;

// Per point of the layer, three values (linear RGB, in [k_min_leaf_tint,
// 1]): the same on every point of a leaf (the polygons of surface "LG_leaf"
// that follow each other sharing points), 1 on every other point. A leaf's
// tint comes from smooth noise at its centre (a fine one, so that
// neighbours differ, and a coarse one, for patches) and from the range
// weight at its base (leaves towards the branches' ends lighter). Levels of
// detail grow kept leaves about their base, which moves the centre, so a
// leaf's tint may differ between levels. Empty when the layer has no leaves.
std::vector<float> leaf_tints(const mesh_layer& layer);

// A tint channel as a normalised byte.
inline std::uint8_t tint_byte(float v) {
    return std::uint8_t(std::lround((v < 0.0f ? 0.0f : v > 1.0f ? 1.0f : v) * 255.0f));
}

// The same tints as bytes (tint_byte), 3 per point: a quarter of the memory.
std::vector<std::uint8_t> leaf_tint_bytes(const mesh_layer& layer);

}  // namespace sf::formats
