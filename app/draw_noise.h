// What the image drawings share: a hash of lattice cells, periodic value
// noise and its octaves, and the small shaping functions. Inline, so the
// program and the build-time drawing tool take them alike.
#pragma once

#include <cmath>
#include <cstdint>

namespace sf::app::draw {

inline std::uint32_t hash(std::uint32_t x, std::uint32_t y, std::uint32_t seed) {
    std::uint32_t h = seed ^ (x * 0x8da6b343u) ^ (y * 0xd8163841u);
    h ^= h >> 16;
    h *= 0x7feb352du;
    h ^= h >> 15;
    h *= 0x846ca68bu;
    h ^= h >> 16;
    return h;
}

// A hash as a value in [0, 1).
inline double unit(std::uint32_t h) { return double(h >> 8) / double(1u << 24); }

inline int wrap(int i, int n) { return ((i % n) + n) % n; }

// Value noise on a lattice of px x py cells over the unit square, periodic
// in both directions, smoothly interpolated; values in [0, 1).
inline double noise(double u, double v, int px, int py, std::uint32_t seed) {
    const double x = u * px, y = v * py;
    const double fx = std::floor(x), fy = std::floor(y);
    const double tx = x - fx, ty = y - fy;
    const double sx = tx * tx * (3 - 2 * tx), sy = ty * ty * (3 - 2 * ty);
    const int ix = int(fx), iy = int(fy);
    auto at = [&](int cx, int cy) { return unit(hash(std::uint32_t(wrap(cx, px)), std::uint32_t(wrap(cy, py)), seed)); };
    const double a = at(ix, iy), b = at(ix + 1, iy), c = at(ix, iy + 1), d = at(ix + 1, iy + 1);
    return (a + (b - a) * sx) * (1 - sy) + (c + (d - c) * sx) * sy;
}

// Octaves of the noise above, each twice as fine and half as strong.
inline double fbm(double u, double v, int px, int py, int octaves, std::uint32_t seed) {
    double sum = 0, weight = 0.5, total = 0;
    for (int o = 0; o < octaves; ++o) {
        sum += weight * noise(u, v, px << o, py << o, seed + std::uint32_t(o) * 101u);
        total += weight;
        weight *= 0.5;
    }
    return sum / total;
}

inline double mix(double a, double b, double t) { return a + (b - a) * t; }
inline double clamp01(double v) { return v < 0 ? 0 : v > 1 ? 1 : v; }
inline double smoothstep(double a, double b, double v) {
    const double t = clamp01((v - a) / (b - a));
    return t * t * (3 - 2 * t);
}
inline unsigned char byte(double v) { return static_cast<unsigned char>(std::lround(clamp01(v) * 255.0)); }

}  // namespace sf::app::draw
