// Start points: one branch tip per branch, scattered over the crown polygons
// and kept apart by a spacing test whose radius shrinks with every try.
#include <algorithm>
#include <cmath>
#include <vector>

#include "core/crmath.h"
#include "core/growth.h"

namespace sf {

double polygon_area(const face6_typ& poly) {
    double area = 0.0;
    const vec3_typ* p = poly.points;
    for (int k = 2; k < poly.point_count; ++k) {
        const double a = (p[0] - p[k - 1]).length();
        const double b = (p[k - 1] - p[k]).length();
        const double c = (p[k] - p[0]).length();
        const double s = (a + b + c) / 2;
        double prod = s * (s - a) * (s - b) * (s - c);
        // A flat triangle can round below zero; its area is 0, not NaN.
        if (!(prod >= 0.0)) prod = 0.0;
        area += std::sqrt(prod);
    }
    return area;
}

namespace {

// z where the edge a-b meets the line at local x. An edge running along z
// exactly at x gives no single crossing; its start stands for it.
double edge_z(const vec3_typ& a, const vec3_typ& b, double x) {
    if (a.x == b.x) return a.z;
    return (x - a.x) / (a.x - b.x) * (a.z - b.z) + a.z;
}

}  // namespace

vec3_typ random::random_point(const face6_typ& poly) {
    const int count = poly.point_count;
    const vec3_typ* src = poly.points;

    frame_typ frame;
    frame.axis_y = poly.normal.normalized();
    frame.axis_x = src[1] - src[0];
    frame.axis_z = frame.axis_x.cross(frame.axis_y);
    frame.compute_angles();

    std::vector<vec3_typ> pts(src, src + count);
    const vec3_typ origin = src[0];
    frame.to_local(pts.data(), count, origin);

    double xmin = pts[0].x, xmax = pts[0].x;
    for (int i = 1; i < count; ++i) {
        if (pts[i].x < xmin) xmin = pts[i].x;
        if (pts[i].x > xmax) xmax = pts[i].x;
    }
    const double x = uniform(xmin, xmax);

    double zs[2];
    int found = 0;
    for (int k = 1; k < count && found < 2; ++k) {
        const vec3_typ& a = pts[k - 1];
        const vec3_typ& b = pts[k];
        if ((a.x <= x && x <= b.x) || (b.x <= x && x <= a.x)) zs[found++] = edge_z(a, b, x);
    }
    if (found < 2) {
        // The closing edge supplies what is missing, untested.
        const double z = edge_z(pts[count - 1], pts[0], x);
        if (found == 0) zs[0] = z;
        zs[1] = z;
    }
    double z0 = zs[0], z1 = zs[1];
    if (z1 < z0) std::swap(z0, z1);
    const double z = uniform(z0, z1);

    vec3_typ result(x, 0.0, z);
    frame.to_world(&result, 1, origin);
    return result;
}

namespace {

// Start nodes made so far, ascending by x; equal x keeps insertion order.
class spacing_index {
public:
    void insert(const vec3_typ& p) {
        auto at = std::upper_bound(nodes_.begin(), nodes_.end(), p.x,
                                   [](double x, const vec3_typ& n) { return x < n.x; });
        nodes_.insert(at, p);
    }

    bool accepts(const vec3_typ& p, double r, const settings_typ& s, random& rng) const {
        if (s.variable_spacing != 0 && rng.uniform_int(1, 100) == 1) return false;
        const double hi = p.x + r, lo = p.x - r;
        for (const vec3_typ& n : nodes_) {
            if (n.x > hi) return true;
            if (n.x > lo && n.distance(p) < r) return false;
        }
        return true;
    }

private:
    std::vector<vec3_typ> nodes_;
};

}  // namespace

void distribute_start_points(galaz_typ* table, std::int32_t count, const face6_typ* polys,
                             std::int32_t poly_count, const settings_typ& r, random& rng) {
    if (count < 1 || poly_count < 1) return;

    double area = 0.0;
    for (int i = 0; i < poly_count; ++i) area += polygon_area(polys[i]);
    const double r0 = std::sqrt(area / count) * r.distribution_power;

    const double q = 1 + r.bias / r.segments;
    // q = 1 (a bias of 0) is the limit of the series: G = segments.
    const double g = (q == 1.0) ? static_cast<double>(r.segments)
                                : (1 - sf::crm::pow(q, r.segments)) / (1 - q);
    const double h_top = r.bg_top;
    const double two_segments = static_cast<double>(2 * static_cast<std::int64_t>(r.segments));

    spacing_index index;
    for (std::int32_t i = 0; i < count; ++i) {
        std::int32_t k = 0;
        vec3_typ p;
        for (std::int64_t t = 0;;) {
            k = rng.uniform_int(0, poly_count - 1);
            p = rng.random_point(polys[k]);
            ++t;
            if (t > r.iterations) break;
            const double radius = r0 / (static_cast<double>(t) / r.iterations + 1.0);
            if (index.accepts(p, radius, r, rng)) break;
        }

        const vec3_typ n = polys[k].normal;
        const double j = rng.uniform(-r.branch_tip_jitter, +r.branch_tip_jitter);
        p = p + n * j;

        wezel_typ* node = new wezel_typ;
        node->pos = p;
        node->dir = -n;
        node->thickness = r.branch_thickness;
        node->level = 0;
        index.insert(p);

        galaz_typ& b = table[i];
        b.head = b.tail = node;
        b.thickness = r.branch_thickness;
        b.normal = n;

        if (p.y > h_top * r.tree_center) {
            b.above_center = 1;
        } else {
            b.above_center = 0;
            b.direction = vec3_typ(0, r.branch_bend_end, 0).normalized();
        }

        const double h = std::sqrt(p.x * p.x + p.z * p.z);
        double e;
        if (b.above_center == 1) {
            e = p.y - h_top * (r.tree_center / 2);
        } else {
            const double bb = std::fabs(r.branch_bend_end);
            e = bb * sf::crm::cos(20 * bb / 3.1415926535898) * h / 2;
        }
        const double len = std::sqrt(e * e + h * h);
        b.segment_length = len / g * 0.7;
        const double floor_len = 0.2 * h_top / two_segments;
        if (floor_len > b.segment_length) b.segment_length = floor_len;
    }
}

}  // namespace sf
