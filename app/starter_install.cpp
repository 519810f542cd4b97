#include "app/starter_install.h"

#include <unistd.h>

#include <cstdlib>

#include "app/child_process.h"
#include "app/starter_presets.h"

namespace sf::app {

namespace {

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
