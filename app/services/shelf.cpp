// The "LWShelfFuncs" service and the presets shelf on disk: each preset a
// file and its thumbnail beside it.
#include "app/services/services.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <cstdlib>
#include <memory>
#include <string>

#include "app/png_image.h"
#include "formats/file_io.h"

namespace sf::app {

namespace services {

namespace {

LWShelfCltID shelf_subscribe(const char* client_class, const char* title, void* userdata, int flags,
                             LWShelfOKFunc* ok, LWShelfLoadFunc* load, LWShelfSaveFunc* save) {
    try {
        auto c = std::make_unique<shelf_client>();
        c->client_class = text_of(client_class);
        c->title = text_of(title);
        c->userdata = userdata;
        c->flags = flags;
        c->ok = ok;
        c->load = load;
        c->save = save;
        host().shelf.clients.push_back(std::move(c));
        return reinterpret_cast<LWShelfCltID>(host().shelf.clients.back().get());
    } catch (...) {
        return nullptr;
    }
}

void shelf_unsubscribe(LWShelfCltID id) {
    std::erase_if(host().shelf.clients,
                  [&](const auto& c) { return reinterpret_cast<LWShelfCltID>(c.get()) == id; });
}

void shelf_open(LWShelfCltID id) {
    if (shelf_client* c = host().shelf.find(id)) c->open = true;
}

int shelf_is_open(LWShelfCltID id) {
    const shelf_client* c = host().shelf.find(id);
    return c && c->open ? 1 : 0;
}

void shelf_close(LWShelfCltID id) {
    if (shelf_client* c = host().shelf.find(id)) c->open = false;
}

int shelf_add_preset(LWShelfCltID id, LWPixmapID thumbnail, const char**) {
    preset_shelf& shelf = host().shelf;
    shelf.last_error.clear();
    try {
        const shelf_client* c = shelf.find(id);
        if (!c) throw host_error("addPreset from a client that is not subscribed");
        shelf.add(*c, thumbnail);
        return 1;
    } catch (const std::exception& e) {
        shelf.last_error = e.what();
    } catch (...) {
        shelf.last_error = "the preset could not be saved";
    }
    return 0;
}

}  // namespace

const LWShelfFuncs k_shelf_funcs{shelf_subscribe, shelf_unsubscribe, shelf_open,
                                 shelf_is_open,   shelf_close,       shelf_add_preset};

}  // namespace services

using namespace services;

namespace fs = std::filesystem;

fs::path default_shelf_dir() {
    std::string home;
    if (const char* h = std::getenv("HOME"); h && *h) home = h;
    if (home.empty())
        if (const passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_dir) home = pw->pw_dir;
    if (home.empty()) throw host_error("no home directory for the presets shelf; give --shelf DIR");
    return fs::path(home) / ".local/share/sylvaform/presets";
}

shelf_client* preset_shelf::find(LWShelfCltID id) const {
    for (const auto& c : clients)
        if (reinterpret_cast<LWShelfCltID>(c.get()) == id) return c.get();
    return nullptr;
}

std::string preset_shelf::preset_path(const std::string& name) const {
    return (dir / (preset_file_stem(name) + k_preset_extension)).string();
}

std::string preset_shelf::png_path(const std::string& name) const {
    return (dir / (preset_file_stem(name) + ".png")).string();
}

std::string preset_shelf::picture_path(const std::string& name) const {
    return (dir / (preset_file_stem(name) + ".sfview")).string();
}

namespace {

// Reads and checks a preset file; none when nothing is there.
std::optional<preset_data> read_preset_file(const std::string& path) {
    const std::optional<std::string> bytes = read_shelf_file(path, k_shelf_preset_max);
    if (!bytes) return std::nullopt;
    return decode_preset(*bytes, path);
}

// The shelf's lock (on its directory) while a preset and its thumbnail are
// replaced or removed, so that two runs at once leave the pair of one.
class shelf_lock {
public:
    explicit shelf_lock(const fs::path& dir) {
        fd_ = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd_ < 0) throw host_error(dir.string() + ": cannot open the presets shelf: " + std::strerror(errno));
        while (::flock(fd_, LOCK_EX) != 0) {
            if (errno == EINTR) continue;
            const int err = errno;
            ::close(fd_);
            throw host_error(dir.string() + ": cannot lock the presets shelf: " + std::strerror(err));
        }
    }
    ~shelf_lock() { ::close(fd_); }
    shelf_lock(const shelf_lock&) = delete;
    shelf_lock& operator=(const shelf_lock&) = delete;

private:
    int fd_ = -1;
};

}  // namespace

preset_data preset_shelf::read(const std::string& name) const {
    check_preset_name(name);
    const std::string path = preset_path(name);
    std::optional<preset_data> p = read_preset_file(path);
    if (!p) throw preset_error("no preset named '" + name + "' in " + dir.string());
    if (p->name != name) throw preset_error(path + ": holds the preset '" + p->name + "', not '" + name + "'");
    return std::move(*p);
}

std::optional<std::string> preset_shelf::read_thumbnail(const std::string& name) const {
    check_preset_name(name);
    return read_shelf_file(png_path(name), k_shelf_png_max);
}

std::optional<std::string> preset_shelf::read_picture(const std::string& name) const {
    check_preset_name(name);
    return read_shelf_file(picture_path(name), k_shelf_png_max);
}

std::vector<std::string> preset_shelf::list(std::vector<std::string>& warnings) const {
    std::vector<std::string> names;
    std::error_code ec;
    if (!fs::exists(dir, ec)) return names;
    fs::directory_iterator it(dir, ec);
    if (ec) throw host_error(dir.string() + ": cannot list the presets shelf: " + ec.message());
    for (const fs::directory_entry& e : it) {
        if (e.path().extension() != k_preset_extension) continue;
        const std::string path = e.path().string();
        try {
            std::optional<preset_data> p = read_preset_file(path);
            if (!p) continue;  // gone meanwhile
            if (preset_file_stem(p->name) != e.path().stem().string())
                throw preset_error(path + ": holds the preset '" + p->name + "' under another file name");
            names.push_back(std::move(p->name));
        } catch (const std::exception& x) {
            warnings.emplace_back(x.what());
        }
    }
    std::sort(names.begin(), names.end());
    return names;
}

void preset_shelf::remove(const std::string& name) const {
    check_preset_name(name);
    const std::string path = preset_path(name);
    std::error_code ec;
    if (!fs::is_directory(dir, ec)) throw preset_error("no preset named '" + name + "' in " + dir.string());
    const shelf_lock lock(dir);
    // A link in its place goes as the link, never what it points to.
    const fs::file_status st = fs::symlink_status(path, ec);
    if (!fs::is_regular_file(st) && !fs::is_symlink(st))
        throw preset_error("no preset named '" + name + "' in " + dir.string());
    if (!fs::remove(path, ec) || ec) throw host_error(path + ": cannot remove: " + ec.message());
    fs::remove(png_path(name), ec);  // the thumbnail and picture may already be gone
    fs::remove(picture_path(name), ec);
}

void preset_shelf::load(const shelf_client& client, const preset_data& preset) const {
    if (!client.ok || !client.load) throw host_error("the tool's shelf client cannot load presets");
    if (client.ok(client.userdata) == 0) throw host_error("the tool declined the preset '" + preset.name + "'");
    xpanel* panel = panel_of(client);
    check_kept_values(panel, preset);
    const std::string failure = load_items(client, preset.items);
    if (!failure.empty()) throw host_error("preset '" + preset.name + "' does not fit the tool: " + failure);
    // Then the values the stream lacks, as edits in the panel.
    if (panel) set_kept_values(*panel, preset);
}

void preset_shelf::add(const shelf_client& client, LWPixmapID thumbnail) {
    name_wanted = pending_name.empty();
    if (name_wanted) throw host_error("no name to save the preset under");
    const host_image* img = host().find_image(thumbnail);
    if (!img || img->width != k_thumbnail_size || img->height != k_thumbnail_size)
        throw host_error("the preset thumbnail is not a 128 x 128 image");
    if (!client.save) throw host_error("the tool's shelf client cannot save presets");

    std::vector<preset_item> items = save_items(client);
    const preset_data p{pending_name, std::move(items), img->rgb, read_kept_values(panel_of(client)), pending_crown};
    const std::string bytes = encode_preset(p);
    const std::string png = encode_png(img->rgb.data(), img->width, img->height);
    const std::string picture = draw_picture ? draw_picture() : std::string();
    std::error_code ec;
    fs::create_directories(dir, ec);
    if (ec) throw host_error(dir.string() + ": cannot create the presets shelf: " + ec.message());
    const shelf_lock lock(dir);
    saved_preset saved{p.name, preset_path(p.name), png_path(p.name), picture_path(p.name),
                       fs::exists(fs::symlink_status(preset_path(p.name), ec))};
    formats::file_set files;  // the preset, its thumbnail and picture appear together
    files.add(saved.preset_path).write(bytes);
    files.add(saved.png_path).write(png);
    if (!picture.empty()) files.add(saved.picture_path).write(picture);
    files.commit();
    if (picture.empty()) fs::remove(saved.picture_path, ec);  // an older tree's picture
    last_saved = std::move(saved);
}

}  // namespace sf::app
