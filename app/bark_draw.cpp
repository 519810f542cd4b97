// The bark material set (see bark_draw.h): plates between furrows that run
// along the grain, broken by cross cracks, fibres in the furrows.
#include "app/bark_draw.h"

#include <algorithm>
#include <cmath>

#include "app/draw_noise.h"
#include "app/png_image.h"
#include "formats/bark_uv.h"

namespace sf::app {

namespace {

using namespace draw;

// Plates: cells of a jittered nx x ny lattice, periodic, measured with the
// distance along the grain shrunk so that plates run long. Answers the gap
// to the nearest cell border (F2 - F1, in cell widths), how much that
// border runs along the grain (1) rather than across it (0), and the
// cell's hash.
constexpr int k_plates_around = 16, k_plates_along = 6;
constexpr double k_along_weight = 0.3;

struct plate_hit {
    double edge;
    double along;
    std::uint32_t cell;
};

plate_hit plates(double u, double v, std::uint32_t seed) {
    const double x = u * k_plates_around, y = v * k_plates_along;
    const int cx = int(std::floor(x)), cy = int(std::floor(y));
    // Metric in cell widths around: one cell along is this many widths.
    const double along = double(k_plates_around) / k_plates_along * k_along_weight;
    double f1 = 1e9, f2 = 1e9, x1 = 0, y1 = 0, x2 = 0, y2 = 0;
    std::uint32_t best = 0;
    for (int j = -1; j <= 1; ++j)
        for (int i = -2; i <= 2; ++i) {
            const int gx = cx + i, gy = cy + j;
            const std::uint32_t h = hash(std::uint32_t(wrap(gx, k_plates_around)),
                                             std::uint32_t(wrap(gy, k_plates_along)), seed);
            const double px = gx + 0.15 + 0.7 * unit(h), py = gy + 0.1 + 0.8 * unit(h * 0x9e3779b9u + 1u);
            const double dx = x - px, dy = (y - py) * along;
            const double d = std::sqrt(dx * dx + dy * dy);
            if (d < f1) {
                f2 = f1, x2 = x1, y2 = y1;
                f1 = d, x1 = px, y1 = py * along;
                best = h;
            } else if (d < f2) {
                f2 = d, x2 = px, y2 = py * along;
            }
        }
    // The border is perpendicular to the line between the two sites.
    const double sx = x2 - x1, sy = y2 - y1;
    return {f2 - f1, sx * sx / (sx * sx + sy * sy + 1e-12), best};
}

// A box blur of radius r with wrap-around, rows then columns.
std::vector<float> blur(const std::vector<float>& in, int side, int r) {
    std::vector<float> tmp(in.size()), out(in.size());
    const float n = float(2 * r + 1);
    for (int y = 0; y < side; ++y) {
        const float* row = &in[std::size_t(y) * side];
        float s = 0;
        for (int k = -r; k <= r; ++k) s += row[wrap(k, side)];
        for (int x = 0; x < side; ++x) {
            tmp[std::size_t(y) * side + x] = s / n;
            s += row[wrap(x + r + 1, side)] - row[wrap(x - r, side)];
        }
    }
    for (int x = 0; x < side; ++x) {
        float s = 0;
        for (int k = -r; k <= r; ++k) s += tmp[std::size_t(wrap(k, side)) * side + x];
        for (int y = 0; y < side; ++y) {
            out[std::size_t(y) * side + x] = s / n;
            s += tmp[std::size_t(wrap(y + r + 1, side)) * side + x] - tmp[std::size_t(wrap(y - r, side)) * side + x];
        }
    }
    return out;
}

}  // namespace

height_field draw_bark_height(std::uint32_t seed, int side) {
    height_field f{side, std::vector<float>(std::size_t(side) * std::size_t(side))};
    for (int y = 0; y < side; ++y) {
        const double v = 1.0 - (y + 0.5) / side;
        for (int x = 0; x < side; ++x) {
            const double u0 = (x + 0.5) / side;
            // Furrows wander around the tube as they run along it.
            const double u = u0 + 0.035 * (fbm(u0, v, 3, 4, 3, seed) - 0.5);
            const plate_hit p = plates(u, v, seed + 3);
            // Furrows between the plates run deep along the grain; where
            // plates meet end to end the crack across is shallow.
            const double width = 0.3 + 0.3 * noise(u, v, 24, 6, seed + 11);
            const double plate = smoothstep(0.03, width, p.edge);
            const double depth = 0.35 + 0.65 * smoothstep(0.15, 0.7, p.along);
            // Long fibres everywhere, lumps on the plates.
            const double fibre = noise(u, v, 320, 12, seed + 5);
            const double lumps = fbm(u, v, 36, 18, 3, seed + 7);
            const double tilt = 0.12 * (unit(p.cell * 0x27d4eb2du) - 0.5);  // plates stand out unevenly
            const double top = 0.62 + tilt + 0.25 * lumps + 0.08 * fibre;
            const double h = top * (1 - depth * (1 - plate)) + 0.12 * fibre * (1 - plate);
            f.h[std::size_t(y) * side + x] = float(clamp01(h));
        }
    }
    return f;
}

bark_set draw_bark_set(std::uint32_t seed, int side) {
    const height_field f = draw_bark_height(seed, side);
    const std::vector<float> wide = blur(blur(f.h, side, 6), side, 6);
    bark_set set;
    for (rgba_image* img : {&set.colour, &set.normal, &set.orm}) {
        img->width = img->height = side;
        img->pixels.assign(std::size_t(side) * std::size_t(side) * 4, 255);
    }
    // Slope of the relief per unit of height difference between neighbours.
    const double pixel = formats::k_bark_tile_metres / side;
    const double gain = k_bark_relief_metres / (2 * pixel);
    for (int y = 0; y < side; ++y) {
        const double v = 1.0 - (y + 0.5) / side;
        for (int x = 0; x < side; ++x) {
            const double u = (x + 0.5) / side;
            const std::size_t i = std::size_t(y) * side + x;
            const double h = f.h[i];
            // The image's rows run down, v up: the slope along v is the row above minus the one below.
            const double du = (f.at(x + 1, y) - f.at(x - 1, y)) * gain;
            const double dv = (f.at(x, y - 1) - f.at(x, y + 1)) * gain;
            const double len = std::sqrt(du * du + dv * dv + 1);
            unsigned char* n = &set.normal.pixels[i * 4];
            n[0] = byte(0.5 - 0.5 * du / len);
            n[1] = byte(0.5 - 0.5 * dv / len);
            n[2] = byte(0.5 + 0.5 / len);

            // Occlusion: how far the point lies below its surroundings.
            const double cavity = std::max(0.0, double(wide[i]) - h);
            const double ao = clamp01(1.0 - 1.8 * cavity) * (0.6 + 0.4 * smoothstep(0.0, 0.5, h));
            const double rough = clamp01(0.97 - 0.14 * h + 0.08 * (noise(u, v, 64, 32, seed + 17) - 0.5));
            unsigned char* o = &set.orm.pixels[i * 4];
            o[0] = byte(ao);
            o[1] = byte(rough);
            o[2] = 0;

            // Colour: grey-brown plates, lighter or darker by patches, lichen
            // on some, dark furrows; the cavities darkened a little.
            const double patch = fbm(u, v, 5, 5, 3, seed + 19);
            const double lichen = smoothstep(0.62, 0.78, patch) * smoothstep(0.3, 0.7, h);
            const double tone = 0.85 + 0.3 * patch;
            const double top[3] = {0.40 * tone, 0.30 * tone, 0.21 * tone}, furrow[3] = {0.15, 0.095, 0.055};
            const double moss[3] = {0.42, 0.45, 0.30};
            const double t = smoothstep(0.05, 0.7, h);
            const double grain = 0.9 + 0.2 * noise(u, v, 256, 48, seed + 29);
            unsigned char* c = &set.colour.pixels[i * 4];
            for (int k = 0; k < 3; ++k) {
                double value = (furrow[k] + (top[k] - furrow[k]) * t) * grain;
                value += (moss[k] - value) * 0.55 * lichen;
                c[k] = byte(value * (0.7 + 0.3 * ao));
            }
        }
    }
    return set;
}

std::string encode_bark_png(const rgba_image& image) {
    std::vector<unsigned char> rgb;
    rgb.reserve(image.pixels.size() / 4 * 3);
    for (std::size_t i = 0; i < image.pixels.size(); i += 4) rgb.insert(rgb.end(), &image.pixels[i], &image.pixels[i + 3]);
    return encode_png_8bit(rgb.data(), image.width, image.height, false, 6);
}

}  // namespace sf::app
