// Host global services for tests that drive the tool without the program's
// full set (app/host_services.h).
#pragma once

#include "host/host_api.h"

namespace sf::app {

// "Info Messages 3": info(line1, line2) prints each given line to standard error.
const LWMessageFuncs* standin_message_funcs();

// "LWM: Dynamic Monitor": monitors that show nothing; step never asks to abort.
const DynaMonitorFuncs* standin_monitor_funcs();

// Points sf::g_services at the two above.
void install_standin_services();

}  // namespace sf::app
