// The interactive tool callbacks and the activation that installs them.
#pragma once

#include "host/host_api.h"

namespace sf {

inline constexpr char k_help_text[] = "Sylvaform Tool";

int tool_test(LWInstance inst);
void tool_end(LWInstance inst, int keep);
void tool_done(LWInstance inst);
const char* tool_help(LWInstance inst, void* event);
void tool_draw(LWInstance inst, void* access);
int tool_dirty(LWInstance inst);
int tool_count(LWInstance inst, void* event);
int tool_handle(LWInstance inst, void* event, int index, double pos[3]);
int tool_start(LWInstance inst, void* event);
int tool_adjust(LWInstance inst, void* event, int index);
void tool_event(LWInstance inst, int code);

// The MeshEditTool activation: 0 success, 1 wrong version, 2 missing service.
int activate(int version, GlobalFunc* global, void* local, void* server_data);

}  // namespace sf

extern "C" ModuleDescriptor _mod_descrip;
