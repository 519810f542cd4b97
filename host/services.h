// Host services the plug-in holds between calls. Activation fills them; a
// stand-in host may set them directly.
#pragma once

#include "host/host_api.h"

namespace sf {

struct host_services {
    const LWMessageFuncs* message = nullptr;
    const DynaMonitorFuncs* monitor = nullptr;
};

extern host_services g_services;

}  // namespace sf
