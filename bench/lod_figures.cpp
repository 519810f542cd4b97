// Prints how levels of detail of built trees render: per level the
// triangles, degenerate and folded corners per surface, and how far leaves
// lie from the bark. Usage: lod_figures FILE.edits ... (trees built with
// `sylvaform build ... -o FILE.edits`).
#include <cstdio>
#include <exception>
#include <string>

#include "formats/bark_uv.h"
#include "formats/edit_log.h"
#include "formats/file_io.h"
#include "formats/lod.h"
#include "formats/subdivide.h"

namespace {

using namespace sf::formats;

void print(const char* what, const mesh_layer& l) {
    const layer_health h = check_layer(l, 0.02);
    std::printf("  %-10s %7zu tris; leaves %zu, >2cm %zu, farthest %.3f m;", what, triangle_count(l), h.leaves,
                h.leaves_far, h.farthest_leaf);
    for (const surface_health& s : h.surfaces)
        std::printf(" %s %zu/%zu deg, %.1f%% folded;", s.surface.c_str(), s.degenerate, s.triangles,
                    s.corners ? 100.0 * double(s.folded) / double(s.corners) : 0.0);
    std::printf("\n");
}

}  // namespace

int main(int argc, char** argv) {
    try {
        for (int i = 1; i < argc; ++i) {
            mesh_layer tree;
            read_edit_log(read_file(argv[i]), argv[i], tree);
            const mesh_layer base = with_bark_uv(tree);
            std::printf("%s\n", argv[i]);
            print("LOD0", base);
            const std::vector<lod_level> chain = make_lod_chain(base, 4);
            for (std::size_t k = 0; k < chain.size(); ++k)
                print(("LOD" + std::to_string(k + 1)).c_str(), chain[k].layer);
            const std::size_t square = triangle_count(base);
            const mesh_layer refined = subdivide_patches(tubes_as_cages(base, false), 2);
            for (std::size_t budget : {square, square / 2}) {
                const budget_level fit = fit_to_budget(refined, budget);
                if (fit.fits) print(("tri " + std::to_string(budget / 1000) + "k").c_str(), fit.layer);
                else std::printf("  tri %zu: needs %zu\n", budget, fit.least);
            }
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "lod_figures: %s\n", e.what());
        return 1;
    }
    return 0;
}
