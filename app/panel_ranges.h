// The panel's range hints as the host holds typed values to them: the
// command line's --set and the server's edits refuse the same values with
// the same words.
#pragma once

#include <optional>
#include <string>

#include "app/host_services.h"

namespace sf::app {

// The reason value (in stored units: radians for angles, fractions for
// percents) lies outside the range hint of a control of that class, shown
// in the panel's units, e.g. "\"Segments\": 9999 is outside 4 .. 25"; none
// when it lies inside. name is how the message names the control.
std::optional<std::string> range_violation(const std::string& name, const std::string& control_class,
                                           const panel_range& range, double value);

}  // namespace sf::app
