#include "app/impostor_bake.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <future>
#include <thread>
#include <limits>

#include "app/png_image.h"
#include "app/settings_args.h"
#include "app/textures.h"
#include "formats/cluster_cards.h"
#include "formats/errors.h"
#include "formats/leaf_tint.h"
#include "formats/normals.h"
#include "host/tool_names.h"

namespace sf::app {

namespace {

using formats::index_t;
using formats::k_none;
using formats::mesh_layer;

constexpr int k_samples = 2;         // per pixel along each axis when baking
constexpr double k_margin = 0.03;    // of the tree's larger extent, around every view
constexpr double k_leaf_bend = 1.0;  // weight of the crown's outward direction in a leaf's normal
constexpr double k_deep_shade = 0.5; // colour at the crown's centre, 1 on its surface

// sRGB bytes to linear light, and back.
struct srgb_table {
    float to_linear[256];
    srgb_table() {
        for (int i = 0; i < 256; ++i) to_linear[i] = float(formats::srgb_to_linear(i / 255.0));
    }
};
const srgb_table k_srgb;

// The cube root by Newton's method from 1, a fixed number of steps: only
// IEEE operations, so every machine gets the same bits (a in [0.003, 1]).
double cube_root(double a) {
    double y = 1.0;
    for (int i = 0; i < 14; ++i) y = (2.0 * y + a / (y * y)) / 3.0;
    return y;
}

unsigned char to_srgb_byte(float linear) {
    const double v = std::clamp(double(linear), 0.0, 1.0);
    // v^(1/2.4) = v^(1/2) / v^(1/12), without the C library's pow.
    const double s = v <= 0.0031308 ? 12.92 * v : 1.055 * (std::sqrt(v) / cube_root(std::sqrt(std::sqrt(v)))) - 0.055;
    return static_cast<unsigned char>(std::lround(s * 255.0));
}

unsigned char to_unit_byte(float v) {
    return static_cast<unsigned char>(std::lround(std::clamp(v * 0.5f + 0.5f, 0.0f, 1.0f) * 255.0f));
}

// An RGBA image read at the nearest texel; v runs down from the top row.
struct texture {
    int w = 0, h = 0;
    std::vector<unsigned char> px;

    const unsigned char* at(float u, float v) const {
        const int x = std::clamp(int(std::floor(u * float(w))), 0, w - 1);
        const int y = std::clamp(int(std::floor(v * float(h))), 0, h - 1);
        return &px[(std::size_t(y) * std::size_t(w) + std::size_t(x)) * 4];
    }
};

texture decoded(const std::string& png) {
    decoded_png d = decode_png(png, k_max_texture_side);
    return {d.width, d.height, std::move(d.rgba)};
}

enum material : std::uint8_t { m_bark, m_twig, m_leaf, m_other, m_cards, m_count };

// How each material is drawn: a flat linear colour, or a texture cut out
// by its alpha (its colour times the corner's tint).
struct looks {
    float colour[m_count][3] = {};
    const texture* image[m_count] = {};
};

// Triangles ready to draw: per corner its position, shading normal, the
// direction its normal leans towards (leaves), texture coordinates (v down)
// and tint; per triangle its material.
struct soup {
    std::vector<float> pos, nrm, bend, uv, tint;
    std::vector<std::uint8_t> mat;
    std::size_t size() const { return mat.size(); }
};

double dot3(const double* a, const double* b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }

// Per sample: nearest depth, linear colour and view-space normal.
struct frame {
    int w, h;
    std::vector<float> depth, rgb, nrm;
    frame(int width, int height, bool shaded)
        : w(width), h(height), depth(std::size_t(width) * height, -std::numeric_limits<float>::infinity()) {
        if (shaded) {
            rgb.assign(depth.size() * 3, 0.0f);
            nrm.assign(depth.size() * 3, 0.0f);
        }
    }
    bool hit(std::size_t i) const { return depth[i] != -std::numeric_limits<float>::infinity(); }
};

float edge(const float* a, const float* b, float px, float py) {
    return (b[0] - a[0]) * (py - a[1]) - (b[1] - a[1]) * (px - a[0]);
}

// Draws the soup into the frame: depth-tested, cut out where a texture's
// alpha is below one half. With cull, triangles whose normal (of their
// first corner) faces away are left out; the tree's are all drawn (leaves
// are two-sided, and a tube's back faces lie behind its front ones).
void draw(const soup& s, const looks& lk, const ortho_view& v, frame& f, bool cull = false) {
    const bool shaded = !f.rgb.empty();
    const float sx = float(f.w) / float(2.0 * v.half_width), sy = float(f.h) / float(2.0 * v.half_height);
    for (std::size_t t = 0; t < s.size(); ++t) {
        float c[3][3];
        bool ok = true;
        for (int k = 0; k < 3; ++k) {
            const float* p = &s.pos[t * 9 + std::size_t(k) * 3];
            const double d[3] = {p[0] - v.centre[0], p[1] - v.centre[1], p[2] - v.centre[2]};
            c[k][0] = float(dot3(d, v.right)) * sx + float(f.w) * 0.5f;
            c[k][1] = float(f.h) * 0.5f - float(dot3(d, v.up)) * sy;
            c[k][2] = float(dot3(d, v.toward));
            ok = ok && std::isfinite(c[k][0]) && std::isfinite(c[k][1]) && std::isfinite(c[k][2]);
        }
        if (!ok) continue;
        if (cull) {
            const double n[3] = {s.nrm[t * 9], s.nrm[t * 9 + 1], s.nrm[t * 9 + 2]};
            if (dot3(n, v.toward) <= 0.0) continue;
        }
        const float area = edge(c[0], c[1], c[2][0], c[2][1]);
        if (!(std::fabs(area) > 1e-12f)) continue;
        const int x0 = std::max(0, int(std::ceil(std::min({c[0][0], c[1][0], c[2][0]}) - 0.5f)));
        const int x1 = std::min(f.w - 1, int(std::floor(std::max({c[0][0], c[1][0], c[2][0]}) - 0.5f)));
        const int y0 = std::max(0, int(std::ceil(std::min({c[0][1], c[1][1], c[2][1]}) - 0.5f)));
        const int y1 = std::min(f.h - 1, int(std::floor(std::max({c[0][1], c[1][1], c[2][1]}) - 0.5f)));
        if (x0 > x1 || y0 > y1) continue;
        const material m = material(s.mat[t]);
        const texture* image = lk.image[m];
        const float* uv = &s.uv[t * 6];
        const float inv = 1.0f / area;
        for (int y = y0; y <= y1; ++y) {
            const float py = float(y) + 0.5f;
            for (int x = x0; x <= x1; ++x) {
                const float px = float(x) + 0.5f;
                const float w0 = edge(c[1], c[2], px, py) * inv, w1 = edge(c[2], c[0], px, py) * inv,
                            w2 = edge(c[0], c[1], px, py) * inv;
                if (w0 < 0.0f || w1 < 0.0f || w2 < 0.0f) continue;
                const std::size_t i = std::size_t(y) * std::size_t(f.w) + std::size_t(x);
                const float z = w0 * c[0][2] + w1 * c[1][2] + w2 * c[2][2];
                if (z <= f.depth[i]) continue;
                const unsigned char* texel = nullptr;
                if (image) {
                    texel = image->at(w0 * uv[0] + w1 * uv[2] + w2 * uv[4], w0 * uv[1] + w1 * uv[3] + w2 * uv[5]);
                    if (texel[3] < 128) continue;
                }
                f.depth[i] = z;
                if (!shaded) continue;
                const float* tn = &s.tint[t * 9];
                for (int k = 0; k < 3; ++k) {
                    const float tint = w0 * tn[k] + w1 * tn[3 + k] + w2 * tn[6 + k];
                    f.rgb[i * 3 + std::size_t(k)] = (texel ? k_srgb.to_linear[texel[k]] : lk.colour[m][k]) * tint;
                }
                double n[3], b[3];
                for (int k = 0; k < 3; ++k) {
                    const std::size_t at = t * 9 + std::size_t(k);
                    n[k] = w0 * s.nrm[at] + w1 * s.nrm[at + 3] + w2 * s.nrm[at + 6];
                    b[k] = w0 * s.bend[at] + w1 * s.bend[at + 3] + w2 * s.bend[at + 6];
                }
                if (dot3(n, v.toward) < 0.0)
                    for (double& e : n) e = -e;
                double len = std::sqrt(dot3(n, n));
                if (len > 0)
                    for (double& e : n) e /= len;
                for (int k = 0; k < 3; ++k) n[k] += k_leaf_bend * b[k];
                f.nrm[i * 3] = float(dot3(n, v.right));
                f.nrm[i * 3 + 1] = float(dot3(n, v.up));
                f.nrm[i * 3 + 2] = float(dot3(n, v.toward));
            }
        }
    }
}

material material_of(std::string_view surface) {
    if (surface == formats::k_surface_leaf_cards) return m_cards;
    switch (formats::look_of(surface)) {
        case formats::surface_look::bark: return m_bark;
        case formats::surface_look::twig: return m_twig;
        case formats::surface_look::leaf: return m_leaf;
        case formats::surface_look::other: break;
    }
    return m_other;
}

struct bounds {
    double lo[3] = {1e300, 1e300, 1e300}, hi[3] = {-1e300, -1e300, -1e300};
    void add(const double* p) {
        for (int k = 0; k < 3; ++k) lo[k] = std::min(lo[k], p[k]), hi[k] = std::max(hi[k], p[k]);
    }
    bool empty() const { return !(lo[0] <= hi[0]); }
};

bool finite3(const double* p) { return std::isfinite(p[0]) && std::isfinite(p[1]) && std::isfinite(p[2]); }

// The tree's faces as a soup: smooth normals per point over the leaves and
// over the rest apart, the leaf atlas' coordinates per corner (a corner's
// own value first, else the point's), the leaves' tints; with deep_shade,
// darker deeper in the crown.
soup soup_of(const mesh_layer& tree, bool deep_shade = true) {
    const index_t points = tree.point_count();
    std::vector<material> mats(tree.strings().size(), m_other);
    for (index_t s = 0; s < mats.size(); ++s) mats[s] = material_of(tree.strings().view(s));
    auto mat_of = [&](index_t p) {
        const index_t s = tree.polygon_surface(p);
        return s < mats.size() ? mats[s] : m_other;
    };
    auto usable = [&](index_t p) {
        const auto pts = tree.polygon_points(p);
        if (pts.size() < 3) return false;
        for (index_t q : pts)
            if (q >= points || !finite3(tree.point(q))) return false;
        return true;
    };
    // Smooth normals: leaves and the rest summed apart.
    std::vector<float> leaf_n(std::size_t(points) * 3, 0.0f), bark_n(std::size_t(points) * 3, 0.0f);
    bounds leaves;
    for (index_t p = 0; p < tree.polygon_count(); ++p) {
        if (!usable(p)) continue;
        const auto pts = tree.polygon_points(p);
        double n[3] = {0, 0, 0};
        for (std::size_t k = 0; k < pts.size(); ++k) {
            const double* a = tree.point(pts[k]);
            const double* b = tree.point(pts[(k + 1) % pts.size()]);
            const float fa[3] = {float(a[0]), float(a[1]), float(a[2])}, fb[3] = {float(b[0]), float(b[1]), float(b[2])};
            formats::add_newell_term(fa, fb, n[0], n[1], n[2]);
        }
        const bool leaf = mat_of(p) == m_leaf;
        std::vector<float>& sum = leaf ? leaf_n : bark_n;
        for (index_t q : pts) {
            for (int k = 0; k < 3; ++k) sum[std::size_t(q) * 3 + std::size_t(k)] += float(n[k]);
            if (leaf) leaves.add(tree.point(q));
        }
    }
    for (std::vector<float>* sum : {&leaf_n, &bark_n})
        for (index_t q = 0; q < points; ++q) formats::normalise_or_up(&(*sum)[std::size_t(q) * 3]);

    // The atlas' coordinates: per-polygon values override the point's.
    const index_t atlas = tree.find_map(LWVMAP_TXUV, k_map_leaf_atlas_uv);
    std::vector<index_t> start, order;
    if (atlas != k_none) {
        const auto keep = [&](const formats::value_record& r) { return r.map == atlas && r.polygon < tree.polygon_count(); };
        std::size_t used = 0;
        for (const formats::value_record& r : tree.polygon_point_values()) used += keep(r);
        if (used > 0) formats::group_values_by_polygon(tree, keep, used, start, order);
    }
    const index_t cards = tree.find_map(LWVMAP_TXUV, formats::k_map_cards_uv);
    const std::vector<float> tints = formats::leaf_tints(tree);
    // The crown's outward direction: the normal of the ellipsoid through
    // the leaves' bounds.
    double centre[3], half[3];
    for (int k = 0; k < 3; ++k) {
        centre[k] = leaves.empty() ? 0.0 : 0.5 * (leaves.lo[k] + leaves.hi[k]);
        half[k] = leaves.empty() ? 1.0 : std::max(0.5 * (leaves.hi[k] - leaves.lo[k]), 1e-3);
    }

    soup s;
    for (index_t p = 0; p < tree.polygon_count(); ++p) {
        if (!usable(p)) continue;
        const auto pts = tree.polygon_points(p);
        const material m = mat_of(p);
        auto corner_uv = [&](index_t q, float* out) {
            out[0] = out[1] = 0.0f;
            if (m == m_cards && cards != k_none) {
                if (const float* v = tree.point_value(cards, q); v && std::isfinite(v[0]) && std::isfinite(v[1]))
                    out[0] = v[0], out[1] = 1.0f - v[1];
                return;
            }
            if (atlas == k_none || m != m_leaf) return;
            const float* v = nullptr;
            if (!start.empty())
                for (index_t i = start[p]; i < start[p + 1]; ++i) {
                    const formats::value_record& r = tree.polygon_point_values()[order[i]];
                    if (r.point == q) v = r.v;
                }
            if (!v) v = tree.point_value(atlas, q);
            if (!v || !std::isfinite(v[0]) || !std::isfinite(v[1])) return;
            out[0] = v[0];
            out[1] = 1.0f - v[1];  // the layer's v runs up the image
        };
        for (std::size_t k = 1; k + 1 < pts.size(); ++k) {
            for (const index_t q : {pts[0], pts[k], pts[k + 1]}) {
                const double* pt = tree.point(q);
                for (int i = 0; i < 3; ++i) s.pos.push_back(float(pt[i]));
                const float* n = &(m == m_leaf ? leaf_n : bark_n)[std::size_t(q) * 3];
                s.nrm.insert(s.nrm.end(), n, n + 3);
                double b[3] = {0, 0, 0};
                if (m == m_leaf) {
                    for (int i = 0; i < 3; ++i) b[i] = (pt[i] - centre[i]) / (half[i] * half[i]);
                    const double len = std::sqrt(dot3(b, b));
                    for (double& e : b) e = len > 0 ? e / len : 0.0;
                }
                for (double e : b) s.bend.push_back(float(e));
                float uv[2];
                corner_uv(q, uv);
                s.uv.insert(s.uv.end(), uv, uv + 2);
                // Darker deeper in the crown, where a tree shades itself.
                double r = 0;
                for (int i = 0; i < 3; ++i) r += (pt[i] - centre[i]) * (pt[i] - centre[i]) / (half[i] * half[i]);
                const float occlusion = leaves.empty() || !deep_shade ? 1.0f : float(k_deep_shade + (1.0 - k_deep_shade) * std::min(1.0, r));
                for (int i = 0; i < 3; ++i)
                    s.tint.push_back(occlusion * (tints.empty() ? 1.0f : tints[std::size_t(q) * 3 + std::size_t(i)]));
            }
            s.mat.push_back(m);
        }
    }
    return s;
}

// The looks of the tree's materials from its images: the bark (and
// twigs) the mean of the bark image, leaves the atlas; display colours
// where there is no image.
struct tree_looks {
    texture leaf_atlas;
    looks lk;
};

void set_colour(looks& lk, material m, formats::surface_look look) {
    const formats::rgb c = formats::linear_colour(look);
    lk.colour[m][0] = float(c.r), lk.colour[m][1] = float(c.g), lk.colour[m][2] = float(c.b);
}

void looks_of(const formats::texture_set& textures, tree_looks& out) {
    looks& lk = out.lk;
    set_colour(lk, m_bark, formats::surface_look::bark);
    set_colour(lk, m_twig, formats::surface_look::twig);
    set_colour(lk, m_leaf, formats::surface_look::leaf);
    set_colour(lk, m_other, formats::surface_look::other);
    set_colour(lk, m_cards, formats::surface_look::leaf);
    if (!textures.bark_png.empty()) {
        const texture bark = decoded(textures.bark_png);
        double sum[3] = {0, 0, 0};
        for (std::size_t i = 0; i + 3 < bark.px.size(); i += 4)
            for (int k = 0; k < 3; ++k) sum[k] += k_srgb.to_linear[bark.px[i + std::size_t(k)]];
        const double n = double(bark.px.size() / 4);
        for (material m : {m_bark, m_twig})
            for (int k = 0; k < 3; ++k) lk.colour[m][k] = float(sum[k] / n);
    }
    if (!textures.leaf_png.empty()) {
        out.leaf_atlas = decoded(textures.leaf_png);
        lk.image[m_leaf] = &out.leaf_atlas;
    }
}

// The pivot: the middle of the trunk's lowest points (every trunk's, for
// several), else of the bounds, at the height of the lowest point.
void place_pivot(const mesh_layer& tree, const bounds& all, double (&pivot)[3]) {
    pivot[0] = 0.5 * (all.lo[0] + all.hi[0]);
    pivot[2] = 0.5 * (all.lo[2] + all.hi[2]);
    pivot[1] = all.lo[1];
    const index_t trunk = tree.strings().find(k_surface_trunk);
    if (trunk == k_none) return;
    bounds trunk_bounds;
    for (index_t p = 0; p < tree.polygon_count(); ++p)
        if (tree.polygon_surface(p) == trunk)
            for (index_t q : tree.polygon_points(p))
                if (q < tree.point_count() && finite3(tree.point(q))) trunk_bounds.add(tree.point(q));
    if (trunk_bounds.empty()) return;
    const double low = trunk_bounds.lo[1] + 0.02 * (trunk_bounds.hi[1] - trunk_bounds.lo[1]);
    double sum[2] = {0, 0};
    std::size_t n = 0;
    for (index_t p = 0; p < tree.polygon_count(); ++p)
        if (tree.polygon_surface(p) == trunk)
            for (index_t q : tree.polygon_points(p))
                if (q < tree.point_count() && finite3(tree.point(q)) && tree.point(q)[1] <= low) {
                    sum[0] += tree.point(q)[0];
                    sum[1] += tree.point(q)[2];
                    ++n;
                }
    if (n == 0) return;
    pivot[0] = sum[0] / double(n);
    pivot[2] = sum[1] / double(n);
}

ortho_view top_view(const formats::impostor& imp, int width, int height) {
    ortho_view v;
    v.centre[0] = imp.pivot[0], v.centre[1] = imp.top, v.centre[2] = imp.pivot[2];
    v.right[0] = 1, v.right[1] = 0, v.right[2] = 0;
    v.up[0] = 0, v.up[1] = 0, v.up[2] = -1;
    v.toward[0] = 0, v.toward[1] = 1, v.toward[2] = 0;
    v.half_width = v.half_height = imp.half_width;
    v.width = width, v.height = height;
    return v;
}

// One view drawn at k_samples² samples a pixel and averaged into its cell
// of the atlases: alpha the share of samples covered, colour and normal
// the mean of those.
void bake_cell(const soup& s, const looks& lk, const ortho_view& v, int x0, int y0, int atlas_w,
               std::vector<float>& colour, std::vector<float>& normal, std::vector<float>& alpha) {
    ortho_view fine = v;
    fine.width *= k_samples, fine.height *= k_samples;
    frame f(fine.width, fine.height, true);
    draw(s, lk, fine, f);
    for (int y = 0; y < v.height; ++y)
        for (int x = 0; x < v.width; ++x) {
            float c[3] = {0, 0, 0}, n[3] = {0, 0, 0};
            int hits = 0;
            for (int sy = 0; sy < k_samples; ++sy)
                for (int sx = 0; sx < k_samples; ++sx) {
                    const std::size_t i = std::size_t(y * k_samples + sy) * std::size_t(f.w) + std::size_t(x * k_samples + sx);
                    if (!f.hit(i)) continue;
                    ++hits;
                    for (int k = 0; k < 3; ++k) c[k] += f.rgb[i * 3 + std::size_t(k)], n[k] += f.nrm[i * 3 + std::size_t(k)];
                }
            const std::size_t o = std::size_t(y0 + y) * std::size_t(atlas_w) + std::size_t(x0 + x);
            alpha[o] = float(hits) / float(k_samples * k_samples);
            if (hits == 0) continue;
            const float len = std::sqrt(n[0] * n[0] + n[1] * n[1] + n[2] * n[2]);
            for (int k = 0; k < 3; ++k) {
                colour[o * 3 + std::size_t(k)] = c[k] / float(hits);
                normal[o * 3 + std::size_t(k)] = len > 0 ? n[k] / len : (k == 2 ? 1.0f : 0.0f);
            }
        }
}

// Colour spreads from covered pixels into the empty ones of a cell, ring
// by ring, so that filtered reads at the outline mix in no foreign colour;
// what stays empty takes the cell's mean colour. Empty pixels' normals face
// the camera (spread, they would cost more bytes than they are worth).
void bleed(int x0, int y0, int w, int h, int atlas_w, const std::vector<float>& alpha, std::vector<float>& colour,
           std::vector<float>& normal) {
    std::vector<std::uint8_t> known(std::size_t(w) * h);
    double mean[3] = {0, 0, 0};
    std::size_t count = 0;
    auto at = [&](int x, int y) { return std::size_t(y0 + y) * std::size_t(atlas_w) + std::size_t(x0 + x); };
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            if (alpha[at(x, y)] > 0.0f) {
                known[std::size_t(y) * w + x] = 1;
                for (int k = 0; k < 3; ++k) mean[k] += colour[at(x, y) * 3 + std::size_t(k)];
                ++count;
            } else {
                for (int k = 0; k < 3; ++k) normal[at(x, y) * 3 + std::size_t(k)] = k == 2 ? 1.0f : 0.0f;
            }
        }
    std::vector<std::uint8_t> next;
    for (int ring = 0; ring < 16; ++ring) {
        next = known;
        bool grew = false;
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                if (known[std::size_t(y) * w + x]) continue;
                float c[3] = {0, 0, 0};
                int n = 0;
                for (const auto& [dx, dy] : {std::pair{-1, 0}, std::pair{1, 0}, std::pair{0, -1}, std::pair{0, 1}}) {
                    const int nx = x + dx, ny = y + dy;
                    if (nx < 0 || ny < 0 || nx >= w || ny >= h || !known[std::size_t(ny) * w + nx]) continue;
                    for (int k = 0; k < 3; ++k) c[k] += colour[at(nx, ny) * 3 + std::size_t(k)];
                    ++n;
                }
                if (n == 0) continue;
                for (int k = 0; k < 3; ++k) colour[at(x, y) * 3 + std::size_t(k)] = c[k] / float(n);
                next[std::size_t(y) * w + x] = 1;
                grew = true;
            }
        known.swap(next);
        if (!grew) break;
    }
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            if (!known[std::size_t(y) * w + x])
                for (int k = 0; k < 3; ++k)
                    colour[at(x, y) * 3 + std::size_t(k)] = count ? float(mean[k] / double(count)) : 0.0f;
}

// Linear colour and coverage as an sRGB RGBA PNG.
std::string rgba_png(const std::vector<float>& colour, const std::vector<float>& alpha, int width, int height) {
    std::vector<unsigned char> rgba(alpha.size() * 4);
    for (std::size_t i = 0; i < alpha.size(); ++i) {
        for (int k = 0; k < 3; ++k) rgba[i * 4 + std::size_t(k)] = to_srgb_byte(colour[i * 3 + std::size_t(k)]);
        rgba[i * 4 + 3] = static_cast<unsigned char>(std::lround(alpha[i] * 255.0f));
    }
    return encode_png_8bit(rgba.data(), width, height, true, 6);
}

}  // namespace

ortho_view impostor_side_view(const formats::impostor& imp, int k, int width, int height) {
    double sa, ca;
    formats::impostor_direction(k, sa, ca);
    ortho_view v;
    v.centre[0] = imp.pivot[0], v.centre[1] = 0.5 * (imp.bottom + imp.top), v.centre[2] = imp.pivot[2];
    v.right[0] = ca, v.right[1] = 0, v.right[2] = -sa;
    v.up[0] = 0, v.up[1] = 1, v.up[2] = 0;
    v.toward[0] = sa, v.toward[1] = 0, v.toward[2] = ca;
    v.half_width = imp.half_width;
    v.half_height = 0.5 * (imp.top - imp.bottom);
    v.width = width, v.height = height;
    return v;
}

formats::impostor bake_impostor(const mesh_layer& tree, const formats::texture_set& textures, int cell) {
    const soup s = soup_of(tree);
    if (s.size() == 0)
        throw usage_error("--impostor: the tree has no faces to draw (Render Type Skeleton); use Polygonal or SubD");
    bounds all;
    for (std::size_t i = 0; i + 2 < s.pos.size(); i += 3) {
        const double p[3] = {s.pos[i], s.pos[i + 1], s.pos[i + 2]};
        all.add(p);
    }
    formats::impostor imp;
    place_pivot(tree, all, imp.pivot);
    double radius = 0;
    for (std::size_t i = 0; i + 2 < s.pos.size(); i += 3)
    {
        const double dx = s.pos[i] - imp.pivot[0], dz = s.pos[i + 2] - imp.pivot[2];
        radius = std::max(radius, std::sqrt(dx * dx + dz * dz));
    }
    const double height = all.hi[1] - all.lo[1];
    const double margin = k_margin * std::max({2.0 * radius, height, 1e-3});
    imp.half_width = radius + margin;
    imp.bottom = all.lo[1] - margin;
    imp.top = all.hi[1] + margin;
    for (int k = 0; k < 3; ++k) imp.lo[k] = all.lo[k], imp.hi[k] = all.hi[k];

    // Cells of one size, the side views' shape, their longer edge `cell`
    // pixels; 3 x 3 of them, the top view last.
    const double w_world = 2.0 * imp.half_width, h_world = imp.top - imp.bottom, longer = std::max(w_world, h_world);
    const int cw = std::max(16, int(std::lround(cell * w_world / longer)));
    const int ch = std::max(16, int(std::lround(cell * h_world / longer)));
    imp.width = 3 * cw;
    imp.height = 3 * ch;
    std::vector<float> colour(std::size_t(imp.width) * imp.height * 3, 0.0f), normal(colour.size(), 0.0f),
        alpha(std::size_t(imp.width) * imp.height, 0.0f);

    tree_looks tl;
    looks_of(textures, tl);
    constexpr int views = formats::k_impostor_sides + 1;
    for (int k = 0; k < views; ++k) {
        const int x0 = (k % 3) * cw, y0 = (k / 3) * ch;
        imp.cells.push_back({double(x0) / imp.width, double(y0) / imp.height, double(x0 + cw) / imp.width,
                             double(y0 + ch) / imp.height});
    }
    // The views on every core: each fills its own cell.
    std::atomic<int> next{0};
    auto work = [&] {
        for (int k; (k = next++) < views;) {
            const int x0 = (k % 3) * cw, y0 = (k / 3) * ch;
            const ortho_view v = k < formats::k_impostor_sides ? impostor_side_view(imp, k, cw, ch) : top_view(imp, cw, ch);
            bake_cell(s, tl.lk, v, x0, y0, imp.width, colour, normal, alpha);
            bleed(x0, y0, cw, ch, imp.width, alpha, colour, normal);
        }
    };
    std::vector<std::future<void>> helpers;
    const unsigned cores = std::max(1u, std::min(unsigned(views), std::thread::hardware_concurrency()));
    for (unsigned t = 1; t < cores; ++t) helpers.push_back(std::async(std::launch::async, work));
    work();
    for (auto& h : helpers) h.get();

    std::vector<unsigned char> rgb(alpha.size() * 3);
    for (std::size_t i = 0; i < rgb.size(); ++i) rgb[i] = to_unit_byte(normal[i]);
    imp.colour_png = rgba_png(colour, alpha, imp.width, imp.height);
    imp.normal_png = encode_png_8bit(rgb.data(), imp.width, imp.height, false, 6);
    return imp;
}

std::string bake_views(const std::vector<view_cell>& cells, const formats::texture_set& textures, int width,
                       int height) {
    std::vector<float> colour(std::size_t(width) * height * 3, 0.0f), normal(colour.size(), 0.0f),
        alpha(std::size_t(width) * height, 0.0f);
    tree_looks tl;
    looks_of(textures, tl);
    for (const view_cell& c : cells) {
        const soup s = soup_of(*c.layer, false);
        bake_cell(s, tl.lk, c.view, c.x0, c.y0, width, colour, normal, alpha);
        bleed(c.x0, c.y0, c.view.width, c.view.height, width, alpha, colour, normal);
    }
    return rgba_png(colour, alpha, width, height);
}

std::vector<std::uint8_t> tree_coverage(const mesh_layer& tree, const formats::texture_set& textures,
                                        const ortho_view& view, const std::string& cards_png) {
    const soup s = soup_of(tree);
    tree_looks tl;
    looks_of(textures, tl);
    texture cards;
    if (!cards_png.empty()) {
        cards = decoded(cards_png);
        tl.lk.image[m_cards] = &cards;
    }
    frame f(view.width, view.height, false);
    draw(s, tl.lk, view, f);
    std::vector<std::uint8_t> out(f.depth.size());
    for (std::size_t i = 0; i < out.size(); ++i) out[i] = f.hit(i);
    return out;
}

std::vector<std::uint8_t> cards_coverage(const formats::impostor& imp, const ortho_view& view, int only) {
    const texture atlas = decoded(imp.colour_png);
    soup s;
    const std::vector<formats::impostor_card> cards = formats::impostor_cards(imp);
    for (std::size_t k = 0; k < cards.size(); ++k)
        if (only < 0 || std::size_t(only) == k)
        for (const std::array<int, 3> tri : {std::array{0, 1, 2}, std::array{0, 2, 3}}) {
            for (int c : tri) {
                const formats::impostor_vertex& v = cards[k][std::size_t(c)];
                s.pos.insert(s.pos.end(), v.pos, v.pos + 3);
                s.nrm.insert(s.nrm.end(), v.normal, v.normal + 3);
                s.uv.insert(s.uv.end(), v.uv, v.uv + 2);
            }
            s.mat.push_back(m_other);
        }
    looks lk;
    lk.image[m_other] = &atlas;
    frame f(view.width, view.height, false);
    draw(s, lk, view, f, true);
    std::vector<std::uint8_t> out(f.depth.size());
    for (std::size_t i = 0; i < out.size(); ++i) out[i] = f.hit(i);
    return out;
}

}  // namespace sf::app
