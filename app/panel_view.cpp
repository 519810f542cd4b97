#include "app/panel_view.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <set>

#include "app/control_help.h"
#include "app/control_units.h"

namespace sf::app {

namespace {

constexpr int k_label_width = 26;
constexpr int k_value_width = 16;

std::string number(double v) {
    char buf[40];
    std::snprintf(buf, sizeof buf, "%.6g", v == 0.0 ? 0.0 : v);  // no "-0"
    return buf;
}

// A value or range bound of a control's class, in the units it shows.
std::string in_units(const std::string& control_class, double v) {
    const control_unit* unit = unit_of_class(control_class);
    return unit ? number(to_shown(unit, v)) + std::string(unit->sign) : number(v);
}

// A range bound as the host reads the hint in the control's class: angle
// bounds are degrees, percent bounds fractions.
std::string range_units(const std::string& control_class, int v) {
    const control_unit* unit = unit_of_class(control_class);
    if (unit && unit->bounds_shown) return std::to_string(v) + std::string(unit->sign);
    return in_units(control_class, v);
}

bool is_real(const std::string& type) {
    return type == "float" || type == "distance" || type == "percent" || type == "angle";
}

std::string pad(std::string s, int width) {
    // Width in characters: the degree sign is two bytes.
    const auto shown = static_cast<int>(s.size()) - static_cast<int>(std::count(s.begin(), s.end(), '\xC2'));
    if (shown < width) s.append(std::size_t(width - shown), ' ');
    return s;
}

// Words wrapped to lines of at most width characters, each indented.
std::string wrapped(const std::string& text, std::size_t indent, std::size_t width) {
    std::string out, line;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find(' ', start);
        if (end == std::string::npos) end = text.size();
        const std::string word = text.substr(start, end - start);
        if (!line.empty() && indent + line.size() + 1 + word.size() > width) {
            out += std::string(indent, ' ') + line + "\n";
            line.clear();
        }
        line += (line.empty() ? "" : " ") + word;
        start = end + 1;
    }
    if (!line.empty()) out += std::string(indent, ' ') + line + "\n";
    return out;
}

struct renderer {
    const xpanel& p;
    bool explain;
    std::string out;

    std::string data_type(unsigned id, const std::string& control_class) const {
        for (const xpanel::data_desc& d : p.data)
            if (d.id == id) return d.type;
        return control_class;
    }

    std::string value_text(const xpanel::control& c) const {
        const std::string& cls = c.control_class;
        if (cls == "vButton") return {};
        const void* addr = p.value_address(c.id);
        if (!addr) return "-";
        const std::string type = data_type(c.id, cls);
        if (cls == "sInfo" || type == "sInfo") return static_cast<const char*>(addr);
        if (cls == "iBoolean" || type == "iBoolean") return *static_cast<const unsigned char*>(addr) ? "on" : "off";
        if (is_real(type)) {
            double v;
            std::memcpy(&v, addr, sizeof v);
            return in_units(cls, v);
        }
        std::int32_t v;
        std::memcpy(&v, addr, sizeof v);
        if (cls == "iPopChoice") {
            const auto it = p.choices.find(c.id);
            if (it != p.choices.end() && v >= 0 && std::size_t(v) < it->second.size())
                return it->second[std::size_t(v)];
            std::string t = std::to_string(v);
            t += " (not in the list)";
            return t;
        }
        return std::to_string(v);
    }

    std::string extra_text(const xpanel::control& c) const {
        if (const auto it = p.choices.find(c.id); it != p.choices.end()) {
            std::string list;
            for (const std::string& s : it->second) list += (list.empty() ? "" : " | ") + s;
            return list;
        }
        if (const auto it = p.ranges.find(c.id); it != p.ranges.end()) {
            const panel_range& r = it->second;
            const std::string& cls = c.control_class;
            std::string t = "range " + range_units(cls, r.min) + " .. " + range_units(cls, r.max);
            if (r.step != 1) t += " step " + range_units(cls, r.step);
            return t;
        }
        return {};
    }

    void line(const xpanel::control& c, int indent) {
        std::string text(std::size_t(indent), ' ');
        if (c.control_class == "vButton") {
            text += "[ " + c.label + " ]";
        } else if (c.control_class == "sInfo") {
            text += c.label.empty() ? value_text(c) : pad(c.label, k_label_width) + value_text(c);
        } else {
            text += pad(c.label, k_label_width);
            const std::string extra = extra_text(c);
            text += extra.empty() ? value_text(c) : pad(value_text(c), k_value_width) + extra;
        }
        if (p.greyed(c.id)) text += "  (greyed)";
        while (!text.empty() && text.back() == ' ') text.pop_back();
        out += text + "\n";
        if (explain)
            if (const char* help = help_for(c.id)) out += wrapped(help, std::size_t(indent) + 4, 80);
        if (std::find(p.dividers.begin(), p.dividers.end(), c.id) != p.dividers.end())
            out += std::string(std::size_t(indent), ' ') + std::string(56, '-') + "\n";
    }

    void tabs() {
        std::string names;
        for (const unsigned g : p.tabs)
            if (const panel_group* grp = p.find_group(g)) names += (names.empty() ? "" : " | ") + grp->label;
        out += "\n  Tabs: " + names + "\n";
        for (const unsigned g : p.tabs) {
            const panel_group* grp = p.find_group(g);
            if (!grp) continue;
            out += "\n  [" + grp->label + "]" + (p.greyed(grp->id) ? "  (greyed)" : "") + "\n";
            for (const unsigned id : grp->members)
                if (const xpanel::control* c = p.find_control(id)) line(*c, 4);
        }
        out += "\n";
    }

    void render() {
        out += p.title + "\n";
        if (const std::string off = p.inactive_text(); !off.empty()) out += "  " + off + "\n";
        std::set<unsigned> in_tabs;
        for (const unsigned g : p.tabs)
            if (const panel_group* grp = p.find_group(g)) in_tabs.insert(grp->members.begin(), grp->members.end());
        bool tabs_shown = false;
        for (const xpanel::control& c : p.controls) {
            if (in_tabs.count(c.id)) {
                if (!tabs_shown) tabs();
                tabs_shown = true;
                continue;
            }
            line(c, 2);
        }
        if (!tabs_shown && !p.tabs.empty()) tabs();
    }
};

}  // namespace

std::string render_panel(const xpanel& panel, bool explain) {
    renderer r{panel, explain, {}};
    r.render();
    return r.out;
}

}  // namespace sf::app
