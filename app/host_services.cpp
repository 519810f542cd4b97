#include "app/host_services.h"

#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/png_image.h"
#include "formats/file_io.h"

namespace sf::app {

namespace fs = std::filesystem;

namespace {

host_state* g_host = nullptr;

// Zero-ended id lists and null-ended string lists from the hints, bounded
// so that a list without its end cannot run away.
constexpr int k_list_max = 4096;

std::vector<unsigned> id_list(const unsigned* ids) {
    std::vector<unsigned> out;
    for (int k = 0; ids && ids[k] != 0 && k < k_list_max; ++k) out.push_back(ids[k]);
    return out;
}

std::vector<std::string> string_list(const char* const* strings) {
    std::vector<std::string> out;
    for (int k = 0; strings && strings[k] && k < k_list_max; ++k) out.emplace_back(strings[k]);
    return out;
}

std::string text_of(const char* s) { return s ? std::string(s) : std::string(); }

// ---- panel service entry points; none lets an exception out ----

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

// ---- "Info Messages 3": both lines of a message kept as one ----

void message_info(const char* line1, const char* line2) {
    try {
        std::string text;
        for (const char* line : {line1, line2})
            if (line && *line) text += (text.empty() ? "" : " ") + std::string(line);
        if (!text.empty()) host().messages.push_back(std::move(text));
    } catch (...) {
    }
}

// ---- "LWM: Dynamic Monitor": a bar on standard error when it is a terminal ----

struct progress_monitor {
    LWMonitor mon{};
    std::string caption;
    bool visible = false;
    unsigned total = 0, count = 0;
    int shown = -1;  // percent last drawn
};

void draw_progress(progress_monitor& m) {
    if (host().progress_hook) host().progress_hook(m.caption, m.count, m.total);
    if (!m.visible || m.total == 0) return;
    const unsigned done = std::min(m.count, m.total);
    const int percent = static_cast<int>(100.0 * done / m.total);
    if (percent == m.shown) return;
    m.shown = percent;
    constexpr int width = 30;
    char bar[width + 1];
    const int filled = percent * width / 100;
    for (int k = 0; k < width; ++k) bar[k] = k < filled ? '#' : '.';
    bar[width] = '\0';
    std::fprintf(stderr, "\r%s [%s] %3d%%", m.caption.c_str(), bar, percent);
    std::fflush(stderr);
}

void monitor_init(void* data, unsigned total) {
    auto& m = *static_cast<progress_monitor*>(data);
    m.total = total;
    m.count = 0;
    m.shown = -1;
    draw_progress(m);
}

int monitor_step(void* data, unsigned increment) {
    auto& m = *static_cast<progress_monitor*>(data);
    m.count += increment;
    draw_progress(m);
    return 0;
}

void monitor_done(void* data) {
    auto& m = *static_cast<progress_monitor*>(data);
    if (host().progress_hook) host().progress_hook(m.caption, m.count, 0);
    if (m.visible && m.shown >= 0) {
        std::fputs("\r\033[K", stderr);  // clear the bar's line
        std::fflush(stderr);
    }
    m.shown = -1;
}

LWMonitor* monitor_create(const char* title, const char* caption) {
    try {
        auto m = std::make_unique<progress_monitor>();
        m->mon = {m.get(), monitor_init, monitor_step, monitor_done};
        const std::string t = text_of(title), c = text_of(caption);
        m->caption = t.empty() ? c : c.empty() ? t : t + ": " + c;
        m->visible = host().progress_on_terminal && ::isatty(STDERR_FILENO);
        return &m.release()->mon;
    } catch (...) {
        return nullptr;
    }
}

void monitor_destroy(LWMonitor* mon) {
    if (mon) delete static_cast<progress_monitor*>(mon->data);
}

// ---- "Image Utility 5" ----

LWPixmapID image_create(int width, int height, int type) {
    if (type != LWIMTYP_RGBFP || width <= 0 || height <= 0 || width > 8192 || height > 8192) return nullptr;
    try {
        auto img = std::make_unique<host_image>();
        img->width = width;
        img->height = height;
        img->rgb.assign(std::size_t(width) * std::size_t(height) * 3, 0.0f);
        host().images.push_back(std::move(img));
        return reinterpret_cast<LWPixmapID>(host().images.back().get());
    } catch (...) {
        return nullptr;
    }
}

void image_destroy(LWPixmapID id) {
    auto& images = host().images;
    std::erase_if(images, [&](const auto& p) { return reinterpret_cast<LWPixmapID>(p.get()) == id; });
}

// Pixels outside the image are not there: set does nothing, get reads black.
void image_set_pixel(LWPixmapID id, int x, int y, const float* rgb) {
    host_image* img = host().find_image(id);
    if (!img || !rgb || x < 0 || y < 0 || x >= img->width || y >= img->height) return;
    std::memcpy(&img->rgb[(std::size_t(y) * std::size_t(img->width) + std::size_t(x)) * 3], rgb, 3 * sizeof(float));
}

void image_get_pixel(LWPixmapID id, int x, int y, float* rgb) {
    if (!rgb) return;
    host_image* img = host().find_image(id);
    if (!img || x < 0 || y < 0 || x >= img->width || y >= img->height) {
        rgb[0] = rgb[1] = rgb[2] = 0.0f;
        return;
    }
    std::memcpy(rgb, &img->rgb[(std::size_t(y) * std::size_t(img->width) + std::size_t(x)) * 3], 3 * sizeof(float));
}

// ---- "LWShelfFuncs" ----

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

// ---- preset streams ----

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

// ---- panel values beside the stream ----

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

// Services the tool only checks for.
struct presence {
    const char* name;
};
const presence k_scene_objects{"Scene Objects 8"};
const presence k_file_io{"File IO 4"};
const presence k_directory_info{"Directory Info"};

const LWXPanelFuncs k_panel_funcs{panel_create,  destroy_panel,  panel_hint,   panel_describe,
                                  panel_view_refresh, panel_get_data, panel_set_data};
const LWMessageFuncs k_message_funcs{message_info};
const DynaMonitorFuncs k_monitor_funcs{monitor_create, monitor_destroy};
const LWImageUtil k_image_funcs{image_create, image_destroy, image_set_pixel, image_get_pixel};
const LWShelfFuncs k_shelf_funcs{shelf_subscribe, shelf_unsubscribe, shelf_open,
                                 shelf_is_open,   shelf_close,       shelf_add_preset};

}  // namespace

// ---- xpanel ----

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

// ---- preset_shelf ----

std::span<const unsigned> kept_panel_controls() { return k_kept_controls; }

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

namespace {

constexpr std::uintmax_t k_preset_file_max = 1u << 20;

preset_data read_preset_file(const std::string& path) {
    std::error_code ec;
    const std::uintmax_t size = fs::file_size(path, ec);
    if (!ec && size > k_preset_file_max) throw preset_error(path + ": not a usable preset file (too large)");
    return decode_preset(formats::read_file(path), path);
}

}  // namespace

preset_data preset_shelf::read(const std::string& name) const {
    check_preset_name(name);
    const std::string path = preset_path(name);
    std::error_code ec;
    if (!fs::is_regular_file(path, ec))
        throw preset_error("no preset named '" + name + "' in " + dir.string());
    preset_data p = read_preset_file(path);
    if (p.name != name) throw preset_error(path + ": holds the preset '" + p.name + "', not '" + name + "'");
    return p;
}

std::vector<std::string> preset_shelf::list(std::vector<std::string>& warnings) const {
    std::vector<std::string> names;
    std::error_code ec;
    if (!fs::exists(dir, ec)) return names;
    fs::directory_iterator it(dir, ec);
    if (ec) throw host_error(dir.string() + ": cannot list the presets shelf: " + ec.message());
    for (const fs::directory_entry& e : it) {
        if (e.path().extension() != k_preset_extension || !e.is_regular_file(ec)) continue;
        const std::string path = e.path().string();
        try {
            preset_data p = read_preset_file(path);
            if (preset_file_stem(p.name) != e.path().stem().string())
                throw preset_error(path + ": holds the preset '" + p.name + "' under another file name");
            names.push_back(std::move(p.name));
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
    if (!fs::is_regular_file(path, ec))
        throw preset_error("no preset named '" + name + "' in " + dir.string());
    if (!fs::remove(path, ec) || ec) throw host_error(path + ": cannot remove: " + ec.message());
    fs::remove(png_path(name), ec);  // the thumbnail may already be gone
}

void preset_shelf::load(const shelf_client& client, const preset_data& preset) const {
    if (!client.ok || !client.load) throw host_error("the tool's shelf client cannot load presets");
    if (client.ok(client.userdata) == 0) throw host_error("the tool declined the preset '" + preset.name + "'");
    xpanel* panel = panel_of(client);
    check_kept_values(panel, preset);
    item_reader reader{&preset.items, 0, {}};
    const LWLoadState state{&reader, read_items<item_tag::i4, std::int32_t>, read_items<item_tag::fp, float>};
    client.load(client.userdata, &state);
    if (!reader.failure.empty())
        throw host_error("preset '" + preset.name + "' does not fit the tool: " + reader.failure);
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

    item_writer writer;
    const LWSaveState state{&writer, write_items<item_tag::i4, std::int32_t>, write_items<item_tag::fp, float>};
    client.save(client.userdata, &state);
    if (writer.failed) throw host_error("out of memory while saving the preset");

    const preset_data p{pending_name, std::move(writer.items), img->rgb, read_kept_values(panel_of(client))};
    const std::string bytes = encode_preset(p);
    const std::string png = encode_png(img->rgb.data(), img->width, img->height);
    std::error_code ec;
    fs::create_directories(dir, ec);
    if (ec) throw host_error(dir.string() + ": cannot create the presets shelf: " + ec.message());
    saved_preset saved{p.name, preset_path(p.name), png_path(p.name), fs::exists(preset_path(p.name), ec)};
    formats::file_set files;  // the preset and its thumbnail appear together
    files.add(saved.preset_path).write(bytes);
    files.add(saved.png_path).write(png);
    files.commit();
    last_saved = std::move(saved);
}

// ---- host ----

xpanel* host_state::find_panel(LWXPanelID id) const {
    for (const auto& p : panels)
        if (reinterpret_cast<LWXPanelID>(p.get()) == id) return p.get();
    return nullptr;
}

host_image* host_state::find_image(LWPixmapID id) const {
    for (const auto& i : images)
        if (reinterpret_cast<LWPixmapID>(i.get()) == id) return i.get();
    return nullptr;
}

host_state& host() {
    if (!g_host) g_host = new host_state;
    return *g_host;
}

void reset_host() {
    delete g_host;
    g_host = new host_state;
}

void* host_global(const char* service, int) {
    if (!service) return nullptr;
    const std::string name = service;
    if (!host().missing_service.empty() && name == host().missing_service) return nullptr;
    const void* table = nullptr;
    if (name == "LWXPanel 2") table = &k_panel_funcs;
    else if (name == "Info Messages 3") table = &k_message_funcs;
    else if (name == "LWShelfFuncs") table = &k_shelf_funcs;
    else if (name == "LWM: Dynamic Monitor") table = &k_monitor_funcs;
    else if (name == "Image Utility 5") table = &k_image_funcs;
    else if (name == "Scene Objects 8") table = &k_scene_objects;
    else if (name == "File IO 4") table = &k_file_io;
    else if (name == "Directory Info") table = &k_directory_info;
    return const_cast<void*>(table);
}

}  // namespace sf::app
