// The crown used when no file is given: a closed ellipsoid about 4 units
// wide, from y = 1.5 to y = 6 around the vertical axis, with outward-facing
// polygons (quads, and triangle fans at the poles).
#pragma once

#include "formats/mesh_layer.h"

namespace sf::app {

constexpr int k_crown_slices = 16;  // around the axis
constexpr int k_crown_stacks = 12;  // pole to pole

// Replaces the layer's contents by the default crown.
void make_default_crown(formats::mesh_layer& layer);

}  // namespace sf::app
