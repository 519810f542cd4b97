// What a build will cost, known before it starts: from the settings (as the
// panel's get callback reads them) and the crown, an upper bound of the
// nodes the tool grows, the points and polygons it writes, and the memory
// the layers of the build hold at their peak (the crown, the tree, the
// refined layer of --subdivide with OpenSubdiv's working memory, the levels
// of detail). A build whose estimate passes the memory budget is refused
// before anything grows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "app/host_services.h"
#include "formats/mesh_layer.h"

namespace sf::app {

// The settings growth and mesh output take their size from, as doubles.
struct cost_settings {
    double branches = 0, segments = 0, branch_end_split = 0, sub_segments = 0, trunks = 0, render_type = 0;
    double twig_type = 0, twig_segments = 0, twig_coverage = 0, twig_range = 0, twig_length = 0;
    double leaf_shape = 0, leaf_density = 0, leaf_growth = 0, number_of_roots = 0;
    bool range_map = true, thick_map = true;
};

// The current values through the panel's get callback.
cost_settings read_cost_settings(const xpanel& panel);
// The same with one edit (by panel id, the value as the set callback gets
// it) laid over them; ids that do not change the size are ignored.
void apply_cost_edit(cost_settings& s, unsigned id, double value);

// What the output of the build adds beside the tree.
struct cost_outputs {
    int subdivide = 0;       // Catmull-Clark levels of the SubD cages
    int lod = 0;             // levels of detail (0 or 1: none)
    bool edit_log = false;   // the layer keeps its history
};

struct cost_estimate {
    double nodes = 0, points = 0, polygons = 0;  // of the tree (the refined layer's, with --subdivide)
    double bytes = 0;                             // peak of the build's layers
};

// The crown's layer as the build holds it.
double crown_bytes(const formats::mesh_layer& crown);

cost_estimate estimate_build(const cost_settings& s, double crown_bytes, const cost_outputs& out);
inline cost_estimate estimate_build(const cost_settings& s, const formats::mesh_layer& crown, const cost_outputs& out) {
    return estimate_build(s, crown_bytes(crown), out);
}

// "the tree would need about 2.1 GiB, more than the budget of 512 MiB
// (estimated before growing: 602,000 nodes, 10.2 million points, 4.9
// million polygons); --max-memory SIZE changes it".
std::string over_budget_text(const cost_estimate& e, std::size_t budget);

// Throws a budget refusal (formats::budget_error's family: input_error with
// that text) when the estimate passes the budget; a budget of 0 is none.
void require_within_budget(const cost_estimate& e, std::size_t budget);

}  // namespace sf::app
