#include "formats/materials.h"

#include <cmath>

namespace sf::formats {

surface_look look_of(std::string_view s) {
    for (const named_surface& n : k_named_surfaces)
        if (n.name == s) return n.look;
    return surface_look::other;
}

bool is_named_surface(std::string_view s) {
    for (const named_surface& n : k_named_surfaces)
        if (n.name == s) return true;
    return false;
}

bool two_sided(surface_look look) { return look == surface_look::leaf; }

rgb display_colour(surface_look look) {
    switch (look) {
        case surface_look::bark: return {0.40, 0.27, 0.16};
        case surface_look::twig: return {0.58, 0.45, 0.30};
        case surface_look::leaf: return {0.22, 0.50, 0.14};
        case surface_look::other: break;
    }
    return {0.60, 0.60, 0.60};
}

double srgb_to_linear(double v) {
    if (v <= 0.04045) return v / 12.92;
    return std::pow((v + 0.055) / 1.055, 2.4);
}

rgb linear_colour(surface_look look) {
    const rgb c = display_colour(look);
    return {srgb_to_linear(c.r), srgb_to_linear(c.g), srgb_to_linear(c.b)};
}

const std::string* texture_for(const texture_set* textures, surface_look look) {
    if (!textures) return nullptr;
    const std::string* png = look == surface_look::bark || look == surface_look::twig ? &textures->bark_png
                             : look == surface_look::leaf                             ? &textures->leaf_png
                                                                                      : nullptr;
    return png && !png->empty() ? png : nullptr;
}

namespace {
const std::string* bark_image(const texture_set* textures, surface_look look, const std::string texture_set::*image) {
    if (!textures || (look != surface_look::bark && look != surface_look::twig)) return nullptr;
    const std::string& png = textures->*image;
    return png.empty() ? nullptr : &png;
}
}  // namespace

const std::string* normal_map_for(const texture_set* textures, surface_look look) {
    return bark_image(textures, look, &texture_set::bark_normal_png);
}

const std::string* orm_map_for(const texture_set* textures, surface_look look) {
    return bark_image(textures, look, &texture_set::bark_orm_png);
}

}  // namespace sf::formats
