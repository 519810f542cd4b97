// One place that picks the writer for an output format and the layer it is
// written from, for the command line (files of a set) and the server (bytes
// in memory) alike.
#pragma once

#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "formats/file_io.h"
#include "formats/impostor.h"
#include "formats/lod.h"
#include "formats/materials.h"
#include "formats/mesh_layer.h"

namespace sf::formats {

enum class mesh_format { glb, obj, mtl, lwo, edit_log };

// One description per output format, read by the command line, the Python
// module and the server's downloads alike.
struct format_info {
    mesh_format format;
    std::string_view name;        // the server's format=NAME
    std::string_view extension;   // -o NAME.EXT; empty: no file of its own (.mtl comes with .obj)
    std::string_view media_type;  // a download's Content-Type
    // Reads the refined layer (subdivision, --triangles) and holds levels
    // of detail; else the layer as the tool built it.
    bool refined;
    // Carries or names textures, the bark on world-scaled coordinates.
    bool images;
    // Replays the tool's edits: the layer must keep its history.
    bool history;
    // Brings an .mtl, images and level files beside it.
    bool side_files;
    // Holds the impostor as its last level.
    bool impostor;
};

// In the order the command line and the page list them.
std::span<const format_info> output_formats();
const format_info& info_of(mesh_format format);
// By name ("glb"), or null.
const format_info* format_named(std::string_view name);

// The layers of one build. LWO and the edit log keep the patch cages as the
// tool wrote them; OBJ, MTL and glTF, having no subdivision surfaces, take
// the refined layer. Coarser levels of detail follow smooth: .glb holds
// them all, .obj gets a file per level; the others have level 0 only.
struct output_layers {
    const mesh_layer& as_built;
    const mesh_layer& smooth;
    std::span<const lod_level> lods = {};
    // .lwo from this layer instead when given: as_built with the wind maps.
    const mesh_layer* windy = nullptr;
    // .glb: the impostor as the last level, after the levels of detail.
    const impostor* billboard = nullptr;
};

struct output_options {
    const texture_set* textures = nullptr;  // none: plain colours
    bool wind_colours = false;              // .glb: the weights also as COLOR_0
    bool wind = false;                      // .glb: the wind maps as TEXCOORD_1..4
    const std::string* cards_png = nullptr;  // .glb: the cluster cards' image (formats/cluster_cards.h)
};

// Where an output goes: one stream, or a path whose files join a set (an
// .obj brings its .mtl, images and level files beside it). A stream holds
// one file only: its OBJ names mtllib and neither it nor an MTL names
// images, and levels of detail reach it only inside a .glb.
class output_place {
public:
    output_place(byte_sink& sink, std::string mtllib = {}) : sink_(&sink), mtllib_(std::move(mtllib)) {}
    output_place(file_set& files, std::string path) : files_(&files), path_(std::move(path)) {}

private:
    friend void write_outputs(mesh_format, const output_layers&, const output_options&, const output_place&);
    byte_sink* sink_ = nullptr;
    std::string mtllib_;
    file_set* files_ = nullptr;
    std::string path_;
};

void write_outputs(mesh_format format, const output_layers& layers, const output_options& options,
                   const output_place& place);

}  // namespace sf::formats
