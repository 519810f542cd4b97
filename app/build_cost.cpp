#include "app/build_cost.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "core/settings_fields.h"
#include "formats/errors.h"
#include "formats/memory_budget.h"

namespace sf::app {

namespace {

// Bytes the layer store keeps per element (formats/mesh_layer.h): a point's
// coordinates, a polygon's type, surface and start with 4 bytes a corner, a
// tag, a per-polygon-point value record, one float of a per-point map.
constexpr double k_point = 24, k_polygon = 12, k_corner = 4, k_tag = 12, k_record = 20, k_float = 4;
// A per-point value call in the history (its values stay in the map).
constexpr double k_call = 8;
// An array grows by half its size: at worst a third of what it holds is room.
constexpr double k_room = 1.5;
// OpenSubdiv's tables and values per refined face (formats/subdivide.cpp).
constexpr double k_subdiv_working = 320;
// Room above the measured length of a branch before it joins.
constexpr double k_join_margin = 1.35;
// The roots of a trunk base: rings of four points per root segment.
constexpr double k_root_segments = 5;

struct field_value {
    const char* name;
    double cost_settings::*member;
};

constexpr field_value k_read[] = {
    {"branches", &cost_settings::branches},
    {"segments", &cost_settings::segments},
    {"branch_end_split", &cost_settings::branch_end_split},
    {"sub_segments", &cost_settings::sub_segments},
    {"trunks", &cost_settings::trunks},
    {"render_type", &cost_settings::render_type},
    {"twig_type", &cost_settings::twig_type},
    {"twig_segments", &cost_settings::twig_segments},
    {"twig_coverage", &cost_settings::twig_coverage},
    {"twig_range", &cost_settings::twig_range},
    {"twig_proportional_length", &cost_settings::twig_length},
    {"leaf_shape", &cost_settings::leaf_shape},
    {"leaf_density", &cost_settings::leaf_density},
    {"leaf_growth", &cost_settings::leaf_growth},
    {"number_of_roots", &cost_settings::number_of_roots},
};

std::string count_text(double n) {
    char buf[48];
    if (n >= 1e6)
        std::snprintf(buf, sizeof buf, "%.1f million", n / 1e6);
    else
        std::snprintf(buf, sizeof buf, "%.0f", n);
    return buf;
}

std::string bytes_text(double b) {
    if (b >= 0x1p62) return "more than 4 EiB";
    return formats::format_memory_size(static_cast<std::size_t>(b));
}

// A leaf shape's points and polygons, and its corners per polygon (mesh/leaf.cpp).
struct leaf_size {
    double points, polygons, corners;
};
constexpr leaf_size k_leaves[] = {{4, 1, 4}, {6, 2, 4}, {4, 2, 3}, {5, 3, 3}, {5, 4, 3}};

}  // namespace

cost_settings read_cost_settings(const xpanel& panel) {
    cost_settings s;
    for (const field_value& v : k_read) {
        const field_desc* f = find_field(v.name);
        const void* addr = f ? panel.value_address(f->id) : nullptr;
        if (!addr) continue;
        if (f->kind == field_kind::real) {
            double d;
            std::memcpy(&d, addr, sizeof d);
            s.*v.member = d;
        } else {
            std::int32_t i;
            std::memcpy(&i, addr, sizeof i);
            s.*v.member = i;
        }
    }
    for (const auto& [name, flag] : {std::pair{"assign_range_weight_map", &cost_settings::range_map},
                                     std::pair{"assign_thick_weight_map", &cost_settings::thick_map}}) {
        const field_desc* f = find_field(name);
        if (const void* addr = f ? panel.value_address(f->id) : nullptr)
            s.*flag = *static_cast<const unsigned char*>(addr) != 0;
    }
    return s;
}

void apply_cost_edit(cost_settings& s, unsigned id, double value) {
    for (const field_value& v : k_read) {
        const field_desc* f = find_field(v.name);
        if (f && f->id == id) s.*v.member = value;
    }
    for (const auto& [name, flag] : {std::pair{"assign_range_weight_map", &cost_settings::range_map},
                                     std::pair{"assign_thick_weight_map", &cost_settings::thick_map}}) {
        const field_desc* f = find_field(name);
        if (f && f->id == id) s.*flag = value != 0;
    }
}

double crown_bytes(const formats::mesh_layer& crown) {
    double corners = 0;
    for (formats::index_t p = 0; p < crown.polygon_count(); ++p) corners += crown.polygon_points(p).size();
    return k_room * (crown.point_count() * k_point + crown.polygon_count() * k_polygon + corners * k_corner);
}

cost_estimate estimate_build(const cost_settings& s, double crown, const cost_outputs& out) {
    cost_estimate e;
    // Growth: a trunk takes at most 8 × segments steps, a branch 2 ×, each
    // cut into sub-segment nodes, and the tip is one more. A branch may join
    // another once it has grown segments × branch end split × 0.9 steps, and
    // does within fewer than segments steps more, the sooner the more
    // branches there are to join (measured: 0.7 × segments for 150
    // branches, 0.47 × for 2000): that count with a third more for room.
    const double branches = std::max(s.branches, 0.0);
    const double segments = std::max(s.segments, 0.0);
    const double sub = std::max(s.sub_segments, 1.0);
    const double trunks = std::clamp(s.trunks, 0.0, branches);
    const double split = std::clamp(s.branch_end_split, 0.0, 1.0);
    const double joining =
        std::clamp(k_join_margin * (0.7 - 0.089 * std::log(std::max(branches, 1.0) / 150)), 0.5, 1.0);
    const double branch_steps = std::min(2 * segments, segments * (joining + 0.9 * split));
    const double nodes = trunks * (8 * segments * sub + 1) + (branches - trunks) * (branch_steps * sub + 1);
    e.nodes = nodes;

    // Twigs: one every `interval` nodes of the outer part of the branches
    // (levels below segments × twig range), each of twig_segments steps.
    double twigs = 0, twig_nodes = 0;
    const bool twigs_on = s.twig_segments > 0 && s.twig_coverage != 0 && s.twig_length != 0 && s.twig_range != 0 &&
                          s.twig_type != 0;
    if (twigs_on) {
        const double limit = segments * s.twig_range;  // levels below it carry twigs
        auto outer_steps = [&](double steps_max, double inner_level) {
            if (!(limit > 0)) return 0.0;
            if (limit > inner_level) return steps_max;  // the steps of the last level too
            return std::min(std::ceil(limit), steps_max);
        };
        const double eligible = (branches - trunks) * sub * outer_steps(branch_steps, segments) +
                                trunks * sub * outer_steps(8 * segments, segments);
        const double q = std::trunc(1.0 / s.twig_coverage);
        const double interval = std::isfinite(q) && std::fabs(q) >= 1 ? std::fabs(q) : 1.0;
        twigs = std::ceil(eligible / interval);
        twig_nodes = twigs * (s.twig_segments + 1);
    }

    double points = 0, polygons = 0, corners = 0, tagged = 0, records = 0, point_floats = 0;
    double map_calls = 0;  // per-point value calls, for the history
    if (s.render_type == 0) {
        // Skeleton: a point per node and a line to the node it hangs from.
        points = nodes + twig_nodes + branches;
        polygons = points;
        corners = 2 * polygons;
    } else if (s.render_type == 1 || s.render_type == 2) {
        // Tubes: a ring of four points and four quads per node; a fork (a
        // twig, or a branch joining) eight points and seven quads more; a
        // cap per tip; at each trunk base its roots.
        const double forks = twigs + branches;
        const double rings = nodes + twig_nodes + branches;
        const double roots = trunks * std::max(s.number_of_roots, 0.0) * (k_root_segments + 1);
        const double tube_points = 4 * rings + 8 * forks + 4 * roots + 2 * trunks;
        const double tube_quads = 4 * rings + 7 * forks + (branches + twigs) + 4 * roots + 8 * trunks;
        const double maps = 2 + 2 + (s.range_map ? 1 : 0) + (s.thick_map ? 1 : 0);  // uv, range-thick, weights
        points += tube_points;
        polygons += tube_quads;
        corners += 4 * tube_quads;
        tagged += tube_quads;
        records += 2 * rings + 12 * forks;
        point_floats += maps * tube_points;
        map_calls += (maps == 6 ? 4 : maps - 2) * tube_points;

        // Leaves: a batch at every twig node, one at a twig's tip.
        const int shape = static_cast<int>(s.leaf_shape);
        if (twigs > 0 && shape >= 1 && shape <= 5 && s.leaf_shape == shape) {
            const double per = s.leaf_growth == 1 ? 2 : 1;
            const double batch = std::clamp(per * s.leaf_density, 0.0, 10.0);
            const double leaves = twigs * std::min(batch, 1.0) + (twig_nodes - twigs) * batch;
            const leaf_size& l = k_leaves[shape - 1];
            points += leaves * l.points;
            polygons += leaves * l.polygons;
            corners += leaves * l.polygons * l.corners;
            tagged += leaves * l.polygons;
            point_floats += 8 * leaves * l.points;  // uv, atlas, range, thick, range-thick
            map_calls += 5 * leaves * l.points;
        }
    }

    double tree = points * k_point + polygons * k_polygon + corners * k_corner + tagged * k_tag +
                  records * k_record + point_floats * k_float;
    if (out.edit_log) tree += (points + polygons + tagged + records + map_calls) + map_calls * k_call;
    tree *= k_room;
    e.points = points;
    e.polygons = polygons;

    double refined = 0;
    if (out.subdivide > 0 && s.render_type == 2) {
        // Every cage quad becomes 4^levels quads with about a point each,
        // their maps and their seam values; OpenSubdiv works beside them.
        const double cages = polygons;  // tube quads and leaves: an upper bound on the patches
        const double faces = cages * std::pow(4.0, out.subdivide);
        const double per_face = k_point + 6 * k_float + k_polygon + 4 * k_corner + k_tag + 4 * k_record;
        refined = k_room * faces * per_face + faces * k_subdiv_working;
        e.points = faces;
        e.polygons = faces;
    }
    double lod = 0;
    if (out.lod > 1) {
        // Each level about half the triangles of the one before: all of them
        // together about as large again as the tree, as triangles.
        lod = 2 * (e.points * (k_point + 8 * k_float) + 2 * e.polygons * 3 * k_corner);
    }
    e.bytes = crown + tree + refined + lod;
    return e;
}

std::string over_budget_text(const cost_estimate& e, std::size_t budget) {
    return "the tree would need about " + bytes_text(e.bytes) + ", more than the budget of " +
           formats::format_memory_size(budget) + " (estimated before growing: " + count_text(e.nodes) + " nodes, " +
           count_text(e.points) + " points, " + count_text(e.polygons) + " polygons); --max-memory SIZE changes it";
}

void require_within_budget(const cost_estimate& e, std::size_t budget) {
    if (budget != 0 && e.bytes > double(budget)) throw input_error(over_budget_text(e, budget));
}

}  // namespace sf::app
