#include "app/starter_presets.h"

#include <sstream>

#include "app/settings_args.h"

namespace sf::app {

namespace {

std::string trimmed(const std::string& s) {
    const std::size_t a = s.find_first_not_of(" \t\r");
    if (a == std::string::npos) return {};
    const std::size_t b = s.find_last_not_of(" \t\r");
    return s.substr(a, b - a + 1);
}

}  // namespace

starter_preset parse_starter(const std::string& name, const std::string& text) {
    starter_preset p;
    p.name = name;
    std::istringstream in(text);
    std::string raw;
    for (int line = 1; std::getline(in, raw); ++line) {
        const std::string t = trimmed(raw);
        const std::string where = "starter preset " + name + ", line " + std::to_string(line);
        if (t.empty()) continue;
        if (t[0] == '#') {
            if (p.about.empty()) p.about = trimmed(t.substr(1));
            continue;
        }
        if (t.rfind("crown ", 0) == 0) {
            p.crown = trimmed(t.substr(6));
            if (!starter_crown(p.crown)) throw usage_error(where + ": no starter crown '" + p.crown + "'");
            continue;
        }
        try {
            parse_setting(t);
        } catch (const usage_error& e) {
            throw usage_error(where + ": " + e.what());
        }
        p.sets.push_back(t);
    }
    return p;
}

std::vector<starter_preset> starter_presets() {
    std::vector<starter_preset> out;
    for (const starter_file& f : starter_presets_files()) out.push_back(parse_starter(f.name, f.text));
    return out;
}

const char* starter_crown(const std::string& name) {
    for (const starter_file& f : starter_crowns_files())
        if (name == f.name) return f.text;
    return nullptr;
}

}  // namespace sf::app
