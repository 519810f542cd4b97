// The "LWXPanel 2" service: keeps the tables and hints a tool gives, and
// reads and writes values only through the tool's get and set callbacks.
#include "app/services/services.h"

#include <algorithm>
#include <cstring>
#include <string>

namespace sf::app {

namespace services {

namespace {

// Panel service entry points; none lets an exception out.

LWXPanelID panel_create(int kind, const LWXPanelControl* controls) {
    try {
        auto p = std::make_unique<xpanel>();
        p->kind = kind;
        for (int k = 0; controls && controls[k].id != 0 && k < k_list_max; ++k)
            p->controls.push_back({controls[k].id, text_of(controls[k].label), text_of(controls[k].control_class)});
        host().panels.push_back(std::move(p));
        return reinterpret_cast<LWXPanelID>(host().panels.back().get());
    } catch (...) {
        return nullptr;
    }
}

void panel_hint(LWXPanelID id, unsigned, const LWXPHint* hints) {
    xpanel* p = host().find_panel(id);
    if (!p) return;
    try {
        p->apply_hints(hints);
    } catch (...) {
    }
}

void panel_describe(LWXPanelID id, const LWXPanelDataDesc* data, LWXPanelGetFunc* get, LWXPanelSetFunc* set) {
    xpanel* p = host().find_panel(id);
    if (!p) return;
    try {
        p->data.clear();
        for (int k = 0; data && data[k].id != 0 && k < k_list_max; ++k)
            p->data.push_back({data[k].id, text_of(data[k].name), text_of(data[k].data_type)});
        p->get = get;
        p->set = set;
    } catch (...) {
    }
}

void panel_view_refresh(LWXPanelID id) {
    if (xpanel* p = host().find_panel(id)) ++p->view_refreshes;
}

void* panel_get_data(LWXPanelID id, unsigned data_id) {
    const xpanel* p = host().find_panel(id);
    if (!p) return nullptr;
    const auto it = p->user_data.find(data_id);
    return it == p->user_data.end() ? nullptr : it->second;
}

void panel_set_data(LWXPanelID id, unsigned data_id, void* data) {
    xpanel* p = host().find_panel(id);
    if (!p) return;
    try {
        p->user_data[data_id] = data;
    } catch (...) {
    }
}

}  // namespace

const LWXPanelFuncs k_panel_funcs{panel_create,  destroy_panel,  panel_hint,   panel_describe,
                                  panel_view_refresh, panel_get_data, panel_set_data};

}  // namespace services

using namespace services;

void* xpanel::instance() const {
    const auto it = user_data.find(0);
    return it == user_data.end() ? nullptr : it->second;
}

const xpanel::control* xpanel::find_control(unsigned id) const {
    for (const control& c : controls)
        if (c.id == id) return &c;
    return nullptr;
}

const panel_group* xpanel::find_group(unsigned id) const {
    for (const panel_group& g : groups)
        if (g.id == id) return &g;
    return nullptr;
}

void* xpanel::value_address(unsigned id) const { return get ? get(instance(), id) : nullptr; }

int xpanel::set_value(unsigned id, void* value) const { return set ? set(instance(), id, value) : 0; }

void xpanel::press(unsigned id) {
    const auto it = buttons.find(id);
    if (it == buttons.end() || !it->second) throw host_error("the panel has no button " + std::to_string(id));
    it->second(reinterpret_cast<LWXPanelID>(this), id);
}

bool xpanel::greyed(unsigned id) const {
    for (const panel_enable& e : enables) {
        const void* v = value_address(e.controller);
        std::int32_t on = 1;
        if (v) std::memcpy(&on, v, sizeof on);
        if (on != 0) continue;
        for (const unsigned target : e.ids) {
            if (target == id) return true;
            if (const panel_group* g = find_group(target))
                if (std::find(g->members.begin(), g->members.end(), id) != g->members.end()) return true;
        }
    }
    return false;
}

std::string xpanel::inactive_text() const {
    for (const panel_enable& e : enables) {
        const void* v = value_address(e.controller);
        std::int32_t on = 1;
        if (v) std::memcpy(&on, v, sizeof on);
        if (on == 0) return e.off_text;
    }
    return {};
}

void xpanel::apply_hints(const LWXPHint* hints) {
    for (int k = 0; hints && hints[k].tag != XPH_END && k < k_list_max; ++k) {
        const LWXPHint& h = hints[k];
        switch (h.tag) {
        case XPH_TITLE: title = text_of(h.text); break;
        case XPH_TABS:
            tabs_id = h.id;
            tabs = id_list(h.ids);
            break;
        case XPH_GROUP: {
            panel_group g{h.id, text_of(h.text), id_list(h.ids)};
            std::erase_if(groups, [&](const panel_group& o) { return o.id == h.id; });
            groups.push_back(std::move(g));
            break;
        }
        case XPH_DIVIDER: dividers.push_back(h.id); break;
        case XPH_RANGE: ranges[h.id] = {h.min, h.max, h.step}; break;
        case XPH_STRLIST: choices[h.id] = string_list(h.strings); break;
        case XPH_BUTTON: buttons[h.id] = h.button; break;
        case XPH_ENABLE: enables.push_back({h.id, id_list(h.ids), text_of(h.text)}); break;
        case XPH_DESTROYNOTIFY: destroy_notify = h.destroy; break;
        case XPH_HOSTHINT: host_hints[h.id].emplace_back(h.min, h.max); break;
        default: break;  // hints this host does not know are ignored
        }
    }
}

void destroy_panel(LWXPanelID id) {
    xpanel* p = host().find_panel(id);
    if (!p) return;
    if (p->destroy_notify) p->destroy_notify(p->instance());
    std::erase_if(host().panels, [&](const auto& q) { return q.get() == p; });
}

}  // namespace sf::app
