// Small crowns for growth tests, captured straight into the background table.
#pragma once

#include <cmath>
#include <vector>

#include "core/background.h"

namespace sf::test {

struct poly {
    std::vector<vec3_typ> pts;
};

// Ellipsoid of quads around (0, cy, 0), normals outward.
inline std::vector<poly> ellipsoid(double rx, double ry, double cy, int slices, int stacks) {
    std::vector<poly> out;
    auto at = [&](int i, int j) {
        const double th = 3.141592653589793 * j / stacks, ph = 6.283185307179586 * i / slices;
        return vec3_typ(rx * std::sin(th) * std::cos(ph), cy - ry * std::cos(th),
                        rx * std::sin(th) * std::sin(ph));
    };
    for (int j = 0; j < stacks; ++j)
        for (int i = 0; i < slices; ++i)
            out.push_back({{at(i, j), at(i, j + 1), at(i + 1, j + 1), at(i + 1, j)}});
    return out;
}

// Axis-aligned box from lo to hi.
inline std::vector<poly> box(vec3_typ lo, vec3_typ hi) {
    auto c = [&](int i) {
        return vec3_typ(i & 1 ? hi.x : lo.x, i & 2 ? hi.y : lo.y, i & 4 ? hi.z : lo.z);
    };
    const int faces[6][4] = {{0, 2, 3, 1}, {4, 5, 7, 6}, {0, 1, 5, 4},
                             {2, 6, 7, 3}, {0, 4, 6, 2}, {1, 3, 7, 5}};
    std::vector<poly> out;
    for (auto& f : faces) out.push_back({{c(f[0]), c(f[1]), c(f[2]), c(f[3])}});
    return out;
}

// Newell normal, as the host computes it.
inline vec3_typ newell(const std::vector<vec3_typ>& p) {
    vec3_typ n;
    for (std::size_t i = 0; i < p.size(); ++i) {
        const vec3_typ& a = p[i];
        const vec3_typ& b = p[(i + 1) % p.size()];
        n.x += (a.y - b.y) * (a.z + b.z);
        n.y += (a.z - b.z) * (a.x + b.x);
        n.z += (a.x - b.x) * (a.y + b.y);
    }
    return n.normalized();
}

// Replaces the captured background table by these polygons.
inline void capture(const std::vector<poly>& polys) {
    release_background();
    bg_polygon_table = new face6_typ[polys.size()];
    bg_polygon_table_size = static_cast<std::int32_t>(polys.size());
    for (std::size_t i = 0; i < polys.size(); ++i) {
        face6_typ& f = bg_polygon_table[i];
        f.point_count = static_cast<std::int32_t>(polys[i].pts.size());
        f.points = new vec3_typ[polys[i].pts.size()];
        for (std::size_t k = 0; k < polys[i].pts.size(); ++k) f.points[k] = polys[i].pts[k];
        f.normal = newell(polys[i].pts);
    }
}

}  // namespace sf::test
