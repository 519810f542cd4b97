// Shown units versus stored units: the panel shows angles in degrees and
// percents as percent, the tool stores radians and fractions. One table
// for the text panel, the command line, the server's range checks and
// (through the panel description) the web page.
#pragma once

#include <nlohmann/json.hpp>

#include <string_view>

#include "core/settings_fields.h"

namespace sf::app {

// shown = stored * shown_scale / stored_scale, evaluated left to right;
// stored = shown * stored_scale / shown_scale.
struct control_unit {
    std::string_view control_class;  // the panel's control class: "angle", "percent"
    field_unit field;                // the same unit in the settings record
    double shown_scale;
    double stored_scale;
    std::string_view sign;           // after a shown value: "°", "%"
    std::string_view typed_suffix;   // after a value on the command line: "deg", "%"
    std::string_view range_words;    // after the numbers of a range message: " degrees", "%"
    bool bounds_shown;               // range hints are in shown units (else stored)
};

// The unit of a control class or field; null for values shown as stored.
const control_unit* unit_of_class(std::string_view control_class);
const control_unit* unit_of_field(field_unit field);

double to_shown(const control_unit* unit, double stored);
double to_stored(const control_unit* unit, double shown);

// A range hint's bound in shown units.
double bound_to_shown(const control_unit* unit, double bound);

// The table for the page, by control class.
nlohmann::json units_json();

}  // namespace sf::app
