#include "ui/panel.h"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "sylvaform_version.h"
#include "ui/barrier.h"
#include "ui/presets.h"
#include "ui/services.h"

namespace sf {

namespace {

// What the set callback does to a stored value.
enum class clamp : std::uint8_t {
    none,
    int_at_least,     // below param becomes param
    int_at_most,      // above param becomes param
    trunks,           // above the current branch count becomes it
    real_at_most,     // above param becomes param
    real_at_least,    // below param becomes param
    real_zero_to,     // exactly 0 becomes param
    real_absolute,    // negative becomes its absolute value
    not_settable,
};

constexpr int k_no_level = -1;

struct control_row {
    unsigned id;
    const char* label;
    const char* control_class;
    const char* data_name;  // null: same as the label
    const char* data_type;  // null: same as the control class
    int level;
    clamp rule;
    double param;
};

// The panel in panel-table order. Classes name how the host shows a value:
// angles in degrees, percents in percent.
const control_row k_rows[] = {
    {0x802A, "", "sInfo", nullptr, nullptr, k_no_level, clamp::not_settable, 0},
    {0x8020, "Refresh", "iPopChoice", nullptr, "integer", k_no_level, clamp::none, 0},
    {0x8002, "Branches", "integer", nullptr, nullptr, 0, clamp::int_at_least, 2},
    {0x8003, "Segments", "integer", nullptr, nullptr, 1, clamp::int_at_least, 4},
    {0x802D, "Sub Segments", "integer", nullptr, nullptr, 1, clamp::int_at_least, 1},
    {0x8014, "Branch end split", "percent", nullptr, nullptr, 1, clamp::real_at_most, 1.0},
    {0x800B, "Branch tip jitter", "distance", "Tips jitter", nullptr, 0, clamp::none, 0},
    {0x800C, "Normals influence", "percent", nullptr, nullptr, 1, clamp::none, 0},
    {0x8009, "Tree center", "percent", nullptr, nullptr, 1, clamp::none, 0},
    {0x802E, "Tree center variation", "percent", nullptr, nullptr, 1, clamp::none, 0},
    {0x8004, "Branch crookedness", "angle", nullptr, nullptr, 1, clamp::none, 0},
    {0x8007, "Branch thickness", "distance", nullptr, nullptr, 2, clamp::real_zero_to, 0.001},
    {0x8008, "Trunk thickness", "distance", nullptr, nullptr, 2, clamp::none, 0},
    {0x802F, "Branch start split", "percent", nullptr, nullptr, 0, clamp::none, 0},
    {0x8011, "Bias", "float", nullptr, nullptr, 1, clamp::real_at_least, 0.1},
    {0x800A, "Branch bend end", "float", nullptr, nullptr, 1, clamp::none, 0},
    {0x800D, "WG range", "percent", nullptr, nullptr, 2, clamp::none, 0},
    {0x800E, "WG hardness", "percent", nullptr, nullptr, 2, clamp::none, 0},
    {0x800F, "Distribution power", "float", nullptr, nullptr, 0, clamp::real_at_least, 0.1},
    {0x8010, "Iterations", "integer", nullptr, nullptr, 0, clamp::int_at_least, 1},
    {0x8012, "Random seed", "integer", nullptr, nullptr, 0, clamp::none, 0},
    {0x801A, "Optimization passes", "integer", nullptr, nullptr, 2, clamp::int_at_least, 0},
    {0x8019, "Min angle", "angle", nullptr, nullptr, 2, clamp::real_absolute, 0},
    {0x8018, "Render Type", "iPopChoice", nullptr, "integer", 2, clamp::none, 0},
    {0x801E, "Presets", "vButton", nullptr, nullptr, k_no_level, clamp::not_settable, 0},
    {0x801F, "Add Preset", "vButton", nullptr, nullptr, k_no_level, clamp::not_settable, 0},
    {0x801B, "Assign Range Weight Map", "iBoolean", nullptr, nullptr, 2, clamp::none, 0},
    {0x801C, "Assign Thick Weight Map", "iBoolean", nullptr, nullptr, 2, clamp::none, 0},
    {0x801D, "WG Thick max", "percent", nullptr, nullptr, 2, clamp::none, 0},
    {0x8021, "Number of roots", "integer", nullptr, nullptr, 2, clamp::int_at_least, 5},
    {0x8022, "Roots Gravity", "float", nullptr, nullptr, 2, clamp::none, 0},
    {0x8024, "Roots Crookedness", "angle", nullptr, nullptr, 2, clamp::none, 0},
    {0x8025, "Trunk crookedness", "angle", nullptr, nullptr, 1, clamp::none, 0},
    {0x8017, "--hidden--", "integer", nullptr, nullptr, k_no_level, clamp::not_settable, 0},
    {0x802B, "Branch type", "iPopChoice", "Branch Type", "integer", 0, clamp::none, 0},
    {0x8030, "Trunks", "integer", nullptr, nullptr, 0, clamp::trunks, 0},
    {0x8031, "Tips thickness", "distance", nullptr, nullptr, 2, clamp::none, 0},
    {0x8032, "Range", "percent", nullptr, nullptr, 2, clamp::none, 0},
    {0x8033, "Coverage", "percent", nullptr, nullptr, 2, clamp::none, 0},
    {0x8034, "Proportional length", "percent", nullptr, nullptr, 2, clamp::none, 0},
    {0x8035, "Segments", "integer", nullptr, nullptr, 2, clamp::int_at_most, 9},
    {0x8036, "Twig length type", "iPopChoice", nullptr, "integer", 2, clamp::none, 0},
    {0x8037, "Type", "iPopChoice", nullptr, "integer", 2, clamp::none, 0},
    {0x8038, "Constant length", "distance", nullptr, nullptr, 2, clamp::none, 0},
    {0x803A, "Branch bend start", "float", nullptr, nullptr, 1, clamp::none, 0},
    {0x803B, "Trunk bend", "float", nullptr, nullptr, 1, clamp::none, 0},
    {0x803C, "Trunk thick type", "iPopChoice", nullptr, "integer", 1, clamp::none, 0},
    {0x803D, "Trunk influence", "iPopChoice", nullptr, "integer", 1, clamp::none, 0},
    {0x803F, "Width", "distance", nullptr, "float", 2, clamp::none, 0},
    {0x8040, "Length", "distance", nullptr, "float", 2, clamp::none, 0},
    {0x8041, "Shape", "iPopChoice", nullptr, "integer", 2, clamp::none, 0},
    {0x8042, "Out", "percent", nullptr, nullptr, 2, clamp::none, 0},
    {0x8043, "Hang", "percent", nullptr, nullptr, 2, clamp::none, 0},
    {0x8044, "Tip Hang", "percent", nullptr, nullptr, 2, clamp::none, 0},
    {0x8045, "Randomness", "percent", nullptr, nullptr, 2, clamp::none, 0},
    {0x8046, "Leaf growth", "iPopChoice", nullptr, "integer", 2, clamp::none, 0},
    {0x8047, "Size", "float", nullptr, nullptr, 2, clamp::none, 0},
    {0x8048, "Size tip", "float", nullptr, nullptr, 2, clamp::none, 0},
    {0x8049, "Density", "integer", nullptr, nullptr, 2, clamp::none, 0},
    {0x804A, "Randomness", "percent", nullptr, nullptr, 2, clamp::none, 0},
};
static_assert(sizeof k_rows / sizeof k_rows[0] == 60);

// Ids the set callback takes although no control carries them.
const control_row k_hidden_rows[] = {
    {0x8005, "", "float", nullptr, nullptr, 1, clamp::real_at_least, 0.01},
    {0x8023, "", "float", nullptr, nullptr, 2, clamp::real_at_least, 0.1},
    {0x802C, "", "float", nullptr, nullptr, 1, clamp::none, 0},
};

const control_row* find_row(unsigned long id) {
    for (const control_row& r : k_rows)
        if (r.id == id) return &r;
    for (const control_row& r : k_hidden_rows)
        if (r.id == id) return &r;
    return nullptr;
}

struct tables {
    std::vector<LWXPanelControl> controls;
    std::vector<LWXPanelDataDesc> data;
    tables() {
        for (const control_row& r : k_rows) {
            controls.push_back({r.id, r.label, r.control_class});
            data.push_back({r.id, r.data_name ? r.data_name : r.label,
                            r.data_type ? r.data_type : r.control_class});
        }
        controls.push_back({0, nullptr, nullptr});
        data.push_back({0, nullptr, nullptr});
    }
};

const tables& panel_tables() {
    static const tables t;
    return t;
}

// ---- hints ----

const char* const k_refresh_choices[] = {"Manual", "Automatic", nullptr};
const char* const k_render_choices[] = {"Skeleton", "Polygonal", "SubD", nullptr};
const char* const k_twig_type_choices[] = {"off", "up", "down", "horizontal", "branch", "random", "side",
                                           nullptr};
const char* const k_thick_type_choices[] = {"thick", "thin", nullptr};
const char* const k_influence_choices[] = {"off", "on", "fade", nullptr};
const char* const k_shape_choices[] = {"none", "one poly", "two polys", "rhombus", "three polys",
                                       "rhombus2", nullptr};
const char* const k_branch_type_choices[] = {"typeA", "typeB", nullptr};
const char* const k_twig_length_choices[] = {"proportional", "constant", nullptr};
const char* const k_growth_choices[] = {"staggered", "symmetrical", nullptr};

const unsigned k_tabs[] = {0x8027, 0x8039, 0x803E, 0x8028, 0};
const unsigned k_tree_group[] = {0x8002, 0x8003, 0x802D, 0x8011, 0x800B, 0x8009, 0x802E,
                                 0x800C, 0x8014, 0x802F, 0x800A, 0x803A, 0x8004, 0x8030,
                                 0x803C, 0x803B, 0x8025, 0x8008, 0x8007, 0x8031, 0x8012, 0};
const unsigned k_twig_group[] = {0x8037, 0x8032, 0x8033, 0x8035, 0x8036, 0x8034, 0x8038, 0};
const unsigned k_leaf_group[] = {0x8041, 0x8049, 0x8046, 0x8040, 0x803F, 0x8047,
                                 0x8048, 0x804A, 0x8042, 0x8043, 0x8044, 0x8045, 0};
const unsigned k_advanced_group[] = {0x801A, 0x8019, 0x803D, 0x802B, 0x8021, 0x8022, 0x8024,
                                     0x800F, 0x8010, 0x801B, 0x800D, 0x800E, 0x801C, 0x801D, 0};
const unsigned k_dividers[] = {0x8004, 0x800B, 0x800C, 0x802B, 0x8025, 0x8031,
                               0x8046, 0x804A, 0x8019, 0x8010, 0x8024, 0x802F};
const unsigned k_enabled_by_hidden[] = {0x8020, 0x8027, 0x8039, 0x803E, 0x8028,
                                        0x8018, 0x801F, 0x802B, 0};
const unsigned k_host_hinted[] = {0x8017, 0x801A, 0x8019, 0x801B, 0x801C};
constexpr int k_host_hint_tag = 0x3D020983;

void destroy_notify(void*) { release_shelf_client(); }

std::vector<LWXPHint> make_hints() {
    std::vector<LWXPHint> h;
    auto add = [&](LWXPHint x) { h.push_back(x); };
    add({XPH_TITLE, 0, "Sylvaform " SF_VERSION_SHORT, nullptr, nullptr, 0, 0, 0, nullptr, nullptr});
    add({XPH_TABS, 0x8026, nullptr, k_tabs, nullptr, 0, 0, 0, nullptr, nullptr});
    add({XPH_GROUP, 0x8027, "Tree", k_tree_group, nullptr, 0, 0, 0, nullptr, nullptr});
    add({XPH_GROUP, 0x8039, "Twig", k_twig_group, nullptr, 0, 0, 0, nullptr, nullptr});
    add({XPH_GROUP, 0x803E, "Leaf", k_leaf_group, nullptr, 0, 0, 0, nullptr, nullptr});
    add({XPH_GROUP, 0x8028, "Advanced", k_advanced_group, nullptr, 0, 0, 0, nullptr, nullptr});
    for (unsigned id : k_dividers) add({XPH_DIVIDER, id, nullptr, nullptr, nullptr, 0, 0, 0, nullptr, nullptr});
    add({XPH_BUTTON, 0x801E, nullptr, nullptr, nullptr, 0, 0, 0, barrier<presets_button>, nullptr});
    add({XPH_BUTTON, 0x801F, nullptr, nullptr, nullptr, 0, 0, 0, barrier<add_preset_button>, nullptr});
    add({XPH_DESTROYNOTIFY, 0, nullptr, nullptr, nullptr, 0, 0, 0, nullptr, barrier<destroy_notify>});
    add({XPH_ENABLE, 0x8017, "Tool is currently inactive.", k_enabled_by_hidden, nullptr, 0, 0, 0, nullptr,
         nullptr});
    const struct {
        unsigned id;
        const char* const* list;
    } lists[] = {{0x8020, k_refresh_choices},      {0x8018, k_render_choices},
                 {0x8037, k_twig_type_choices},    {0x803C, k_thick_type_choices},
                 {0x803D, k_influence_choices},    {0x8041, k_shape_choices},
                 {0x802B, k_branch_type_choices},  {0x802B, k_branch_type_choices},
                 {0x8036, k_twig_length_choices},  {0x8046, k_growth_choices}};
    for (const auto& l : lists) add({XPH_STRLIST, l.id, nullptr, nullptr, l.list, 0, 0, 0, nullptr, nullptr});
    for (unsigned id : k_host_hinted)
        add({XPH_HOSTHINT, id, nullptr, nullptr, nullptr, k_host_hint_tag, -1, 0, nullptr, nullptr});
    const struct {
        unsigned id;
        int min, max, step;
    } ranges[] = {{0x8002, 1, 2000, 1}, {0x8003, 4, 25, 1},   {0x802D, 2, 6, 1},    {0x8014, 0, 1, 1},
                  {0x800C, -3, 3, 1},   {0x8009, -1, 2, 1},   {0x802E, 0, 1, 1},    {0x8004, 0, 45, 1},
                  {0x802F, -1, 1, 1},   {0x8011, 0, 5, 1},    {0x800A, -10, 10, 1}, {0x800D, 0, 1, 1},
                  {0x800E, 0, 1, 1},    {0x800F, 0, 1, 1},    {0x8010, 1, 25, 1},   {0x8012, -1000, 1000, 1},
                  {0x801A, 0, 25, 1},   {0x8019, 0, 45, 1},   {0x801D, 0, 1, 1},    {0x8021, 5, 12, 1},
                  {0x8022, -10, 10, 1}, {0x8024, 0, 45, 1},   {0x8025, 0, 45, 1},   {0x8030, 1, 5, 1},
                  {0x8032, 0, 1, 1},    {0x8033, 0, 1, 1},    {0x8034, 0, 10, 1},   {0x8035, 0, 9, 1},
                  {0x8038, 0, 1, 1},    {0x803A, -10, 10, 1}, {0x803B, 0, 5, 1},    {0x8049, 1, 10, 1}};
    for (const auto& r : ranges)
        add({XPH_RANGE, r.id, nullptr, nullptr, nullptr, r.min, r.max, r.step, nullptr, nullptr});
    add({XPH_END, 0, nullptr, nullptr, nullptr, 0, 0, 0, nullptr, nullptr});
    return h;
}

void request_update(settings_typ& r) { r.tool_state = TOOL_UPDATE; }

}  // namespace

std::span<const LWXPanelControl> panel_controls() { return panel_tables().controls; }
std::span<const LWXPanelDataDesc> panel_data() { return panel_tables().data; }

const LWXPHint* panel_hints() {
    static const std::vector<LWXPHint> hints = make_hints();
    return hints.data();
}

void* panel_get(void* inst, unsigned long id) {
    if (!inst || id > 0xFFFFFFFFul) return nullptr;
    return field_lookup(*static_cast<settings_typ*>(inst), static_cast<std::uint32_t>(id));
}

int panel_set(void* inst, unsigned long id, void* value) {
    if (!inst || !value) return 0;
    settings_typ& r = *static_cast<settings_typ*>(inst);

    if (id == 0x8020) {  // Refresh
        const std::int32_t old = r.refresh;
        std::memcpy(&r.refresh, value, sizeof r.refresh);
        if (r.refresh == 1) {
            request_update(r);
        } else if (old != 0 || r.refresh != 0) {
            // Automatic to Manual: nothing to build.
        } else {
            request_update(r);  // Manual chosen again: one build
        }
        r.redraw_needed = 1;
        return 2;
    }

    const control_row* row = find_row(id);
    if (!row || row->rule == clamp::not_settable) return 0;
    void* field = field_lookup(r, static_cast<std::uint32_t>(id));
    if (!field) return 0;

    const field_desc* desc = nullptr;
    for (const field_desc& f : field_table())
        if (f.id == id) desc = &f;
    if (!desc) return 0;

    switch (desc->kind) {
        case field_kind::integer:
        case field_kind::choice: {
            std::int32_t v;
            std::memcpy(&v, value, sizeof v);
            if (row->rule == clamp::int_at_least && v < static_cast<std::int32_t>(row->param))
                v = static_cast<std::int32_t>(row->param);
            if (row->rule == clamp::int_at_most && v > static_cast<std::int32_t>(row->param))
                v = static_cast<std::int32_t>(row->param);
            if (row->rule == clamp::trunks && v > r.branches) v = r.branches;
            std::memcpy(field, &v, sizeof v);
            break;
        }
        case field_kind::real: {
            double v;
            std::memcpy(&v, value, sizeof v);
            if (row->rule == clamp::real_at_most && v > row->param) v = row->param;
            if (row->rule == clamp::real_at_least && v < row->param) v = row->param;
            if (row->rule == clamp::real_zero_to && v == 0.0) v = row->param;
            if (row->rule == clamp::real_absolute && v < 0) v = std::fabs(v);
            std::memcpy(field, &v, sizeof v);
            break;
        }
        case field_kind::boolean: {
            unsigned char b;
            std::memcpy(&b, value, 1);
            *static_cast<bool*>(field) = b != 0;
            break;
        }
    }

    if (r.refresh == 1 || id == 0x8018) request_update(r);
    if (row->level != k_no_level) request_level(r, row->level);
    r.redraw_needed = 1;
    return 2;
}

LWXPanelID panel_callback(LWInstance inst) {
    const LWXPanelFuncs* xp = g_services.panel;
    if (!xp) return nullptr;
    LWXPanelID panel = xp->create(LWXP_VIEW, panel_controls().data());
    if (!panel) return nullptr;
    xp->hint(panel, 0, panel_hints());
    xp->describe(panel, panel_data().data(), barrier<panel_get, nullptr>, barrier<panel_set, 0>);
    xp->setData(panel, 0, inst);
    g_panel = panel;
    return panel;
}

}  // namespace sf
