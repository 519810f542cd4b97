// "FIELD=VALUE" assignments from the command line, turned into the values a
// person would type into the tool's panel.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

#include "core/settings_fields.h"
#include "formats/errors.h"

namespace sf::app {

// A bad command-line value; the message is one line.
class usage_error : public input_error {
public:
    using input_error::input_error;
};

// How a real value was written: plain (record units), "12deg" or "40%".
enum class value_form : std::uint8_t { plain, degrees, percent };

// One parsed assignment. The value is held the way the panel's set callback
// reads it: int32 for integers and choices, double for reals (radians,
// fractions, lengths), one byte 0/1 for booleans.
struct panel_setting {
    std::string text;  // the assignment as given
    const field_desc* field = nullptr;
    value_form form = value_form::plain;
    std::int32_t i = 0;
    double d = 0.0;
    unsigned char b = 0;
    std::string label;  // a choice given by name, resolved against the panel's list
    std::string beyond;  // set by the panel edit: the note for a value beyond the slider, or empty

    // The bytes handed to the set callback.
    void* value() {
        switch (field->kind) {
        case field_kind::real: return &d;
        case field_kind::boolean: return &b;
        default: return &i;
        }
    }
};

// Parses one assignment: integers and choices as int32 (a choice may also be
// named by its label, kept in label for the panel to resolve), booleans as
// 0/1/true/false, reals as finite numbers in the record's units; an angle
// may be given as "12deg" and a percent as "40%". Fields that no panel id
// names are refused (only presets set them). Throws usage_error, listing
// the valid field names for an unknown one.
panel_setting parse_setting(std::string_view assignment);

// The field's value at addr (as the panel's get callback answers it),
// written in the form of the assignment: "2", "10deg", "40%", "true".
std::string format_stored(const panel_setting& s, const void* addr);

// True when the stored value differs from the one asked for.
bool stored_differs(const panel_setting& s, const void* addr);

// The field names --set accepts, comma separated, in record order.
std::string field_names();

}  // namespace sf::app
