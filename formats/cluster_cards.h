// Cluster cards: at far levels of detail each twig, with its leaves, gives
// way to two crossed quads showing an image of a twig of the same tree.
// Leaves that hang from thicker bark are grouped by where they lie. A few
// clusters of level 0 are the models: each is drawn (by the host,
// app/cards_bake.h) from two sides into its cells of one image, and every
// card shows the cells of the model most like it in shape.
#pragma once

#include <cstddef>
#include <memory>
#include <vector>

#include "formats/mesh_layer.h"

namespace sf::formats {

constexpr const char* k_surface_leaf_cards = "SF_leaf_cards";
constexpr const char* k_map_cards_uv = "SF_cards";  // TXUV into the cards image
constexpr int k_card_models = 4;                    // cells: a column per model, broad view above, edge view below

// Whether a level of `total` triangles (level 0 has `first`) shows cards:
// from a quarter of level 0 down.
bool cards_at(std::size_t total, std::size_t first);

// A cluster's frame: axis along the twig (outwards from the tree's
// middle), side across it in the plane the leaves spread most, normal =
// axis x side; lo and hi its extent along those three, about `origin`.
struct card_frame {
    double origin[3] = {0, 0, 0};
    double axis[3] = {1, 0, 0}, side[3] = {0, 1, 0}, normal[3] = {0, 0, 1};
    double lo[3] = {0, 0, 0}, hi[3] = {0, 0, 0};
    index_t anchor = k_none;  // the point of level 0 it hangs from: its twig's nearest the base
};

// A part of level 0: a twig's bark or one leaf, as polygons of the layer,
// and the bark piece it is or hangs from (~0u: none).
struct card_part {
    std::vector<index_t> polygons;
    unsigned piece = ~0u;
    bool leaf = false;
};

// A model: its polygons of level 0 and the frame it is drawn in.
struct card_model {
    std::vector<index_t> polygons;
    card_frame frame;
};

struct card_clusters {
    std::vector<card_frame> frames;  // per cluster, in a fixed random order
    std::vector<int> model;          // per cluster: the model whose cells it shows
    std::vector<card_model> models;  // at most k_card_models
};

// Clusters of level 0: each twig with the leaves hanging from it; leaves on
// other bark in cells about a twig's size. Clusters without leaves are left
// out (bare twigs vanish with the cards).
card_clusters gather_clusters(const mesh_layer& layer, const std::vector<card_part>& parts);

// Adds to a level the cards of the first clusters that fit in `triangles`
// (four a cluster), grown about the base of their axis (at most twofold) to
// cover what all clusters did; surface k_surface_leaf_cards, coordinates
// k_map_cards_uv, and every other per-point map value of the cluster's
// anchor in `source` (level 0: the wind data, so a card sways with its
// twig). Returns the triangles added.
std::size_t add_cards(mesh_layer& level, const card_clusters& clusters, std::size_t triangles,
                      const mesh_layer& source);

// A model's polygons of level 0 as a layer of their own, with the map
// values of their points and corners.
mesh_layer model_layer(const mesh_layer& layer, const card_model& model);

// Cell k (model k / 2, view k % 2: 0 broad, 1 edge) of the cards image in
// glTF's texture coordinates (v down from the top edge).
void card_cell(int k, double& u0, double& v0, double& u1, double& v1);

}  // namespace sf::formats
