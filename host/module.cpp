// The module descriptor and the MeshEditTool activation.
#include <cstring>

#include "core/build.h"
#include "core/settings.h"
#include "host/services.h"
#include "host/tool.h"
#include "ui/panel.h"
#include "ui/presets.h"

namespace sf {

namespace {

// Fetches one service; false when the host has none by that name.
template <class T>
bool fetch(GlobalFunc* global, const char* name, const T*& slot) {
    slot = static_cast<const T*>(global(name, 0));
    return slot != nullptr;
}

}  // namespace

int activate(int version, GlobalFunc* global, void* local, void*) {
    if (version != LWMESHEDITTOOL_VERSION) return 1;
    if (!g_defaults_copied) {
        g_defaults_copied = true;
        reset_to_defaults(g_settings);
    }
    g_settings.hidden = 1;
    g_settings.redraw_needed = 1;
    g_settings.refresh = 1;
    g_settings.regen_level = 0;

    host_services& s = g_services;
    if (!fetch(global, k_service_panel, s.panel) || !fetch(global, k_service_message, s.message) ||
        !fetch(global, k_service_directory, s.directory_info) || !fetch(global, k_service_shelf, s.shelf) ||
        !fetch(global, k_service_scene, s.scene_objects) || !fetch(global, k_service_file_io, s.file_io) ||
        !fetch(global, k_service_monitor, s.monitor) || !fetch(global, k_service_image, s.image))
        return 2;

    LWMeshEditTool* tool = static_cast<LWMeshEditTool*>(local);
    tool->instance = &g_settings;
    LWToolFuncs* funcs = tool->tool;
    funcs->done = tool_done;
    funcs->draw = tool_draw;
    funcs->help = tool_help;
    funcs->dirty = tool_dirty;
    funcs->count = tool_count;
    funcs->handle = tool_handle;
    funcs->start = tool_start;
    funcs->adjust = tool_adjust;
    funcs->event = tool_event;
    funcs->panel = panel_callback;
    tool->test = tool_test;
    tool->build = [](LWInstance inst, MeshEditOp* op) {
        return build_callback(static_cast<settings_typ*>(inst), op);
    };
    tool->end = tool_end;

    subscribe_shelf_client(&g_settings);
    std::strcpy(g_settings.info, "1.7.5");
    return 0;
}

namespace {

void* module_startup() { return reinterpret_cast<void*>(static_cast<std::uintptr_t>(4)); }
void module_shutdown(void*) {}

int activate_entry(int version, GlobalFunc* global, void* local, void* server_data) {
    return activate(version, global, local, server_data);
}

const ServerTagInfo k_tags[] = {
    {"Sylvaform", SRVTAG_USERNAME},
    {"create", SRVTAG_CMDGROUP},
    {"", 0},
};

const ServerRecord k_servers[] = {
    {"MeshEditTool", "Sylvaform", activate_entry, k_tags},
    {nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

}  // namespace sf

extern "C" {
__attribute__((visibility("default"))) ModuleDescriptor _mod_descrip = {
    MOD_SYSSYNC, 3, 0x300, sf::module_startup, sf::module_shutdown, sf::k_servers,
};
}
