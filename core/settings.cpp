#include "core/settings.h"

#include <cstring>

namespace sf {

namespace {

settings_typ make_defaults() {
    settings_typ d;
    std::memset(&d, 0, sizeof d);
    d.branches = 150;
    d.segments = 8;
    d.branch_crookedness = 0.2;
    d.spare_ratio = 0.6;
    d.branch_thickness = 0.03;
    d.trunk_thickness = 0.03;
    d.spare_count = 2;
    d.tree_center = 0.4;
    d.branch_bend_end = 0.1;
    d.distribution_power = 0.8;
    d.iterations = 10;
    d.bias = 2.0;
    d.random_seed = 30;
    d.branch_end_split = 0.0;
    d.variable_spacing = 0;
    d.wg_range = 0.5;
    d.wg_hardness = 0.1;
    d.branch_tip_jitter = 0.1;
    d.normals_influence = 0.5;
    d.render_type = 0;
    d.regen_level = 0;
    d.refresh = 1;
    d.min_angle = 0.1;
    d.optimization_passes = 0;
    d.assign_range_weight_map = true;
    d.assign_thick_weight_map = true;
    d.wg_thick_max = 1.0;
    d.number_of_roots = 5;
    d.roots_gravity = 0.23;
    d.roots_spread = 0.5;
    d.roots_crookedness = 0.4;
    d.trunk_crookedness = 0.3;
    d.branch_type = 0;
    d.spare_factor = 0.1;
    d.sub_segments = 2;
    d.tree_center_variation = 0.1;
    d.branch_start_split = 0.1;
    d.trunks = 1;
    d.tips_thickness = 0.005;
    d.twig_range = 0.4;
    d.twig_coverage = 0.9;
    d.twig_proportional_length = 2.5;
    d.twig_segments = 4;
    d.twig_length_type = 1;
    d.twig_type = 0;
    d.twig_constant_length = 0.25;
    d.branch_bend_start = 0.1;
    d.trunk_bend = 0.9;
    d.trunk_thick_type = 0;
    d.trunk_influence = 2;
    d.leaf_width = 0.07;
    d.leaf_length = 0.1;
    d.leaf_shape = 0;
    d.leaf_out = 0.3;
    d.leaf_hang = 0.5;
    d.leaf_tip_hang = 0.1;
    d.leaf_randomness = 0.35;
    d.leaf_growth = 1;
    d.leaf_size = 1.0;
    d.leaf_size_tip = 0.5;
    d.leaf_density = 2;
    d.spare_count_b = 3;
    d.leaf_growth_randomness = 0.1;
    return d;
}


constexpr std::uint32_t k_id_hidden = 0x8017;
constexpr std::uint32_t k_id_info = 0x802A;

}  // namespace

const settings_typ k_default_settings = make_defaults();
settings_typ g_settings{};
int first_edit_pending = 0;
bool g_defaults_copied = false;

void reset_to_defaults(settings_typ& r) { std::memcpy(&r, &k_default_settings, sizeof r); }

void request_level(settings_typ& r, int level) {
    const std::int8_t l = static_cast<std::int8_t>(level);
    if (first_edit_pending == 1) {
        r.regen_level = l;
        first_edit_pending = 0;
    } else if (l == 0) {
        r.regen_level = 0;
    } else if (r.regen_level > l) {
        r.regen_level = l;
    }
}

void* field_lookup(settings_typ& r, std::uint32_t id) {
    if (id == 0) return nullptr;
    if (id == k_id_hidden) return &r.hidden;
    if (id == k_id_info) return &r.info[0];
    for (const field_desc& f : k_fields)
        if (f.id == id) return reinterpret_cast<char*>(&r) + f.offset;
    return nullptr;
}

}  // namespace sf
