#include "app/panel_model.h"

#include "app/panel_ranges.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <set>

#include "app/control_help.h"
#include "app/control_units.h"

namespace sf::app {

using nlohmann::json;

namespace {

// The info line is a fixed-size text field; never read past this.
constexpr std::size_t k_text_max = 256;

value_kind kind_of(const std::string& type) {
    if (type == "integer") return value_kind::integer;
    if (type == "float" || type == "distance" || type == "percent" || type == "angle") return value_kind::real;
    if (type == "iBoolean") return value_kind::boolean;
    if (type == "sInfo") return value_kind::text;
    return value_kind::none;
}

// The shortest text that reads back as v: a value is never shown rounded.
std::string number_text(double v) {
    char buf[32];
    const auto [end, ec] = std::to_chars(buf, buf + sizeof buf, v);
    return ec == std::errc() ? std::string(buf, end) : std::string("?");
}

json ids_json(const std::vector<unsigned>& ids) { return json(ids); }

}  // namespace

json parse_request_json(std::string_view text) {
    constexpr int k_depth_max = 64;
    // The parser takes a NUL as the end of the input; what follows would pass unseen.
    if (text.find('\0') != std::string_view::npos)
        throw request_error(400, "the request body is not JSON (it holds a NUL byte)");
    std::vector<std::set<std::string>> keys;  // per open object; a set, so a body of many keys stays cheap
    const json::parser_callback_t check = [&keys](int depth, json::parse_event_t event, json& parsed) {
        if (depth > k_depth_max) throw request_error(400, "the request body nests deeper than " + std::to_string(k_depth_max));
        switch (event) {
            case json::parse_event_t::object_start: keys.emplace_back(); break;
            case json::parse_event_t::object_end: keys.pop_back(); break;
            case json::parse_event_t::key: {
                std::string key = parsed.get<std::string>();
                if (!keys.back().insert(key).second)
                    throw request_error(400, "the request body gives \"" + key.substr(0, 64) + "\" twice");
                break;
            }
            default: break;
        }
        return true;
    };
    try {
        return json::parse(text.begin(), text.end(), check);
    } catch (const json::exception& e) {
        // "[json.exception.parse_error.101] parse error at ...": the part after the tag.
        std::string why = e.what();
        if (const std::size_t at = why.find("] "); at != std::string::npos) why.erase(0, at + 2);
        throw request_error(400, "the request body is not JSON: " + why);
    }
}

unsigned json_id(const json& v) {
    if (!v.is_number_unsigned() && !v.is_number_integer())
        throw request_error(400, "\"id\" must be a control id (a whole number)");
    const auto id = v.get<std::int64_t>();
    if (id < 1 || id > std::int64_t(std::numeric_limits<std::uint32_t>::max()))
        throw request_error(400, "\"id\" " + std::to_string(id) + " is not a control id");
    return unsigned(id);
}

panel_model::panel_model(const xpanel& panel) {
    std::vector<unsigned> controllers;
    for (const panel_enable& e : panel.enables) controllers.push_back(e.controller);
    for (const panel_group& g : panel.groups) group_ids_.push_back(g.id);

    json controls = json::array();
    for (const xpanel::control& c : panel.controls) {
        std::string type = c.control_class;
        for (const xpanel::data_desc& d : panel.data)
            if (d.id == c.id) type = d.type;
        control m{c.id, c.label, c.control_class, kind_of(type), true, std::nullopt, {}};
        const bool controller = std::find(controllers.begin(), controllers.end(), c.id) != controllers.end();
        m.settable = (m.kind == value_kind::integer || m.kind == value_kind::real || m.kind == value_kind::boolean) &&
                     !controller;
        if (const auto r = panel.ranges.find(c.id); r != panel.ranges.end()) m.range = r->second;
        if (const auto ch = panel.choices.find(c.id); ch != panel.choices.end()) m.choices = ch->second;
        json entry = {{"id", c.id}, {"label", c.label}, {"class", c.control_class}, {"type", type}};
        if (const char* help = help_for(c.id)) entry["help"] = help;
        controls.push_back(std::move(entry));
        controls_.push_back(std::move(m));
    }

    json groups = json::array();
    for (const panel_group& g : panel.groups)
        groups.push_back({{"id", g.id}, {"label", g.label}, {"members", ids_json(g.members)}});
    json ranges = json::object();
    for (const auto& [id, r] : panel.ranges)
        ranges[std::to_string(id)] = {{"min", r.min}, {"max", r.max}, {"step", r.step}};
    json choices = json::object();
    for (const auto& [id, list] : panel.choices) choices[std::to_string(id)] = list;
    json buttons = json::array();
    for (const auto& [id, action] : panel.buttons)
        if (action) buttons.push_back(id);
    json enables = json::array();
    for (const panel_enable& e : panel.enables)
        enables.push_back({{"controller", e.controller}, {"ids", ids_json(e.ids)}, {"off_text", e.off_text}});

    description_ = {{"title", panel.title}, {"controls", std::move(controls)},  {"tabs", ids_json(panel.tabs)},
                    {"groups", std::move(groups)}, {"dividers", ids_json(panel.dividers)},
                    {"ranges", std::move(ranges)}, {"choices", std::move(choices)}, {"buttons", std::move(buttons)},
                    {"enables", std::move(enables)}, {"units", units_json()}};
}

const panel_model::control* panel_model::find(unsigned id) const {
    for (const control& c : controls_)
        if (c.id == id) return &c;
    return nullptr;
}

bool panel_model::is_button(unsigned id) const {
    const control* c = find(id);
    return c && c->control_class == "vButton";
}

panel_edit panel_model::check_edit(const json& body) const {
    if (!body.is_object() || !body.contains("id") || !body.contains("value"))
        throw request_error(400, "an edit is {\"id\": control id, \"value\": new value}");
    const unsigned id = json_id(body["id"]);
    const control* c = find(id);
    if (!c) throw request_error(400, "the panel has no control " + std::to_string(id));
    const std::string name = c->label.empty() ? "control " + std::to_string(id) : "\"" + c->label + "\"";
    if (!c->settable) throw request_error(400, name + " cannot be set");
    const json& v = body["value"];
    panel_edit e;
    e.id = id;
    e.kind = c->kind;

    if (c->kind == value_kind::boolean) {
        if (!v.is_boolean()) throw request_error(400, name + " takes true or false");
        e.b = v.get<bool>() ? 1 : 0;
        return e;
    }
    if (!v.is_number()) throw request_error(400, name + " takes a number");
    const double x = v.get<double>();
    if (!std::isfinite(x)) throw request_error(400, name + " takes a finite number");

    if (c->kind == value_kind::integer) {
        if (!v.is_number_integer() && !v.is_number_unsigned() && x != std::floor(x))
            throw request_error(400, name + " takes a whole number");
        if (x < double(std::numeric_limits<std::int32_t>::min()) || x > double(std::numeric_limits<std::int32_t>::max()))
            throw request_error(400, name + ": " + number_text(x) + " is too large");
        e.i = static_cast<std::int32_t>(x);
        if (!c->choices.empty() && (e.i < 0 || std::size_t(e.i) >= c->choices.size()))
            throw request_error(400, name + ": choice " + std::to_string(e.i) + " is not one of 0 .. " +
                                         std::to_string(c->choices.size() - 1));
    } else {
        e.d = x;
    }
    if (c->range) {
        // Beyond the slider is taken, with a note in the panel's units.
        const control_unit* unit = unit_of_class(c->control_class);
        const std::string typed =
            name + ": " + number_text(to_shown(unit, x)) + (unit ? std::string(unit->range_words) : std::string());
        if (auto note = beyond_slider(typed, c->control_class, *c->range, x, true)) e.note = std::move(*note);
    }
    return e;
}

json panel_model::values(const xpanel& panel) const {
    json out = json::object();
    for (const control& c : controls_) {
        const void* addr = c.kind == value_kind::none ? nullptr : panel.value_address(c.id);
        if (!addr) continue;
        const std::string key = std::to_string(c.id);
        switch (c.kind) {
        case value_kind::text: {
            const char* s = static_cast<const char*>(addr);
            out[key] = std::string(s, ::strnlen(s, k_text_max));
            break;
        }
        case value_kind::integer: {
            std::int32_t v;
            std::memcpy(&v, addr, sizeof v);
            out[key] = v;
            break;
        }
        case value_kind::real: {
            double v;
            std::memcpy(&v, addr, sizeof v);
            out[key] = std::isfinite(v) ? json(v) : json(nullptr);
            break;
        }
        case value_kind::boolean: out[key] = *static_cast<const unsigned char*>(addr) != 0; break;
        case value_kind::none: break;
        }
    }
    return out;
}

json panel_model::greyed(const xpanel& panel) const {
    json out = json::array();
    for (const control& c : controls_)
        if (panel.greyed(c.id)) out.push_back(c.id);
    for (const unsigned g : group_ids_)
        if (panel.greyed(g)) out.push_back(g);
    return out;
}

}  // namespace sf::app
