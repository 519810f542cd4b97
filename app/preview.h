// A picture of a result for people who would rather look than read: the
// tree drawn from the front and from the side, in front of a faint outline
// of its crown.
#pragma once

#include <string>
#include <vector>

#include "formats/file_io.h"
#include "formats/mesh_layer.h"

namespace sf::app {

constexpr int k_preview_width = 1024;
constexpr int k_preview_height = 512;

// The preview as float RGB triples, row by row from the top: the left half
// looks along -z (x right, y up), the right half along +x (z right, y up),
// both at one scale that fits the bounds of both layers with a margin.
// Foreground polygons of three or more points are filled with the colour of
// their surface (bark, twig, leaf, grey for others), darker with depth and
// where they are seen edge-on; two-point polygons are drawn as lines. The
// background layer's polygons show as a faint silhouette with an outline
// behind the tree. Drawn at twice the size and averaged down.
std::vector<float> render_preview(const formats::mesh_layer& foreground, const formats::mesh_layer& background);

// render_preview as an RGB PNG, written whole or not at all. Throws
// formats::io_error when the file cannot be written.
void write_preview(const formats::mesh_layer& foreground, const formats::mesh_layer& background,
                   const std::string& png_path);
// The same picture as a member of a set of files committed together.
void write_preview(const formats::mesh_layer& foreground, const formats::mesh_layer& background,
                   const std::string& png_path, formats::file_set& files);

// A preset's picture on the page's shelf: the front view of the tree alone
// (no crown), k_picture_size square, as an RGB PNG.
constexpr int k_picture_size = 256;
std::string preset_picture_png(const formats::mesh_layer& foreground);

}  // namespace sf::app
