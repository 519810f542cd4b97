#include "formats/bark_uv.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "formats/materials.h"

namespace sf::formats {

namespace {

double distance(const double* a, const double* b) {
    const double x = a[0] - b[0], y = a[1] - b[1], z = a[2] - b[2];
    return std::sqrt(x * x + y * y + z * z);
}

double median(std::vector<double>& v) {
    if (v.empty()) return 0.0;
    const auto mid = v.begin() + std::ptrdiff_t(v.size() / 2);
    std::nth_element(v.begin(), mid, v.end());
    return *mid;
}

// Point flags: used by a tube polygon, by a root polygon.
constexpr std::uint8_t k_in_tube = 1, k_in_root = 2;

}  // namespace

void add_bark_uv(mesh_layer& layer) {
    const index_t branch = layer.find_map(LWVMAP_TXUV, k_map_branch_uv);
    if (branch == k_none || layer.maps()[branch].dim < 2) return;
    const index_t points = layer.point_count(), polygons = layer.polygon_count();

    // Which surfaces are tubes, and which of them roots.
    const string_pool& strings = layer.strings();
    std::vector<std::uint8_t> kind(strings.size(), 0);
    for (index_t s = 0; s < strings.size(); ++s) {
        const surface_look look = look_of(strings.view(s));
        if (look == surface_look::bark || look == surface_look::twig)
            kind[s] = strings.view(s) == k_surface_root ? k_in_root : k_in_tube;
    }
    auto kind_of = [&](index_t p) -> std::uint8_t {
        const index_t s = layer.polygon_surface(p);
        return s < kind.size() && layer.polygon_points(p).size() >= 3 ? kind[s] : 0;
    };

    // Girth from the edges to ring neighbours (equal v), scale from the
    // edges along the tubes (equal u). Shared edges count twice, alike.
    std::vector<double> girth(points, 0.0);
    std::vector<std::uint32_t> girth_edges(points, 0);
    std::vector<std::uint8_t> used(points, 0);
    std::vector<double> along[2];  // tubes, roots
    for (index_t p = 0; p < polygons; ++p) {
        const std::uint8_t k = kind_of(p);
        if (!k) continue;
        const std::span<const index_t> pts = layer.polygon_points(p);
        for (std::size_t c = 0; c < pts.size(); ++c) {
            const index_t a = pts[c], b = pts[c + 1 == pts.size() ? 0 : c + 1];
            if (a >= points || b >= points) continue;
            used[a] |= k;
            const float* ta = layer.point_value(branch, a);
            const float* tb = layer.point_value(branch, b);
            if (!ta || !tb || a == b) continue;
            double du = std::fabs(double(ta[0]) - double(tb[0]));
            du = std::min(du, std::fabs(1.0 - du));  // across the seam
            const double dv = std::fabs(double(ta[1]) - double(tb[1]));
            const double len = distance(layer.point(a), layer.point(b));
            if (dv == 0.0 && du > 1e-6) {
                for (const index_t q : {a, b}) {
                    girth[q] += len / du;
                    ++girth_edges[q];
                }
            } else if (du == 0.0 && dv > 1e-9) {
                along[k == k_in_root].push_back(len / dv);
            }
        }
    }
    for (index_t q = 0; q < points; ++q)
        if (girth_edges[q]) girth[q] /= girth_edges[q];
    // A point without ring neighbours takes the largest girth of its
    // polygons (its own girth is still 0, and only points with ring
    // neighbours are read).
    for (index_t p = 0; p < polygons; ++p) {
        if (!kind_of(p)) continue;
        double g = 0.0;
        for (const index_t q : layer.polygon_points(p))
            if (q < points && girth_edges[q]) g = std::max(g, girth[q]);
        for (const index_t q : layer.polygon_points(p))
            if (q < points && !girth_edges[q]) girth[q] = std::max(girth[q], g);
    }

    double scale[2] = {median(along[0]), median(along[1])};
    // The scratch goes before the map's values take room.
    along[0] = {};
    along[1] = {};
    girth_edges = {};
    if (scale[0] == 0.0) scale[0] = scale[1];
    if (scale[1] == 0.0) scale[1] = scale[0];

    const index_t bark = layer.find_or_add_map(LWVMAP_TXUV, k_map_bark_uv, 2);
    if (bark == k_none) return;
    auto world = [&](index_t q, const float* uv, float (&out)[2]) {
        const double s = scale[used[q] == k_in_root];  // a point roots share with the trunk counts as trunk
        out[0] = static_cast<float>(uv[0] * girth[q] / k_bark_tile_metres);
        out[1] = static_cast<float>(uv[1] * s / k_bark_tile_metres);
    };
    float value[2];
    for (index_t q = 0; q < points; ++q) {
        const float* uv = used[q] ? layer.point_value(branch, q) : nullptr;
        if (!uv) continue;
        world(q, uv, value);
        layer.add_value(q, k_none, bark, value);
    }
    // Per-polygon values (seams): the records are read before any is added.
    std::vector<value_record> seams;
    for (const value_record& r : layer.polygon_point_values())
        if (r.map == branch && r.point < points && r.polygon < polygons && kind_of(r.polygon)) seams.push_back(r);
    for (const value_record& r : seams) {
        world(r.point, r.v, value);
        layer.add_value(r.point, r.polygon, bark, value);
    }
}

bool has_bark_uv(const mesh_layer& layer) {
    const index_t m = layer.find_map(LWVMAP_TXUV, k_map_bark_uv);
    return m != k_none && layer.maps()[m].dim >= 2;
}

mesh_layer with_bark_uv(const mesh_layer& in) {
    mesh_layer out;
    out.keep_history(false);
    for (index_t s = 0; s < in.strings().size(); ++s) out.strings().intern(in.strings().view(s));
    for (const vmap_desc& m : in.maps()) out.find_or_add_map(m.type, in.strings().view(m.name), m.dim);
    for (index_t pt = 0; pt < in.point_count(); ++pt) {
        const double* p = in.point(pt);
        out.add_point(p[0], p[1], p[2]);
    }
    for (index_t p = 0; p < in.polygon_count(); ++p)
        out.add_polygon(in.polygon_type(p), in.polygon_surface(p), in.polygon_points(p));
    for (const tag_record& t : in.tags()) out.add_tag(t.polygon, t.type, t.text);
    for (index_t m = 0; m < in.maps().size(); ++m) {
        if (!in.has_point_values(m)) continue;
        for (index_t pt = 0; pt < in.point_count(); ++pt)
            if (const float* v = in.point_value(m, pt)) out.add_value(pt, k_none, m, v);
    }
    for (const value_record& r : in.polygon_point_values()) out.add_value(r.point, r.polygon, r.map, r.v);
    add_bark_uv(out);
    return out;
}

}  // namespace sf::formats
