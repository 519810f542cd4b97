#include "app/settings_args.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <numbers>

namespace sf::app {

namespace {

template <class T>
bool parse_whole(std::string_view t, T& v) {
    const auto [ptr, ec] = std::from_chars(t.data(), t.data() + t.size(), v);
    return !t.empty() && ec == std::errc() && ptr == t.data() + t.size();
}

bool ends_with(std::string_view s, std::string_view suffix, std::string_view& head) {
    if (!s.ends_with(suffix)) return false;
    head = s.substr(0, s.size() - suffix.size());
    return true;
}

double parse_real(const field_desc& f, std::string_view text, const std::string& where) {
    std::string_view number = text;
    enum { plain, degrees, percent } form = plain;
    if (ends_with(text, "deg", number)) {
        if (f.unit != field_unit::angle) throw usage_error(where + ": 'deg' is only for angle fields");
        form = degrees;
    } else if (ends_with(text, "%", number)) {
        if (f.unit != field_unit::percent) throw usage_error(where + ": '%' is only for percent fields");
        form = percent;
    }
    double v = 0.0;
    if (!parse_whole(number, v) || !std::isfinite(v)) throw usage_error(where + ": not a finite number");
    // Evaluated left to right: deg * pi, then / 180; x / 100 rounds 40% to 0.4 exactly.
    if (form == degrees) v = v * std::numbers::pi / 180.0;
    if (form == percent) v = v / 100.0;
    if (!std::isfinite(v)) throw usage_error(where + ": not a finite number");
    return v;
}

}  // namespace

std::string field_names() {
    std::string names;
    for (const field_desc& f : field_table()) {
        if (!names.empty()) names += ", ";
        names += f.name;
    }
    return names;
}

void apply_setting(settings_typ& r, std::string_view assignment) {
    const std::size_t eq = assignment.find('=');
    if (eq == std::string_view::npos)
        throw usage_error("--set " + std::string(assignment) + ": expected FIELD=VALUE");
    const std::string_view name = assignment.substr(0, eq);
    const std::string_view text = assignment.substr(eq + 1);
    const field_desc* f = find_field(name);
    if (!f)
        throw usage_error("--set: unknown field '" + std::string(name) + "'; valid fields: " + field_names());

    const std::string where = "--set " + std::string(assignment);
    char* field = reinterpret_cast<char*>(&r) + f->offset;
    switch (f->kind) {
    case field_kind::integer:
    case field_kind::choice: {
        std::int64_t v = 0;
        if (!parse_whole(text, v) || v < std::numeric_limits<std::int32_t>::min() ||
            v > std::numeric_limits<std::int32_t>::max())
            throw usage_error(where + ": not a 32-bit integer");
        const auto i = static_cast<std::int32_t>(v);
        std::memcpy(field, &i, sizeof i);
        break;
    }
    case field_kind::real: {
        const double v = parse_real(*f, text, where);
        std::memcpy(field, &v, sizeof v);
        break;
    }
    case field_kind::boolean: {
        bool b = false;
        if (text == "1" || text == "true")
            b = true;
        else if (text != "0" && text != "false")
            throw usage_error(where + ": expected 0, 1, true or false");
        std::memcpy(field, &b, sizeof b);
        break;
    }
    }
}

}  // namespace sf::app
