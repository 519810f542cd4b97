#include "formats/wind.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <unordered_map>
#include <vector>

#include "formats/materials.h"
#include "host/tool_names.h"

namespace sf::formats {

namespace {

struct vec {
    double x = 0, y = 0, z = 0;
};
vec operator+(vec a, vec b) { return {a.x + b.x, a.y + b.y, a.z + b.z}; }
vec operator-(vec a, vec b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
vec operator*(vec a, double s) { return {a.x * s, a.y * s, a.z * s}; }
double length_of(vec a) { return std::sqrt(a.x * a.x + a.y * a.y + a.z * a.z); }
vec unit_or(vec a, vec fallback) {
    const double l = length_of(a);
    return l > 1e-12 && std::isfinite(l) ? a * (1.0 / l) : fallback;
}
vec at(const mesh_layer& layer, index_t p) {
    const double* x = layer.point(p);
    return {x[0], x[1], x[2]};
}

index_t find_root(std::vector<index_t>& up, index_t a) {
    while (up[a] != a) a = up[a] = up[up[a]];
    return a;
}

enum class kind : std::uint8_t { none, tube, leaf };

struct branch {
    wind_level level = wind_level::branch;
    bool trunk = false, twig = false;
    index_t first = k_none;  // lowest point index
    std::vector<index_t> exit, start;  // a side tube's points on the parent, and its first ring (a leaf's points)
    vec pivot, dir{0, 1, 0};
    double length = 0;
    float values[4][2] = {};
};

// A phase in (0, 1) from a point number, in the middle of a 1/65536 step,
// so that level + phase stays strictly between two levels in a float even
// after refinement has rounded it.
float phase_of(index_t p) {
    std::uint64_t h = std::uint64_t(p) + 0x9E3779B97F4A7C15ull;
    h = (h ^ (h >> 30)) * 0xBF58476D1CE4E5B9ull;
    h = (h ^ (h >> 27)) * 0x94D049BB133111EBull;
    h ^= h >> 31;
    return (float(h >> 48) + 0.5f) / 65536.0f;
}

vec centroid(const mesh_layer& layer, const std::vector<index_t>& pts) {
    vec c;
    for (index_t p : pts) c = c + at(layer, p);
    return pts.empty() ? c : c * (1.0 / double(pts.size()));
}

void unique(std::vector<index_t>& v) {
    std::sort(v.begin(), v.end());
    v.erase(std::unique(v.begin(), v.end()), v.end());
}

}  // namespace

void add_wind_maps(mesh_layer& layer) {
    const index_t polygons = layer.polygon_count(), points = layer.point_count();
    const index_t bark_uv = layer.find_map(LWVMAP_TXUV, k_map_branch_uv);
    const index_t leaf_uv = layer.find_map(LWVMAP_TXUV, k_map_leaf_uv);

    std::vector<kind> kind_of(polygons, kind::none);
    for (index_t p = 0; p < polygons; ++p) {
        const index_t s = layer.polygon_surface(p);
        if (layer.polygon_points(p).size() < 3 || s == k_none || s >= layer.strings().size()) continue;
        const surface_look look = look_of(layer.strings().view(s));
        kind_of[p] = look == surface_look::leaf ? kind::leaf : look == surface_look::other ? kind::none : kind::tube;
    }

    // Side tubes: four-point tube polygons with per-polygon bark coordinates
    // on corners 0 and 1.
    std::vector<std::uint8_t> corner_bits(polygons, 0);
    if (bark_uv != k_none)
        for (const value_record& r : layer.polygon_point_values()) {
            if (r.map != bark_uv || r.polygon >= polygons) continue;
            const std::span<const index_t> pts = layer.polygon_points(r.polygon);
            for (std::size_t c = 0; c < pts.size() && c < 2; ++c)
                if (pts[c] == r.point) corner_bits[r.polygon] |= std::uint8_t(1u << c);
        }
    auto side_tube = [&](index_t p) {
        return kind_of[p] == kind::tube && corner_bits[p] == 3 && layer.polygon_points(p).size() == 4;
    };

    // Polygons joined by shared edges, but never across a side tube's edge
    // on its parent.
    std::vector<index_t> up(polygons);
    for (index_t p = 0; p < polygons; ++p) up[p] = p;
    {
        std::unordered_map<std::uint64_t, index_t> edge_owner;
        for (index_t p = 0; p < polygons; ++p) {
            if (kind_of[p] == kind::none) continue;
            const std::span<const index_t> pts = layer.polygon_points(p);
            for (std::size_t i = 0; i < pts.size(); ++i) {
                if (i == 0 && side_tube(p)) continue;
                const index_t a = pts[i], b = pts[i + 1 == pts.size() ? 0 : i + 1];
                if (a == b) continue;
                const std::uint64_t key = std::uint64_t(std::min(a, b)) << 32 | std::max(a, b);
                const auto [it, added] = edge_owner.emplace(key, p);
                if (!added && kind_of[it->second] == kind_of[p])
                    up[find_root(up, p)] = find_root(up, it->second);
            }
        }
    }

    std::vector<index_t> branch_of(polygons, k_none);
    std::vector<branch> branches;
    {
        std::vector<index_t> number(polygons, k_none);
        for (index_t p = 0; p < polygons; ++p) {
            if (kind_of[p] == kind::none) continue;
            const index_t r = find_root(up, p);
            if (number[r] == k_none) {
                number[r] = index_t(branches.size());
                branches.emplace_back().level = kind_of[p] == kind::leaf ? wind_level::leaf : wind_level::branch;
            }
            branch_of[p] = number[r];
        }
    }
    const index_t trunk_s = layer.strings().find(k_surface_trunk), root_s = layer.strings().find(k_surface_root);
    const index_t twig_s = layer.strings().find(k_surface_twig);
    std::vector<index_t> owner(points, k_none);  // the branch of a point's first polygon
    for (index_t p = 0; p < polygons; ++p) {
        if (branch_of[p] == k_none) continue;
        branch& b = branches[branch_of[p]];
        const std::span<const index_t> pts = layer.polygon_points(p);
        for (index_t q : pts) {
            b.first = std::min(b.first, q);
            if (owner[q] == k_none) owner[q] = branch_of[p];
        }
        if (kind_of[p] == kind::leaf) {
            b.start.insert(b.start.end(), pts.begin(), pts.end());
            continue;
        }
        if (side_tube(p)) {  // its surface is the parent's
            b.exit.insert(b.exit.end(), {pts[0], pts[1]});
            b.start.insert(b.start.end(), {pts[2], pts[3]});
            continue;
        }
        const index_t s = layer.polygon_surface(p);
        b.trunk |= s == trunk_s || s == root_s;
        b.twig |= s == twig_s;
    }

    // Pivot and direction.
    for (branch& b : branches) {
        if (b.level == wind_level::leaf) {
            unique(b.start);  // the leaf's points
            float lo = INFINITY, hi = -INFINITY;
            for (index_t q : b.start)
                if (const float* v = leaf_uv == k_none ? nullptr : layer.point_value(leaf_uv, q)) {
                    lo = std::min(lo, v[1]);
                    hi = std::max(hi, v[1]);
                }
            // The base's middle: of the points at v = 0, those nearest u = 0.5.
            float mid = INFINITY;
            for (index_t q : b.start)
                if (const float* v = leaf_uv == k_none ? nullptr : layer.point_value(leaf_uv, q))
                    if (v[1] == lo) mid = std::min(mid, std::fabs(v[0] - 0.5f));
            std::vector<index_t> base, tip;
            for (index_t q : b.start)
                if (const float* v = leaf_uv == k_none ? nullptr : layer.point_value(leaf_uv, q)) {
                    if (v[1] == lo && std::fabs(v[0] - 0.5f) == mid) base.push_back(q);
                    if (v[1] == hi) tip.push_back(q);
                }
            if (base.empty()) base.push_back(b.first);
            b.pivot = centroid(layer, base);
            b.dir = tip.empty() ? b.dir : unit_or(centroid(layer, tip) - b.pivot, b.dir);
            b.start.clear();
            continue;
        }
        b.level = b.trunk ? wind_level::trunk : b.twig ? wind_level::twig : wind_level::branch;
        unique(b.exit);
        unique(b.start);
        if (!b.start.empty()) {
            // A fork writes its two rings and the side tube's first ring as
            // twelve points in a row, the side ring's corners third in
            // each group of three: the other eight are the box.
            const vec exit = centroid(layer, b.exit), start = centroid(layer, b.start);
            std::vector<index_t> box;
            if (b.start.size() == 4 && b.start[0] >= 2 && b.start[3] - b.start[0] == 9)
                for (index_t q = b.start[0] - 2; q <= b.start[3]; ++q)
                    if (!std::binary_search(b.start.begin(), b.start.end(), q)) box.push_back(q);
            const bool whole = box.size() == 8 && std::includes(box.begin(), box.end(), b.exit.begin(), b.exit.end());
            b.pivot = whole ? centroid(layer, box) : exit;
            b.dir = unit_or(start - exit, b.dir);
        } else {
            // A trunk starts with its base ring.
            std::vector<index_t> ring;
            for (index_t q = b.first; q < points && q < b.first + 4; ++q)
                if (owner[q] == index_t(&b - branches.data())) ring.push_back(q);
            b.pivot = centroid(layer, ring);
        }
    }
    // Lengths, and a trunk's direction: towards the middle of its points.
    {
        std::vector<vec> sum(branches.size());
        std::vector<std::size_t> count(branches.size(), 0);
        for (index_t q = 0; q < points; ++q) {
            if (owner[q] == k_none) continue;
            branch& b = branches[owner[q]];
            const vec x = at(layer, q);
            b.length = std::max(b.length, length_of(x - b.pivot));
            sum[owner[q]] = sum[owner[q]] + x;
            ++count[owner[q]];
        }
        for (std::size_t i = 0; i < branches.size(); ++i)
            if (branches[i].level == wind_level::trunk && branches[i].start.empty() && count[i])
                branches[i].dir = unit_or(sum[i] * (1.0 / double(count[i])) - branches[i].pivot, {0, 1, 0});
    }

    index_t maps[4];
    for (int k = 0; k < 4; ++k) maps[k] = layer.find_or_add_map(LWVMAP_TXUV, k_wind_maps[k], 2);
    for (branch& b : branches) {
        const float v[4][2] = {{float(b.pivot.x), float(b.pivot.y)},
                               {float(b.pivot.z), float(b.length)},
                               {float(b.dir.x), float(b.dir.y)},
                               {float(b.dir.z), float(int(b.level)) + phase_of(b.first)}};
        std::copy(&v[0][0], &v[0][0] + 8, &b.values[0][0]);
    }
    for (index_t q = 0; q < points; ++q)
        if (owner[q] != k_none)
            for (int k = 0; k < 4; ++k) layer.add_value(q, k_none, maps[k], branches[owner[q]].values[k]);
    for (index_t p = 0; p < polygons; ++p) {
        if (branch_of[p] == k_none) continue;
        for (index_t q : layer.polygon_points(p))
            if (owner[q] != branch_of[p])
                for (int k = 0; k < 4; ++k) layer.add_value(q, p, maps[k], branches[branch_of[p]].values[k]);
    }
}

}  // namespace sf::formats
