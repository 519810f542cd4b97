#include "app/control_help.h"

namespace sf::app {

namespace {

// Distances are model units (metres in glTF); angles are shown in degrees
// and percentages as percent.
constexpr control_help k_help[] = {
    {0x8020, "Refresh", "refresh",
     "Automatic rebuilds the tree after every edit; Manual waits, and choosing Manual again builds once."},
    {0x8018, "Render Type", "render_type",
     "What is written: Skeleton is lines only, Polygonal is square tubes with roots, twigs and leaves, SubD is "
     "the same tubes as subdivision cages."},
    // Tree
    {0x8002, "Branches", "branches",
     "How many branches grow, trunks included: one tip is scattered over the crown surface for each (count)."},
    {0x8003, "Segments", "segments",
     "How many growth steps a branch takes from its tip toward the trunk; more steps make smoother, longer "
     "branches (count)."},
    {0x802D, "Sub Segments", "sub_segments",
     "Into how many jittered pieces each trunk and branch step is cut, for rougher bark lines (count)."},
    {0x8011, "Bias", "bias",
     "How fast the steps lengthen from a branch's tip toward its base: higher gives short steps at the tips and "
     "long ones near the trunk (factor, 0.1 to 5)."},
    {0x800B, "Branch tip jitter", "branch_tip_jitter",
     "How far each branch tip is pushed at random in or out of the crown surface (model units)."},
    {0x8009, "Tree center", "tree_center",
     "Height of the tree's centre as a share of the crown's top: branches starting above it grow down toward "
     "the trunk, those below it follow Branch bend end (percent of the crown height)."},
    {0x802E, "Tree center variation", "tree_center_variation",
     "How much each branch's own centre height varies around Tree center (percent of Tree center)."},
    {0x800C, "Normals influence", "normals_influence",
     "How strongly a branch's first steps are turned away from the crown surface: positive values turn them "
     "into the crown, negative ones outward (percent)."},
    {0x8014, "Branch end split", "branch_end_split",
     "How many steps a branch must grow before it may join another, as a share of Segments: higher keeps "
     "branches apart longer (percent)."},
    {0x802F, "Branch start split", "branch_start_split",
     "Shortens every branch step by this share, so branches stay nearer their tips and the crown looks "
     "fuller at its edge (percent)."},
    {0x800A, "Branch bend end", "branch_bend_end",
     "For branches starting below the tree centre: positive makes their first step go up, negative down; its "
     "size also sets how far they reach (factor)."},
    {0x803A, "Branch bend start", "branch_bend_start",
     "Kept with the settings; it has no effect on the grown tree (factor)."},
    {0x8004, "Branch crookedness", "branch_crookedness",
     "How much branch steps twist at random; 0 gives straight branches (degrees)."},
    {0x8030, "Trunks", "trunks",
     "How many of the highest branches grow all the way down to the ground as trunks; never more than "
     "Branches (count)."},
    {0x803C, "Trunk thick type", "trunk_thick_type",
     "How a trunk thickens toward the ground: thick keeps growing all the way down, thin stops early for a "
     "slender trunk."},
    {0x803B, "Trunk bend", "trunk_bend",
     "How strongly the trunk's steps are pulled toward the tree's vertical axis and the ground (factor)."},
    {0x8025, "Trunk crookedness", "trunk_crookedness",
     "How much the trunk twists at random on its way down, strongest near the top; 0 gives a straight trunk "
     "(degrees)."},
    {0x8008, "Trunk thickness", "trunk_thickness",
     "Scales the trunks' tube radius: radius is this times the trunk's grown thickness, plus Tips thickness "
     "(factor)."},
    {0x8007, "Branch thickness", "branch_thickness",
     "Scales the branches' tube radius the same way, and sets how thick a new branch starts (factor; 0 is "
     "stored as 0.001)."},
    {0x8031, "Tips thickness", "tips_thickness",
     "Radius added to every tube, so tips and twigs are never thinner than this (half of it on twigs; model "
     "units)."},
    {0x8012, "Random seed", "random_seed",
     "Picks the random variation: the same seed and settings give the same tree; 0 keeps the generator where "
     "the last build left it."},
    // Twig
    {0x8037, "Type", "twig_type",
     "Whether twigs grow and which way they point: up, down, horizontal, along the branch, random or to the "
     "side; off makes none, and leaves grow only on twigs."},
    {0x8032, "Range", "twig_range",
     "Which outer part of each branch carries twigs, as a share of its steps from the tip (percent)."},
    {0x8033, "Coverage", "twig_coverage",
     "How many of the eligible branch points get a twig: 100% every one, 50% every second (percent)."},
    {0x8035, "Segments", "twig_segments",
     "How many steps each twig has; 0 makes no twigs (count)."},
    {0x8036, "Twig length type", "twig_length_type",
     "Whether a twig's length follows its branch step (proportional) or is the same everywhere (constant)."},
    {0x8034, "Proportional length", "twig_proportional_length",
     "Twig length as a share of the branch step it starts from, when Twig length type is proportional "
     "(percent)."},
    {0x8038, "Constant length", "twig_constant_length",
     "Twig length when Twig length type is constant (model units)."},
    // Leaf
    {0x8041, "Shape", "leaf_shape",
     "The leaf mesh hung on every twig point: none, one or two quads, a rhombus, three quads or a double "
     "rhombus; needs twigs and a polygonal render."},
    {0x8049, "Density", "leaf_density",
     "How many leaves (or leaf pairs) grow along each twig step (count, 1 to 10)."},
    {0x8046, "Leaf growth", "leaf_growth",
     "Staggered puts one leaf at each place, symmetrical two opposite ones."},
    {0x8040, "Length", "leaf_length", "Leaf length before Size is applied (model units)."},
    {0x803F, "Width", "leaf_width", "Leaf width before Size is applied (model units)."},
    {0x8047, "Size", "leaf_size", "Leaf size toward the base of a twig (factor on Length and Width)."},
    {0x8048, "Size tip", "leaf_size_tip", "Leaf size at the tip of a twig (factor on Length and Width)."},
    {0x804A, "Randomness", "leaf_growth_randomness",
     "How much leaf size varies at random from twig to twig (percent)."},
    {0x8042, "Out", "leaf_out", "How strongly leaves turn to face away from the tree's centre (percent)."},
    {0x8043, "Hang", "leaf_hang", "How far leaves toward the base of a twig tilt down (percent)."},
    {0x8044, "Tip Hang", "leaf_tip_hang", "How far leaves at the tip of a twig tilt down (percent)."},
    {0x8045, "Randomness", "leaf_randomness", "How much each leaf is turned at random (percent)."},
    // Advanced
    {0x801A, "Optimization passes", "optimization_passes",
     "Kept with the settings; it does not change the tree (count)."},
    {0x8019, "Min angle", "min_angle", "Kept with the settings; it does not change the tree (degrees)."},
    {0x803D, "Trunk influence", "trunk_influence",
     "Where branches steer: toward the nearest trunk point (on), toward the tree's axis (off), or from the "
     "axis at first toward the trunk as they grow (fade)."},
    {0x802B, "Branch type", "branch_type",
     "The order in which branches grow: typeA puts only the highest first and keeps the rest scattered, "
     "typeB goes from the highest down; it changes which branches join which."},
    {0x8021, "Number of roots", "number_of_roots",
     "How many roots spread from the base of each trunk in a polygonal render (count, 5 to 12)."},
    {0x8022, "Roots Gravity", "roots_gravity",
     "How quickly the roots bend down into the ground (factor)."},
    {0x8024, "Roots Crookedness", "roots_crookedness", "How much the roots twist at random (degrees)."},
    {0x800F, "Distribution power", "distribution_power",
     "How far apart the branch tips are kept on the crown surface: near 1 spreads them evenly, low values let "
     "them cluster (factor, 0.1 to 1)."},
    {0x8010, "Iterations", "iterations",
     "How many tries each tip gets to find a place far enough from the others (count)."},
    {0x801B, "Assign Range Weight Map", "assign_range_weight_map",
     "Writes the range weight map (inner wood to outer tips) on the tubes, used for wind or shading."},
    {0x800D, "WG range", "wg_range",
     "Where along a branch the range weight passes from 1 (inner) to -1 (outer), as a share of its length "
     "from the tip (percent)."},
    {0x800E, "WG hardness", "wg_hardness",
     "How wide that passage is: small values give a sharp edge, large ones a soft fade (percent)."},
    {0x801C, "Assign Thick Weight Map", "assign_thick_weight_map",
     "Writes the thickness weight map (thin tips to thick wood) on the tubes."},
    {0x801D, "WG Thick max", "wg_thick_max",
     "Where the thickness weight ends: it falls from 1 on the thinnest wood to 0 at four times this grown "
     "thickness (percent)."},
    {0x801E, "Presets", "", "Opens the presets shelf: saved settings with their thumbnails."},
    {0x801F, "Add Preset", "", "Saves the current settings with a thumbnail of the tree as a new preset."},
};

}  // namespace

std::span<const control_help> control_help_table() { return k_help; }

const char* help_for(unsigned id) {
    for (const control_help& h : k_help)
        if (h.id == id) return h.text;
    return nullptr;
}

std::string control_help_markdown() {
    std::string out = "| Control | `--set` field | What it does |\n|---|---|---|\n";
    for (const control_help& h : k_help) {
        out += "| ";
        out += h.label;
        out += " | ";
        if (*h.field) {
            out += '`';
            out += h.field;
            out += '`';
        } else {
            out += "(button)";
        }
        out += " | ";
        out += h.text;
        out += " |\n";
    }
    return out;
}

}  // namespace sf::app
