// The server's checks of a panel edit ({"id": n, "value": v}) on any request
// body, against a panel with every kind of control: an accepted edit names a
// settable control and holds a value of its kind inside its range.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <nlohmann/json.hpp>

#include "app/panel_model.h"

using namespace sf::app;

// The live-value side of the panel is not under test: it has no tool behind it.
void* xpanel::value_address(unsigned) const { return nullptr; }
bool xpanel::greyed(unsigned) const { return false; }

namespace {

xpanel make_panel() {
    xpanel p;
    p.title = "fuzz";
    const struct {
        unsigned id;
        const char* cls;
        const char* type;
    } controls[] = {{1, "iSlider", "integer"}, {2, "float", "float"},   {3, "percent", "percent"},
                    {4, "angle", "angle"},     {5, "iBoolean", "iBoolean"}, {6, "iPopChoice", "integer"},
                    {7, "sInfo", "sInfo"},     {8, "distance", "distance"}, {9, "vButton", "vButton"}};
    for (const auto& c : controls) {
        p.controls.push_back({c.id, "control", c.cls});
        p.data.push_back({c.id, "control", c.type});
    }
    p.ranges[1] = {0, 100, 1};
    p.ranges[4] = {-90, 90, 1};
    p.choices[6] = {"one", "two", "three"};
    p.groups.push_back({100, "group", {1, 2, 3}});
    p.enables.push_back({5, {2, 3}, "off"});
    return p;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const xpanel panel = make_panel();
    static const panel_model model(panel);
    const nlohmann::json body = nlohmann::json::parse(data, data + size, nullptr, false);
    if (body.is_discarded() || !body.is_object()) return 0;
    try {
        const panel_edit edit = model.check_edit(body);
        if (edit.id == 0 || edit.id > 9) std::abort();
        if (edit.kind == value_kind::real && !std::isfinite(edit.d)) std::abort();
        // Beyond the slider is taken, with a note exactly then.
        if (edit.id == 1 && (edit.kind != value_kind::integer || (edit.i < 0 || edit.i > 100) == edit.note.empty()))
            std::abort();
        if (edit.id == 6 && (edit.i < 0 || edit.i > 2)) std::abort();
    } catch (const request_error& e) {
        if (e.status < 400 || e.status > 499) std::abort();
    }
    if (const auto id = body.find("id"); id != body.end()) {
        try {
            if (json_id(*id) == 0) std::abort();
        } catch (const request_error&) {
        }
    }
    return 0;
}
