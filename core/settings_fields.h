// The stored parameters of the settings record by name: their panel ids,
// value kinds and units. Hosts include this to address fields by name; the
// panel ids are how they reach the live record.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "core/settings.h"

namespace sf {

enum class field_kind : std::uint8_t { integer, real, choice, boolean };
enum class field_unit : std::uint8_t { none, angle, percent, distance };

struct field_desc {
    const char* name;
    std::uint32_t id;  // panel id, 0 for fields no panel id names
    field_kind kind;
    field_unit unit;
    std::size_t offset;
};

#define SF_FIELD(name, id, kind, unit) \
    {#name, id, field_kind::kind, field_unit::unit, offsetof(settings_typ, name)}

// Every stored parameter, in record order.
inline constexpr field_desc k_fields[] = {
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

inline std::span<const field_desc> field_table() { return k_fields; }

inline const field_desc* find_field(std::string_view name) {
    for (const field_desc& f : k_fields)
        if (name == f.name) return &f;
    return nullptr;
}

}  // namespace sf
