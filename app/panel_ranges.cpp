#include "app/panel_ranges.h"

#include <cstdio>
#include <numbers>

namespace sf::app {

namespace {

// The host shows angles in degrees; their range hints are degrees too.
constexpr double k_degrees_per_radian = 180.0 / std::numbers::pi;
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
    const bool angle = control_class == "angle";
    const double shown = angle ? value * k_degrees_per_radian : value;
    const double lo = range.min, hi = range.max;
    if (shown >= lo - k_range_slack && shown <= hi + k_range_slack) return std::nullopt;
    std::string unit;
    double scale = 1.0;
    if (angle) unit = " degrees";
    if (control_class == "percent") scale = 100.0, unit = "%";
    return name + ": " + number_text(shown * scale) + unit + " is outside " + number_text(lo * scale) + " .. " +
           number_text(hi * scale) + unit;
}

}  // namespace sf::app
