#include "app/default_crown.h"

#include <cmath>
#include <numbers>

namespace sf::app {

using formats::index_t;
using formats::k_none;

void make_default_crown(formats::mesh_layer& layer) {
    constexpr double centre_y = 3.75;
    constexpr double radius_y = 2.25;   // bottom at 1.5, top at 6
    constexpr double radius_xz = 2.0;
    constexpr int rings = k_crown_stacks - 1;
    constexpr double pi = std::numbers::pi;

    layer.clear();
    const index_t top = layer.add_point(0.0, centre_y + radius_y, 0.0);
    for (int r = 1; r <= rings; ++r) {
        const double theta = pi * r / k_crown_stacks;  // from the top pole
        const double y = centre_y + radius_y * std::cos(theta);
        const double ring = radius_xz * std::sin(theta);
        for (int j = 0; j < k_crown_slices; ++j) {
            const double phi = 2.0 * pi * j / k_crown_slices;
            layer.add_point(ring * std::cos(phi), y, ring * std::sin(phi));
        }
    }
    const index_t bottom = layer.add_point(0.0, centre_y - radius_y, 0.0);

    auto at = [](int ring, int j) {
        return static_cast<index_t>(1 + ring * k_crown_slices + (j % k_crown_slices));
    };
    // Winding runs so that each Newell normal points away from the centre.
    for (int j = 0; j < k_crown_slices; ++j) {
        const index_t f[3] = {top, at(0, j + 1), at(0, j)};
        layer.add_polygon(LWPOLTYPE_FACE, k_none, f);
    }
    for (int r = 0; r + 1 < rings; ++r) {
        for (int j = 0; j < k_crown_slices; ++j) {
            const index_t f[4] = {at(r, j), at(r, j + 1), at(r + 1, j + 1), at(r + 1, j)};
            layer.add_polygon(LWPOLTYPE_FACE, k_none, f);
        }
    }
    for (int j = 0; j < k_crown_slices; ++j) {
        const index_t f[3] = {at(rings - 1, j), at(rings - 1, j + 1), bottom};
        layer.add_polygon(LWPOLTYPE_FACE, k_none, f);
    }
}

}  // namespace sf::app
