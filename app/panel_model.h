// The tool's panel as the page sees it: the description the tool gave the
// panel service (tables and hints, fixed for the session), its live values
// read through the get callback, and edits checked before they reach the
// set callback.
#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "app/host_services.h"

namespace sf::app {

// A request the server refuses; status is the HTTP status (4xx).
// ask names what the person should give for the request to succeed.
class request_error : public input_error {
public:
    request_error(int status, const std::string& message, std::string ask = {})
        : input_error(message), status(status), ask(std::move(ask)) {}
    int status;
    std::string ask;
};

enum class value_kind : std::uint8_t { none, text, integer, real, boolean };

// One checked edit, held the way the set callback reads it.
struct panel_edit {
    unsigned id = 0;
    value_kind kind = value_kind::none;
    std::int32_t i = 0;
    double d = 0.0;
    unsigned char b = 0;
    std::string note;  // a value beyond the slider: the note the page shows
    void* value() { return kind == value_kind::real ? static_cast<void*>(&d) : kind == value_kind::boolean ? static_cast<void*>(&b) : static_cast<void*>(&i); }
};

class panel_model {
public:
    // Reads the description; call where the panel is not being changed.
    explicit panel_model(const xpanel& panel);

    // {"title", "controls", "tabs", "groups", "dividers", "ranges", "choices", "buttons", "enables"}
    const nlohmann::json& description() const { return description_; }

    // {"id": n, "value": v}: v in stored units. Throws request_error (400)
    // for unknown or read-only ids, wrong types, non-finite numbers, whole
    // numbers past 32 bits and choices outside the list. A value beyond the
    // range hint is taken, with its note.
    panel_edit check_edit(const nlohmann::json& body) const;

    // True for the panel's buttons.
    bool is_button(unsigned id) const;

    // Live values by id (as strings), and the disabled controls and groups.
    // Tool thread only: they call the get callback.
    nlohmann::json values(const xpanel& panel) const;
    nlohmann::json greyed(const xpanel& panel) const;

private:
    struct control {
        unsigned id;
        std::string label, control_class;
        value_kind kind;
        bool settable;
        std::optional<panel_range> range;
        std::vector<std::string> choices;
    };
    const control* find(unsigned id) const;

    std::vector<control> controls_;
    std::vector<unsigned> group_ids_;
    nlohmann::json description_;
};

// Parses a request body as strict JSON: exactly one value and nothing after
// it, no NUL bytes, no key twice in one object, nesting at most 64 deep.
// Throws request_error (400) naming what is wrong.
nlohmann::json parse_request_json(std::string_view text);

// Reads a control id from JSON: a whole number in 1 .. 2^32 - 1.
unsigned json_id(const nlohmann::json& v);

}  // namespace sf::app
