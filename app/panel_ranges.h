// The panel's range hints as the host reads typed values against them. A
// hint is what the slider spans, not what may be typed: a value beyond it
// is taken (the tool's own clamps still apply) with one note, in the same
// words on the command line and in the server.
#pragma once

#include <optional>
#include <string>

#include "app/host_services.h"

namespace sf::app {

// The note for a value (in stored units: radians for angles, fractions for
// percents) beyond the range hint of a control of that class, or none
// when it lies within: "<typed> is beyond the slider's 4 .. 25", the range
// in the panel's units. typed is how the value is named, as given, e.g.
// "segments=9999" or "\"Segments\": 9999". When the value was typed in
// other units than the panel shows (an angle in radians, a percent as a
// fraction), the range follows in those units too.
std::optional<std::string> beyond_slider(const std::string& typed, const std::string& control_class,
                                         const panel_range& range, double value, bool typed_as_shown);

}  // namespace sf::app
