// Wavefront OBJ output of one layer, with its material library (.mtl).
#pragma once

#include <string>
#include <string_view>

#include "formats/mesh_layer.h"
#include "formats/file_io.h"

namespace sf::formats {

// "v x y z" per point, then one "vt u v" per distinct texture coordinate
// (first use order, compared by their float bits), then the polygons with
// 1-based indices: one point as "p a", two as "l a b", more as "f a b c ...";
// polygons without points are left out. Polygons without a surface come
// first, in creation order and before any "usemtl"; then the others in
// creation order with "usemtl <surface>" before each run of one surface.
//
// Texture coordinates: faces of "SF_trunk", "SF_branch", "SF_twig" and
// "SF_root" use the 'TXUV' map "SF_branch", faces of "LG_leaf" the map
// "SF_leaf"; a corner takes the per-polygon value of that map for its
// polygon and point if there is one, else the point's own value. A face
// with a corner that has neither (or a non-finite one) is written without
// texture coordinates, as are lines, single points and faces of other
// surfaces.
//
// Surface names are written with bytes below '!', DEL and '#' as '_'; an
// "mtllib" line naming mtllib is written when it is not empty.
void write_obj(const mesh_layer& layer, byte_sink& sink, std::string_view mtllib = {});

// One "newmtl" block per surface that write_obj names in "usemtl", in the
// same order, with a plain colour: bark brown for "SF_trunk", "SF_branch"
// and "SF_root", a lighter brown for "SF_twig", green for "LG_leaf" and a
// neutral grey for any other surface.
void write_mtl(const mesh_layer& layer, byte_sink& sink);

// The material library beside an OBJ file: its extension replaced by
// ".mtl" ("tree.obj" -> "tree.mtl").
std::string mtl_path_for(const std::string& obj_path);

// Writes the OBJ file and its material library as a pair: both appear
// whole, or on failure (io_error) both paths are left as they were, with a
// library replaced on the way put back and a new one removed.
void write_obj_files(const mesh_layer& layer, const std::string& obj_path);
// The same pair as members of a set of files committed together.
void write_obj_files(const mesh_layer& layer, const std::string& obj_path, file_set& files);

}  // namespace sf::formats
