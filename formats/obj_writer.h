// Wavefront OBJ output of one layer, with its material library (.mtl).
#pragma once

#include <string>
#include <string_view>

#include "formats/file_io.h"
#include "formats/materials.h"
#include "formats/mesh_layer.h"

namespace sf::formats {

// "v x y z" per point, then one "vt u v" per distinct texture coordinate
// (first use order, compared by their float bits), then the normals, then
// the polygons with 1-based indices: one point as "p a", two as "l a b",
// more as "f a/t/n b/t/n c/t/n ..." (or "a//n" without texture
// coordinates); polygons without points are left out. Polygons are grouped
// by surface, one run each, so that importers make one mesh per material:
// those without a surface first, before any "usemtl"; then one
// "usemtl <surface>" run per surface in order of first use; creation order
// is kept within a run (the edit log keeps the overall order).
//
// Normals: one "vn" per point of a run's faces, the normalised sum of the
// area-weighted normals of the run's faces around it, so the surface is
// smooth across texture seams; the same values as the .glb's NORMAL.
//
// Texture coordinates: faces of "SF_trunk", "SF_branch", "SF_twig" and
// "SF_root" use the world-scaled bark map (formats/bark_uv.h) when the
// layer has it, else the 'TXUV' map "SF_branch", faces of "LG_leaf" the map
// "SF_leaf", or "SF_all_leaves" (their tile) with leaf_atlas, faces of
// "SF_leaf_cards" the map "SF_cards"; a corner takes the per-polygon value of that map for its
// polygon and point if there is one, else the point's own value. A face
// with a corner that has neither (or a non-finite one) is written without
// texture coordinates, as are lines, single points and faces of other
// surfaces.
//
// Surface names are written with bytes below '!', DEL and '#' as '_'; an
// "mtllib" line naming mtllib is written when it is not empty.
// material_prefix goes before every material name ("tree_" gives "tree_SF_trunk").
void write_obj(const mesh_layer& layer, byte_sink& sink, std::string_view mtllib = {}, bool leaf_atlas = false,
               std::string_view material_prefix = {});

// The image files a library names (beside it); empty: a plain colour.
struct mtl_images {
    std::string bark;    // for the tube surfaces
    std::string leaves;  // the leaf atlas
    std::string leaf_normals;  // its normal map (with the atlas only)
    std::string bark_normal, bark_orm;  // the bark's relief ("norm", "map_Pr")
    std::string cards;  // the cluster cards' image (formats/cluster_cards.h)
};

// One "newmtl" block per surface that write_obj names in "usemtl", in the
// same order. Without an image, Kd is the surface's colour in linear light
// (the value Blender's base colour takes): bark brown for "SF_trunk",
// "SF_branch" and "SF_root", a lighter brown for "SF_twig", green for
// "LG_leaf" and a neutral grey for any other surface. With one, Kd is white
// (it multiplies the image) and "map_Kd" names it; leaves also "map_d",
// their cut-out in the image's alpha, and their normal map as "norm"; bark
// also "norm" (its normal map) and "map_Pr -imfchan g" (roughness, the
// occlusion/roughness image's G) when those images are named. No
// "map_Bump": Blender's importer reads it as an sRGB colour, which tilts
// every normal.
void write_mtl(const mesh_layer& layer, byte_sink& sink, const mtl_images& images = {},
               std::string_view material_prefix = {});

// The material library beside an OBJ file: its extension replaced by
// ".mtl" ("tree.obj" -> "tree.mtl").
std::string mtl_path_for(const std::string& obj_path);

// An image beside the OBJ: "tree.obj", "bark_color" -> "tree_bark_color.png".
std::string image_path_for(const std::string& obj_path, std::string_view what);
inline constexpr std::string_view k_bark_image = "bark_color", k_leaf_image = "leaf_atlas";
inline constexpr std::string_view k_leaf_normal_image = "leaf_normal";
inline constexpr std::string_view k_bark_normal_image = "bark_normal", k_bark_orm_image = "bark_orm";
inline constexpr std::string_view k_leaf_cards_image = "leaf_cards";

// Writes the OBJ file, its material library and, with textures, the images
// it names (image_path_for k_bark_image, k_leaf_image and
// k_leaf_normal_image, only those a material uses; the bark's normal and
// occlusion/roughness images too when the layer has world-scaled bark
// coordinates) as one set: all appear whole, or on failure (io_error)
// every path is left as it was, with files replaced on the way put back and
// new ones removed. Material names carry the file's stem ("tree_SF_trunk").
void write_obj_files(const mesh_layer& layer, const std::string& obj_path, const texture_set* textures = nullptr);
// The same files as members of a set of files committed together. A
// coarser level of detail gives level0_path: its library then names level
// 0's images and materials (the same names), and writes no images. A level
// with cluster cards names cards_png as image_path_for k_leaf_cards_image
// of level 0 (written by the caller, once for every level).
void write_obj_files(const mesh_layer& layer, const std::string& obj_path, file_set& files,
                     const texture_set* textures = nullptr, const std::string& level0_path = {},
                     const std::string* cards_png = nullptr);

}  // namespace sf::formats
