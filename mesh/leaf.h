// One leaf mesh in leaf coordinates: it starts at the origin and runs along
// +z to its tip; x runs across the blade and y is its normal.
#pragma once

#include <cstdint>

#include "core/vec3.h"

namespace sf {

struct leaf_typ {
    std::int32_t point_count = 0;
    std::int32_t polygon_count = 0;
    float uv[12][2] = {};
    vec3_typ* points = nullptr;        // owned, point_count entries
    std::int32_t* corners = nullptr;   // owned, polygon_count × (4 or 3) entries
    double twist = 0.0;
    std::uint8_t quads = 1;
    double range_position = 0.0;

    leaf_typ() = default;
    leaf_typ(const leaf_typ&) = delete;
    leaf_typ& operator=(const leaf_typ&) = delete;
    virtual ~leaf_typ();

    // Fills the leaf from shape index 0..4 at length l and width w; any other
    // index only frees what the leaf held.
    void build(int shape, double l, double w);
};

}  // namespace sf
