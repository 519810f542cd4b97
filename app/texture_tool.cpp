// Draws the bark set, the leaf atlas and its normal map into DIR (bark.png,
// bark_normal.png, bark_orm.png, leaves.png, leaf_normal.png); the build runs
// it and compiles the images into the program.
#include <cstdio>
#include <fstream>
#include <string>

#include "app/bark_draw.h"
#include "app/png_image.h"
#include "app/textures.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s DIR\n", argv[0]);
        return 2;
    }
    using namespace sf::app;
    const std::string dir = argv[1];
    const bark_set bark = draw_bark_set(k_texture_seed);
    const rgba_image leaves = draw_leaf_atlas(k_texture_seed);
    const struct {
        const char* name;
        std::string png;
    } images[] = {{"bark.png", encode_bark_png(bark.colour)},
                  {"bark_normal.png", encode_bark_png(bark.normal)},
                  {"bark_orm.png", encode_bark_png(bark.orm)},
                  {"leaves.png", encode_texture_png(leaves, true)},
                  {"leaf_normal.png", encode_texture_png(draw_leaf_normals(k_texture_seed), false)}};
    for (const auto& i : images) {
        const std::string& png = i.png;
        const std::string path = dir + "/" + i.name;
        std::ofstream out(path + ".tmp", std::ios::binary);
        out.write(png.data(), std::streamsize(png.size()));
        out.close();
        if (!out || std::rename((path + ".tmp").c_str(), path.c_str()) != 0) {
            std::fprintf(stderr, "%s: cannot write %s\n", argv[0], path.c_str());
            return 1;
        }
    }
    return 0;
}
