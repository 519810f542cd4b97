// Wavefront OBJ output of one layer.
#pragma once

#include "formats/mesh_layer.h"
#include "formats/file_io.h"

namespace sf::formats {

// "v x y z" per point, then the polygons in creation order with 1-based
// indices: one point as "p a", two as "l a b", more as "f a b c ...";
// polygons without points are left out.
void write_obj(const mesh_layer& layer, byte_sink& sink);

}  // namespace sf::formats
