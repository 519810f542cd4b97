// LightWave object (LWO2) output of one layer: the only format that keeps
// everything the tool writes.
#pragma once

#include <string>

#include "formats/file_io.h"
#include "formats/mesh_layer.h"

namespace sf::formats {

// One FORM LWO2 with, in this order: one TAGS (surface names in order of
// first use, then tag texts in order of first use), LAYR 0, PNTS, BBOX,
// one VMAP per map that has per-point values (latest value per point,
// ascending points), then per maximal run of polygons of one type: POLS,
// PTAG SURF, one PTAG per other tag type (COLR: the sketch colour, its text
// a TAGS string), one VMAD per map with per-polygon values in that run;
// last one SURF per surface with a base colour.
//
// Axes: z is negated and every polygon's corners are written in reverse
// order (LightWave is left-handed). Polygons without points are left out;
// those without a surface (or with an empty name) get "Default".
//
// The file goes to the sink in blocks, after a first pass that finds every
// chunk's length; nothing reaches the sink when a limit is exceeded. Throws
// io_error when the layer exceeds what the format can index (more than
// 2^24 points or polygons in a run, a polygon of more than 1023 corners,
// a file of 4 GiB or more).
void write_lwo2(const mesh_layer& layer, byte_sink& sink);

// write_lwo2 into path through an atomic_file; errors name the path.
void write_lwo2_file(const mesh_layer& layer, const std::string& path);
// The same file as a member of a set of files committed together.
void write_lwo2_file(const mesh_layer& layer, const std::string& path, file_set& files);

}  // namespace sf::formats
