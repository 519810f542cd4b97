#include "app/control_units.h"

#include <numbers>
#include <string>

namespace sf::app {

namespace {

constexpr control_unit k_units[] = {
    {"angle", field_unit::angle, 180.0, std::numbers::pi, "\xC2\xB0", "deg", " degrees", true},
    {"percent", field_unit::percent, 100.0, 1.0, "%", "%", "%", false},
};

}  // namespace

const control_unit* unit_of_class(std::string_view control_class) {
    for (const control_unit& u : k_units)
        if (u.control_class == control_class) return &u;
    return nullptr;
}

const control_unit* unit_of_field(field_unit field) {
    for (const control_unit& u : k_units)
        if (u.field == field) return &u;
    return nullptr;
}

double to_shown(const control_unit* unit, double stored) {
    return unit ? stored * unit->shown_scale / unit->stored_scale : stored;
}

double to_stored(const control_unit* unit, double shown) {
    return unit ? shown * unit->stored_scale / unit->shown_scale : shown;
}

double bound_to_shown(const control_unit* unit, double bound) {
    return unit && !unit->bounds_shown ? to_shown(unit, bound) : bound;
}

nlohmann::json units_json() {
    nlohmann::json out = nlohmann::json::object();
    for (const control_unit& u : k_units)
        out[std::string(u.control_class)] = {{"shown_scale", u.shown_scale},
                                             {"stored_scale", u.stored_scale},
                                             {"sign", std::string(u.sign)},
                                             {"bounds_shown", u.bounds_shown}};
    return out;
}

}  // namespace sf::app
