// Small crowns for growth tests, captured into the background table through
// the stand-in host.
#pragma once

#include <cmath>
#include <vector>

#include "app/standin_host.h"
#include "core/background.h"

namespace sf::test {

using polygons = std::vector<std::vector<vec3_typ>>;

// Ellipsoid of quads around (0, cy, 0), normals outward.
inline polygons ellipsoid(double rx, double ry, double cy, int slices, int stacks) {
    polygons out;
    auto at = [&](int i, int j) {
        const double th = 3.141592653589793 * j / stacks, ph = 6.283185307179586 * i / slices;
        return vec3_typ(rx * std::sin(th) * std::cos(ph), cy - ry * std::cos(th), rx * std::sin(th) * std::sin(ph));
    };
    for (int j = 0; j < stacks; ++j)
        for (int i = 0; i < slices; ++i) out.push_back({at(i, j), at(i, j + 1), at(i + 1, j + 1), at(i + 1, j)});
    return out;
}

// Axis-aligned box from lo to hi.
inline polygons box(vec3_typ lo, vec3_typ hi) {
    auto c = [&](int i) { return vec3_typ(i & 1 ? hi.x : lo.x, i & 2 ? hi.y : lo.y, i & 4 ? hi.z : lo.z); };
    const int faces[6][4] = {{0, 2, 3, 1}, {4, 5, 7, 6}, {0, 1, 5, 4}, {2, 6, 7, 3}, {0, 4, 6, 2}, {1, 3, 7, 5}};
    polygons out;
    for (auto& f : faces) out.push_back({c(f[0]), c(f[1]), c(f[2]), c(f[3])});
    return out;
}

// Adds the polygons to a layer as faces.
inline void add_faces(formats::mesh_layer& l, const polygons& polys) {
    for (const auto& p : polys) {
        std::vector<formats::index_t> ids;
        for (const vec3_typ& v : p) ids.push_back(l.add_point(v.x, v.y, v.z));
        l.add_polygon(LWPOLTYPE_FACE, formats::k_none, ids);
    }
}

// Replaces the captured background table by these polygons.
inline void capture(const polygons& polys) {
    app::standin_host host;
    add_faces(host.background(), polys);
    MeshEditOp op = host.edit_op();
    capture_background(static_cast<std::int32_t>(polys.size()), &op);
}

}  // namespace sf::test
