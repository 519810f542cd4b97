// The build callback and the generation driver.
#pragma once

#include <cstdint>

#include "core/settings.h"
#include "host/host_api.h"

namespace sf {

extern const char* const k_error_need_bg;     // "Need something in BG Layer"
extern const char* const k_error_allocation;  // "Memory allocation error"

extern int build_running;
extern double trunk_scale;

// The host's build callback: null on success, else an error text.
const char* build_callback(settings_typ* r, MeshEditOp* op);

// After a build that threw (out of memory in growth or mesh output): the
// state an allocation failure leaves, with the half-grown tree released and
// the build's monitor ended.
void abandon_build(settings_typ& r) noexcept;

// Grows the tree into the branch table. 0 on success, 1 when the table
// cannot be allocated.
int generate(settings_typ& r, LWMonitor* monitor, int level);

struct galaz_typ;

// Orders the table before growth: typeA (0) lifts the highest record to the
// front, any other type sorts by descending start height.
void order_branches(galaz_typ* table, std::int32_t count, std::int32_t branch_type);

}  // namespace sf
