#include "app/panel_ranges.h"

#include <charconv>

#include "app/control_units.h"

namespace sf::app {

namespace {

// Room for the rounding of a value converted to and from shown units.
constexpr double k_range_slack = 1e-9;

// The shortest text that reads back as v: a bound is never rounded into a
// value it is not.
std::string number_text(double v) {
    char buf[32];
    const auto [end, ec] = std::to_chars(buf, buf + sizeof buf, v);
    return ec == std::errc() ? std::string(buf, end) : std::string("?");
}

}  // namespace

std::optional<std::string> beyond_slider(const std::string& typed, const std::string& control_class,
                                         const panel_range& range, double value, bool typed_as_shown) {
    // Compared in the units of the hint: angle hints are degrees, percent
    // hints fractions like the value.
    const control_unit* unit = unit_of_class(control_class);
    const double compared = unit && unit->bounds_shown ? to_shown(unit, value) : value;
    const double lo = range.min, hi = range.max;
    if (compared >= lo - k_range_slack && compared <= hi + k_range_slack) return std::nullopt;
    const std::string words = unit ? std::string(unit->range_words) : std::string();
    std::string note = typed + " is beyond the slider's " + number_text(bound_to_shown(unit, lo)) + " .. " +
                       number_text(bound_to_shown(unit, hi)) + words;
    if (unit && !typed_as_shown) {
        // The slider's ends in the units the value was typed in.
        const double stored_lo = unit->bounds_shown ? to_stored(unit, lo) : lo;
        const double stored_hi = unit->bounds_shown ? to_stored(unit, hi) : hi;
        note += " (" + number_text(stored_lo) + " .. " + number_text(stored_hi) + ")";
    }
    return note;
}

}  // namespace sf::app
