// One plain sentence per panel control: what it does to the tree and in
// which unit. The host shows these as hover hints on the page, in
// `sylvaform panel --explain` and in the README; the tool's own panel hints
// are not touched.
#pragma once

#include <span>
#include <string>

namespace sf::app {

struct control_help {
    unsigned id;         // panel control id
    const char* label;   // the control's label, as the panel shows it
    const char* field;   // the settings field --set names, or "" for buttons
    const char* text;
};

// Every control a person can see or press, in panel order within each tab.
std::span<const control_help> control_help_table();

// The sentence for a control id, or nullptr.
const char* help_for(unsigned id);

// The table as Markdown, the README's "Controls" table.
std::string control_help_markdown();

}  // namespace sf::app
