#include "formats/lod.h"

#include <meshoptimizer.h>

#include <algorithm>
#include <array>
#include <bit>
#include <chrono>
#include <cmath>
#include <cstring>
#include <nlohmann/json.hpp>
#include <unordered_map>

#include "formats/file_io.h"
#include "formats/glb_container.h"
#include "formats/materials.h"
#include "formats/normals.h"

namespace sf::formats {

namespace {

using json = nlohmann::json;

// The bark's allowed shape error at level 1, relative to the tree's size;
// it doubles with every level.
constexpr float k_first_error = 0.01f;

// The bark's texture map: u runs once around a tube.
constexpr const char* k_bark_map = "SF_branch";

// Every map value a corner carries: per map, the polygon's own value if it
// has one, else the point's.
class corner_lookup {
public:
    explicit corner_lookup(const mesh_layer& layer) : layer_(layer) {
        const std::size_t maps = layer.maps().size();
        const auto vmad = layer.polygon_point_values();
        auto keep = [&](const value_record& v) {
            return v.polygon < layer.polygon_count() && v.point < layer.point_count() && v.map < maps;
        };
        const std::size_t used = std::size_t(std::count_if(vmad.begin(), vmad.end(), keep));
        group_values_by_polygon(layer, keep, used, start_, order_);
    }

    std::size_t stride() const { return layer_.maps().size() * (k_max_map_dim + 1); }

    // out: per map a presence flag and the values.
    void fill(index_t polygon, index_t point, float* out) const {
        const auto maps = layer_.maps();
        std::fill(out, out + stride(), 0.0f);
        for (std::size_t m = 0; m < maps.size(); ++m) {
            const float* v = nullptr;
            for (index_t k = start_[polygon]; k < start_[polygon + 1]; ++k) {
                const value_record& r = layer_.polygon_point_values()[order_[k]];
                if (r.map == m && r.point == point) v = r.v;  // the latest wins
            }
            if (!v) v = layer_.point_value(index_t(m), point);
            if (!v) continue;
            float* slot = out + m * (k_max_map_dim + 1);
            slot[0] = 1.0f;
            std::memcpy(slot + 1, v, sizeof(float) * maps[m].dim);
        }
    }

private:
    const mesh_layer& layer_;
    std::vector<index_t> start_, order_;
};

// Corners turned into vertices: one per (point, surface, map values).
struct vertex_table {
    std::vector<index_t> point, surface, next;
    std::vector<float> values;   // stride per vertex
    std::vector<index_t> head;   // per source point: its first vertex
    std::size_t stride = 0;

    index_t find_or_add(index_t pt, index_t surf, const float* v) {
        for (index_t x = head[pt]; x != k_none; x = next[x])
            if (surface[x] == surf && std::memcmp(&values[std::size_t(x) * stride], v, stride * sizeof(float)) == 0)
                return x;
        const index_t x = index_t(point.size());
        point.push_back(pt);
        surface.push_back(surf);
        next.push_back(head[pt]);
        head[pt] = x;
        values.insert(values.end(), v, v + stride);
        return x;
    }
};

struct leaf_group {
    std::vector<index_t> polygons;
    double centre[3] = {0, 0, 0};
};

std::uint64_t mix(std::uint64_t x) {
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

// Leaves as groups of polygons: a leaf's polygons come one after another
// and share its points, and no two leaves share a point.
std::vector<leaf_group> leaf_groups(const mesh_layer& layer, index_t leaf_surface) {
    std::vector<leaf_group> groups;
    std::vector<index_t> last_points;
    for (index_t p = 0; p < layer.polygon_count(); ++p) {
        const auto pts = layer.polygon_points(p);
        if (layer.polygon_surface(p) != leaf_surface || pts.size() < 3) continue;
        const bool joins = !groups.empty() && std::any_of(pts.begin(), pts.end(), [&](index_t q) {
            return std::find(last_points.begin(), last_points.end(), q) != last_points.end();
        });
        if (!joins) {
            groups.emplace_back();
            last_points.clear();
        }
        groups.back().polygons.push_back(p);
        for (index_t q : pts)
            if (std::find(last_points.begin(), last_points.end(), q) == last_points.end()) last_points.push_back(q);
    }
    // Each leaf's centre, the mean of its distinct points.
    for (leaf_group& g : groups) {
        std::vector<index_t> pts;
        for (index_t p : g.polygons)
            for (index_t q : layer.polygon_points(p))
                if (std::find(pts.begin(), pts.end(), q) == pts.end()) pts.push_back(q);
        for (index_t q : pts)
            for (int k = 0; k < 3; ++k) g.centre[k] += layer.point(q)[k] / double(pts.size());
    }
    return groups;
}

// A new layer with the level's polygons, each vertex a point of its own
// with its map values as per-point values.
class level_writer {
public:
    level_writer(const mesh_layer& source, const vertex_table& vt) : src_(source), vt_(vt) {
        for (const vmap_desc& m : source.maps())
            map_.push_back(out_.find_or_add_map(m.type, source.strings().view(m.name), m.dim));
        point_of_.assign(vt.point.size(), k_none);
    }

    // A vertex as it is, shared by every polygon that uses it.
    index_t point(index_t v) {
        static constexpr double none[3] = {0, 0, 0};
        return point(v, 1.0, none, none);
    }

    // A vertex grown by scale about `about`, then moved by `shift`: a point of its own.
    index_t point(index_t v, double scale, const double* about, const double* shift) {
        const bool same = scale == 1.0 && shift[0] == 0.0 && shift[1] == 0.0 && shift[2] == 0.0;
        if (same && point_of_[v] != k_none) return point_of_[v];
        const double* p = src_.point(vt_.point[v]);
        double q[3];
        for (int k = 0; k < 3; ++k) q[k] = same ? p[k] : about[k] + (p[k] - about[k]) * scale + shift[k];
        const index_t id = out_.add_point(q[0], q[1], q[2]);
        const float* vals = &vt_.values[std::size_t(v) * vt_.stride];
        for (std::size_t m = 0; m < map_.size(); ++m) {
            const float* slot = vals + m * (k_max_map_dim + 1);
            if (slot[0] != 0.0f && map_[m] != k_none) out_.add_value(id, k_none, map_[m], slot + 1);
        }
        if (same) point_of_[v] = id;
        return id;
    }

    void polygon(index_t surface, std::span<const index_t> pts) {
        const index_t s = surface == k_none ? k_none : out_.strings().intern(src_.strings().view(surface));
        out_.add_polygon(LWPOLTYPE_FACE, s, pts);
    }

    mesh_layer take() { return std::move(out_); }

private:
    const mesh_layer& src_;
    const vertex_table& vt_;
    mesh_layer out_;
    std::vector<index_t> map_;
    std::vector<index_t> point_of_;
};

// The point of triangle (a, b, c) nearest to p (after Ericson, Real-Time
// Collision Detection 5.1.5).
void nearest_on_triangle(const double* p, const double* a, const double* b, const double* c, double* out) {
    double ab[3], ac[3], ap[3], bp[3], cp[3];
    for (int k = 0; k < 3; ++k) ab[k] = b[k] - a[k], ac[k] = c[k] - a[k], ap[k] = p[k] - a[k];
    auto dot = [](const double* u, const double* v) { return u[0] * v[0] + u[1] * v[1] + u[2] * v[2]; };
    auto put = [&](const double* base, double s, const double* d1, double t, const double* d2) {
        for (int k = 0; k < 3; ++k) out[k] = base[k] + s * d1[k] + t * d2[k];
    };
    const double d1 = dot(ab, ap), d2 = dot(ac, ap);
    if (d1 <= 0 && d2 <= 0) return put(a, 0, ab, 0, ac);
    for (int k = 0; k < 3; ++k) bp[k] = p[k] - b[k];
    const double d3 = dot(ab, bp), d4 = dot(ac, bp);
    if (d3 >= 0 && d4 <= d3) return put(b, 0, ab, 0, ac);
    const double vc = d1 * d4 - d3 * d2;
    if (vc <= 0 && d1 >= 0 && d3 <= 0) return put(a, d1 / (d1 - d3), ab, 0, ac);
    for (int k = 0; k < 3; ++k) cp[k] = p[k] - c[k];
    const double d5 = dot(ab, cp), d6 = dot(ac, cp);
    if (d6 >= 0 && d5 <= d6) return put(c, 0, ab, 0, ac);
    const double vb = d5 * d2 - d1 * d6;
    if (vb <= 0 && d2 >= 0 && d6 <= 0) return put(a, 0, ab, d2 / (d2 - d6), ac);
    const double va = d3 * d6 - d5 * d4;
    if (va <= 0 && d4 - d3 >= 0 && d5 - d6 >= 0) {
        const double w = (d4 - d3) / ((d4 - d3) + (d5 - d6));
        for (int k = 0; k < 3; ++k) out[k] = b[k] + w * (c[k] - b[k]);
        return;
    }
    const double denom = va + vb + vc;
    if (!(denom > 0)) return put(a, 0, ab, 0, ac);  // no area: its first corner
    put(a, vb / denom, ab, vc / denom, ac);
}

// A triangle with no area, or lower than a millionth of its longest edge:
// nothing a renderer can shade.
bool degenerate(const double* a, const double* b, const double* c) {
    double u[3], v[3], w[3];
    for (int k = 0; k < 3; ++k) u[k] = b[k] - a[k], v[k] = c[k] - a[k], w[k] = c[k] - b[k];
    const double n[3] = {u[1] * v[2] - u[2] * v[1], u[2] * v[0] - u[0] * v[2], u[0] * v[1] - u[1] * v[0]};
    const double twice_area = std::sqrt(n[0] * n[0] + n[1] * n[1] + n[2] * n[2]);
    const double longest = std::max({u[0] * u[0] + u[1] * u[1] + u[2] * u[2], v[0] * v[0] + v[1] * v[1] + v[2] * v[2],
                                     w[0] * w[0] + w[1] * w[1] + w[2] * w[2]});
    return !(longest > 0) || !(twice_area > 1e-6 * longest);
}

// Triangles binned in a uniform grid, for the nearest point on any of them.
class triangle_grid {
public:
    // corners: three points (x, y, z) per triangle; tags: one per triangle
    // (none: all untagged).
    explicit triangle_grid(std::vector<double> corners, std::vector<unsigned> tags = {})
        : tri_(std::move(corners)), tags_(std::move(tags)) {
        const std::size_t n = tri_.size() / 9;
        if (n == 0) return;
        double size_sum = 0;
        for (int k = 0; k < 3; ++k) lo_[k] = 1e300, hi_[k] = -1e300;
        for (std::size_t t = 0; t < n; ++t) {
            double tlo[3], thi[3];
            bounds(t, tlo, thi);
            for (int k = 0; k < 3; ++k) lo_[k] = std::min(lo_[k], tlo[k]), hi_[k] = std::max(hi_[k], thi[k]);
            size_sum += std::max({thi[0] - tlo[0], thi[1] - tlo[1], thi[2] - tlo[2]});
        }
        const double extent = std::max({hi_[0] - lo_[0], hi_[1] - lo_[1], hi_[2] - lo_[2], 1e-6});
        cell_ = std::max(size_sum / double(n), extent / 128.0);
        for (int k = 0; k < 3; ++k) dim_[k] = std::max(1, int(std::ceil((hi_[k] - lo_[k]) / cell_)));
        start_.assign(std::size_t(dim_[0]) * dim_[1] * dim_[2] + 1, 0);
        for (int pass = 0; pass < 2; ++pass) {
            if (pass == 1) {
                for (std::size_t c = 1; c < start_.size(); ++c) start_[c] += start_[c - 1];
                items_.resize(start_.back());
            }
            // Counted into start_[c], summed to the end of cell c, then
            // filled downwards: start_[c] ends at the cell's first item.
            for (std::size_t t = n; t-- > 0;)
                each_cell(t, [&](std::size_t c) {
                    if (pass == 0) ++start_[c];
                    else items_[--start_[c]] = unsigned(t);
                });
        }
    }

    // The nearest point to p on the triangles (tagged `tag`, when given);
    // false when there are none. `which`: that point's triangle.
    bool nearest(const double* p, double* at, double& distance, unsigned tag = k_any,
                 std::size_t* which = nullptr) const {
        if (tri_.empty()) return false;
        int c[3];
        for (int k = 0; k < 3; ++k) c[k] = std::clamp(int(std::floor((p[k] - lo_[k]) / cell_)), 0, dim_[k] - 1);
        double best = 1e300;
        const int rings = std::max({dim_[0], dim_[1], dim_[2]});
        for (int r = 0; r <= rings; ++r) {
            for (int dz = -r; dz <= r; ++dz)
                for (int dy = -r; dy <= r; ++dy) {
                    const bool face = dz == -r || dz == r || dy == -r || dy == r;
                    for (int dx = -r; dx <= r; dx += face || r == 0 ? 1 : 2 * r) {
                        const int x = c[0] + dx, y = c[1] + dy, z = c[2] + dz;
                        if (x < 0 || y < 0 || z < 0 || x >= dim_[0] || y >= dim_[1] || z >= dim_[2]) continue;
                        const std::size_t cell = (std::size_t(z) * dim_[1] + y) * dim_[0] + x;
                        for (std::size_t i = start_[cell]; i < start_[cell + 1]; ++i) {
                            if (tag != k_any && tags_[items_[i]] != tag) continue;
                            const double* t = &tri_[std::size_t(items_[i]) * 9];
                            double q[3];
                            nearest_on_triangle(p, t, t + 3, t + 6, q);
                            const double d = (q[0] - p[0]) * (q[0] - p[0]) + (q[1] - p[1]) * (q[1] - p[1]) +
                                             (q[2] - p[2]) * (q[2] - p[2]);
                            if (d < best) {
                                best = d, at[0] = q[0], at[1] = q[1], at[2] = q[2];
                                if (which) *which = items_[i];
                            }
                        }
                    }
                }
            // Cells past this ring are at least r cells away.
            if (best <= double(r) * cell_ * double(r) * cell_) break;
        }
        distance = std::sqrt(best);
        return best != 1e300;
    }

    static constexpr unsigned k_any = ~0u;

private:
    void bounds(std::size_t t, double* lo, double* hi) const {
        const double* v = &tri_[t * 9];
        for (int k = 0; k < 3; ++k) {
            lo[k] = std::min({v[k], v[3 + k], v[6 + k]});
            hi[k] = std::max({v[k], v[3 + k], v[6 + k]});
        }
    }
    template <class F>
    void each_cell(std::size_t t, F&& f) const {
        double tlo[3], thi[3];
        bounds(t, tlo, thi);
        int a[3], b[3];
        for (int k = 0; k < 3; ++k) {
            a[k] = std::clamp(int(std::floor((tlo[k] - lo_[k]) / cell_)), 0, dim_[k] - 1);
            b[k] = std::clamp(int(std::floor((thi[k] - lo_[k]) / cell_)), 0, dim_[k] - 1);
        }
        for (int z = a[2]; z <= b[2]; ++z)
            for (int y = a[1]; y <= b[1]; ++y)
                for (int x = a[0]; x <= b[0]; ++x) f((std::size_t(z) * dim_[1] + y) * dim_[0] + x);
    }

    std::vector<double> tri_;
    std::vector<unsigned> tags_;
    double lo_[3] = {0, 0, 0}, hi_[3] = {0, 0, 0}, cell_ = 1.0;
    int dim_[3] = {1, 1, 1};
    std::vector<std::size_t> start_;
    std::vector<unsigned> items_;
};

// The triangles of every polygon but the leaves, fanned from the first corner.
std::vector<double> bark_triangles(const mesh_layer& layer, index_t leaf_surface) {
    std::vector<double> out;
    for (index_t p = 0; p < layer.polygon_count(); ++p) {
        const auto pts = layer.polygon_points(p);
        if (pts.size() < 3 || (leaf_surface != k_none && layer.polygon_surface(p) == leaf_surface)) continue;
        for (std::size_t k = 1; k + 1 < pts.size(); ++k)
            for (index_t q : {pts[0], pts[k], pts[k + 1]}) out.insert(out.end(), layer.point(q), layer.point(q) + 3);
    }
    return out;
}

}  // namespace

std::size_t triangle_count(const mesh_layer& layer) {
    std::size_t n = 0;
    for (index_t p = 0; p < layer.polygon_count(); ++p) {
        const std::size_t c = layer.polygon_points(p).size();
        if (c >= 3) n += c - 2;
    }
    return n;
}

namespace {

// What every level is made from: the corners as vertices, the bark as
// triangles over them, each polygon's vertices, and the leaves.
struct lod_source {
    vertex_table vt;
    std::vector<unsigned> bark;
    std::vector<index_t> first_vertex;  // per polygon: its first entry of vertex_of
    std::vector<index_t> vertex_of;     // per polygon corner, in polygon order
    std::vector<float> positions;       // per vertex
    std::vector<leaf_group> leaves;
    std::size_t uv = std::size_t(-1);   // offset of the bark map's slot in a vertex's values
    std::vector<unsigned> tube;         // per vertex: its piece of bark (joined by shared points)
    unsigned tubes = 0;
};

// Bark pieces: vertices joined by the shared points of bark triangles of
// one surface (a twig welded to its branch is a piece of its own), each
// piece numbered from 0; vertices of no bark triangle get a piece of their own.
void label_tubes(lod_source& src) {
    // Vertices of one point and surface are joined first (seams split them).
    const std::size_t n = src.vt.point.size();
    std::vector<index_t> parent(n);
    for (std::size_t i = 0; i < n; ++i) parent[i] = index_t(i);
    auto root = [&](index_t x) {
        while (parent[x] != x) x = parent[x] = parent[parent[x]];
        return x;
    };
    auto join = [&](index_t a, index_t b) {
        a = root(a), b = root(b);
        if (a != b) parent[std::max(a, b)] = std::min(a, b);
    };
    for (index_t head : src.vt.head)
        for (index_t x = head; x != k_none; x = src.vt.next[x])
            for (index_t y = src.vt.next[x]; y != k_none; y = src.vt.next[y])
                if (src.vt.surface[x] == src.vt.surface[y]) {
                    join(x, y);
                    break;
                }
    for (std::size_t t = 0; t < src.bark.size(); t += 3) {
        join(index_t(src.bark[t]), index_t(src.bark[t + 1]));
        join(index_t(src.bark[t]), index_t(src.bark[t + 2]));
    }
    std::vector<unsigned> number(n, ~0u);
    src.tube.resize(n);
    for (std::size_t v = 0; v < n; ++v) {
        unsigned& k = number[root(index_t(v))];
        if (k == ~0u) k = src.tubes++;
        src.tube[v] = k;
    }
}

// Every corner as a vertex; the bark as triangles fanned from each
// polygon's first corner, keeping the winding.
lod_source gather_lod_source(const mesh_layer& layer, index_t leaf_surface) {
    lod_source src;
    corner_lookup corners(layer);
    vertex_table& vt = src.vt;
    vt.stride = corners.stride();
    vt.head.assign(layer.point_count(), k_none);
    std::vector<float> scratch(vt.stride);
    std::vector<unsigned>& bark = src.bark;
    std::vector<index_t>& first_vertex = src.first_vertex;
    std::vector<index_t>& vertex_of = src.vertex_of;
    first_vertex.assign(std::size_t(layer.polygon_count()) + 1, 0);
    for (index_t p = 0; p < layer.polygon_count(); ++p) {
        const auto pts = layer.polygon_points(p);
        first_vertex[p] = index_t(vertex_of.size());
        if (pts.size() < 3) continue;
        const index_t s = layer.polygon_surface(p);
        for (index_t q : pts) {
            corners.fill(p, q, scratch.data());
            vertex_of.push_back(vt.find_or_add(q, s, scratch.data()));
        }
        if (s == leaf_surface && s != k_none) continue;
        const index_t* v = &vertex_of[first_vertex[p]];
        for (std::size_t k = 1; k + 1 < pts.size(); ++k) {
            if (v[0] == v[k] || v[k] == v[k + 1] || v[0] == v[k + 1]) continue;
            bark.insert(bark.end(), {unsigned(v[0]), unsigned(v[k]), unsigned(v[k + 1])});
        }
    }
    first_vertex[layer.polygon_count()] = index_t(vertex_of.size());
    src.positions.resize(vt.point.size() * 3);
    for (std::size_t v = 0; v < vt.point.size(); ++v)
        for (int k = 0; k < 3; ++k) src.positions[v * 3 + std::size_t(k)] = float(layer.point(vt.point[v])[k]);
    src.leaves = leaf_groups(layer, leaf_surface);
    const index_t uv = layer.find_map(LWVMAP_TXUV, k_bark_map);
    if (uv != k_none) src.uv = std::size_t(uv) * (k_max_map_dim + 1);
    label_tubes(src);
    return src;
}

// Each triangle's tube radius: how far its points go around the tube per
// unit of the bark map's u (0 to 1 around), over 2 pi; 0 where unknown.
std::vector<double> tube_radii(const lod_source& src, const std::vector<unsigned>& tris) {
    std::vector<double> r(tris.size() / 3, 0.0);
    if (src.uv == std::size_t(-1)) return r;
    for (std::size_t t = 0; t < r.size(); ++t) {
        const unsigned* v = &tris[t * 3];
        const float* uv[3];
        bool known = true;
        for (int i = 0; i < 3; ++i) {
            uv[i] = &src.vt.values[std::size_t(v[i]) * src.vt.stride + src.uv];
            known = known && uv[i][0] != 0.0f;
        }
        if (!known) continue;
        const double du1 = uv[1][1] - uv[0][1], dv1 = uv[1][2] - uv[0][2];
        const double du2 = uv[2][1] - uv[0][1], dv2 = uv[2][2] - uv[0][2];
        const double det = du1 * dv2 - du2 * dv1;
        if (!(std::fabs(det) > 1e-12)) continue;
        double d[3];
        for (int k = 0; k < 3; ++k) {
            const double e1 = double(src.positions[v[1] * 3 + unsigned(k)]) - src.positions[v[0] * 3 + unsigned(k)];
            const double e2 = double(src.positions[v[2] * 3 + unsigned(k)]) - src.positions[v[0] * 3 + unsigned(k)];
            d[k] = (e1 * dv2 - e2 * dv1) / det;
        }
        const double radius = std::sqrt(d[0] * d[0] + d[1] * d[1] + d[2] * d[2]) / (2.0 * 3.14159265358979323846);
        if (std::isfinite(radius)) r[t] = radius;
    }
    return r;
}

// The bark cut to at most `goal` triangles such that every tube loses shape
// in proportion to its girth: triangles are grouped by tube radius (bands
// of a factor two), each band simplified on its own with its borders held,
// at a shape error of alpha times the band's radius, alpha growing until the
// whole fits. Thin tubes thus keep their cross-section as long as thick
// ones keep their roundness, instead of being flattened into slivers to pay
// for them. With `most_alpha` alpha stops there, fitting or not; without,
// bark that does not fit so is simplified as one, the count deciding.
// Returns false when the bark stays above `goal`.
bool simplify_by_girth(std::vector<unsigned>& tris, const lod_source& src, std::size_t goal,
                       double most_alpha = 0.0) {
    if (tris.size() / 3 <= goal) return true;
    const std::size_t vertices = src.vt.point.size();
    const float extent = meshopt_simplifyScale(src.positions.data(), vertices, sizeof(float) * 3);
    const std::vector<double> radii = tube_radii(src, tris);
    std::vector<double> known;
    for (double r : radii)
        if (r > 0) known.push_back(r);
    std::vector<std::vector<unsigned>> bands;
    std::vector<double> band_radius;
    if (!known.empty() && extent > 0) {
        std::sort(known.begin(), known.end());
        const double lowest = std::max(known.front(), double(extent) * 1e-6), median = known[known.size() / 2];
        constexpr int k_bands = 16;
        bands.resize(k_bands);
        for (int b = 0; b < k_bands; ++b) band_radius.push_back(lowest * std::ldexp(1.0, b));
        for (std::size_t t = 0; t < radii.size(); ++t) {
            const double r = radii[t] > 0 ? radii[t] : median;
            // ilogb is floor(log2) exactly, with no library rounding to differ by machine.
            const int b = std::clamp(std::ilogb(r / lowest), 0, k_bands - 1);
            bands[std::size_t(b)].insert(bands[std::size_t(b)].end(), &tris[t * 3], &tris[t * 3] + 3);
        }
    }
    // Each band over its own vertices (the simplifier's work grows with the
    // vertices it is given), its error relative to its own extent.
    std::vector<std::vector<unsigned>> global(bands.size());
    std::vector<std::vector<float>> band_positions(bands.size());
    std::vector<float> band_extent(bands.size(), 0.0f);
    {
        std::vector<unsigned> local(vertices, ~0u);
        for (std::size_t b = 0; b < bands.size(); ++b) {
            for (unsigned& v : bands[b]) {
                if (local[v] == ~0u) {
                    local[v] = unsigned(global[b].size());
                    global[b].push_back(v);
                    band_positions[b].insert(band_positions[b].end(), &src.positions[std::size_t(v) * 3],
                                             &src.positions[std::size_t(v) * 3] + 3);
                }
                v = local[v];
            }
            for (unsigned v : global[b]) local[v] = ~0u;
            if (!global[b].empty())
                band_extent[b] = meshopt_simplifyScale(band_positions[b].data(), global[b].size(), sizeof(float) * 3);
        }
    }
    std::vector<unsigned> out;
    auto cut = [&](const std::vector<std::vector<unsigned>>& from, double alpha, std::vector<std::vector<unsigned>>& to) {
        std::size_t n = 0;
        to.resize(from.size());
        for (std::size_t b = 0; b < from.size(); ++b) {
            to[b].resize(from[b].size());
            const std::size_t k =
                from[b].empty() || !(band_extent[b] > 0)
                    ? from[b].size()
                    : meshopt_simplify(to[b].data(), from[b].data(), from[b].size(), band_positions[b].data(),
                                       global[b].size(), sizeof(float) * 3, 0,
                                       float(alpha * band_radius[b] / double(band_extent[b])),
                                       meshopt_SimplifyLockBorder, nullptr);
            if (k == from[b].size()) to[b] = from[b];
            to[b].resize(k);
            n += k / 3;
        }
        return n;
    };
    auto gather = [&](const std::vector<std::vector<unsigned>>& from) {
        for (std::size_t b = 0; b < from.size(); ++b)
            for (unsigned v : from[b]) out.push_back(global[b][v]);
    };
    if (!bands.empty()) {
        // Alpha doubles each step; the last step is then narrowed down from
        // the bands before it, so the bark ends near its goal.
        std::vector<std::vector<unsigned>> before = bands, after;
        double alpha = 0.05, last = 0.0;
        std::size_t n = tris.size() / 3;
        for (int step = 0; step < 20 && n > goal && (most_alpha == 0.0 || alpha <= most_alpha); ++step, alpha *= 2.0) {
            n = cut(before, alpha, after);
            if (n > goal) before.swap(after), last = alpha;
        }
        if (n <= goal) {
            double lo = last, hi = alpha / 2.0;
            std::vector<std::vector<unsigned>> best = after, trial;
            for (int step = 0; step < 5 && lo > 0; ++step) {
                const double mid = std::sqrt(lo * hi);
                if (cut(before, mid, trial) <= goal) best.swap(trial), hi = mid;
                else lo = mid;
            }
            gather(best);
            tris.swap(out);
            return true;
        }
        gather(before);
        tris.swap(out);
        out.clear();
    }
    if (most_alpha != 0.0) return false;
    // No bound on the shape error: the count decides, seams and borders only
    // move along themselves.
    out.resize(tris.size());
    out.resize(meshopt_simplify(out.data(), tris.data(), tris.size(), src.positions.data(), vertices,
                                sizeof(float) * 3, goal * 3, 1e6f, 0, nullptr));
    tris.swap(out);
    return tris.size() / 3 <= goal;
}

// Leaves in a fixed random order: each level keeps a prefix of it, so a
// leaf kept at one level is kept at every level above.
struct leaf_order {
    std::vector<std::size_t> order;
    std::vector<std::size_t> triangles;  // per leaf
    std::size_t total = 0;               // triangles of all leaves
};

leaf_order order_leaves(const mesh_layer& layer, const std::vector<leaf_group>& leaves) {
    leaf_order o;
    o.order.resize(leaves.size());
    o.triangles.assign(leaves.size(), 0);
    for (std::size_t g = 0; g < leaves.size(); ++g) {
        o.order[g] = g;
        for (index_t p : leaves[g].polygons) o.triangles[g] += layer.polygon_points(p).size() - 2;
        o.total += o.triangles[g];
    }
    std::sort(o.order.begin(), o.order.end(),
              [](std::size_t a, std::size_t b) { return mix(a) < mix(b) || (mix(a) == mix(b) && a < b); });
    return o;
}

// Triangles of `tris` that have area, by the positions the files hold.
void drop_degenerate(std::vector<unsigned>& tris, const std::vector<float>& positions) {
    std::size_t kept = 0;
    for (std::size_t t = 0; t + 2 < tris.size(); t += 3) {
        double c[3][3];
        for (int i = 0; i < 3; ++i)
            for (int k = 0; k < 3; ++k) c[i][k] = positions[std::size_t(tris[t + std::size_t(i)]) * 3 + std::size_t(k)];
        if (degenerate(c[0], c[1], c[2])) continue;
        for (int i = 0; i < 3; ++i) tris[kept++] = tris[t + std::size_t(i)];
    }
    tris.resize(kept);
}

std::vector<double> corners_of(const std::vector<unsigned>& tris, const std::vector<float>& positions) {
    std::vector<double> out(tris.size() * 3);
    for (std::size_t i = 0; i < tris.size(); ++i)
        for (std::size_t k = 0; k < 3; ++k) out[i * 3 + k] = positions[std::size_t(tris[i]) * 3 + k];
    return out;
}

// The bark of the next level, in place of `current`: `goal` triangles as far
// as its seams and the shape `error` allow; bark that leaves the leaves less
// than their least share of `total` triangles is cut further regardless of
// seams. Triangles left without area are dropped.
void simplify_bark(std::vector<unsigned>& current, std::vector<unsigned>& simplified, const lod_source& src,
                   std::size_t total, std::size_t goal, std::size_t leaves_before, float error) {
    // Over the bark's own vertices only: the sloppy simplifier may pick any
    // vertex it is given, leaves' and twigs' too.
    std::vector<unsigned> global, local(current.size());
    std::vector<float> positions;
    {
        std::unordered_map<unsigned, unsigned> seen;
        for (std::size_t i = 0; i < current.size(); ++i) {
            const auto [it, added] = seen.emplace(current[i], unsigned(global.size()));
            if (added) {
                global.push_back(current[i]);
                positions.insert(positions.end(), &src.positions[std::size_t(current[i]) * 3],
                                 &src.positions[std::size_t(current[i]) * 3] + 3);
            }
            local[i] = it->second;
        }
    }
    simplified.resize(std::max(simplified.size(), current.size()));
    const std::size_t vertices = global.size();
    std::size_t n = current.empty() ? 0
                                    : meshopt_simplify(simplified.data(), local.data(), local.size(), positions.data(),
                                                       vertices, sizeof(float) * 3, goal * 3, error, 0, nullptr);
    const std::size_t least_leaves = leaves_before / 4;
    std::size_t target = total > least_leaves ? (total - least_leaves) * 3 : 3;
    for (int tries = 0; n / 3 + least_leaves > total && n > 0 && tries < 8; ++tries, target /= 2) {
        std::vector<unsigned> again(simplified.begin(), simplified.begin() + std::ptrdiff_t(n));
        n = meshopt_simplifySloppy(simplified.data(), again.data(), again.size(), positions.data(), vertices,
                                   sizeof(float) * 3, std::max<std::size_t>(target, 3), 1.0f, nullptr);
    }
    current.resize(n);
    for (std::size_t i = 0; i < n; ++i) current[i] = global[simplified[i]];
    drop_degenerate(current, src.positions);
}

// The twigs' bark pieces in a fixed random order, each with its triangles.
struct twig_order {
    index_t surface = k_none;
    std::vector<std::vector<unsigned>> pieces;  // triangles, in order
    std::vector<std::size_t> triangles;         // per piece
    std::size_t total = 0;

    bool is_twig(const lod_source& src, unsigned vertex) const {
        return surface != k_none && src.vt.surface[vertex] == surface;
    }
    void append(std::size_t i, std::vector<unsigned>& to) const {
        to.insert(to.end(), pieces[i].begin(), pieces[i].end());
    }
};

twig_order order_twigs(const mesh_layer& layer, const lod_source& src) {
    twig_order o;
    o.surface = layer.strings().find(k_surface_twig);
    if (o.surface == k_none) return o;
    std::unordered_map<unsigned, std::size_t> slot;  // bark piece -> its entry
    std::vector<unsigned> tube;
    for (std::size_t t = 0; t < src.bark.size(); t += 3) {
        if (!o.is_twig(src, src.bark[t])) continue;
        const auto [it, added] = slot.emplace(src.tube[src.bark[t]], o.pieces.size());
        if (added) o.pieces.emplace_back(), tube.push_back(it->first);
        o.pieces[it->second].insert(o.pieces[it->second].end(), &src.bark[t], &src.bark[t] + 3);
    }
    std::vector<std::size_t> order(o.pieces.size());
    for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        return mix(tube[a]) < mix(tube[b]) || (mix(tube[a]) == mix(tube[b]) && a < b);
    });
    std::vector<std::vector<unsigned>> pieces(order.size());
    for (std::size_t i = 0; i < order.size(); ++i) {
        pieces[i] = std::move(o.pieces[order[i]]);
        o.triangles.push_back(pieces[i].size() / 3);
        o.total += pieces[i].size() / 3;
    }
    o.pieces = std::move(pieces);
    return o;
}

// Where a kept leaf goes at a level: grown by `scale` about its base (the
// point where it hangs from the bark), then moved by `shift` onto the bark.
struct leaf_place {
    std::array<double, 3> base{0, 0, 0}, shift{0, 0, 0};
    std::array<double, 3> anchor{0, 0, 0};  // the bark point nearest the base
    unsigned tube = ~0u;  // the bark piece it hangs from; none without bark
};

// A level's layer: the bark triangles, then the first `count` leaves of the
// order, each grown by `scale` and moved as `places` says (none: as they are).
mesh_layer write_level(const mesh_layer& layer, const lod_source& src, const std::vector<unsigned>& current,
                       const leaf_order& order, std::size_t count, double scale,
                       const std::vector<leaf_place>* places) {
    const vertex_table& vt = src.vt;
    level_writer w(layer, vt);
    for (std::size_t t = 0; t < current.size(); t += 3) {
        const index_t tri[3] = {w.point(current[t]), w.point(current[t + 1]), w.point(current[t + 2])};
        w.polygon(vt.surface[current[t]], tri);
    }
    std::vector<index_t> pts;
    const leaf_place still;
    for (std::size_t i = 0; i < count; ++i) {
        const leaf_group& leaf = src.leaves[order.order[i]];
        const leaf_place& at = places ? (*places)[order.order[i]] : still;
        std::vector<std::pair<index_t, index_t>> moved;  // vertex -> its point in this leaf
        for (index_t p : leaf.polygons) {
            pts.clear();
            for (index_t c = src.first_vertex[p]; c < src.first_vertex[p + 1]; ++c) {
                const index_t v = src.vertex_of[c];
                const auto it = std::find_if(moved.begin(), moved.end(), [&](auto& e) { return e.first == v; });
                if (it != moved.end()) {
                    pts.push_back(it->second);
                } else {
                    moved.emplace_back(v, w.point(v, scale, at.base.data(), at.shift.data()));
                    pts.push_back(moved.back().second);
                }
            }
            w.polygon(layer.polygon_surface(p), pts);
        }
    }
    return w.take();
}

// Each bark triangle's piece.
std::vector<unsigned> tubes_of(const lod_source& src, const std::vector<unsigned>& tris) {
    std::vector<unsigned> out(tris.size() / 3);
    for (std::size_t t = 0; t < out.size(); ++t) out[t] = src.tube[tris[t * 3]];
    return out;
}

// Each leaf's base: its point nearest to the bark, and the piece of bark there.
std::vector<leaf_place> leaf_bases(const lod_source& src) {
    std::vector<leaf_place> places(src.leaves.size());
    const triangle_grid bark(corners_of(src.bark, src.positions));
    for (std::size_t g = 0; g < src.leaves.size(); ++g) {
        double best = 1e300, at[3] = {0, 0, 0}, d = 0;
        std::size_t t = 0;
        for (index_t p : src.leaves[g].polygons)
            for (index_t c = src.first_vertex[p]; c < src.first_vertex[p + 1]; ++c) {
                const float* f = &src.positions[std::size_t(src.vertex_of[c]) * 3];
                const double q[3] = {f[0], f[1], f[2]};
                if (bark.nearest(q, at, d, triangle_grid::k_any, &t) && d < best) {
                    best = d;
                    places[g].base = {q[0], q[1], q[2]};
                    places[g].anchor = {at[0], at[1], at[2]};
                    places[g].tube = src.tube[src.bark[t * 3]];
                }
            }
        if (best == 1e300) places[g].base = {src.leaves[g].centre[0], src.leaves[g].centre[1], src.leaves[g].centre[2]};
    }
    return places;
}

// Moves the leaves `which` (indices into places) rigidly with their bark:
// by as much as the bark point under the base moved to the nearest point of
// what `current` keeps of the piece the leaf hangs from, or of any bark
// where that piece is gone (a dropped twig's leaves go onto its branch).
// Leaves without bark stay as they are.
void place_leaves(const lod_source& src, const std::vector<unsigned>& current, std::vector<leaf_place>& places,
                  const std::vector<std::size_t>& which) {
    std::vector<unsigned> tags = tubes_of(src, current);
    std::vector<std::uint8_t> kept(src.tubes, 0);
    for (unsigned t : tags) kept[t] = 1;
    const triangle_grid grid(corners_of(current, src.positions), std::move(tags));
    for (std::size_t g : which) {
        leaf_place& at = places[g];
        at.shift = {0, 0, 0};
        double to[3] = {0, 0, 0}, d = 0;
        const unsigned tag = at.tube != ~0u && kept[at.tube] ? at.tube : triangle_grid::k_any;
        if (at.tube == ~0u || !grid.nearest(at.anchor.data(), to, d, tag)) continue;
        for (int k = 0; k < 3; ++k) at.shift[std::size_t(k)] = to[k] - at.anchor[std::size_t(k)];
    }
}
// The clusters cards are made of: each twig's polygons and each leaf's,
// with the bark piece it hangs from at level 0.
std::shared_ptr<const card_clusters> cluster_source(const mesh_layer& layer, const lod_source& src,
                                                    const std::vector<leaf_place>& places, const twig_order& twigs) {
    std::vector<card_part> parts;
    std::unordered_map<unsigned, std::size_t> twig_part;  // bark piece -> its part
    for (index_t p = 0; p < layer.polygon_count(); ++p) {
        if (src.first_vertex[p] == src.first_vertex[p + 1]) continue;
        const unsigned v = unsigned(src.vertex_of[src.first_vertex[p]]);
        if (!twigs.is_twig(src, v)) continue;
        const auto [it, added] = twig_part.emplace(src.tube[v], parts.size());
        if (added) parts.push_back({{}, src.tube[v], false});
        parts[it->second].polygons.push_back(p);
    }
    for (std::size_t g = 0; g < src.leaves.size(); ++g) parts.push_back({src.leaves[g].polygons, places[g].tube, true});
    return std::make_shared<const card_clusters>(gather_clusters(layer, parts));
}

// Kept leaves grow by at most this factor in size.
constexpr double k_max_leaf_growth = 2.0;

// Levels 1 ..: halving the level before (budgets empty, `levels` in all),
// or at most budgets[k] triangles at level k + 1.
std::vector<lod_level> lod_chain(const mesh_layer& layer, int levels, const std::vector<std::size_t>& budgets) {
    std::vector<lod_level> out;
    if (levels <= 1) return out;
    const auto started = std::chrono::steady_clock::now();
    const index_t leaf_surface = layer.strings().find(k_surface_leaf);
    const lod_source src = gather_lod_source(layer, leaf_surface);
    std::vector<leaf_place> places = leaf_bases(src);
    const double setup = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();

    const leaf_order leaves = order_leaves(layer, src.leaves);
    std::size_t leaves_before = leaves.total;
    // Twigs are kept whole or dropped whole, a prefix of a fixed random
    // order at each level: a four-sided tube simplified across its rings
    // folds into a ribbon. The rest of the bark is simplified.
    const twig_order twigs = order_twigs(layer, src);
    std::size_t kept_twigs = twigs.pieces.size(), twig_triangles = twigs.total;
    std::vector<unsigned> current = src.bark, simplified(src.bark.size()), rest;
    const std::size_t first = current.size() / 3 + leaves.total;
    std::size_t kept_leaves = src.leaves.size();
    std::shared_ptr<const card_clusters> clusters;
    for (int level = 1; level < levels; ++level) {
        const auto start = std::chrono::steady_clock::now();
        // The level's triangles: half those of the level before, or its
        // budget; the bark cut in the same proportion, the leaves taking up
        // the rest. The allowed shape error grows with the reduction.
        const std::size_t bark = current.size() / 3, before = bark + leaves_before;
        const std::size_t total = budgets.empty() ? before / 2 : std::min(before, budgets[std::size_t(level - 1)]);
        const std::size_t goal = before ? std::size_t(double(bark) * double(total) / double(before)) : 0;
        const float error = k_first_error * float(double(first) / double(std::max<std::size_t>(total, 1)) / 2.0);
        // The twigs keep half the bark's share of its goal: far off they
        // are thinner than a pixel, and leave their triangles to the leaves.
        {
            const double share = bark ? 0.5 * double(goal) / double(bark) : 0.0;
            const std::size_t twig_goal = std::size_t(double(twig_triangles) * share);
            std::size_t count = 0, tris = 0;
            while (count < kept_twigs && tris + twigs.triangles[count] <= twig_goal) tris += twigs.triangles[count++];
            kept_twigs = count;
            twig_triangles = tris;
        }
        // At card levels the twigs go into the cards (a tree without
        // leaves has none, and keeps its twigs).
        if (cards_at(total, first) && !clusters) clusters = cluster_source(layer, src, places, twigs);
        const bool cards = cards_at(total, first) && !clusters->frames.empty();
        if (cards) kept_twigs = 0, twig_triangles = 0;
        rest.clear();
        for (std::size_t t = 0; t < current.size(); t += 3)
            if (!twigs.is_twig(src, current[t])) rest.insert(rest.end(), &current[t], &current[t] + 3);
        simplify_bark(rest, simplified, src, total > twig_triangles ? total - twig_triangles : 0,
                      goal > twig_triangles ? goal - twig_triangles : 0, leaves_before, error);
        current.swap(rest);
        for (std::size_t i = 0; i < kept_twigs; ++i) twigs.append(i, current);
        const std::size_t leaf_budget = total > current.size() / 3 ? total - current.size() / 3 : 0;
        if (cards) {
            lod_level l;
            l.layer = write_level(layer, src, current, leaves, 0, 1.0, nullptr);
            l.card_count = add_cards(l.layer, *clusters, leaf_budget, layer) / 4;
            l.cards = clusters;
            leaves_before = l.card_count * 4;
            l.triangles = triangle_count(l.layer);
            l.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() +
                        (level == 1 ? setup : 0.0);
            out.push_back(std::move(l));
            continue;
        }

        std::size_t count = 0, leaf_tris = 0;
        while (count < kept_leaves && leaf_tris + leaves.triangles[leaves.order[count]] <= leaf_budget)
            leaf_tris += leaves.triangles[leaves.order[count++]];
        kept_leaves = count;
        leaves_before = leaf_tris;
        // Each kept leaf grows so that together they cover what all did, up
        // to a limit, and moves with what is kept of its bark.
        const double scale =
            count ? std::min(k_max_leaf_growth, std::sqrt(double(src.leaves.size()) / double(count))) : 1.0;
        place_leaves(src, current, places,
                     std::vector<std::size_t>(leaves.order.begin(), leaves.order.begin() + std::ptrdiff_t(count)));
        lod_level l;
        l.layer = write_level(layer, src, current, leaves, count, scale, &places);
        l.triangles = triangle_count(l.layer);
        l.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() +
                    (level == 1 ? setup : 0.0);
        out.push_back(std::move(l));
    }
    return out;
}

}  // namespace

std::vector<lod_level> make_lod_chain(const mesh_layer& layer, int levels) { return lod_chain(layer, levels, {}); }

std::vector<lod_level> make_lod_chain(const mesh_layer& layer, const std::vector<std::size_t>& budgets) {
    return lod_chain(layer, int(budgets.size()) + 1, budgets);
}

// The largest shape error a tube is simplified with for its bark to stay
// round, relative to its radius: more flattens it.
constexpr double k_most_alpha = 1.0;

budget_level fit_to_budget(const mesh_layer& layer, std::size_t max_triangles) {
    const index_t leaf_surface = layer.strings().find(k_surface_leaf);
    const lod_source src = gather_lod_source(layer, leaf_surface);
    leaf_order leaves;  // every leaf, in creation order
    for (std::size_t g = 0; g < src.leaves.size(); ++g) {
        leaves.order.push_back(g);
        leaves.triangles.push_back(0);
        for (index_t p : src.leaves[g].polygons) leaves.triangles[g] += layer.polygon_points(p).size() - 2;
        leaves.total += leaves.triangles[g];
    }
    budget_level out;
    out.leaf_triangles = leaves.total;
    const std::size_t bark_budget = max_triangles > leaves.total ? max_triangles - leaves.total : 0;
    std::vector<unsigned> current = src.bark;
    // Twigs stay whole: a twig with fewer sides no longer shades as a tube.
    // The other bark takes the rest of the budget, each tube keeping its
    // cross-section; when that is too little all of it is simplified as one.
    const index_t twig = layer.strings().find(k_surface_twig);
    std::vector<unsigned> twigs, rest;
    for (std::size_t t = 0; t < current.size(); t += 3) {
        std::vector<unsigned>& to = twig != k_none && src.vt.surface[current[t]] == twig ? twigs : rest;
        to.insert(to.end(), &current[t], &current[t] + 3);
    }
    out.shape = budget_shape::round;
    if (current.size() / 3 > bark_budget) {
        // The second try goes on from where keeping every tube round stopped.
        const std::size_t left = twigs.size() / 3 < bark_budget ? bark_budget - twigs.size() / 3 : 0;
        const std::vector<unsigned> whole_rest = rest;
        if (left > 0 && simplify_by_girth(rest, src, left, k_most_alpha)) {
            current = std::move(rest);
            current.insert(current.end(), twigs.begin(), twigs.end());
        } else if (left > 0 && simplify_by_girth(rest, src, left)) {
            out.shape = budget_shape::twigs_whole;
            current = std::move(rest);
            current.insert(current.end(), twigs.begin(), twigs.end());
        } else {
            // All of it simplified as one, girth by girth; but as many
            // twigs as that keeps are kept whole instead (the others left
            // out, their leaves moved onto the branch): simplified, a
            // four-sided tube folds into a ribbon.
            std::vector<unsigned> all = current;
            simplify_by_girth(all, src, bark_budget);
            std::size_t twig_share = 0;
            for (std::size_t t = 0; t < all.size(); t += 3) twig_share += twig != k_none && src.vt.surface[all[t]] == twig;
            rest = whole_rest;
            out.shape = budget_shape::cut;
            current = std::move(all);
            if (twig_share > 0 && simplify_by_girth(rest, src, bark_budget - std::min(bark_budget, twig_share))) {
                const twig_order order = order_twigs(layer, src);
                std::size_t room = bark_budget - rest.size() / 3, kept = 0;
                for (; kept < order.pieces.size() && order.triangles[kept] <= room; ++kept) room -= order.triangles[kept];
                out.shape = budget_shape::twigs_dropped;
                current = std::move(rest);
                for (std::size_t i = 0; i < kept; ++i) order.append(i, current);
            }
        }
    }
    drop_degenerate(current, src.positions);
    out.bark_triangles = current.size() / 3;
    if (out.bark_triangles > bark_budget) {
        out.least = out.bark_triangles + leaves.total;
        return out;
    }
    // Leaves follow their simplified bark, as the levels' do.
    std::vector<leaf_place> places = leaf_bases(src);
    place_leaves(src, current, places, leaves.order);
    out.layer = write_level(layer, src, current, leaves, src.leaves.size(), 1.0, &places);
    out.fits = true;
    return out;
}

namespace {

// Replaces the integer at j[key] by its entry in map, when there is one.
void remap(json& j, const char* key, const std::vector<std::size_t>& map) {
    if (j.is_object() && j.contains(key) && j[key].is_number_integer()) j[key] = map.at(j[key].get<std::size_t>());
}

// Texture references anywhere inside a material: objects with "index" under
// a key ending in "Texture".
void remap_textures(json& j, const std::vector<std::size_t>& map) {
    if (!j.is_object()) return;
    for (auto it = j.begin(); it != j.end(); ++it) {
        const std::string& k = it.key();
        if (k.size() >= 7 && k.compare(k.size() - 7, 7, "Texture") == 0) remap(*it, "index", map);
        remap_textures(*it, map);
    }
}

}  // namespace

namespace {

constexpr const char* k_merged_arrays[] = {"accessors", "bufferViews", "materials", "meshes",
                                           "images",    "textures",    "samplers"};

// The index of an element equal to e in array a, appending it when there is none.
std::size_t shared(json& a, json e) {
    for (std::size_t i = 0; i < a.size(); ++i)
        if (a[i] == e) return i;
    a.push_back(std::move(e));
    return a.size() - 1;
}

// Appends one level's GLB to the merged document: its buffer views' bytes
// to `bin`, its arrays with their references renumbered, its mesh as node
// NAME_LOD<level> under the root node, its extensions to `used`. Images,
// samplers, textures and materials equal to those of a level before are
// shared, image bytes too: every level uses one bark and one leaf image.
void append_glb_level(const std::string& g, std::size_t level, const std::string& name, json& doc, json& nodes,
                      std::string& bin, std::vector<std::string>& used) {
    glb_chunks chunks = unpack_glb(g, "a level of detail is not a GLB");
    json d = std::move(chunks.doc);
    std::string level_bin = std::move(chunks.bin);
    json views = d.value("bufferViews", json::array()), images = d.value("images", json::array());
    std::vector<std::uint8_t> image_view(views.size(), 0);
    for (const json& i : images)
        if (i.contains("bufferView")) image_view.at(i["bufferView"].get<std::size_t>()) = 1;
    std::vector<std::size_t> view_map(views.size()), accessor_map, image_map, sampler_map, texture_map, material_map;
    for (std::size_t k = 0; k < views.size(); ++k) {
        json v = views[k];
        const std::size_t at = v.value("byteOffset", std::size_t(0)), len = v["byteLength"].get<std::size_t>();
        if (at > level_bin.size() || len > level_bin.size() - at) throw io_error("a level of detail is not a GLB");
        const std::string_view bytes(level_bin.data() + at, len);
        if (image_view[k]) {  // an image seen before keeps its view
            bool found = false;
            for (const json& i : doc["images"]) {
                const json& w = doc["bufferViews"][i["bufferView"].get<std::size_t>()];
                const std::size_t wa = w.value("byteOffset", std::size_t(0));
                if (w["byteLength"].get<std::size_t>() == len && bin.compare(wa, len, bytes) == 0) {
                    view_map[k] = i["bufferView"].get<std::size_t>();
                    found = true;
                    break;
                }
            }
            if (found) continue;
        }
        bin.append((4 - bin.size() % 4) % 4, '\0');
        v["buffer"] = 0;
        v["byteOffset"] = bin.size();
        bin.append(bytes);
        view_map[k] = doc["bufferViews"].size();
        doc["bufferViews"].push_back(std::move(v));
    }
    for (json& a : d.value("accessors", json::array())) {
        remap(a, "bufferView", view_map);
        accessor_map.push_back(doc["accessors"].size());
        doc["accessors"].push_back(std::move(a));
    }
    for (json& i : images) {
        remap(i, "bufferView", view_map);
        image_map.push_back(shared(doc["images"], std::move(i)));
    }
    for (json& s : d.value("samplers", json::array())) sampler_map.push_back(shared(doc["samplers"], std::move(s)));
    for (json& t : d.value("textures", json::array())) {
        remap(t, "source", image_map);
        remap(t, "sampler", sampler_map);
        texture_map.push_back(shared(doc["textures"], std::move(t)));
    }
    for (json& m : d.value("materials", json::array())) {
        remap_textures(m, texture_map);
        material_map.push_back(shared(doc["materials"], std::move(m)));
    }
    const std::string node_name = name + "_LOD" + std::to_string(level);
    json node = {{"name", node_name}};
    if (d.contains("meshes") && !d["meshes"].empty()) {
        json mesh = d["meshes"][0];
        mesh["name"] = node_name;
        for (json& p : mesh["primitives"]) {
            remap(p, "indices", accessor_map);
            remap(p, "material", material_map);
            for (auto& [k, v] : p["attributes"].items()) v = accessor_map.at(v.get<std::size_t>());
        }
        node["mesh"] = doc["meshes"].size();
        doc["meshes"].push_back(std::move(mesh));
    }
    for (const json& e : d.value("extensionsUsed", json::array()))
        if (std::find(used.begin(), used.end(), e.get<std::string>()) == used.end()) used.push_back(e);
    nodes[0]["children"].push_back(nodes.size());
    nodes.push_back(std::move(node));
}

}  // namespace

std::string merge_glb_levels(const std::vector<std::string>& glbs, const std::string& name,
                             const std::vector<double>& coverage) {
    json doc = {{"asset", {{"version", "2.0"}, {"generator", "Sylvaform"}}}, {"scene", 0}};
    for (const char* key : k_merged_arrays) doc[key] = json::array();
    json nodes = json::array({json{{"name", name}, {"children", json::array()}}});
    std::string bin;
    std::vector<std::string> used;
    for (std::size_t level = 0; level < glbs.size(); ++level)
        append_glb_level(glbs[level], level, name, doc, nodes, bin, used);
    if (glbs.size() > 1 && coverage.size() == glbs.size()) {
        // Level 0 stays in the scene; a viewer without the extension shows it alone.
        json& root = nodes[0];
        json ids = root["children"];
        ids.erase(ids.begin());
        root["children"] = json::array({1});
        root["extensions"] = {{"MSFT_lod", {{"ids", std::move(ids)}}}};
        root["extras"] = {{"MSFT_screencoverage", coverage}};
        used.insert(used.begin(), "MSFT_lod");
    }
    doc["nodes"] = std::move(nodes);
    doc["scenes"] = json::array({json{{"nodes", json::array({0})}}});
    for (const char* key : k_merged_arrays)
        if (doc[key].empty()) doc.erase(key);
    if (!used.empty()) doc["extensionsUsed"] = used;
    if (!bin.empty()) doc["buffers"] = json::array({json{{"byteLength", bin.size()}}});
    return pack_glb(doc, bin);
}

std::vector<double> lod_coverages(const std::vector<std::size_t>& triangles) {
    std::vector<double> c;
    for (std::size_t k = 0; k < triangles.size(); ++k)
        c.push_back(k + 1 == triangles.size() || triangles[0] == 0
                        ? 0.0
                        : 0.25 * double(triangles[k]) / double(triangles[0]));
    return c;
}

layer_health check_layer(const mesh_layer& layer, double far) {
    layer_health h;
    const index_t leaf_surface = layer.strings().find(k_surface_leaf);
    std::vector<index_t> slots;  // surfaces in order of first use
    std::unordered_map<std::uint64_t, std::array<double, 3>> smooth;  // (point, surface) -> summed normal
    auto key = [](index_t point, index_t surface) { return std::uint64_t(point) << 32 | surface; };
    std::vector<std::array<double, 3>> face(layer.polygon_count());
    for (index_t p = 0; p < layer.polygon_count(); ++p) {
        const auto pts = layer.polygon_points(p);
        if (pts.size() < 3) continue;
        const index_t s = layer.polygon_surface(p);
        auto slot = std::find(slots.begin(), slots.end(), s);
        if (slot == slots.end()) {
            slots.push_back(s);
            h.surfaces.push_back({s == k_none ? std::string() : std::string(layer.strings().view(s))});
            slot = slots.end() - 1;
        }
        surface_health& sh = h.surfaces[std::size_t(slot - slots.begin())];
        double n[3] = {0, 0, 0};
        for (std::size_t k = 0; k < pts.size(); ++k) {
            float a[3], b[3];
            for (int i = 0; i < 3; ++i)
                a[i] = float(layer.point(pts[k])[i]), b[i] = float(layer.point(pts[(k + 1) % pts.size()])[i]);
            add_newell_term(a, b, n[0], n[1], n[2]);
        }
        face[p] = {n[0], n[1], n[2]};
        for (index_t q : pts) {
            auto& sum = smooth[key(q, s)];
            for (int i = 0; i < 3; ++i) sum[i] += n[i];
        }
        for (std::size_t k = 1; k + 1 < pts.size(); ++k) {
            ++sh.triangles;
            double c[3][3];  // as the files hold them
            for (int i = 0; i < 3; ++i)
                for (int j = 0; j < 3; ++j) c[i][j] = float(layer.point(pts[i == 0 ? 0 : k + std::size_t(i) - 1])[j]);
            sh.degenerate += degenerate(c[0], c[1], c[2]);
        }
    }
    for (index_t p = 0; p < layer.polygon_count(); ++p) {
        const auto pts = layer.polygon_points(p);
        if (pts.size() < 3) continue;
        const index_t s = layer.polygon_surface(p);
        surface_health& sh = h.surfaces[std::size_t(std::find(slots.begin(), slots.end(), s) - slots.begin())];
        for (index_t q : pts) {
            const auto& sum = smooth[key(q, s)];
            ++sh.corners;
            sh.folded += sum[0] * face[p][0] + sum[1] * face[p][1] + sum[2] * face[p][2] < 0;
        }
    }
    const triangle_grid bark(bark_triangles(layer, leaf_surface));
    for (const leaf_group& leaf : leaf_groups(layer, leaf_surface)) {
        double nearest = 1e300, at[3], d = 0;
        for (index_t p : leaf.polygons)
            for (index_t q : layer.polygon_points(p))
                if (bark.nearest(layer.point(q), at, d)) nearest = std::min(nearest, d);
        ++h.leaves;
        if (nearest == 1e300) {  // no bark at all
            ++h.leaves_far;
            continue;
        }
        h.leaves_far += nearest > far;
        h.farthest_leaf = std::max(h.farthest_leaf, nearest);
    }
    return h;
}

std::string lod_path(const std::string& path, int level) {
    const std::size_t slash = path.rfind('/');
    const std::size_t dot = path.rfind('.');
    const std::size_t at = dot == std::string::npos || (slash != std::string::npos && dot < slash) ? path.size() : dot;
    return path.substr(0, at) + "_LOD" + std::to_string(level) + path.substr(at);
}

}  // namespace sf::formats
