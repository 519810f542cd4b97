// The generation driver.
#pragma once

#include <cstdint>

#include "core/settings.h"
#include "host/host_api.h"

namespace sf {

extern double trunk_scale;

// Grows the tree into the branch table. 0 on success, 1 when the table
// cannot be allocated.
int generate(settings_typ& r, LWMonitor* monitor, int level);

struct galaz_typ;

// Orders the table before growth: typeA (0) lifts the highest record to the
// front, any other type sorts by descending start height.
void order_branches(galaz_typ* table, std::int32_t count, std::int32_t branch_type);

}  // namespace sf
