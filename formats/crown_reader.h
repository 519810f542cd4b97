// Crown input in any common mesh format: OBJ through our own reader, every
// other format Assimp knows (glTF/GLB, PLY, STL, FBX, LWO, DAE, ...) through
// Assimp in a sandboxed child process (crown_child.h), with polygons and
// their point order kept.
#pragma once

#include <cstdint>
#include <string>

#include "formats/mesh_layer.h"

namespace sf::formats {

// Which axis of the file points up. Layers are +Y up, right-handed; a Z-up
// file is turned so that +Z becomes +Y: (x, y, z) -> (x, z, -y).
enum class crown_up { y, z };

// Files above this size are refused before anything is read; so are
// external glTF buffers above it, counted together with the crown.
constexpr std::uint64_t k_max_crown_bytes = std::uint64_t(512) << 20;

// Where a crown came from. A glTF read from a folder may use external files
// inside that folder (no "..", no absolute path, no link leading out, regular
// files only); an upload must hold all its data (GLB or data: URIs).
enum class crown_source { file, upload };

// Replaces the layer's contents by the file's points and polygons ('FACE',
// no surface). ".obj" (any case) goes to read_obj, in file order; anything
// else to Assimp without triangulation or vertex joining: every mesh of every
// node in scene order (depth first), node transforms applied, each mesh's
// vertices in order, then its faces in order with their point order. Faces
// of one or two points are kept as such polygons. LWO files come in already
// right-handed (Assimp negates z and reverses each face), so outward faces
// stay outward.
//
// Refuses, with io_error (a std::runtime_error) whose one-line message starts
// with the path, and the layer left empty: unreadable, empty or oversized
// files, files Assimp cannot read ("PATH: cannot read crown: ..."), NaN or
// infinite coordinates or ones beyond k_max_crown_coordinate (1e9), indices
// out of range, faces Assimp dropped, header counts larger than the file
// could hold or records missing, external files outside the crown's folder,
// scenes bigger than their input bytes allow, and a reader process that
// crashed, ran out of time or memory, or answered nonsense.
void read_crown(const std::string& path, mesh_layer& layer, crown_up up, crown_source source = crown_source::file);

// The Assimp side of read_crown, in this process and without turning: only
// the sandboxed reader process calls it.
void read_crown_untrusted(const std::string& path, crown_source source, mesh_layer& layer);

}  // namespace sf::formats
