// Preset streams between the tool's shelf callbacks and preset items, and
// the panel values a preset keeps beside the stream.
#include "app/services/services.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <iterator>
#include <string>

namespace sf::app {

namespace services {

namespace {

struct item_writer {
    std::vector<preset_item> items;
    bool failed = false;
};

template <item_tag Tag, class T>
int write_items(void* data, const T* values, int count) {
    auto& w = *static_cast<item_writer*>(data);
    if (!values || count < 0) return -1;
    try {
        for (int k = 0; k < count; ++k) {
            std::uint32_t bits;
            std::memcpy(&bits, &values[k], sizeof bits);
            w.items.push_back({Tag, bits});
        }
    } catch (...) {
        w.failed = true;
        return -1;
    }
    return count;
}

struct item_reader {
    const std::vector<preset_item>* items;
    std::size_t pos = 0;
    std::string failure;  // the first refused read
};

// -1 when an item is of the other type or past the end.
template <item_tag Tag, class T>
int read_items(void* data, T* values, int count) {
    auto& r = *static_cast<item_reader*>(data);
    if (!values || count < 0) return -1;
    for (int k = 0; k < count; ++k) {
        const std::size_t n = r.items->size();
        const char* want = Tag == item_tag::i4 ? "an integer" : "a float";
        if (r.pos >= n || (*r.items)[r.pos].tag != Tag) {
            if (r.failure.empty())
                r.failure = r.pos >= n ? "the tool asked for item " + std::to_string(r.pos + 1) + " of " +
                                             std::to_string(n)
                                       : "item " + std::to_string(r.pos + 1) + " is not " + want;
            return -1;
        }
        std::memcpy(&values[k], &(*r.items)[r.pos].bits, sizeof(T));
        ++r.pos;
    }
    return count;
}

// Panel controls that change the tree but that the tool's preset stream
// does not hold.
constexpr unsigned k_kept_controls[] = {0x804A};  // Leaf: growth randomness

enum class value_type { none, integer, real, boolean };

value_type data_type(const xpanel& panel, unsigned id) {
    for (const xpanel::data_desc& d : panel.data) {
        if (d.id != id) continue;
        if (d.type == "integer" || d.type == "iPopChoice") return value_type::integer;
        if (d.type == "float" || d.type == "distance" || d.type == "percent" || d.type == "angle")
            return value_type::real;
        if (d.type == "iBoolean") return value_type::boolean;
    }
    return value_type::none;
}

}  // namespace

std::string load_items(const shelf_client& client, const std::vector<preset_item>& items) {
    item_reader reader{&items, 0, {}};
    const LWLoadState state{&reader, read_items<item_tag::i4, std::int32_t>, read_items<item_tag::fp, float>};
    client.load(client.userdata, &state);
    return reader.failure;
}

std::vector<preset_item> save_items(const shelf_client& client) {
    item_writer writer;
    const LWSaveState state{&writer, write_items<item_tag::i4, std::int32_t>, write_items<item_tag::fp, float>};
    client.save(client.userdata, &state);
    if (writer.failed) throw host_error("out of memory while saving the preset");
    return std::move(writer.items);
}

// The panel that edits the record a shelf client saves.
xpanel* panel_of(const shelf_client& client) {
    for (const auto& p : host().panels)
        if (p->instance() == client.userdata && p->get && p->set) return p.get();
    return nullptr;
}

std::vector<panel_value> read_kept_values(const xpanel* panel) {
    std::vector<panel_value> out;
    if (!panel) return out;
    for (const unsigned id : k_kept_controls) {
        const value_type type = data_type(*panel, id);
        const void* addr = type == value_type::none ? nullptr : panel->value_address(id);
        if (!addr) continue;
        panel_value v{id, value_tag::i4, 0};
        if (type == value_type::real) {
            v.tag = value_tag::f8;
            std::memcpy(&v.bits, addr, sizeof(double));
        } else if (type == value_type::boolean) {
            v.bits = *static_cast<const unsigned char*>(addr) != 0 ? 1 : 0;
        } else {
            std::uint32_t i;
            std::memcpy(&i, addr, sizeof i);
            v.bits = i;
        }
        out.push_back(v);
    }
    return out;
}

// Refuses values the panel cannot take back, before anything is loaded.
void check_kept_values(const xpanel* panel, const preset_data& preset) {
    const auto refuse = [&](const std::string& why) {
        return host_error("preset '" + preset.name + "' does not fit the tool: " + why);
    };
    for (const panel_value& v : preset.panel_values) {
        const std::string control = "control " + std::to_string(v.id);
        if (std::find(std::begin(k_kept_controls), std::end(k_kept_controls), v.id) == std::end(k_kept_controls))
            throw refuse(control + " is not one the shelf keeps");
        if (!panel) throw refuse("the tool has no panel to set " + control);
        const value_type type = data_type(*panel, v.id);
        if (type == value_type::none) throw refuse("the panel has no " + control);
        if ((type == value_type::real) != (v.tag == value_tag::f8))
            throw refuse(control + " holds a value of the wrong type");
        if (v.tag == value_tag::f8) {
            double d;
            std::memcpy(&d, &v.bits, sizeof d);
            if (!std::isfinite(d)) throw refuse(control + " holds a value that is not a finite number");
        }
    }
}

void set_kept_values(xpanel& panel, const preset_data& preset) {
    for (const panel_value& v : preset.panel_values) {
        double d;
        std::int32_t i = static_cast<std::int32_t>(static_cast<std::uint32_t>(v.bits));
        unsigned char b = v.bits != 0 ? 1 : 0;
        std::memcpy(&d, &v.bits, sizeof d);
        const value_type type = data_type(panel, v.id);
        void* value = type == value_type::real ? static_cast<void*>(&d)
                      : type == value_type::boolean ? static_cast<void*>(&b)
                                                    : static_cast<void*>(&i);
        if (panel.set_value(v.id, value) == 0)
            throw host_error("preset '" + preset.name + "': the tool did not take the value of control " +
                             std::to_string(v.id));
    }
}

}  // namespace services

using namespace services;

std::span<const unsigned> kept_panel_controls() { return k_kept_controls; }

}  // namespace sf::app
