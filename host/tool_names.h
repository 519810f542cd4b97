// The names the tool writes into the host's layers: its surfaces and its
// vertex maps. The plug-in writes them; the program's writers read them.
#pragma once

namespace sf {

// Surfaces of the tubes, roots and leaves.
inline constexpr const char* k_surface_trunk = "SF_trunk";
inline constexpr const char* k_surface_branch = "SF_branch";
inline constexpr const char* k_surface_twig = "SF_twig";
inline constexpr const char* k_surface_root = "SF_root";
inline constexpr const char* k_surface_leaf = "LG_leaf";

// Vertex maps: texture coordinates of the tubes and the leaves (one leaf
// each, or its tile of the atlas) and the wind weights.
inline constexpr const char* k_map_branch_uv = "SF_branch";
inline constexpr const char* k_map_leaf_uv = "SF_leaf";
inline constexpr const char* k_map_leaf_atlas_uv = "SF_all_leaves";
inline constexpr const char* k_map_range = "SF_range";
inline constexpr const char* k_map_thick = "SF_thick";
inline constexpr const char* k_map_range_thick = "SF_range_thick";

}  // namespace sf
