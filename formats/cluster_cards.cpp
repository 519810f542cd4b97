#include "formats/cluster_cards.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <map>
#include <tuple>
#include <unordered_map>

namespace sf::formats {

namespace {

// Around every cluster, of its largest extent; and the least extent of its
// narrower sides, so that no card is a sliver.
constexpr double k_card_margin = 0.03;
constexpr double k_least_extent = 0.2;
constexpr double k_max_card_growth = 2.0;

std::uint64_t mix(std::uint64_t x) {
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

double dot(const double* a, const double* b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }

void cross(const double* a, const double* b, double* out) {
    out[0] = a[1] * b[2] - a[2] * b[1];
    out[1] = a[2] * b[0] - a[0] * b[2];
    out[2] = a[0] * b[1] - a[1] * b[0];
}

bool normalise(double* v) {
    const double len = std::sqrt(dot(v, v));
    if (!(len > 1e-300)) return false;
    for (int k = 0; k < 3; ++k) v[k] /= len;
    return true;
}

// The direction of greatest spread of a symmetric 3 x 3 matrix, kept
// perpendicular to `away` (when given), by power iteration from `start`.
void spread(const double (&c)[3][3], const double* away, double* v) {
    for (int step = 0; step < 40; ++step) {
        if (away) {
            const double d = dot(v, away);
            for (int k = 0; k < 3; ++k) v[k] -= d * away[k];
        }
        double w[3];
        for (int i = 0; i < 3; ++i) w[i] = c[i][0] * v[0] + c[i][1] * v[1] + c[i][2] * v[2];
        if (!normalise(w)) return;
        for (int k = 0; k < 3; ++k) v[k] = w[k];
    }
    if (away) {
        const double d = dot(v, away);
        for (int k = 0; k < 3; ++k) v[k] -= d * away[k];
        normalise(v);
    }
}

// The frame of the points of some polygons: axis along their greatest
// spread, turned outwards from `middle` (the tree's vertical axis); side
// along the next, turned up; their extent with a margin.
card_frame frame_of(const mesh_layer& layer, const std::vector<index_t>& polygons, const double* middle) {
    std::vector<index_t> pts;
    for (index_t p : polygons)
        for (index_t q : layer.polygon_points(p)) pts.push_back(q);
    std::sort(pts.begin(), pts.end());
    pts.erase(std::unique(pts.begin(), pts.end()), pts.end());
    card_frame f;
    if (pts.empty()) return f;
    for (index_t q : pts)
        for (int k = 0; k < 3; ++k) f.origin[k] += layer.point(q)[k] / double(pts.size());
    double c[3][3] = {};
    for (index_t q : pts) {
        double d[3];
        for (int k = 0; k < 3; ++k) d[k] = layer.point(q)[k] - f.origin[k];
        for (int i = 0; i < 3; ++i)
            for (int j = 0; j < 3; ++j) c[i][j] += d[i] * d[j];
    }
    // Start from the matrix's largest column, then from the axis least like it.
    int big = 0;
    for (int i = 1; i < 3; ++i)
        if (c[i][i] > c[big][big]) big = i;
    double axis[3] = {c[0][big], c[1][big], c[2][big]};
    if (!normalise(axis)) axis[0] = 1, axis[1] = axis[2] = 0;
    spread(c, nullptr, axis);
    const double out[3] = {f.origin[0] - middle[0], 0.0, f.origin[2] - middle[2]};
    if (dot(axis, out) < 0)
        for (double& e : axis) e = -e;
    int least = 0;
    for (int i = 1; i < 3; ++i)
        if (std::fabs(axis[i]) < std::fabs(axis[least])) least = i;
    double side[3] = {0, 0, 0};
    side[least] = 1;
    spread(c, axis, side);
    if (!normalise(side)) {
        side[0] = side[1] = side[2] = 0, side[least] = 1;
        const double d = dot(side, axis);
        for (int k = 0; k < 3; ++k) side[k] -= d * axis[k];
        normalise(side);
    }
    if (side[1] < 0)
        for (double& e : side) e = -e;
    double normal[3];
    cross(axis, side, normal);
    normalise(normal);
    for (int k = 0; k < 3; ++k) f.axis[k] = axis[k], f.side[k] = side[k], f.normal[k] = normal[k];
    const double* dirs[3] = {f.axis, f.side, f.normal};
    for (int a = 0; a < 3; ++a) f.lo[a] = 1e300, f.hi[a] = -1e300;
    for (index_t q : pts) {
        double d[3];
        for (int k = 0; k < 3; ++k) d[k] = layer.point(q)[k] - f.origin[k];
        for (int a = 0; a < 3; ++a) {
            const double t = dot(d, dirs[a]);
            f.lo[a] = std::min(f.lo[a], t), f.hi[a] = std::max(f.hi[a], t);
        }
    }
    double largest = 0;
    for (int a = 0; a < 3; ++a) largest = std::max(largest, f.hi[a] - f.lo[a]);
    for (int a = 0; a < 3; ++a) {
        const double grow = std::max(0.0, k_least_extent * largest - (f.hi[a] - f.lo[a])) / 2 + k_card_margin * largest;
        f.lo[a] -= grow, f.hi[a] += grow;
    }
    return f;
}

// Length over width of a cluster's broad view.
double aspect(const card_frame& f) { return (f.hi[0] - f.lo[0]) / std::max(f.hi[1] - f.lo[1], 1e-12); }

// How unlike two shapes are: the larger ratio of their aspects.
double unlike(double a, double b) { return std::max(a / b, b / a); }

}  // namespace

bool cards_at(std::size_t total, std::size_t first) { return first > 0 && total <= first / 4; }

void card_cell(int k, double& u0, double& v0, double& u1, double& v1) {
    const int column = k / 2, row = k % 2;
    u0 = double(column) / k_card_models, u1 = double(column + 1) / k_card_models;
    v0 = double(row) / 2.0, v1 = double(row + 1) / 2.0;
}

card_clusters gather_clusters(const mesh_layer& layer, const std::vector<card_part>& parts) {
    // Every twig with its leaves, by bark piece.
    struct group {
        std::vector<index_t> polygons;  // the twig's first
        std::size_t leaves = 0, twig_polygons = 0;
        bool twig = false;
    };
    std::map<unsigned, group> by_piece;
    for (const card_part& p : parts)
        if (!p.leaf && p.piece != ~0u) {
            group& g = by_piece[p.piece];
            g.twig = true;
            g.polygons.insert(g.polygons.end(), p.polygons.begin(), p.polygons.end());
            g.twig_polygons = g.polygons.size();
        }
    double lo[3] = {1e300, 1e300, 1e300}, hi[3] = {-1e300, -1e300, -1e300};
    for (index_t q = 0; q < layer.point_count(); ++q)
        for (int k = 0; k < 3; ++k) lo[k] = std::min(lo[k], layer.point(q)[k]), hi[k] = std::max(hi[k], layer.point(q)[k]);
    const double middle[3] = {0.5 * (lo[0] + hi[0]), 0.0, 0.5 * (lo[2] + hi[2])};
    std::vector<const card_part*> loose;  // leaves on other bark
    for (const card_part& p : parts) {
        if (!p.leaf) continue;
        const auto it = p.piece == ~0u ? by_piece.end() : by_piece.find(p.piece);
        if (it == by_piece.end() || !it->second.twig) {
            loose.push_back(&p);
            continue;
        }
        it->second.polygons.insert(it->second.polygons.end(), p.polygons.begin(), p.polygons.end());
        ++it->second.leaves;
    }
    std::vector<group> groups;
    for (auto& [piece, g] : by_piece)
        if (g.leaves > 0) groups.push_back(std::move(g));
    // Loose leaves in cubes as large as a typical twig cluster (a
    // twentieth of the tree without twigs), per bark piece.
    double cell = 0;
    {
        std::vector<double> sizes;
        for (const group& g : groups) {
            const card_frame f = frame_of(layer, g.polygons, middle);
            sizes.push_back(f.hi[0] - f.lo[0]);
        }
        std::sort(sizes.begin(), sizes.end());
        const double tree = std::max({hi[0] - lo[0], hi[1] - lo[1], hi[2] - lo[2], 1e-6});
        cell = sizes.empty() ? tree / 20 : sizes[sizes.size() / 2];
        if (!(cell > 0)) cell = tree / 20;
    }
    std::map<std::tuple<unsigned, long, long, long>, group> cubes;
    for (const card_part* p : loose) {
        double c[3] = {0, 0, 0};
        std::size_t n = 0;
        for (index_t poly : p->polygons)
            for (index_t q : layer.polygon_points(poly)) {
                for (int k = 0; k < 3; ++k) c[k] += layer.point(q)[k];
                ++n;
            }
        if (n == 0) continue;
        long at[3];
        for (int k = 0; k < 3; ++k) at[k] = long(std::floor((c[k] / double(n) - lo[k]) / cell));
        group& g = cubes[{p->piece, at[0], at[1], at[2]}];
        g.polygons.insert(g.polygons.end(), p->polygons.begin(), p->polygons.end());
        ++g.leaves;
    }
    for (auto& [key, g] : cubes) groups.push_back(std::move(g));

    // A fixed random order: each level keeps a prefix.
    std::vector<std::size_t> order(groups.size());
    for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::sort(order.begin(), order.end(),
              [](std::size_t a, std::size_t b) { return mix(a) < mix(b) || (mix(a) == mix(b) && a < b); });
    card_clusters out;
    for (std::size_t i : order) {
        card_frame f = frame_of(layer, groups[i].polygons, middle);
        // The anchor: the twig's point (any point without one) lowest along the axis.
        const group& g = groups[i];
        double lowest = 1e300;
        for (std::size_t k = 0; k < (g.twig_polygons ? g.twig_polygons : g.polygons.size()); ++k)
            for (index_t q : layer.polygon_points(g.polygons[k])) {
                double d[3];
                for (int a = 0; a < 3; ++a) d[a] = layer.point(q)[a] - f.origin[a];
                if (const double t = dot(d, f.axis); t < lowest) lowest = t, f.anchor = q;
            }
        out.frames.push_back(f);
    }

    // The models: full twigs (as many leaves as the median one or more)
    // spread over the clusters' shapes.
    std::vector<std::size_t> full;
    {
        std::vector<std::size_t> counts;
        for (std::size_t i : order)
            if (groups[i].twig) counts.push_back(groups[i].leaves);
        std::sort(counts.begin(), counts.end());
        const std::size_t median = counts.empty() ? 0 : counts[counts.size() / 2];
        for (std::size_t c = 0; c < order.size(); ++c)
            if ((groups[order[c]].twig || counts.empty()) && groups[order[c]].leaves >= median) full.push_back(c);
    }
    std::stable_sort(full.begin(), full.end(),
                     [&](std::size_t a, std::size_t b) { return aspect(out.frames[a]) < aspect(out.frames[b]); });
    const std::size_t models = std::min<std::size_t>(k_card_models, full.size());
    for (std::size_t m = 0; m < models; ++m) {
        const std::size_t c = full[(2 * m + 1) * full.size() / (2 * models)];
        out.models.push_back({groups[order[c]].polygons, out.frames[c]});
    }
    for (const card_frame& f : out.frames) {
        int best = 0;
        for (std::size_t m = 1; m < out.models.size(); ++m)
            if (unlike(aspect(f), aspect(out.models[m].frame)) < unlike(aspect(f), aspect(out.models[std::size_t(best)].frame)))
                best = int(m);
        out.model.push_back(best);
    }
    return out;
}

std::size_t add_cards(mesh_layer& level, const card_clusters& clusters, std::size_t triangles,
                      const mesh_layer& source) {
    const std::size_t kept = std::min(clusters.frames.size(), triangles / 4);
    if (kept == 0 || clusters.models.empty()) return 0;
    const double scale = std::min(k_max_card_growth, std::sqrt(double(clusters.frames.size()) / double(kept)));
    const index_t surface = level.strings().intern(k_surface_leaf_cards);
    const index_t uv = level.find_or_add_map(LWVMAP_TXUV, k_map_cards_uv, 2);
    std::vector<std::pair<index_t, index_t>> carried;  // source map -> level map
    for (index_t m = 0; m < source.maps().size(); ++m) {
        const vmap_desc& d = source.maps()[m];
        const std::string_view name = source.strings().view(d.name);
        if (name == k_map_cards_uv) continue;
        const index_t to = level.find_or_add_map(d.type, name, d.dim);
        if (to != k_none) carried.emplace_back(m, to);
    }
    for (std::size_t c = 0; c < kept; ++c) {
        const card_frame& f = clusters.frames[c];
        const int model = clusters.model[c];
        const double* dirs[3] = {f.axis, f.side, f.normal};
        // The base of the axis, in the middle of the other two.
        double base[3];
        const double mid_s = 0.5 * (f.lo[1] + f.hi[1]), mid_n = 0.5 * (f.lo[2] + f.hi[2]);
        for (int k = 0; k < 3; ++k) base[k] = f.origin[k] + f.lo[0] * f.axis[k] + mid_s * f.side[k] + mid_n * f.normal[k];
        // Broad card: axis and side at the middle of the normal; edge card:
        // axis and normal at the middle of the side.
        for (int view = 0; view < 2; ++view) {
            const int across = view == 0 ? 1 : 2;
            double u0, v0, u1, v1;
            card_cell(model * 2 + view, u0, v0, u1, v1);
            index_t pts[4];
            for (int corner = 0; corner < 4; ++corner) {
                const bool far = corner == 1 || corner == 2, high = corner >= 2;
                const double a = far ? f.hi[0] : f.lo[0], b = high ? f.hi[across] : f.lo[across];
                double p[3];
                for (int k = 0; k < 3; ++k) {
                    const double at = f.origin[k] + a * f.axis[k] + b * dirs[across][k] +
                                      (view == 0 ? mid_n * f.normal[k] : mid_s * f.side[k]);
                    p[k] = base[k] + (at - base[k]) * scale;
                }
                pts[corner] = level.add_point(p[0], p[1], p[2]);
                // The layer's v runs up the image.
                const float t[2] = {float(far ? u1 : u0), float(1.0 - (high ? v0 : v1))};
                level.add_value(pts[corner], k_none, uv, t);
                if (f.anchor != k_none && f.anchor < source.point_count())
                    for (const auto& [from, to] : carried)
                        if (const float* v = source.point_value(from, f.anchor)) level.add_value(pts[corner], k_none, to, v);
            }
            level.add_polygon(LWPOLTYPE_FACE, surface, pts);
        }
    }
    return kept * 4;
}

mesh_layer model_layer(const mesh_layer& layer, const card_model& model) {
    mesh_layer out;
    out.keep_history(false);
    std::vector<index_t> map;
    for (const vmap_desc& m : layer.maps())
        map.push_back(out.find_or_add_map(m.type, layer.strings().view(m.name), m.dim));
    std::unordered_map<index_t, index_t> point_of, polygon_of;
    std::vector<index_t> pts;
    for (index_t p : model.polygons) {
        pts.clear();
        for (index_t q : layer.polygon_points(p)) {
            const auto [it, added] = point_of.emplace(q, k_none);
            if (added) {
                const double* xyz = layer.point(q);
                it->second = out.add_point(xyz[0], xyz[1], xyz[2]);
                for (std::size_t m = 0; m < map.size(); ++m)
                    if (const float* v = layer.point_value(index_t(m), q); v && map[m] != k_none)
                        out.add_value(it->second, k_none, map[m], v);
            }
            pts.push_back(it->second);
        }
        const index_t s = layer.polygon_surface(p);
        polygon_of[p] = out.add_polygon(layer.polygon_type(p),
                                        s == k_none ? k_none : out.strings().intern(layer.strings().view(s)), pts);
    }
    for (const value_record& r : layer.polygon_point_values()) {
        const auto poly = polygon_of.find(r.polygon);
        const auto point = point_of.find(r.point);
        if (poly != polygon_of.end() && point != point_of.end() && r.map < map.size() && map[r.map] != k_none)
            out.add_value(point->second, poly->second, map[r.map], r.v);
    }
    return out;
}

}  // namespace sf::formats
