// The edit log: every mesh edit of one build as one text line, in call order.
//
//   # sylvaform edit log 1
//   point <id> <x> <y> <z>
//   poly <id> <TYPE> <surface or -> <p0> <p1> ...
//   tag <poly> <TYPE> <text>
//   vmap <point> <TYPE> <name> <v1> [<v2> ...]
//   vmad <point> <poly> <TYPE> <name> <v1> [<v2> ...]
//
// Ids count from 0 in creation order, points and polygons separately. Codes
// are their four characters. Doubles and floats are written in the shortest
// form that reads back to the same bits. Fields are separated by exactly one
// space; in names a byte below '!', DEL and '%' are written as %XX (and a
// surface named "-" as %2D), in tag texts control bytes and '%' are.
#pragma once

#include <string_view>

#include "formats/mesh_layer.h"
#include "formats/file_io.h"

namespace sf::formats {

constexpr std::string_view k_edit_log_header = "# sylvaform edit log 1";

// Replays the layer's journal.
void write_edit_log(const mesh_layer& layer, byte_sink& sink);

// Rebuilds a layer from log text, replacing its contents. Throws io_error
// "name:line: message" on malformed text.
void read_edit_log(std::string_view text, std::string_view name, mesh_layer& layer);

}  // namespace sf::formats
