// The sylvaform program: the host of the plug-in module. It loads the
// module, activates its tool and drives it through the tool's callbacks and
// panel, with the background layer filled from a crown and presets kept on
// a shelf on disk.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "app/tool_host.h"
#include "app/tree_output.h"

namespace sf::app {

constexpr int k_exit_ok = 0;
constexpr int k_exit_error = 2;

// Where the module and the presets shelf are.
struct host_options {
    std::string module_path;              // empty: beside the program
    std::optional<std::string> shelf_dir;  // none: ~/.local/share/sylvaform/presets
};

struct build_request {
    std::optional<std::string> crown;   // any mesh file; none for the built-in crown
    bool crown_z_up = false;            // the crown file's up axis is +Z
    std::optional<std::string> crown_label;  // preset add: the crown's name kept; default the file's name
    std::optional<std::string> preset;  // loaded before the settings
    std::vector<std::string> sets;      // FIELD=VALUE, applied in order
    std::vector<std::string> outputs;   // -o arguments
    int subdivide = 0;                  // Catmull-Clark levels for .obj and .glb
    std::optional<std::string> preview; // PNG picture of the result
    bool no_textures = false;                 // plain colours in .obj and .glb
    std::optional<std::string> bark_texture;  // the user's PNG instead of the drawn bark
    std::optional<std::string> leaf_atlas;    // the user's PNG instead of the drawn leaves
    bool wind_colours = false;                // .glb: the weights also as COLOR_0
    bool wind = false;                        // .glb: wind data as TEXCOORD_1..4
    bool impostor = false;                    // .glb: a billboard impostor as the last level
    bool explain = false;               // panel: say what each control does
    std::optional<std::string> seeds;   // build: one variant per seed ("1-50", "1,4,9-12")
    std::optional<std::string> shard;   // build: only the K-th of N slices of the seeds ("K/N")
    int jobs = 0;                       // build: worker processes for the seeds; 0 for one per core
    int lod = 1;                        // build: levels of detail in .glb and .obj output
    std::vector<std::size_t> lod_budgets;  // build: or the triangles of levels 1.. (lod is their count + 1)
    std::optional<std::size_t> triangles;  // build: round bark, the tree within this many triangles
};

// Each answers the exit status; errors go to standard error as one line,
// and nothing is written unless the whole command succeeds.
int run_build(const build_request& request, const host_options& options);
int run_preset_add(const std::string& name, const build_request& request, const host_options& options);
int run_preset_list(const host_options& options);
int run_preset_remove(const std::string& name, const host_options& options);
// Grows the starter presets onto the shelf, replacing those of their names.
int run_preset_starters(const host_options& options);
int run_panel(const build_request& request, const host_options& options);
// Serves the tool's web page until interrupted; an empty address means loopback.
int run_serve_command(const build_request& request, const host_options& options, const std::string& address,
                      const std::vector<std::string>& allow_hosts, int port, int max_upload_mb);

// The command line.
int run_program(int argc, char** argv);

}  // namespace sf::app
