// Limits a build keeps before anything is written: a memory budget for
// the layers and the address space, and results of finite numbers only.
#pragma once

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "app/host_services.h"
#include "core/settings_fields.h"
#include "formats/mesh_layer.h"

namespace sf::app {

// The real-valued settings as the panel shows them.
using real_settings = std::vector<std::pair<const field_desc*, double>>;
real_settings read_reals(const xpanel& panel);

// Settings a million times larger or smaller than their defaults, as
// "name=value, ...": the likely cause of a tree that overflowed.
std::string far_settings(const real_settings& defaults, const real_settings& now);

// Throws host_error when the layer holds a coordinate or map value that is
// not finite, naming the far settings or a crown far from the origin.
void require_finite(const formats::mesh_layer& layer, const std::string& far, const formats::mesh_layer& crown);

// Sets the layers' budget and caps the address space: what the process
// maps now, twice the budget (the layers, and the tool's own tree and model
// beside them) and 2 GiB for threads and libraries. Past it allocations
// fail, in the tool as in the host, and the build ends with an error
// instead of the system killing the process. Sanitizer builds reserve far
// more address space than they use, so they keep only the layer budget.
void apply_memory_budget(std::size_t budget);

// The text for memory that ran out, with the budget when there is one.
std::string memory_error(const std::string& what);

}  // namespace sf::app
