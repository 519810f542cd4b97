#include "formats/leaf_tint.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "host/tool_names.h"

namespace sf::formats {

namespace {

std::uint32_t hash3(std::int64_t x, std::int64_t y, std::int64_t z, std::uint32_t seed) {
    std::uint64_t h = seed;
    for (std::int64_t v : {x, y, z}) {
        h ^= std::uint64_t(v) + 0x9E3779B97F4A7C15ull + (h << 6) + (h >> 2);
        h = (h ^ (h >> 30)) * 0xBF58476D1CE4E5B9ull;
        h = (h ^ (h >> 27)) * 0x94D049BB133111EBull;
        h ^= h >> 31;
    }
    return std::uint32_t(h >> 32);
}

// Value noise in [0, 1] on a lattice of `cell` metres, smoothly interpolated.
double noise(const double (&p)[3], double cell, std::uint32_t seed) {
    std::int64_t i[3];
    double s[3];
    for (int k = 0; k < 3; ++k) {
        const double x = std::clamp(p[k] / cell, -1e9, 1e9);
        const double f = std::floor(x);
        i[k] = std::int64_t(f);
        const double t = x - f;
        s[k] = t * t * (3 - 2 * t);
    }
    double sum = 0;
    for (int c = 0; c < 8; ++c) {
        double w = 1;
        for (int k = 0; k < 3; ++k) w *= (c >> k & 1) ? s[k] : 1 - s[k];
        sum += w * double(hash3(i[0] + (c & 1), i[1] + (c >> 1 & 1), i[2] + (c >> 2 & 1), seed) >> 8) / double(1u << 24);
    }
    return sum;
}

// The first value of the first of these maps a point has.
struct weight_reader {
    const mesh_layer& layer;
    index_t maps[2];
    const float* at(index_t pt) const {
        for (index_t m : maps)
            if (m != k_none)
                if (const float* v = layer.point_value(m, pt); v && std::isfinite(v[0])) return v;
        return nullptr;
    }
};

// Calls put(members, rgb) for every leaf, in order; false when the layer
// has no leaves.
template <class Put>
bool for_each_leaf(const mesh_layer& layer, Put&& put) {
    const index_t surface = layer.strings().find(k_surface_leaf);
    if (surface == k_none) return false;
    const index_t leaf_uv = layer.find_map(LWVMAP_TXUV, k_map_leaf_uv);
    const weight_reader range{layer, {layer.find_map(LWVMAP_WGHT, k_map_range), layer.find_map(LWVMAP_TXUV, k_map_range_thick)}};
    const index_t points = layer.point_count();
    std::vector<index_t> leaf_of(points, k_none);
    std::vector<index_t> members;  // the current leaf's points
    index_t leaves = 0;
    bool any = false;

    auto finish = [&] {
        if (members.empty()) return;
        // Centre: the mean of the leaf's points; base: its point lowest on
        // the leaf's own v.
        double c[3] = {0, 0, 0};
        index_t base = members[0];
        float base_v = 0;
        bool have_v = false;
        for (index_t q : members) {
            const double* p = layer.point(q);
            for (int k = 0; k < 3; ++k) c[k] += std::isfinite(p[k]) ? p[k] / double(members.size()) : 0.0;
            const float* uv = leaf_uv == k_none ? nullptr : layer.point_value(leaf_uv, q);
            if (uv && std::isfinite(uv[1]) && (!have_v || uv[1] < base_v)) {
                base_v = uv[1];
                base = q;
                have_v = true;
            }
        }
        const float* r = range.at(base);
        const double reach = r ? std::clamp(double(*r), 0.0, 1.0) : 0.5;
        const double fine = noise(c, 0.06, 0x51u), fine2 = noise(c, 0.06, 0xA7u), coarse = noise(c, 0.7, 0x3Du);
        const double bright = 0.88 + 0.08 * fine + 0.02 * coarse + 0.02 * reach;
        const double warm = std::clamp(0.75 * fine2 + 0.25 * coarse, 0.0, 1.0);
        const float rgb[3] = {float(bright * (0.94 + 0.06 * warm)), float(bright * (0.98 + 0.02 * warm)),
                              float(bright * (1.0 - 0.08 * warm))};
        put(members, rgb);
        members.clear();
    };

    for (index_t p = 0; p < layer.polygon_count(); ++p) {
        const auto pts = layer.polygon_points(p);
        if (layer.polygon_surface(p) != surface || pts.size() < 3) continue;
        any = true;
        const bool joins = leaves > 0 && std::any_of(pts.begin(), pts.end(), [&](index_t q) {
            return q < points && leaf_of[q] == leaves - 1;
        });
        if (!joins) {
            finish();
            ++leaves;
        }
        for (index_t q : pts)
            if (q < points && leaf_of[q] != leaves - 1) {
                leaf_of[q] = leaves - 1;
                members.push_back(q);
            }
    }
    finish();
    return any;
}

}  // namespace

std::vector<float> leaf_tints(const mesh_layer& layer) {
    std::vector<float> tint;
    bool sized = false;
    const bool any = for_each_leaf(layer, [&](const std::vector<index_t>& members, const float (&rgb)[3]) {
        if (!sized) tint.assign(std::size_t(layer.point_count()) * 3, 1.0f), sized = true;
        for (index_t q : members) std::copy_n(rgb, 3, &tint[std::size_t(q) * 3]);
    });
    if (!any) return {};
    if (!sized) tint.assign(std::size_t(layer.point_count()) * 3, 1.0f);
    return tint;
}

std::vector<std::uint8_t> leaf_tint_bytes(const mesh_layer& layer) {
    std::vector<std::uint8_t> tint;
    bool sized = false;
    const bool any = for_each_leaf(layer, [&](const std::vector<index_t>& members, const float (&rgb)[3]) {
        if (!sized) tint.assign(std::size_t(layer.point_count()) * 3, 255), sized = true;
        std::uint8_t b[3];
        for (int k = 0; k < 3; ++k) b[k] = tint_byte(rgb[k]);
        for (index_t q : members) std::copy_n(b, 3, &tint[std::size_t(q) * 3]);
    });
    if (!any) return {};
    if (!sized) tint.assign(std::size_t(layer.point_count()) * 3, 255);
    return tint;
}

}  // namespace sf::formats
