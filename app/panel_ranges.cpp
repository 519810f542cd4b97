#include "app/panel_ranges.h"

#include <cstdio>

#include "app/control_units.h"

namespace sf::app {

namespace {

// Room for the rounding of a value converted to and from shown units.
constexpr double k_range_slack = 1e-9;

std::string number_text(double v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.6g", v);
    return buf;
}

}  // namespace

std::optional<std::string> range_violation(const std::string& name, const std::string& control_class,
                                           const panel_range& range, double value) {
    // Compared in the units of the hint: angle hints are degrees, percent
    // hints fractions like the value.
    const control_unit* unit = unit_of_class(control_class);
    const double shown = to_shown(unit, value);
    const double compared = unit && unit->bounds_shown ? shown : value;
    const double lo = range.min, hi = range.max;
    if (compared >= lo - k_range_slack && compared <= hi + k_range_slack) return std::nullopt;
    const std::string words = unit ? std::string(unit->range_words) : std::string();
    return name + ": " + number_text(shown) + words + " is outside " + number_text(bound_to_shown(unit, lo)) + " .. " +
           number_text(bound_to_shown(unit, hi)) + words;
}

}  // namespace sf::app
