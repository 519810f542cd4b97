// The crown used when no file is given: a closed ellipsoid about 4 units
// wide, from y = 1.5 to y = 6 around the vertical axis, with outward-facing
// polygons (quads, and triangle fans at the poles). And the crown a preset
// keeps, to and from the background layer.
#pragma once

#include <string>

#include "app/preset_file.h"
#include "formats/mesh_layer.h"

namespace sf::app {

constexpr int k_crown_slices = 16;  // around the axis
constexpr int k_crown_stacks = 12;  // pole to pole

// Replaces the layer's contents by the default crown.
void make_default_crown(formats::mesh_layer& layer);

// The layer's points and polygons for a preset; throws preset_error when
// they are beyond what a preset keeps.
preset_crown preset_crown_of(const formats::mesh_layer& layer, std::string name);

// Replaces the layer's contents by a checked preset crown ('FACE', no surface).
void fill_crown(const preset_crown& crown, formats::mesh_layer& layer);

}  // namespace sf::app
