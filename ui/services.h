// Host services the plug-in holds between calls, and the panel they drew.
// Activation fetches the services by name; tests and stand-in hosts may set
// them directly.
#pragma once

#include "host/host_api.h"

namespace sf {

struct host_services {
    const LWXPanelFuncs* panel = nullptr;
    const LWMessageFuncs* message = nullptr;
    const void* directory_info = nullptr;
    const LWShelfFuncs* shelf = nullptr;
    const void* scene_objects = nullptr;
    const void* file_io = nullptr;
    const DynaMonitorFuncs* monitor = nullptr;
    const LWImageUtil* image = nullptr;
};

extern host_services g_services;

extern LWXPanelID g_panel;  // the panel of the current activation, or null

// Asks the host to redraw the panel, when there is one.
void refresh_panel_view();

// Service names as the host publishes them.
inline constexpr const char* k_service_panel = "LWXPanel 2";
inline constexpr const char* k_service_message = "Info Messages 3";
inline constexpr const char* k_service_directory = "Directory Info";
inline constexpr const char* k_service_shelf = "LWShelfFuncs";
inline constexpr const char* k_service_scene = "Scene Objects 8";
inline constexpr const char* k_service_file_io = "File IO 4";
inline constexpr const char* k_service_monitor = "LWM: Dynamic Monitor";
inline constexpr const char* k_service_image = "Image Utility 5";

}  // namespace sf
