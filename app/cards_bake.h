// The cluster cards' image (formats/cluster_cards.h): each model twig of
// the tree, with its leaves, drawn by the impostor's rasterizer from its
// broad side and along its edge into its two cells.
#pragma once

#include <string>

#include "formats/cluster_cards.h"
#include "formats/materials.h"
#include "formats/mesh_layer.h"

namespace sf::app {

// Pixels of a cell's edge; the image is 4 cells wide and 2 high.
constexpr int k_card_cell = 128;

// tree: the level 0 the clusters were gathered from. PNG bytes (RGBA,
// sRGB colour, alpha the coverage); empty without models.
std::string bake_cards(const formats::mesh_layer& tree, const formats::card_clusters& clusters,
                       const formats::texture_set& textures, int cell = k_card_cell);

}  // namespace sf::app
