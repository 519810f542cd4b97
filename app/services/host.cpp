// The one host of this process and its global function, which answers the
// service tables by name; the hint list readers the services share.
#include "app/services/services.h"

#include <string>
#include <vector>

namespace sf::app {

namespace services {

namespace {

host_state* g_host = nullptr;

// Services the tool only checks for.
struct presence {
    const char* name;
};
const presence k_scene_objects{"Scene Objects 8"};
const presence k_file_io{"File IO 4"};
const presence k_directory_info{"Directory Info"};

}  // namespace

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

}  // namespace services

using namespace services;

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
