// The host's build callback: counts and captures the background, grows the
// tree (core) and writes it into the foreground (mesh output).
#pragma once

#include "core/settings.h"
#include "host/host_api.h"

namespace sf {

extern const char* const k_error_need_bg;     // "Need something in BG Layer"
extern const char* const k_error_allocation;  // "Memory allocation error"

extern int build_running;

// The host's build callback: null on success, else an error text.
const char* build_callback(settings_typ* r, MeshEditOp* op);

// After a build that threw (out of memory in growth or mesh output): the
// state an allocation failure leaves, with the half-grown tree released and
// the build's monitor ended.
void abandon_build(settings_typ& r) noexcept;

}  // namespace sf
