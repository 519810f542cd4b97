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

using K = field_kind;
using U = field_unit;
#define SF_FIELD(name, id, kind, unit) {#name, id, K::kind, U::unit, offsetof(settings_typ, name)}

// Every stored parameter, in record order.
const field_desc k_fields[] = {
    SF_FIELD(branches, 0x8002, integer, none),
    SF_FIELD(segments, 0x8003, integer, none),
    SF_FIELD(branch_crookedness, 0x8004, real, angle),
    SF_FIELD(spare_ratio, 0x8005, real, none),
    SF_FIELD(branch_thickness, 0x8007, real, distance),
    SF_FIELD(trunk_thickness, 0x8008, real, distance),
    SF_FIELD(spare_count, 0, integer, none),
    SF_FIELD(tree_center, 0x8009, real, percent),
    SF_FIELD(branch_bend_end, 0x800A, real, none),
    SF_FIELD(distribution_power, 0x800F, real, none),
    SF_FIELD(iterations, 0x8010, integer, none),
    SF_FIELD(bias, 0x8011, real, none),
    SF_FIELD(random_seed, 0x8012, integer, none),
    SF_FIELD(branch_end_split, 0x8014, real, percent),
    SF_FIELD(variable_spacing, 0, integer, none),
    SF_FIELD(wg_range, 0x800D, real, percent),
    SF_FIELD(wg_hardness, 0x800E, real, percent),
    SF_FIELD(branch_tip_jitter, 0x800B, real, distance),
    SF_FIELD(normals_influence, 0x800C, real, percent),
    SF_FIELD(spare_switch_a, 0, integer, none),
    SF_FIELD(spare_switch_b, 0, integer, none),
    SF_FIELD(render_type, 0x8018, choice, none),
    SF_FIELD(refresh, 0x8020, choice, none),
    SF_FIELD(min_angle, 0x8019, real, angle),
    SF_FIELD(optimization_passes, 0x801A, integer, none),
    SF_FIELD(assign_range_weight_map, 0x801B, boolean, none),
    SF_FIELD(assign_thick_weight_map, 0x801C, boolean, none),
    SF_FIELD(wg_thick_max, 0x801D, real, percent),
    SF_FIELD(number_of_roots, 0x8021, integer, none),
    SF_FIELD(roots_gravity, 0x8022, real, none),
    SF_FIELD(roots_spread, 0x8023, real, none),
    SF_FIELD(roots_crookedness, 0x8024, real, angle),
    SF_FIELD(trunk_crookedness, 0x8025, real, angle),
    SF_FIELD(branch_type, 0x802B, choice, none),
    SF_FIELD(spare_factor, 0x802C, real, none),
    SF_FIELD(sub_segments, 0x802D, integer, none),
    SF_FIELD(tree_center_variation, 0x802E, real, percent),
    SF_FIELD(branch_start_split, 0x802F, real, percent),
    SF_FIELD(trunks, 0x8030, integer, none),
    SF_FIELD(tips_thickness, 0x8031, real, distance),
    SF_FIELD(twig_range, 0x8032, real, percent),
    SF_FIELD(twig_coverage, 0x8033, real, percent),
    SF_FIELD(twig_proportional_length, 0x8034, real, percent),
    SF_FIELD(twig_segments, 0x8035, integer, none),
    SF_FIELD(twig_length_type, 0x8036, choice, none),
    SF_FIELD(twig_type, 0x8037, choice, none),
    SF_FIELD(twig_constant_length, 0x8038, real, distance),
    SF_FIELD(branch_bend_start, 0x803A, real, none),
    SF_FIELD(trunk_bend, 0x803B, real, none),
    SF_FIELD(trunk_thick_type, 0x803C, choice, none),
    SF_FIELD(trunk_influence, 0x803D, choice, none),
    SF_FIELD(leaf_width, 0x803F, real, distance),
    SF_FIELD(leaf_length, 0x8040, real, distance),
    SF_FIELD(leaf_shape, 0x8041, choice, none),
    SF_FIELD(leaf_out, 0x8042, real, percent),
    SF_FIELD(leaf_hang, 0x8043, real, percent),
    SF_FIELD(leaf_tip_hang, 0x8044, real, percent),
    SF_FIELD(leaf_randomness, 0x8045, real, percent),
    SF_FIELD(leaf_growth, 0x8046, choice, none),
    SF_FIELD(leaf_size, 0x8047, real, none),
    SF_FIELD(leaf_size_tip, 0x8048, real, none),
    SF_FIELD(leaf_density, 0x8049, integer, none),
    SF_FIELD(spare_count_b, 0, integer, none),
    SF_FIELD(leaf_growth_randomness, 0x804A, real, percent),
};
#undef SF_FIELD

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

std::span<const field_desc> field_table() { return k_fields; }

const field_desc* find_field(std::string_view name) {
    for (const field_desc& f : k_fields)
        if (name == f.name) return &f;
    return nullptr;
}

}  // namespace sf
