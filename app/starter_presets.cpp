#include "app/starter_presets.h"

#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "app/child_process.h"
#include "app/settings_args.h"

namespace sf::app {

namespace {

std::string trimmed(const std::string& s) {
    const std::size_t a = s.find_first_not_of(" \t\r");
    if (a == std::string::npos) return {};
    const std::size_t b = s.find_last_not_of(" \t\r");
    return s.substr(a, b - a + 1);
}

// A starter crown written to a private file for the crown reader, removed
// when done.
struct crown_file {
    std::string path;
    explicit crown_file(const char* text) {
        const char* tmp = std::getenv("TMPDIR");
        std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/sylvaform-crown-XXXXXX.obj";
        const int fd = ::mkstemps(pattern.data(), 4);
        if (fd < 0) throw machine_error("cannot write a starter crown to " + pattern);
        path = pattern;
        const std::string body = text;
        std::size_t done = 0;
        while (done < body.size()) {
            const ssize_t n = ::write(fd, body.data() + done, body.size() - done);
            if (n <= 0) {
                ::close(fd);
                throw machine_error("cannot write a starter crown to " + path);
            }
            done += std::size_t(n);
        }
        ::close(fd);
    }
    ~crown_file() { ::unlink(path.c_str()); }
    crown_file(const crown_file&) = delete;
    crown_file& operator=(const crown_file&) = delete;
};

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

int install_starters(const std::filesystem::path& shelf, const host_options& options,
                     const std::function<void(const std::string&)>& report) {
    int saved = 0;
    for (const starter_preset& p : starter_presets()) {
        build_request request;
        request.sets = p.sets;
        std::optional<crown_file> crown;
        if (!p.crown.empty()) {
            crown.emplace(starter_crown(p.crown));
            request.crown = crown->path;
            request.crown_label = p.crown + ".obj";
        }
        host_options child_options = options;
        child_options.shelf_dir = shelf.string();
        child_process child = start_child([&] { return run_preset_add(p.name, request, child_options); });
        std::vector<child_process*> running{&child};
        wait_any(running);
        if (child.status == 0)
            ++saved;
        else
            report("starter preset '" + p.name + "' was not installed: " + last_line(child.err));
    }
    return saved;
}

}  // namespace sf::app
