// The drawing of the leaf atlas (see textures.h); the bark is bark_draw.cpp.
#include <algorithm>
#include <cmath>

#include "app/draw_noise.h"
#include "app/png_image.h"
#include "app/textures.h"

namespace sf::app {

namespace {

constexpr double k_pi = 3.14159265358979323846;

using namespace draw;

void put(rgba_image& img, int x, int y, const double (&c)[3], double alpha) {
    unsigned char* p = &img.pixels[(std::size_t(y) * std::size_t(img.width) + std::size_t(x)) * 4];
    p[0] = byte(c[0]);
    p[1] = byte(c[1]);
    p[2] = byte(c[2]);
    p[3] = byte(alpha);
}

// Half the width of leaf outline `shape` at t (0 base, 1 tip), in tile units.
double half_width(int shape, double t) {
    if (t <= 0 || t >= 1) return 0;
    switch (shape) {
        case 0: return 0.40 * std::pow(std::sin(k_pi * t), 0.75);                      // elliptic
        case 1: return 0.26 * std::pow(std::sin(k_pi * std::pow(t, 0.7)), 1.1);        // lance
        default: {                                                                      // ovate, toothed
            const double w = 0.44 * std::pow(std::sin(k_pi * std::pow(t, 0.8)), 0.9);
            return w * (1 - 0.06 * std::fabs(std::sin(t * 46)));
        }
    }
}

}  // namespace

namespace {

constexpr double k_blade_base = 0.035, k_blade_top = 0.975;  // the blade's ends in a tile (v)

// One pixel of the atlas: which tile, and where in the leaf drawn there.
struct leaf_point {
    int a = 0, b = 0;     // tile column (outline) and row
    double u = 0, v = 0;  // in the whole atlas, v up
    double t = 0;         // along the blade, 0 base, 1 tip
    double lv = 0;        // v within the tile
    double ax = 0;        // distance from the midrib, tile units
    double w = 0;         // the blade's half width at t
    double alpha = 0;     // coverage, anti-aliased over a pixel
    bool stalk = false;
};

leaf_point locate(int x, int y, int size) {
    leaf_point p;
    p.v = 1.0 - (y + 0.5) / size;
    p.u = (x + 0.5) / size;
    p.b = std::min(2, int(p.v * 3));
    p.a = std::min(2, int(p.u * 3));
    p.lv = p.v * 3 - p.b;
    p.t = (p.lv - k_blade_base) / (k_blade_top - k_blade_base);
    p.ax = std::fabs(p.u * 3 - p.a - 0.5);
    p.w = half_width(p.a, p.t);
    const double px = 3.0 / size;  // one pixel in tile units
    p.alpha = p.w > 0 ? clamp01((p.w - p.ax) / px + 0.5) : 0.0;
    if (p.lv < k_blade_base + 0.02 && p.lv > 0.004 && p.ax < 0.011) {
        const double s = clamp01((0.011 - p.ax) / px + 0.5);
        if (s >= p.alpha) {
            p.alpha = s;
            p.stalk = true;
        }
    }
    return p;
}

// The midrib's and the veins' strength at a point of the blade (0..1 each);
// veins leave the midrib slanting towards the tip and fade before the edge.
void ribs(const leaf_point& p, double& rib, double& vein) {
    rib = 1.0 - smoothstep(0.004, 0.004 + 0.008 * (1.2 - p.t), p.ax);
    const double s = (p.t - 0.9 * p.ax) * 9.0;
    const double edge = smoothstep(0.0, 1.0, p.ax / std::max(p.w, 1e-6));
    vein = (1.0 - smoothstep(0.0, 0.09, std::fabs(s - std::round(s)))) * (1.0 - smoothstep(0.5, 0.95, edge)) *
           (p.t > 0.04 && p.t < 0.94 ? 1.0 : 0.0);
}

// Colour where alpha is 0 taken from the nearest covered pixel (breadth
// first, so by steps), so that filtering and mip levels never mix in a
// colour the leaves do not have.
void bleed(rgba_image& img) {
    const std::size_t w = std::size_t(img.width), h = std::size_t(img.height);
    std::vector<std::uint32_t> queue;
    std::vector<unsigned char> done(w * h, 0);
    for (std::size_t i = 0; i < w * h; ++i)
        if (img.pixels[i * 4 + 3] > 0) {
            done[i] = 1;
            queue.push_back(std::uint32_t(i));
        }
    for (std::size_t q = 0; q < queue.size(); ++q) {
        const std::size_t i = queue[q], x = i % w, y = i / w;
        const std::size_t next[4] = {x > 0 ? i - 1 : i, x + 1 < w ? i + 1 : i, y > 0 ? i - w : i, y + 1 < h ? i + w : i};
        for (std::size_t n : next) {
            if (done[n]) continue;
            done[n] = 1;
            std::copy_n(&img.pixels[i * 4], 3, &img.pixels[n * 4]);
            queue.push_back(std::uint32_t(n));
        }
    }
}

}  // namespace

rgba_image draw_leaf_atlas(std::uint32_t seed) {
    const int size = k_atlas_size;
    rgba_image img{size, size, {}};
    img.pixels.resize(std::size_t(size) * std::size_t(size) * 4);
    // Per tile: warmth (towards yellow, or towards blue-green when below 0)
    // and brightness, rows warmer upwards, columns set apart a little more
    // at random; one leaf in nine has a reddish blush towards its tip.
    double warmth[3][3], light[3][3];
    for (int a = 0; a < 3; ++a)
        for (int b = 0; b < 3; ++b) {
            warmth[a][b] = (b - 1) * 0.45 + 0.5 * (unit(hash(std::uint32_t(a), std::uint32_t(b), seed + 3)) - 0.5);
            light[a][b] = 1.0 + (a - 1) * 0.05 + 0.12 * (unit(hash(std::uint32_t(a), std::uint32_t(b), seed + 5)) - 0.5);
        }
    const int blush_a = 2, blush_b = 1;
    for (int y = 0; y < size; ++y) {
        for (int x = 0; x < size; ++x) {
            const leaf_point p = locate(x, y, size);
            double c[3] = {0, 0, 0};
            if (p.stalk) {
                const double stalk[3] = {0.46, 0.48, 0.20};
                for (int k = 0; k < 3; ++k) c[k] = stalk[k];
            } else if (p.alpha > 0) {
                const std::uint32_t tile = seed + std::uint32_t(p.a * 3 + p.b) * 17u;
                // Patches of warmer and lighter green across the blade, and a
                // fine mottle.
                const double patch = fbm(p.u, p.v, 12, 12, 3, tile) - 0.5;
                const double mottle = noise(p.u, p.v, 96, 96, tile + 1) - 0.5;
                const double edge = smoothstep(0.0, 1.0, p.ax / std::max(p.w, 1e-6));
                double warm = warmth[p.a][p.b] + 1.4 * patch + 0.5 * smoothstep(0.25, 0.0, p.t);
                const double bright = light[p.a][p.b] * (1.0 + 0.16 * patch + 0.06 * mottle) * (1.0 - 0.05 * edge);
                warm = std::clamp(warm, -1.0, 1.2);
                double g[3] = {(0.27 + 0.11 * warm) * bright, (0.50 + 0.03 * warm) * bright, (0.13 - 0.05 * warm) * bright};
                // The reddish blush: from the tip of one leaf, broken by the patches.
                if (p.a == blush_a && p.b == blush_b) {
                    const double r = smoothstep(0.55, 1.0, p.t + 0.5 * patch) * 0.55;
                    const double red[3] = {0.52, 0.30, 0.10};
                    for (int k = 0; k < 3; ++k) g[k] = mix(g[k], red[k], r);
                }
                // A lighter, yellower margin.
                const double margin = smoothstep(0.80, 0.98, edge) * 0.35;
                const double rim[3] = {0.55, 0.60, 0.22};
                for (int k = 0; k < 3; ++k) g[k] = mix(g[k], rim[k] * bright, margin);
                // Midrib and veins, lighter than the blade.
                double rib = 0, vein = 0;
                ribs(p, rib, vein);
                const double rib_col[3] = {0.66, 0.74, 0.38};
                for (int k = 0; k < 3; ++k) c[k] = mix(g[k], rib_col[k] * bright, std::max(rib, 0.35 * vein));
            }
            put(img, x, y, c, p.alpha);
        }
    }
    bleed(img);
    return img;
}

rgba_image draw_leaf_normals(std::uint32_t seed) {
    const int size = k_atlas_size;
    // The blade's height: a midrib and veins standing out, the blade between
    // veins slightly cushioned, falling off towards the margin; flat off the leaf.
    std::vector<double> height(std::size_t(size) * std::size_t(size), 0.0);
    for (int y = 0; y < size; ++y)
        for (int x = 0; x < size; ++x) {
            const leaf_point p = locate(x, y, size);
            if (p.w <= 0 || p.alpha <= 0 || p.stalk) continue;
            double rib = 0, vein = 0;
            ribs(p, rib, vein);
            const double edge = clamp01(p.ax / p.w);
            const double crumple = noise(p.u, p.v, 64, 64, seed + 41) - 0.5;
            height[std::size_t(y) * std::size_t(size) + std::size_t(x)] =
                1.6 * rib + 0.7 * vein + (1.0 - edge * edge) * (0.8 + 0.5 * crumple);
        }
    rgba_image img{size, size, {}};
    img.pixels.resize(std::size_t(size) * std::size_t(size) * 4);
    constexpr double strength = 0.9;  // relief per pixel of height step
    auto h = [&](int x, int y) {
        x = std::clamp(x, 0, size - 1);
        y = std::clamp(y, 0, size - 1);
        return height[std::size_t(y) * std::size_t(size) + std::size_t(x)];
    };
    for (int y = 0; y < size; ++y)
        for (int x = 0; x < size; ++x) {
            // Tangent space: x to the right, y up the image (towards the tip), z out.
            const double dx = (h(x + 1, y) - h(x - 1, y)) * 0.5 * strength;
            const double dy = (h(x, y - 1) - h(x, y + 1)) * 0.5 * strength;
            const double len = std::sqrt(dx * dx + dy * dy + 1.0);
            const double n[3] = {(-dx / len + 1) * 0.5, (-dy / len + 1) * 0.5, (1.0 / len + 1) * 0.5};
            put(img, x, y, n, 1.0);
        }
    return img;
}

std::string encode_texture_png(const rgba_image& image, bool alpha) {
    if (alpha) return encode_png_8bit(image.pixels.data(), image.width, image.height, true, 9);
    std::vector<unsigned char> rgb;
    rgb.reserve(image.pixels.size() / 4 * 3);
    for (std::size_t i = 0; i < image.pixels.size(); i += 4) rgb.insert(rgb.end(), &image.pixels[i], &image.pixels[i + 3]);
    return encode_png_8bit(rgb.data(), image.width, image.height, false, 9);
}

}  // namespace sf::app
