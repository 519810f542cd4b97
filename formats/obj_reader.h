// Wavefront OBJ input: the crown outline read into a layer.
#pragma once

#include <string>
#include <string_view>

#include "formats/mesh_layer.h"

namespace sf::formats {

// Replaces the layer's contents by the file's points and polygons. Reads
// "v" (x y z; further numbers are checked and ignored), "f" (i, i/t, i/t/n
// or i//n; negative indices count back from the last point so far) and "l"
// (one two-point 'FACE' polygon per segment), in file order, keeping each
// face's point order. Other statements, comments and blank lines are
// skipped. Throws io_error "name:line: message" (or "name: message" when
// the file cannot be read); the layer is then left empty.
void read_obj(const std::string& path, mesh_layer& layer);
void read_obj_text(std::string_view text, std::string_view name, mesh_layer& layer);

}  // namespace sf::formats
