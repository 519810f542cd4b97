// Presets shelf client: the 63-value preset stream, the two panel buttons
// and the thumbnail drawn from the grown tree.
#pragma once

#include "core/settings.h"
#include "host/host_api.h"

namespace sf {

extern LWShelfCltID g_shelf_client;

// Subscribes the shelf client for the live record (activation).
void subscribe_shelf_client(settings_typ* r);
// Unsubscribes and forgets the client (panel destruction).
void release_shelf_client();

int preset_ok(void* userdata);
void preset_save(void* userdata, const LWSaveState* save);
// Reads all 63 values first; a short or failing stream changes nothing.
void preset_load(void* userdata, const LWLoadState* load);

void presets_button(LWXPanelID panel, unsigned id);
void add_preset_button(LWXPanelID panel, unsigned id);

// The 128 × 128 thumbnail of the current tree, or null when there is no
// tree, no background or no image service.
LWPixmapID make_thumbnail();

}  // namespace sf
