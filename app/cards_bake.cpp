#include "app/cards_bake.h"

#include "app/impostor_bake.h"

namespace sf::app {

std::string bake_cards(const formats::mesh_layer& tree, const formats::card_clusters& clusters,
                       const formats::texture_set& textures, int cell) {
    if (clusters.models.empty()) return {};
    std::vector<formats::mesh_layer> layers;
    for (const formats::card_model& m : clusters.models) layers.push_back(formats::model_layer(tree, m));
    std::vector<view_cell> cells;
    for (std::size_t m = 0; m < clusters.models.size(); ++m) {
        const formats::card_frame& f = clusters.models[m].frame;
        const double mid[3] = {0.5 * (f.lo[0] + f.hi[0]), 0.5 * (f.lo[1] + f.hi[1]), 0.5 * (f.lo[2] + f.hi[2])};
        for (int view = 0; view < 2; ++view) {
            // Broad: side up, seen along the normal; edge: normal up, seen
            // along the side (from its negative end), as the cards lie.
            view_cell c;
            c.layer = &layers[m];
            ortho_view& v = c.view;
            const double* up = view == 0 ? f.side : f.normal;
            for (int k = 0; k < 3; ++k) {
                v.centre[k] = f.origin[k] + mid[0] * f.axis[k] + mid[1] * f.side[k] + mid[2] * f.normal[k];
                v.right[k] = f.axis[k];
                v.up[k] = up[k];
                v.toward[k] = view == 0 ? f.normal[k] : -f.side[k];
            }
            v.half_width = 0.5 * (f.hi[0] - f.lo[0]);
            v.half_height = 0.5 * (view == 0 ? f.hi[1] - f.lo[1] : f.hi[2] - f.lo[2]);
            v.width = v.height = cell;
            double u0, v0, u1, v1;
            formats::card_cell(int(m) * 2 + view, u0, v0, u1, v1);
            c.x0 = int(u0 * 4 * cell + 0.5), c.y0 = int(v0 * 2 * cell + 0.5);
            cells.push_back(c);
        }
    }
    return bake_views(cells, textures, formats::k_card_models * cell, 2 * cell);
}

}  // namespace sf::app
