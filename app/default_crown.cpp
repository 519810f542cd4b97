#include "app/default_crown.h"

#include <cmath>
#include <numbers>

#include "core/crmath.h"

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
        const double y = centre_y + radius_y * sf::crm::cos(theta);
        const double ring = radius_xz * sf::crm::sin(theta);
        for (int j = 0; j < k_crown_slices; ++j) {
            const double phi = 2.0 * pi * j / k_crown_slices;
            layer.add_point(ring * sf::crm::cos(phi), y, ring * sf::crm::sin(phi));
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

preset_crown preset_crown_of(const formats::mesh_layer& layer, std::string name) {
    preset_crown c;
    c.name = std::move(name);
    const index_t points = layer.point_count(), polygons = layer.polygon_count();
    // Counted first, so that a huge crown is refused before it is copied.
    std::size_t corners = 0;
    for (index_t p = 0; p < polygons; ++p) corners += layer.polygon_points(p).size();
    if (points > k_crown_points_max || polygons > k_crown_polygons_max || corners > k_crown_corners_max)
        throw preset_error("the crown has " + std::to_string(points) + " points, " + std::to_string(polygons) +
                           " polygons and " + std::to_string(corners) + " corners; a preset keeps crowns of at most " +
                           std::to_string(k_crown_points_max) + ", " + std::to_string(k_crown_polygons_max) + " and " +
                           std::to_string(k_crown_corners_max) + " (give --crown when building instead)");
    const std::span<const double> xyz = layer.point_coordinates();
    c.xyz.assign(xyz.begin(), xyz.end());
    c.counts.reserve(polygons);
    c.corners.reserve(corners);
    for (index_t p = 0; p < polygons; ++p) {
        const std::span<const index_t> pts = layer.polygon_points(p);
        c.counts.push_back(static_cast<std::uint32_t>(pts.size()));
        c.corners.insert(c.corners.end(), pts.begin(), pts.end());
    }
    check_preset_crown(c, "the crown");
    return c;
}

void fill_crown(const preset_crown& crown, formats::mesh_layer& layer) {
    layer.clear();
    for (std::size_t k = 0; k < crown.xyz.size(); k += 3) layer.add_point(crown.xyz[k], crown.xyz[k + 1], crown.xyz[k + 2]);
    std::size_t at = 0;
    for (const std::uint32_t n : crown.counts) {
        layer.add_polygon(LWPOLTYPE_FACE, k_none, std::span<const index_t>(crown.corners.data() + at, n));
        at += n;
    }
}

}  // namespace sf::app
