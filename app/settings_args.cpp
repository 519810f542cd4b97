#include "app/settings_args.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>

#include "app/control_units.h"

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

double parse_real(const field_desc& f, std::string_view text, const std::string& where, value_form& form) {
    std::string_view number = text;
    form = value_form::plain;
    const control_unit* typed = nullptr;  // the unit the value was typed in
    for (const field_unit u : {field_unit::angle, field_unit::percent}) {
        const control_unit* unit = unit_of_field(u);
        if (!ends_with(text, unit->typed_suffix, number)) continue;
        if (f.unit != u)
            throw usage_error(where + ": '" + std::string(unit->typed_suffix) + "' is only for " +
                              std::string(unit->control_class) + " fields");
        form = u == field_unit::angle ? value_form::degrees : value_form::percent;
        typed = unit;
        break;
    }
    double v = 0.0;
    if (!parse_whole(number, v) || !std::isfinite(v)) throw usage_error(where + ": not a finite number");
    v = to_stored(typed, v);
    if (!std::isfinite(v)) throw usage_error(where + ": not a finite number");
    return v;
}

std::string shortest(double v) {
    char buf[32];
    const auto [end, ec] = std::to_chars(buf, buf + sizeof buf, v);
    return ec == std::errc() ? std::string(buf, end) : std::string("?");
}

std::string approx(double v) {
    char buf[40];
    std::snprintf(buf, sizeof buf, "%.10g", v);
    return buf;
}

}  // namespace

std::string field_names() {
    std::string names;
    for (const field_desc& f : field_table()) {
        if (f.id == 0) continue;
        if (!names.empty()) names += ", ";
        names += f.name;
    }
    return names;
}

panel_setting parse_setting(std::string_view assignment) {
    const std::size_t eq = assignment.find('=');
    if (eq == std::string_view::npos)
        throw usage_error("--set " + std::string(assignment) + ": expected FIELD=VALUE");
    const std::string_view name = assignment.substr(0, eq);
    const std::string_view text = assignment.substr(eq + 1);
    const field_desc* f = find_field(name);
    if (!f)
        throw usage_error("--set: unknown field '" + std::string(name) + "'; valid fields: " + field_names());
    const std::string where = "--set " + std::string(assignment);
    if (f->id == 0)
        throw usage_error(where + ": " + std::string(name) +
                          " has no panel control; only presets set it");

    panel_setting s;
    s.text = std::string(assignment);
    s.field = f;
    switch (f->kind) {
    case field_kind::integer:
    case field_kind::choice: {
        std::int64_t v = 0;
        if (f->kind == field_kind::choice && !text.empty() && !parse_whole(text, v)) {
            s.label = std::string(text);
            break;
        }
        if (!parse_whole(text, v) || v < std::numeric_limits<std::int32_t>::min() ||
            v > std::numeric_limits<std::int32_t>::max())
            throw usage_error(where + ": not a 32-bit integer");
        s.i = static_cast<std::int32_t>(v);
        break;
    }
    case field_kind::real:
        s.d = parse_real(*f, text, where, s.form);
        break;
    case field_kind::boolean:
        if (text == "1" || text == "true")
            s.b = 1;
        else if (text != "0" && text != "false")
            throw usage_error(where + ": expected 0, 1, true or false");
        break;
    }
    return s;
}

bool stored_differs(const panel_setting& s, const void* addr) {
    switch (s.field->kind) {
    case field_kind::real: {
        double v;
        std::memcpy(&v, addr, sizeof v);
        return std::memcmp(&v, &s.d, sizeof v) != 0;
    }
    case field_kind::boolean: {
        unsigned char b;
        std::memcpy(&b, addr, 1);
        return (b != 0) != (s.b != 0);
    }
    default: {
        std::int32_t v;
        std::memcpy(&v, addr, sizeof v);
        return v != s.i;
    }
    }
}

std::string format_stored(const panel_setting& s, const void* addr) {
    switch (s.field->kind) {
    case field_kind::real: {
        double v;
        std::memcpy(&v, addr, sizeof v);
        if (s.form == value_form::plain) return shortest(v);
        const control_unit* unit = unit_of_field(s.form == value_form::degrees ? field_unit::angle : field_unit::percent);
        return approx(to_shown(unit, v)) + std::string(unit->typed_suffix);
    }
    case field_kind::boolean: {
        unsigned char b;
        std::memcpy(&b, addr, 1);
        return b ? "1" : "0";
    }
    default: {
        std::int32_t v;
        std::memcpy(&v, addr, sizeof v);
        return std::to_string(v);
    }
    }
}

}  // namespace sf::app
