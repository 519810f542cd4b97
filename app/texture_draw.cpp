// The drawing of the leaf atlas (see textures.h); the bark is bark_draw.cpp.
#include <algorithm>
#include <cmath>

#include "app/png_image.h"
#include "app/textures.h"

namespace sf::app {

namespace {

constexpr double k_pi = 3.14159265358979323846;

std::uint32_t hash(std::uint32_t x, std::uint32_t y, std::uint32_t seed) {
    std::uint32_t h = seed ^ (x * 0x8da6b343u) ^ (y * 0xd8163841u);
    h ^= h >> 16;
    h *= 0x7feb352du;
    h ^= h >> 15;
    h *= 0x846ca68bu;
    h ^= h >> 16;
    return h;
}

double unit(std::uint32_t h) { return double(h >> 8) / double(1u << 24); }

// Value noise on a lattice of px x py cells over the unit square, periodic
// in both directions, smoothly interpolated; values in [0, 1).
double noise(double u, double v, int px, int py, std::uint32_t seed) {
    const double x = u * px, y = v * py;
    const double fx = std::floor(x), fy = std::floor(y);
    const double tx = x - fx, ty = y - fy;
    const double sx = tx * tx * (3 - 2 * tx), sy = ty * ty * (3 - 2 * ty);
    auto at = [&](double ix, double iy) {
        const int cx = ((int(ix) % px) + px) % px, cy = ((int(iy) % py) + py) % py;
        return unit(hash(std::uint32_t(cx), std::uint32_t(cy), seed));
    };
    const double a = at(fx, fy), b = at(fx + 1, fy), c = at(fx, fy + 1), d = at(fx + 1, fy + 1);
    return (a + (b - a) * sx) * (1 - sy) + (c + (d - c) * sx) * sy;
}

// Octaves of the noise above, each twice as fine and half as strong.
double fbm(double u, double v, int px, int py, int octaves, std::uint32_t seed) {
    double sum = 0, weight = 0.5, total = 0;
    for (int o = 0; o < octaves; ++o) {
        sum += weight * noise(u, v, px << o, py << o, seed + std::uint32_t(o) * 101u);
        total += weight;
        weight *= 0.5;
    }
    return sum / total;
}

double mix(double a, double b, double t) { return a + (b - a) * t; }
double clamp01(double v) { return v < 0 ? 0 : v > 1 ? 1 : v; }
double smoothstep(double a, double b, double v) {
    const double t = clamp01((v - a) / (b - a));
    return t * t * (3 - 2 * t);
}

unsigned char byte(double v) { return static_cast<unsigned char>(std::lround(clamp01(v) * 255.0)); }

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

rgba_image draw_leaf_atlas(std::uint32_t seed) {
    const int size = k_atlas_size;
    rgba_image img{size, size, {}};
    img.pixels.resize(std::size_t(size) * std::size_t(size) * 4);
    constexpr double base = 0.035, top = 0.975;  // the blade's ends in the tile (v)
    for (int y = 0; y < size; ++y) {
        const double v = 1.0 - (y + 0.5) / size;
        const int b = std::min(2, int(v * 3));
        const double lv = v * 3 - b;
        const double t = (lv - base) / (top - base);
        for (int x = 0; x < size; ++x) {
            const double u = (x + 0.5) / size;
            const int a = std::min(2, int(u * 3));
            const double lx = u * 3 - a - 0.5;  // across the blade, 0 on the midrib
            const double ax = std::fabs(lx);
            // Variant hue: rows warmer or cooler, columns lighter or darker.
            const double hue = (b - 1) * 0.05 + (a - 1) * 0.02;
            const double light = 1.0 + (a - 1) * 0.06 - (b == 2 ? 0.04 : 0.0);
            const double green[3] = {(0.22 + hue * 0.9) * light, (0.50 - std::fabs(hue) * 0.3) * light,
                                     (0.14 - hue * 0.4) * light};
            const double w = half_width(a, t);
            const double px = 3.0 / size;  // one pixel in tile units
            double alpha = w > 0 ? clamp01((w - ax) / px + 0.5) : 0.0;
            double c[3] = {green[0], green[1], green[2]};
            // The stalk below the blade.
            if (lv < base + 0.02 && lv > 0.004 && ax < 0.011) {
                alpha = std::max(alpha, clamp01((0.011 - ax) / px + 0.5));
                const double stalk[3] = {0.42, 0.45, 0.18};
                for (int k = 0; k < 3; ++k) c[k] = stalk[k];
            } else if (alpha > 0) {
                const double n = noise(u, v, 48, 48, seed + std::uint32_t(a * 3 + b));
                const double edge = smoothstep(0.0, 1.0, ax / std::max(w, 1e-6));
                // Midrib, and veins that leave it slanting towards the tip.
                const double rib = 1.0 - smoothstep(0.004, 0.004 + 0.008 * (1.2 - t), ax);
                const double s = (t - 0.9 * ax) * 9.0;
                const double vein = (1.0 - smoothstep(0.0, 0.09, std::fabs(s - std::round(s)))) *
                                    (1.0 - smoothstep(0.5, 0.95, edge)) * (t > 0.04 && t < 0.94 ? 1.0 : 0.0);
                const double shade = 0.92 + 0.12 * (n - 0.5) - 0.12 * edge * edge;
                const double rib_col[3] = {0.62, 0.70, 0.36};
                for (int k = 0; k < 3; ++k) {
                    double value = green[k] * shade;
                    value = mix(value, rib_col[k] * light, std::max(rib, 0.45 * vein));
                    c[k] = value;
                }
            }
            put(img, x, y, c, alpha);
        }
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
