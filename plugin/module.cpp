// The module descriptor and the MeshEditTool activation.
#include <cstring>

#include "core/settings.h"
#include "plugin/build.h"
#include "plugin/tool.h"
#include "sylvaform_version.h"
#include "ui/barrier.h"
#include "ui/panel.h"
#include "ui/presets.h"
#include "ui/services.h"

namespace sf {

namespace {

// Fetches one service; false when the host has none by that name.
template <class T>
bool fetch(GlobalFunc* global, const char* name, const T*& slot) {
    slot = static_cast<const T*>(global(name, 0));
    return slot != nullptr;
}

// The build: any exception in capture, growth or mesh output is the tool's
// allocation failure, with the state the build leaves after one.
const char* build_entry(LWInstance inst, MeshEditOp* op) noexcept {
    settings_typ* r = static_cast<settings_typ*>(inst);
    try {
        return build_callback(r, op);
    } catch (...) {
        abandon_build(*r);
        return k_error_allocation;
    }
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
    funcs->done = barrier<tool_done>;
    funcs->draw = barrier<tool_draw>;
    funcs->help = barrier<tool_help, k_help_text>;
    funcs->dirty = barrier<tool_dirty, 0>;
    funcs->count = barrier<tool_count, 0>;
    funcs->handle = barrier<tool_handle, 0>;
    funcs->start = barrier<tool_start, 0>;
    funcs->adjust = barrier<tool_adjust, 0>;
    funcs->event = barrier<tool_event>;
    funcs->panel = barrier<panel_callback, nullptr>;
    tool->test = barrier<tool_test, LWT_TEST_REJECT>;
    tool->build = build_entry;
    tool->end = barrier<tool_end>;

    subscribe_shelf_client(&g_settings);
    std::strcpy(g_settings.info, SF_VERSION);
    return 0;
}

namespace {

void* module_startup() { return reinterpret_cast<void*>(static_cast<std::uintptr_t>(4)); }
void module_shutdown(void*) {}

// An activation that throws (the shelf's subscription, say) leaves the tool
// unusable, as a missing service does.
int activate_entry(int version, GlobalFunc* global, void* local, void* server_data) noexcept {
    try {
        return activate(version, global, local, server_data);
    } catch (...) {
        return 2;
    }
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
