// Loading the plug-in module and driving its mesh-edit tool the way the
// host application does: through the descriptor, the activation and the
// callbacks the activation filled in, and nothing else.
#pragma once

#include <string>

#include "app/host_services.h"
#include "app/settings_args.h"
#include "formats/mesh_layer.h"
#include "host/host_api.h"

namespace sf::app {

// The panel's "Add Preset" button.
constexpr unsigned k_add_preset_button = 0x801F;

// The module file beside the running program.
std::string default_module_path();

// A loaded module: dlopen, the descriptor's sync word, start-up, and the
// "MeshEditTool" server named "Sylvaform". The destructor shuts the module
// down and closes it.
class plugin_module {
public:
    explicit plugin_module(const std::string& path);  // throws host_error
    ~plugin_module();
    plugin_module(const plugin_module&) = delete;
    plugin_module& operator=(const plugin_module&) = delete;

    const ServerRecord& server() const { return *server_; }
    void* server_data() const { return server_data_; }

private:
    std::string path_;
    void* handle_ = nullptr;
    const ModuleDescriptor* descriptor_ = nullptr;
    const ServerRecord* server_ = nullptr;
    void* server_data_ = nullptr;
};

// One pick of the tool: activation (version 5), the activate event and the
// panel. finish() (or the destructor) ends it: end, done, and the panel's
// destruction.
class tool_session {
public:
    explicit tool_session(plugin_module& module);  // throws host_error
    ~tool_session();
    tool_session(const tool_session&) = delete;
    tool_session& operator=(const tool_session&) = delete;

    xpanel& panel() { return *panel_; }
    LWInstance instance() const { return tool_.instance; }

    // A checked preset, through the shelf client's load callback.
    void load_preset(const preset_data& preset);

    // One panel edit through the set callback. Answers the stored value as
    // the field reads back when it differs from the one asked for, else "".
    // Throws usage_error for a choice outside the panel's list. A value
    // beyond the control's range hint is set all the same; setting.beyond
    // then holds its note.
    std::string apply(panel_setting& setting);

    // test, then build while test answers 1 (a few times at most); the
    // foreground is emptied before each build, as the host replaces the
    // tool's previous result. Answers the number of builds; throws
    // host_error with the tool's error text, or the foreground's failure()
    // when it could not keep every edit.
    int run_builds(MeshEditOp& op, formats::mesh_layer& foreground);

    // The tool's test callback, and one call of its build callback (null,
    // or the tool's error text).
    int test() { return tool_.test(tool_.instance); }
    const char* build(MeshEditOp& op) { return tool_.build(tool_.instance, &op); }

    // A host event (LWT_EVENT_DROP, _RESET, _ACTIVATE).
    void event(int code);

    // Presses a panel button, as a person clicking it.
    void press(unsigned id) { panel_->press(id); }

    void finish();

private:
    plugin_module& module_;
    LWToolFuncs funcs_{};
    LWMeshEditTool tool_{};
    xpanel* panel_ = nullptr;
    bool finished_ = false;
};

}  // namespace sf::app
