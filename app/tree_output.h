// What a host writes of a grown tree: the outputs a command line or a
// caller names, checked before anything is built, then the refined layer
// and levels of detail when asked for, every file written whole and all of
// them replacing what was there together, or none.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "formats/materials.h"
#include "formats/mesh_layer.h"
#include "formats/outputs.h"

namespace sf::app {

enum class output_kind { obj, lwo, glb, edit_log, edit_log_stdout };

struct output_target {
    std::string path;
    output_kind kind;
};

// True when the path's file name ends in ext (lower case given), any case,
// and has more before it.
bool has_extension(const std::string& path, std::string_view ext);

// "-" is the edit log on standard output; otherwise the extension (.glb,
// .lwo, .obj or .edits, any case) decides. Throws usage_error for anything else.
output_target classify_output(const std::string& arg);

// The output's format and its description (formats/outputs.h).
formats::mesh_format format_of(output_kind kind);
const formats::format_info& info_of(const output_target& output);

// What is written of one tree.
struct tree_output_request {
    std::vector<std::string> outputs;     // -o arguments
    std::optional<std::string> preview;   // PNG picture of the result
    int subdivide = 0;                    // Catmull-Clark levels for .obj and .glb
    std::optional<std::size_t> triangles; // round bark, the tree within this many triangles
    int lod = 1;                          // levels of detail in .glb and .obj
    std::vector<std::size_t> lod_budgets; // triangles of levels 1, 2, ... (lod - 1 of them); none: halving
    bool wind_colours = false;            // .glb: the weights also as COLOR_0
    bool wind = false;                    // .glb and .lwo: the wind maps
    bool impostor = false;                // .glb: a billboard impostor as the last level
};

// The outputs, each named file checked (every file the tree would be
// written to, side and level files too) before anything is built. Throws
// usage_error.
std::vector<output_target> checked_outputs(const tree_output_request& request);

// Writes the grown tree fg, grown in crown: with wind data when asked (on a
// copy: the edit log stays the tool's own), the bark on world-scaled
// coordinates for .obj and .glb, the refined layer (triangles, subdivide)
// and the levels of detail when asked for, then every output and
// the preview, all of them or none. far names the settings far from their
// defaults, for the refusal of a tree with non-finite points. Throws on any
// failure.
void write_grown_tree(const tree_output_request& request, const std::vector<output_target>& outputs,
                      const formats::texture_set& textures, const formats::mesh_layer& fg,
                      const formats::mesh_layer& crown, const std::string& far);
// The same for a tree the caller gives up (left with extra maps): the maps
// the outputs need go onto it in place instead of onto copies as large as
// the tree, once the outputs that read it as built are written.
void write_grown_tree(const tree_output_request& request, const std::vector<output_target>& outputs,
                      const formats::texture_set& textures, formats::mesh_layer&& fg,
                      const formats::mesh_layer& crown, const std::string& far);

}  // namespace sf::app
