// Levels of detail of a tree layer. Level 0 is the layer itself; each
// further level has about half the triangles of the one before (or a given
// budget): the bark
// (every surface but the leaves) simplified with meshoptimizer, which keeps
// texture seams and surface borders and bounds the shape error, and the
// leaves thinned, the kept ones enlarged so the crown stays as covered.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "formats/cluster_cards.h"
#include "formats/mesh_layer.h"

namespace sf::formats {

constexpr int k_max_lod_levels = 8;

// Triangles a layer makes when its polygons of three or more points are fanned.
std::size_t triangle_count(const mesh_layer& layer);

struct lod_level {
    mesh_layer layer;  // triangles and the leaves' own polygons; per-point maps only
    std::size_t triangles = 0;
    double seconds = 0.0;  // time to make it
    // Levels from a quarter of level 0's triangles down (cards_at) show
    // their twigs and leaves as cluster cards; the same clusters at each.
    std::shared_ptr<const card_clusters> cards;
    std::size_t card_count = 0;
};

// Levels 1 .. levels-1 of layer (levels from 1 to k_max_lod_levels). Every
// map value of a corner is carried to the point it lands on; points are
// split where a corner's values or surface differ. Skeleton lines are left
// out, and so are triangles without area. A kept leaf grows (at most
// twofold) about the point where it hangs from the bark; where that bark is
// simplified away, the leaf moves onto the nearest bark kept. At levels
// with cards the twigs are left out, and they and the leaves give way to
// the cards of formats/cluster_cards.h.
std::vector<lod_level> make_lod_chain(const mesh_layer& layer, int levels);
// The same with level k + 1 at most budgets[k] triangles (falling budgets,
// each below the layer's own count).
std::vector<lod_level> make_lod_chain(const mesh_layer& layer, const std::vector<std::size_t>& budgets);

// Level 0 within a triangle budget: the bark (every surface but the
// leaves) simplified with meshoptimizer to at most max_triangles minus the
// leaves' triangles, keeping texture seams and surface borders; the leaves
// are kept whole. A layer like the levels above (triangles and the leaves'
// own polygons, per-point maps only). When the bark cannot get that low
// without breaking a seam or border, `layer` is left empty and `least`
// says the fewest triangles the whole tree can have. The bark is simplified
// in bands of tube radius, each losing shape in proportion to its girth;
// twigs are kept whole and the other tubes keep their cross-section when the
// budget allows, else as much of that as it does (`shape`); twigs_dropped:
// some twigs left out whole rather than folded. Each leaf moves with the
// bark it hangs from (onto the branch, where its twig is left out).
enum class budget_shape { cut, twigs_dropped, twigs_whole, round };  // worst to best
struct budget_level {
    mesh_layer layer;
    std::size_t bark_triangles = 0, leaf_triangles = 0;
    std::size_t least = 0;  // set when it does not fit
    bool fits = false;
    budget_shape shape = budget_shape::cut;  // round: twigs whole, no tube flattened
};
budget_level fit_to_budget(const mesh_layer& layer, std::size_t max_triangles);

// One binary glTF holding every level: a node NAME whose children are
// "NAME_LOD0", "NAME_LOD1", … each with the mesh of its level. The levels
// are given as whole .glb files (one mesh each) and merged; equal images
// (by their bytes), samplers, textures and materials are stored once.
//
// With one coverage per level, the levels follow MSFT_lod instead: NAME
// holds "NAME_LOD0" as its only child and lists the other level nodes
// (outside the scene) as its alternatives in extensions.MSFT_lod.ids, with
// extras.MSFT_screencoverage the coverage down to which each level is used.
std::string merge_glb_levels(const std::vector<std::string>& glbs, const std::string& name = "tree",
                             const std::vector<double>& coverage = {});

// Screen coverages for levels of these triangle counts (level 0 first): a
// level is drawn while the tree covers at least a quarter of the screen's
// area times its share of level 0's triangles (about one triangle per
// pixel stays constant); the last level is never culled (0).
std::vector<double> lod_coverages(const std::vector<std::size_t>& triangles);

// How well a layer renders, per surface: triangles (polygons fanned from
// their first corner) of zero area or of a height under a millionth of
// their longest edge, and corners whose smooth normal (area-weighted over
// the surface's polygons around the point, as the writers shade) faces
// against their polygon; and for the leaves, how far each lies from the
// nearest bark triangle.
struct surface_health {
    std::string surface;
    std::size_t triangles = 0, degenerate = 0, corners = 0, folded = 0;
};
struct layer_health {
    std::vector<surface_health> surfaces;  // in order of first use
    std::size_t leaves = 0, leaves_far = 0;  // leaves_far: farther than `far` from the bark
    double farthest_leaf = 0.0;              // metres; 0 without bark or leaves
};
layer_health check_layer(const mesh_layer& layer, double far);

// "trees/oak.obj" level 2 -> "trees/oak_LOD2.obj".
std::string lod_path(const std::string& path, int level);

}  // namespace sf::formats
