// Binary glTF 2.0 (.glb) output of one layer.
#pragma once

#include <string>

#include "formats/file_io.h"
#include "formats/materials.h"
#include "formats/mesh_layer.h"

namespace sf::formats {

// One node "tree" with one mesh "tree"; one primitive per (surface,
// topology) in order of first appearance: polygons of three or more points
// (faces and patch cages alike) as TRIANGLES, fanned from their first corner
// so the winding is kept (a quad a,b,c,d gives a,b,c and a,c,d), two-point
// polygons as LINES. Single points, empty polygons and degenerate triangles
// and lines (a vertex repeated) are left out. Each primitive's material is
// named after its surface ("Default" when it has none); positions and
// corner order are written unchanged (layers are right-handed, +Y up).
//
// Materials: metallic 0, roughness 0.9 for tube surfaces, 0.6 for leaves;
// leaves are double-sided. Tubes read through the world-scaled bark map also
// get the bark's normal map (normalTexture, with TANGENT per vertex) and its
// occlusion/roughness image as occlusionTexture and
// metallicRoughnessTexture (roughness factor 1), when options.textures has
// them. A surface without an image has its display
// colour converted from sRGB to linear as baseColorFactor; with one (from
// options.textures), a white factor and baseColorTexture on TEXCOORD_0,
// the leaf atlas with alphaMode MASK and, when the set has one, its normal
// map as normalTexture (TEXCOORD_0; the leaf primitive then carries
// TANGENT: the direction of growing u made perpendicular to the normal, w
// the handedness with v growing up the image). The images are embedded as PNG
// buffer views, each once, and only when a material uses them.
//
// Per corner, each map's value is the per-polygon value for that polygon if
// there is one, else the point's own value, else the default (0, or (0, 0));
// non-finite values count as missing. Vertices are split where a corner's
// values differ from another corner of the same point (seams).
//   TEXCOORD_0  "SF_branch" on "SF_trunk", "SF_branch", "SF_twig", "SF_root";
//               when the layer has the world-scaled bark map
//               (formats/bark_uv.h) that map instead, and "SF_branch" as
//               the VEC2 attribute _SF_BRANCH;
//               "SF_leaf" on "LG_leaf" (v written as 1 - v);
//   TEXCOORD_1  "SF_all_leaves" on "LG_leaf"; when the leaves are textured
//               the atlas coordinates come first instead (TEXCOORD_0) and
//               "SF_leaf" is written as the VEC2 attribute _SF_LEAF;
//   _SF_RANGE, _SF_THICK   the 'WGHT' maps "SF_range" and "SF_thick", or
//               where a corner has none, the first and second value of the
//               'TXUV' map "SF_range_thick"; only when the layer has one of
//               those maps;
//   COLOR_0     only with options.wind_colours, for engines that read wind
//               weights from vertex colours: (VEC3) red = (range + 1) / 2,
//               green = thickness, blue = 0, each clamped to [0, 1]; with
//               the two attributes above. Off by default: viewers multiply
//               the base colour by it. Otherwise, with options.leaf_tint,
//               "LG_leaf" triangles carry leaf_tints (formats/leaf_tint.h)
//               as COLOR_0 (VEC4 of normalised unsigned bytes, alpha 1), a
//               tint per leaf that viewers multiply into the atlas' colour;
//   NORMAL      on triangles: smooth per surface, the area-weighted normals
//               of the primitive's polygons around the point, the same on
//               every copy of a split point; (0, 1, 0) where they cancel.
// Texture sets exist only where the layer has their map, numbered without
// gaps; the primitive's extras name them ("texcoords"). 'COLR' tags are not
// written. Throws io_error when the file would exceed the 4 GiB GLB limit.
struct glb_options {
    const texture_set* textures = nullptr;  // none: plain colours
    bool wind_colours = false;              // the weights also as COLOR_0
    // The file's stem, e.g. "oak": node and mesh are named after it and
    // materials and images carry it ("oak_SF_trunk", "oak_bark_color",
    // "oak_leaf_atlas"), so trees imported into one scene share no names.
    // Empty: node and mesh "tree", materials by surface, images
    // "bark_color" and "leaf_atlas".
    std::string name{};
    // The wind maps (formats/wind.h), where the layer has them, as
    // TEXCOORD_1 .. TEXCOORD_4 of every triangle primitive, after a
    // TEXCOORD_0 (zeros for a surface without coordinates); a leaf's second
    // set then goes to "_SF_LEAF" or "_SF_ALL_LEAVES".
    bool wind = false;
    bool leaf_tint = true;  // leaves tinted through COLOR_0 (not with wind_colours)
    // The cluster cards' image (formats/cluster_cards.h; PNG bytes): surface
    // "SF_leaf_cards" gets material "SF_leaf_cards" with it on TEXCOORD_0
    // ("SF_cards"), alphaMode MASK, double-sided; image "leaf_cards". None:
    // the leaves' plain colour.
    const std::string* cards_png = nullptr;
};

void write_glb(const mesh_layer& layer, byte_sink& sink, const glb_options& options = {});

// Writes path whole or not at all.
void write_glb_file(const mesh_layer& layer, const std::string& path, const glb_options& options = {});
// The same file as a member of a set of files committed together.
void write_glb_file(const mesh_layer& layer, const std::string& path, file_set& files,
                    const glb_options& options = {});

}  // namespace sf::formats
