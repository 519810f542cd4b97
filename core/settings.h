// The tool's one settings record: every parameter of the tree and the tool's
// interaction state. The host treats the live record as the tool instance.
#pragma once

#include <cstddef>
#include <cstdint>

namespace sf {

struct settings_typ {
    std::int32_t branches;
    std::int32_t segments;
    double branch_crookedness;
    double spare_ratio;
    double branch_thickness;
    double trunk_thickness;
    std::int32_t spare_count;
    double tree_center;
    double branch_bend_end;
    double distribution_power;
    std::int32_t iterations;
    double bias;
    std::int32_t random_seed;
    double branch_end_split;
    std::int32_t variable_spacing;
    double wg_range;
    double wg_hardness;
    double branch_tip_jitter;
    double normals_influence;
    std::int32_t spare_switch_a;
    std::int32_t spare_switch_b;
    std::int32_t render_type;
    std::int8_t regen_level;
    std::int32_t refresh;
    double min_angle;
    std::int32_t optimization_passes;
    bool assign_range_weight_map;
    bool assign_thick_weight_map;
    double wg_thick_max;
    std::int32_t number_of_roots;
    double roots_gravity;
    double roots_spread;
    double roots_crookedness;
    double trunk_crookedness;
    std::int32_t branch_type;
    double spare_factor;
    std::int32_t sub_segments;
    double tree_center_variation;
    double branch_start_split;
    std::int32_t trunks;
    double tips_thickness;
    double twig_range;
    double twig_coverage;
    double twig_proportional_length;
    std::int32_t twig_segments;
    std::int32_t twig_length_type;
    std::int32_t twig_type;
    double twig_constant_length;
    double branch_bend_start;
    double trunk_bend;
    std::int32_t trunk_thick_type;
    std::int32_t trunk_influence;
    double leaf_width;
    double leaf_length;
    std::int32_t leaf_shape;
    double leaf_out;
    double leaf_hang;
    double leaf_tip_hang;
    double leaf_randomness;
    std::int32_t leaf_growth;
    double leaf_size;
    double leaf_size_tip;
    std::int32_t leaf_density;
    std::int32_t spare_count_b;
    double leaf_growth_randomness;
    std::int32_t bg_polygon_count;
    std::int32_t tool_state;
    std::int32_t hidden;
    std::int32_t redraw_needed;
    char info[40];
    double bg_top;
};

// Tool states reported by the test callback.
constexpr std::int32_t TOOL_IDLE = 0;
constexpr std::int32_t TOOL_UPDATE = 1;
constexpr std::int32_t TOOL_REJECT = 3;

extern const settings_typ k_default_settings;
extern settings_typ g_settings;          // the live record
extern int first_edit_pending;           // set by every build, cleared by the level rule
extern bool g_defaults_copied;           // defaults copied into the live record yet

// Overwrites the whole record with the defaults.
void reset_to_defaults(settings_typ& r);

// Applies the regeneration level rule for a requested level.
void request_level(settings_typ& r, int level);

// Address of the field a panel id names, or null for ids that map no field.
void* field_lookup(settings_typ& r, std::uint32_t id);

}  // namespace sf

#include "core/settings_fields.h"
