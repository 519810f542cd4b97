// The tool's panel: control, data and hint tables, and the get and set
// callbacks that read and write the settings record.
#pragma once

#include <span>

#include "core/settings.h"
#include "host/host_api.h"

namespace sf {

// The host's panel request: creates and describes the panel, or answers null.
LWXPanelID panel_callback(LWInstance inst);

void* panel_get(void* inst, unsigned long id);
int panel_set(void* inst, unsigned long id, void* value);

// The tables as the panel service receives them (each ends with a zero row).
std::span<const LWXPanelControl> panel_controls();
std::span<const LWXPanelDataDesc> panel_data();
const LWXPHint* panel_hints();

}  // namespace sf
