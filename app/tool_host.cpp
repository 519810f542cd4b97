#include "app/tool_host.h"

#include "app/panel_ranges.h"

#include <dlfcn.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cinttypes>
#include <cstdio>
#include <filesystem>

namespace sf::app {

namespace {

constexpr int k_max_servers = 256;  // a list longer than this has lost its end
constexpr int k_max_builds = 4;     // a tool that never settles is stopped

std::string hex32(std::uint32_t v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08" PRIX32, v);
    return buf;
}

bool equal_ignoring_case(std::string_view a, std::string_view b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
    });
}

}  // namespace

std::string default_module_path() {
    std::error_code ec;
    const std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec) return "sylvaform.so";
    return (exe.parent_path() / "sylvaform.so").string();
}

plugin_module::plugin_module(const std::string& path) : path_(path) {
    // A bare file name is a file here, not a library to search for.
    const std::string file = path.find('/') == std::string::npos ? "./" + path : path;
    ::dlerror();
    handle_ = ::dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle_) {
        const char* why = ::dlerror();
        throw host_error("cannot load the plug-in module: " + std::string(why ? why : path));
    }
    try {
        descriptor_ = static_cast<const ModuleDescriptor*>(::dlsym(handle_, "_mod_descrip"));
        if (!descriptor_) throw host_error(path + ": not a plug-in module (no _mod_descrip)");
        if (descriptor_->sys_sync != MOD_SYSSYNC)
            throw host_error(path + ": module descriptor has the sync word " + hex32(descriptor_->sys_sync) +
                             ", expected " + hex32(MOD_SYSSYNC));
        if (!descriptor_->startup) throw host_error(path + ": module descriptor has no start-up function");
        server_data_ = descriptor_->startup();
        if (!server_data_) throw host_error(path + ": module start-up failed");
        const ServerRecord* servers = descriptor_->server_defs;
        for (int k = 0; servers && servers[k].class_name && k < k_max_servers; ++k) {
            const ServerRecord& s = servers[k];
            if (s.name && std::string_view(s.class_name) == "MeshEditTool" &&
                std::string_view(s.name) == "Sylvaform") {
                server_ = &s;
                break;
            }
        }
        if (!server_ || !server_->activate)
            throw host_error(path + ": the module has no MeshEditTool server named Sylvaform");
    } catch (...) {
        if (server_data_ && descriptor_->shutdown) descriptor_->shutdown(server_data_);
        ::dlclose(handle_);
        throw;
    }
}

plugin_module::~plugin_module() {
    if (descriptor_->shutdown) descriptor_->shutdown(server_data_);
    ::dlclose(handle_);
}

tool_session::tool_session(plugin_module& module) : module_(module) {
    tool_.tool = &funcs_;
    const int result =
        module.server().activate(LWMESHEDITTOOL_VERSION, host_global, &tool_, module.server_data());
    if (result == 1) throw host_error("the tool does not accept interface version 5");
    if (result == 2) throw host_error("the tool is missing a host service");
    if (result != 0) throw host_error("the tool's activation failed (" + std::to_string(result) + ")");
    if (!tool_.instance || !tool_.test || !tool_.build || !tool_.end || !funcs_.done || !funcs_.event ||
        !funcs_.panel)
        throw host_error("the tool's activation left its tool record incomplete");
    try {
        funcs_.event(tool_.instance, LWT_EVENT_ACTIVATE);
        panel_ = host().find_panel(funcs_.panel(tool_.instance));
        if (!panel_) throw host_error("the tool gave no panel");
    } catch (...) {
        finish();
        throw;
    }
}

tool_session::~tool_session() { finish(); }

void tool_session::finish() {
    if (finished_) return;
    finished_ = true;
    tool_.end(tool_.instance, 0);
    funcs_.done(tool_.instance);
    if (panel_) destroy_panel(reinterpret_cast<LWXPanelID>(panel_));
    panel_ = nullptr;
}

void tool_session::event(int code) { funcs_.event(tool_.instance, code); }

void tool_session::load_preset(const preset_data& preset) {
    const auto& clients = host().shelf.clients;
    if (clients.empty()) throw host_error("the tool has no presets shelf client");
    host().shelf.load(*clients.back(), preset);
}

std::string tool_session::apply(panel_setting& s) {
    const unsigned id = s.field->id;
    const xpanel::control* c = panel_->find_control(id);
    const auto it = c && c->control_class == "iPopChoice" ? panel_->choices.find(id) : panel_->choices.end();
    if (it != panel_->choices.end()) {
        const std::vector<std::string>& names = it->second;
        if (!s.label.empty()) {
            const auto same = [&](const std::string& l) { return equal_ignoring_case(l, s.label); };
            s.i = std::int32_t(std::find_if(names.begin(), names.end(), same) - names.begin());
        }
        if (s.i < 0 || std::size_t(s.i) >= names.size()) {
            std::string list;
            for (std::size_t k = 0; k < names.size(); ++k)
                list += (k ? ", " : "") + std::to_string(k) + " " + names[k];
            throw usage_error("--set " + s.text + ": no such choice; " + s.field->name + " is one of " + list);
        }
    } else if (!s.label.empty()) {
        throw usage_error("--set " + s.text + ": not a choice number");
    }
    // The range hint is the slider's span: a value beyond it is taken, with a
    // note, and the tool's own clamps decide what is stored.
    s.beyond.clear();
    const auto range = panel_->ranges.find(id);
    if (c && range != panel_->ranges.end() && s.field->kind != field_kind::boolean) {
        const double typed = s.field->kind == field_kind::real ? s.d : double(s.i);
        if (auto note = beyond_slider(s.text, c->control_class, range->second, typed, s.form != value_form::plain))
            s.beyond = std::move(*note);
    }
    if (panel_->set_value(id, s.value()) == 0)
        throw host_error("--set " + s.text + ": the tool did not take the value");
    const void* stored = panel_->value_address(id);
    if (!stored) throw host_error("--set " + s.text + ": the tool does not show the value");
    return stored_differs(s, stored) ? format_stored(s, stored) : std::string();
}

int tool_session::run_builds(MeshEditOp& op, formats::mesh_layer& foreground) {
    int builds = 0;
    // With Refresh on "Manual" (a preset can bring it) the edits asked for no
    // build; picking the tool again asks for one, as it does for a person.
    if (tool_.test(tool_.instance) == LWT_TEST_NOTHING) event(LWT_EVENT_ACTIVATE);
    while (tool_.test(tool_.instance) == LWT_TEST_UPDATE) {
        if (builds == k_max_builds)
            throw host_error("the tool still asks for a build after " + std::to_string(k_max_builds) + " builds");
        foreground.clear();
        const char* error = tool_.build(tool_.instance, &op);
        ++builds;
        // An edit the foreground could not keep (over the memory budget):
        // the result is incomplete, whatever the tool answered.
        if (foreground.failure()) std::rethrow_exception(foreground.failure());
        if (error) throw host_error(error);
    }
    return builds;
}

}  // namespace sf::app
