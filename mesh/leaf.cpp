// Leaf shapes: five small fixed meshes in leaf coordinates.
#include "mesh/leaf.h"

#include <initializer_list>

namespace sf {

namespace {

// Room for the largest shape; a record keeps it between builds.
constexpr int k_max_points = 6;
constexpr int k_max_corners = 12;

}  // namespace

leaf_typ::~leaf_typ() {
    delete[] points;
    delete[] corners;
}

// Stays whole: one case per shape, each a small table of points and corners.
void leaf_typ::build(int shape, double l, double w) {
    if (shape < 0 || shape > 4) {
        delete[] points;
        delete[] corners;
        points = nullptr;
        corners = nullptr;
        point_count = 0;
        polygon_count = 0;
        return;
    }
    if (!points) points = new vec3_typ[k_max_points];
    if (!corners) corners = new std::int32_t[k_max_corners];

    auto point = [&](int j, double x, double y, double z, float u, float v) {
        points[j] = vec3_typ(x, y, z);
        uv[j][0] = u;
        uv[j][1] = v;
    };
    auto polygons = [&](std::initializer_list<std::int32_t> ids) {
        int j = 0;
        for (std::int32_t id : ids) corners[j++] = id;
    };

    switch (shape) {
        case 0:  // one poly
            point(0, -w / 2, 0, 0, 0.0f, 0.0f);
            point(1, -w / 2, 0, l, 0.0f, 1.0f);
            point(2, w / 2, 0, l, 1.0f, 1.0f);
            point(3, w / 2, 0, 0, 1.0f, 0.0f);
            polygons({0, 1, 2, 3});
            point_count = 4;
            polygon_count = 1;
            quads = 1;
            break;
        case 1:  // two polys, folded along the midrib
            point(0, 0, 0, 0, 0.5f, 0.0f);
            point(1, -w / 2, w / 4, 0, 0.0f, 0.0f);
            point(2, -w / 2, w / 4, l, 0.0f, 1.0f);
            point(3, 0, 0, l, 0.5f, 1.0f);
            point(4, w / 2, w / 4, l, 1.0f, 1.0f);
            point(5, w / 2, w / 4, 0, 1.0f, 0.0f);
            polygons({0, 1, 2, 3, 3, 4, 5, 0});
            point_count = 6;
            polygon_count = 2;
            quads = 1;
            break;
        case 2:  // rhombus
            point(0, 0, 0, 0, 0.5f, 0.0f);
            point(1, -w / 2, w / 5, l / 2, 0.0f, 0.5f);
            point(2, 0, 0, l, 0.5f, 1.0f);
            point(3, w / 2, w / 5, l / 2, 1.0f, 0.5f);
            polygons({0, 1, 2, 2, 3, 0});
            point_count = 4;
            polygon_count = 2;
            quads = 0;
            break;
        case 3:  // three polys, blunt tip
            point(0, 0, 0, 0, 0.5f, 0.0f);
            point(1, -w / 2, -w / 4, 2 * l / 3, 0.0f, 0.75f);
            point(2, -w / 4, 0, l, 0.25f, 1.0f);
            point(3, w / 4, 0, l, 0.75f, 1.0f);
            point(4, w / 2, -w / 4, 2 * l / 3, 1.0f, 0.75f);
            polygons({0, 1, 2, 2, 3, 0, 0, 3, 4});
            point_count = 5;
            polygon_count = 3;
            quads = 0;
            break;
        default:  // rhombus2, with a centre point and a lowered tip
            point(0, 0, 0, 0, 0.5f, 0.0f);
            point(1, -w / 2, w / 5, l / 2, 0.0f, 0.5f);
            point(2, 0, -w / 3, l, 0.5f, 1.0f);
            point(3, w / 2, w / 5, l / 2, 1.0f, 0.5f);
            point(4, 0, 0, l / 2, 0.5f, 0.5f);
            polygons({0, 1, 4, 1, 2, 4, 2, 3, 4, 0, 4, 3});
            point_count = 5;
            polygon_count = 4;
            quads = 0;
            break;
    }
}

}  // namespace sf
