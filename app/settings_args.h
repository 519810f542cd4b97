// "FIELD=VALUE" assignments onto the settings record, from the command line.
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>

#include "core/settings.h"

namespace sf::app {

// A bad command-line value; the message is one line.
class usage_error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Stores one assignment in the record's own units: integers and choices as
// int32, booleans as 0/1/true/false, reals as finite numbers (radians for
// angles, fractions for percents, lengths for distances). An angle may be
// given as "12deg" and a percent as "40%". Throws usage_error, listing the
// valid field names for an unknown one; the record is then unchanged.
void apply_setting(settings_typ& r, std::string_view assignment);

// The settable field names, comma separated, in record order.
std::string field_names();

}  // namespace sf::app
