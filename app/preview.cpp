#include "app/preview.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

#include "app/png_image.h"
#include "formats/file_io.h"
#include "formats/materials.h"

namespace sf::app {

namespace {

using formats::index_t;
using formats::mesh_layer;

constexpr int k_ss = 2;                           // samples per pixel along each axis
constexpr int k_view = k_preview_height * k_ss;  // one view, square, in samples
constexpr double k_margin = 0.06;                 // of the view size, on each side

enum kind : std::uint8_t { k_empty, k_bark, k_twig, k_leaf, k_line, k_other, k_kinds };

// Surfaces in their display colours (formats/materials.h); the preview's
// own colours for the background and the skeleton's lines.
struct palette {
    float colour[k_kinds][3];
};

palette make_palette() {
    palette p{};
    auto put = [&](kind k, formats::rgb c) {
        p.colour[k][0] = static_cast<float>(c.r);
        p.colour[k][1] = static_cast<float>(c.g);
        p.colour[k][2] = static_cast<float>(c.b);
    };
    put(k_empty, {1.0, 1.0, 1.0});  // nothing drawn
    put(k_bark, formats::display_colour(formats::surface_look::bark));
    put(k_twig, formats::display_colour(formats::surface_look::twig));
    put(k_leaf, formats::display_colour(formats::surface_look::leaf));
    put(k_line, {0.30, 0.20, 0.12});  // lines without a surface (the skeleton)
    put(k_other, formats::display_colour(formats::surface_look::other));
    return p;
}

const palette k_palette = make_palette();
const auto& k_colour = k_palette.colour;

constexpr float k_crown_fill[3] = {0.95f, 0.965f, 0.98f};
constexpr float k_crown_edge[3] = {0.70f, 0.78f, 0.87f};

kind kind_of(std::string_view surface) {
    switch (formats::look_of(surface)) {
        case formats::surface_look::bark: return k_bark;
        case formats::surface_look::twig: return k_twig;
        case formats::surface_look::leaf: return k_leaf;
        case formats::surface_look::other: break;
    }
    return k_other;
}

// Where a world point lands in a view: sample coordinates and a depth,
// larger nearer.
struct projection {
    int axis;  // the world axis drawn to the right: 0 (x, front) or 2 (z, side)
    double centre_h, centre_y, scale;
    double near, far;  // depth of the nearest and farthest point: z or -x

    void apply(const double* p, float* out) const {
        out[0] = static_cast<float>((p[axis] - centre_h) * scale + k_view * 0.5);
        out[1] = static_cast<float>(k_view * 0.5 - (p[1] - centre_y) * scale);
        const double d = axis == 0 ? p[2] : -p[0];
        out[2] = static_cast<float>(far < near ? (d - far) / (near - far) : 1.0);
    }
};

// One view: per sample the kind drawn, its shade and depth, and the crown.
struct canvas {
    std::vector<float> depth = std::vector<float>(std::size_t(k_view) * k_view, -1.0f);
    std::vector<float> shade = std::vector<float>(std::size_t(k_view) * k_view, 1.0f);
    std::vector<std::uint8_t> what = std::vector<std::uint8_t>(std::size_t(k_view) * k_view, k_empty);
    std::vector<std::uint8_t> crown = std::vector<std::uint8_t>(std::size_t(k_view) * k_view, 0);

    void plot(int x, int y, float d, kind k, float s) {
        if (x < 0 || y < 0 || x >= k_view || y >= k_view) return;
        const std::size_t i = std::size_t(y) * k_view + std::size_t(x);
        if (d <= depth[i]) return;
        depth[i] = d;
        what[i] = k;
        shade[i] = s;
    }
};

float edge(const float* a, const float* b, float px, float py) {
    return (b[0] - a[0]) * (py - a[1]) - (b[1] - a[1]) * (px - a[0]);
}

// Calls f(x, y, w0, w1, w2) with barycentric weights for every sample
// centre inside the triangle (edges included).
template <class F>
void raster_triangle(const float* a, const float* b, const float* c, F&& f) {
    const float area = edge(a, b, c[0], c[1]);
    if (!(std::fabs(area) > 1e-12f)) return;
    const float lo_x = std::max(std::min({a[0], b[0], c[0]}) - 0.5f, 0.0f);
    const float hi_x = std::min(std::max({a[0], b[0], c[0]}) - 0.5f, float(k_view - 1));
    const float lo_y = std::max(std::min({a[1], b[1], c[1]}) - 0.5f, 0.0f);
    const float hi_y = std::min(std::max({a[1], b[1], c[1]}) - 0.5f, float(k_view - 1));
    if (!(lo_x <= hi_x && lo_y <= hi_y)) return;
    const int x0 = static_cast<int>(std::ceil(lo_x)), x1 = static_cast<int>(std::floor(hi_x));
    const int y0 = static_cast<int>(std::ceil(lo_y)), y1 = static_cast<int>(std::floor(hi_y));
    const float inv = 1.0f / area;
    for (int y = y0; y <= y1; ++y) {
        const float py = float(y) + 0.5f;
        for (int x = x0; x <= x1; ++x) {
            const float px = float(x) + 0.5f;
            const float w0 = edge(b, c, px, py) * inv, w1 = edge(c, a, px, py) * inv, w2 = edge(a, b, px, py) * inv;
            if (w0 >= 0.0f && w1 >= 0.0f && w2 >= 0.0f) f(x, y, w0, w1, w2);
        }
    }
}

// Calls f(x, y, t) along a segment, a sample apart, t from 0 to 1.
template <class F>
void raster_line(const float* a, const float* b, F&& f) {
    const float dx = b[0] - a[0], dy = b[1] - a[1];
    const float len = std::max(std::fabs(dx), std::fabs(dy));
    // Clip the walk to the view so that far-off segments cost nothing.
    float t0 = 0.0f, t1 = 1.0f;
    const float p[4] = {-dx, dx, -dy, dy};
    const float q[4] = {a[0] + 1.0f, float(k_view) + 1.0f - a[0], a[1] + 1.0f, float(k_view) + 1.0f - a[1]};
    for (int i = 0; i < 4; ++i) {
        if (p[i] == 0.0f) {
            if (q[i] < 0.0f) return;
            continue;
        }
        const float r = q[i] / p[i];
        if (p[i] < 0.0f) t0 = std::max(t0, r);
        else t1 = std::min(t1, r);
    }
    if (!(t0 <= t1)) return;
    const int steps = static_cast<int>(std::ceil((t1 - t0) * len));
    for (int s = 0; s <= steps; ++s) {
        const float t = steps == 0 ? t0 : t0 + (t1 - t0) * float(s) / float(steps);
        f(static_cast<int>(std::floor(a[0] + dx * t)), static_cast<int>(std::floor(a[1] + dy * t)), t);
    }
}

bool finite3(const float* v) { return std::isfinite(v[0]) && std::isfinite(v[1]) && std::isfinite(v[2]); }

// Bounds of the finite points of both layers.
struct bounds {
    double lo[3] = {std::numeric_limits<double>::infinity(), std::numeric_limits<double>::infinity(),
                    std::numeric_limits<double>::infinity()};
    double hi[3] = {-std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity(),
                    -std::numeric_limits<double>::infinity()};

    void add(const mesh_layer& l) {
        const std::span<const double> xyz = l.point_coordinates();
        for (std::size_t i = 0; i + 2 < xyz.size(); i += 3) {
            if (!std::isfinite(xyz[i]) || !std::isfinite(xyz[i + 1]) || !std::isfinite(xyz[i + 2])) continue;
            for (int k = 0; k < 3; ++k) {
                lo[k] = std::min(lo[k], xyz[i + k]);
                hi[k] = std::max(hi[k], xyz[i + k]);
            }
        }
    }
    bool empty() const { return !(lo[0] <= hi[0]); }
};

void draw_crown(const mesh_layer& bg, const projection& view, canvas& c, std::vector<float>& corners) {
    for (index_t p = 0; p < bg.polygon_count(); ++p) {
        const std::span<const index_t> pts = bg.polygon_points(p);
        corners.resize(pts.size() * 3);
        bool ok = true;
        for (std::size_t k = 0; k < pts.size() && ok; ++k) {
            if (pts[k] >= bg.point_count()) ok = false;
            else {
                view.apply(bg.point(pts[k]), &corners[k * 3]);
                ok = finite3(&corners[k * 3]);
            }
        }
        if (!ok || pts.size() < 2) continue;
        auto mark = [&](int x, int y, auto...) {
            if (x >= 0 && y >= 0 && x < k_view && y < k_view) c.crown[std::size_t(y) * k_view + std::size_t(x)] = 1;
        };
        if (pts.size() == 2) raster_line(&corners[0], &corners[3], mark);
        for (std::size_t k = 1; k + 1 < pts.size(); ++k)
            raster_triangle(&corners[0], &corners[k * 3], &corners[k * 3 + 3], mark);
    }
}

void draw_tree(const mesh_layer& fg, const std::vector<std::uint8_t>& kinds, const projection& view, canvas& c,
               std::vector<float>& corners) {
    for (index_t p = 0; p < fg.polygon_count(); ++p) {
        const std::span<const index_t> pts = fg.polygon_points(p);
        if (pts.size() < 2) continue;
        const index_t s = fg.polygon_surface(p);
        kind k = s < kinds.size() ? kind(kinds[s]) : k_other;
        corners.resize(pts.size() * 3);
        bool ok = true;
        for (std::size_t i = 0; i < pts.size() && ok; ++i) {
            if (pts[i] >= fg.point_count()) ok = false;
            else {
                view.apply(fg.point(pts[i]), &corners[i * 3]);
                ok = finite3(&corners[i * 3]);
            }
        }
        if (!ok) continue;
        if (pts.size() == 2) {
            if (s == formats::k_none) k = k_line;
            const float* a = &corners[0];
            const float* b = &corners[3];
            raster_line(a, b, [&](int x, int y, float t) {
                const float d = a[2] + (b[2] - a[2]) * t;
                const float shade = 0.6f + 0.4f * d;
                // Two samples wide: one pixel after averaging.
                c.plot(x, y, d, k, shade);
                c.plot(x + 1, y, d, k, shade);
                c.plot(x, y + 1, d, k, shade);
                c.plot(x + 1, y + 1, d, k, shade);
            });
            continue;
        }
        // Newell's normal: how squarely the polygon faces the viewer.
        double n[3] = {0, 0, 0};
        for (std::size_t i = 0; i < pts.size(); ++i) {
            const double* u = fg.point(pts[i]);
            const double* v = fg.point(pts[(i + 1) % pts.size()]);
            n[0] += (u[1] - v[1]) * (u[2] + v[2]);
            n[1] += (u[2] - v[2]) * (u[0] + v[0]);
            n[2] += (u[0] - v[0]) * (u[1] + v[1]);
        }
        const double len = std::sqrt(n[0] * n[0] + n[1] * n[1] + n[2] * n[2]);
        const double facing = len > 0.0 ? std::fabs(n[view.axis == 0 ? 2 : 0]) / len : 0.0;
        const float lit = static_cast<float>(0.7 + 0.3 * facing);
        for (std::size_t i = 1; i + 1 < pts.size(); ++i) {
            const float* a = &corners[0];
            const float* b = &corners[i * 3];
            const float* d = &corners[i * 3 + 3];
            raster_triangle(a, b, d, [&](int x, int y, float w0, float w1, float w2) {
                const float z = w0 * a[2] + w1 * b[2] + w2 * d[2];
                c.plot(x, y, z, k, (0.55f + 0.45f * z) * lit);
            });
        }
    }
}

// Averages a view's samples into the image at column offset x0.
void resolve(const canvas& c, std::vector<float>& rgb, int x0) {
    auto in_crown = [&](int x, int y) {
        return x >= 0 && y >= 0 && x < k_view && y < k_view && c.crown[std::size_t(y) * k_view + std::size_t(x)];
    };
    for (int py = 0; py < k_preview_height; ++py)
        for (int px = 0; px < k_preview_height; ++px) {
            float sum[3] = {0, 0, 0};
            for (int sy = 0; sy < k_ss; ++sy)
                for (int sx = 0; sx < k_ss; ++sx) {
                    const int x = px * k_ss + sx, y = py * k_ss + sy;
                    const std::size_t i = std::size_t(y) * k_view + std::size_t(x);
                    const float* colour = k_colour[k_empty];
                    float shade = 1.0f;
                    if (c.what[i] != k_empty) {
                        colour = k_colour[c.what[i]];
                        shade = c.shade[i];
                    } else if (c.crown[i]) {
                        // The silhouette's rim, two samples wide.
                        bool rim = false;
                        for (int r = 1; r <= 2 && !rim; ++r)
                            rim = !in_crown(x - r, y) || !in_crown(x + r, y) || !in_crown(x, y - r) ||
                                  !in_crown(x, y + r);
                        colour = rim ? k_crown_edge : k_crown_fill;
                    }
                    for (int k = 0; k < 3; ++k) sum[k] += colour[k] * shade;
                }
            float* out = &rgb[(std::size_t(py) * k_preview_width + std::size_t(x0 + px)) * 3];
            for (int k = 0; k < 3; ++k) out[k] = sum[k] / float(k_ss * k_ss);
        }
}

}  // namespace

std::vector<float> render_preview(const mesh_layer& foreground, const mesh_layer& background) {
    bounds b;
    b.add(foreground);
    b.add(background);
    if (b.empty())
        for (int k = 0; k < 3; ++k) b.lo[k] = -1.0, b.hi[k] = 1.0;
    double extent = 0.0;
    for (int k = 0; k < 3; ++k) extent = std::max(extent, b.hi[k] - b.lo[k]);
    if (!(extent > 0.0) || !std::isfinite(extent)) extent = 1.0;
    const double scale = k_view * (1.0 - 2.0 * k_margin) / extent;
    const double cy = 0.5 * (b.lo[1] + b.hi[1]);
    const projection views[2] = {
        {0, 0.5 * (b.lo[0] + b.hi[0]), cy, scale, b.hi[2], b.lo[2]},
        {2, 0.5 * (b.lo[2] + b.hi[2]), cy, scale, -b.lo[0], -b.hi[0]},
    };

    std::vector<std::uint8_t> kinds(foreground.strings().size(), k_other);
    for (index_t s = 0; s < kinds.size(); ++s) kinds[s] = kind_of(foreground.strings().view(s));

    std::vector<float> rgb(std::size_t(k_preview_width) * k_preview_height * 3);
    std::vector<float> corners;
    for (int v = 0; v < 2; ++v) {
        canvas c;
        draw_crown(background, views[v], c, corners);
        draw_tree(foreground, kinds, views[v], c, corners);
        resolve(c, rgb, v * k_preview_height);
    }
    // A light rule between the two views.
    for (int y = 0; y < k_preview_height; ++y)
        for (int k = 0; k < 3; ++k) rgb[(std::size_t(y) * k_preview_width + k_preview_height) * 3 + k] = 0.85f;
    return rgb;
}

void write_preview(const mesh_layer& foreground, const mesh_layer& background, const std::string& png_path,
                   formats::file_set& files) {
    const std::vector<float> rgb = render_preview(foreground, background);
    files.add(png_path).write(encode_png(rgb.data(), k_preview_width, k_preview_height));
}

void write_preview(const mesh_layer& foreground, const mesh_layer& background, const std::string& png_path) {
    formats::file_set files;
    write_preview(foreground, background, png_path, files);
    files.commit();
}

std::string preset_picture_png(const mesh_layer& foreground) {
    const std::vector<float> rgb = render_preview(foreground, mesh_layer());
    // The left half is the front view, k_preview_height square: averaged down.
    constexpr int f = k_preview_height / k_picture_size;
    std::vector<float> out(std::size_t(k_picture_size) * k_picture_size * 3, 0.0f);
    for (int y = 0; y < k_preview_height; ++y)
        for (int x = 0; x < k_preview_height; ++x)
            for (int c = 0; c < 3; ++c)
                out[(std::size_t(y / f) * k_picture_size + x / f) * 3 + c] +=
                    rgb[(std::size_t(y) * k_preview_width + x) * 3 + c] / float(f * f);
    return encode_png(out.data(), k_picture_size, k_picture_size);
}

}  // namespace sf::app
