// The tool's panel as text, the way a person would see it drawn.
#pragma once

#include <string>

#include "app/host_services.h"

namespace sf::app {

// Title, the inactive text when the panel is greyed, the controls in panel
// order with the tab groups in tab order where their first control stands,
// each with its current value in the panel's units (degrees, percent),
// its range or choices, dividers, and "(greyed)" on disabled controls.
// With explain, each control is followed by what it does to the tree.
std::string render_panel(const xpanel& panel, bool explain = false);

}  // namespace sf::app
