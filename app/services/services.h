// What the files of the host services share: each service's function
// table for host_global, the bounded readers of hint lists, and the preset
// streams and panel values the disk shelf uses.
#pragma once

#include <string>
#include <vector>

#include "app/host_services.h"

namespace sf::app::services {

// Zero-ended id lists and null-ended string lists from the hints are read
// up to this many entries, so that a list without its end cannot run away.
constexpr int k_list_max = 4096;

std::vector<unsigned> id_list(const unsigned* ids);
std::vector<std::string> string_list(const char* const* strings);
std::string text_of(const char* s);

extern const LWXPanelFuncs k_panel_funcs;
extern const LWMessageFuncs k_message_funcs;
extern const DynaMonitorFuncs k_monitor_funcs;
extern const LWImageUtil k_image_funcs;
extern const LWShelfFuncs k_shelf_funcs;

// Preset streams: the client's load callback reads `items`; answers the
// first refused read, or empty.
std::string load_items(const shelf_client& client, const std::vector<preset_item>& items);
// The client's save callback writes the items; throws host_error when out
// of memory.
std::vector<preset_item> save_items(const shelf_client& client);

// The panel that edits the record a shelf client saves, or null.
xpanel* panel_of(const shelf_client& client);
// Panel values beside the stream: read for saving, checked and set for loading.
std::vector<panel_value> read_kept_values(const xpanel* panel);
void check_kept_values(const xpanel* panel, const preset_data& preset);
void set_kept_values(xpanel& panel, const preset_data& preset);

}  // namespace sf::app::services
