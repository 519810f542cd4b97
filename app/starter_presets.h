// The starter presets that come with the program, and the crowns they grow
// in. Each preset is a list of panel settings; installing one grows its tree
// and saves it through the tool's own "Add Preset", with a real thumbnail.
#pragma once

#include <string>
#include <vector>


namespace sf::app {

struct starter_file {
    const char* name;  // file stem
    const char* text;  // whole file
};

// The repository's presets/*.txt and crowns/*.obj, by stem.
const std::vector<starter_file>& starter_presets_files();
const std::vector<starter_file>& starter_crowns_files();

struct starter_preset {
    std::string name;
    std::string about;              // the first comment line
    std::string crown;              // a starter crown's name, or "" for the built-in one
    std::vector<std::string> sets;  // FIELD=VALUE, in order
};

// Parses a starter file: "# about" comments, "crown NAME" and one FIELD=VALUE
// per line. Throws usage_error naming the file and line.
starter_preset parse_starter(const std::string& name, const std::string& text);

std::vector<starter_preset> starter_presets();

// The text of a starter crown, or nullptr.
const char* starter_crown(const std::string& name);

}  // namespace sf::app
