// How the mesh writers dress the tool's surfaces: which look a surface
// gets, its colour as chosen by eye (sRGB) and in linear light, and the
// images that texture the bark and the leaves.
#pragma once

#include <string>
#include <string_view>

#include "host/tool_names.h"

namespace sf::formats {

enum class surface_look : unsigned char { bark, twig, leaf, other };

// The surfaces the tool names (host/tool_names.h) and the look each gets;
// any other surface looks "other".
struct named_surface {
    std::string_view name;
    surface_look look;
};
inline constexpr named_surface k_named_surfaces[] = {
    {k_surface_trunk, surface_look::bark}, {k_surface_branch, surface_look::bark},
    {k_surface_root, surface_look::bark},  {k_surface_twig, surface_look::twig},
    {k_surface_leaf, surface_look::leaf},
};

surface_look look_of(std::string_view surface);

// Whether the surface is one of the tool's own (not "other").
bool is_named_surface(std::string_view surface);

// Leaves are seen from both sides; tubes from outside only.
bool two_sided(surface_look look);

// Display colour (sRGB, 0..1) of a look, as picked on screen.
struct rgb {
    double r, g, b;
};
rgb display_colour(surface_look look);

// The sRGB transfer curve undone: the linear value glTF's baseColorFactor
// (and Blender's base colour) expects for a display value.
double srgb_to_linear(double v);
rgb linear_colour(surface_look look);

// Images for the materials, as the bytes of PNG files; an empty string
// leaves that material with its plain colour. The bark image textures
// every tube surface on its bark coordinates (formats/bark_uv.h, else
// "SF_branch"); the leaf image is an atlas of 3 x 3 tiles on the
// "SF_all_leaves" coordinates, with the cut-out silhouettes in its alpha
// channel. The bark's normal map (tangent space, +Y along v) and its
// occlusion/roughness image (R occlusion, G roughness, B metalness) go
// with the colour on the same coordinates; empty: none.
struct texture_set {
    std::string bark_png;
    std::string leaf_png;
    std::string leaf_normal_png;  // tangent-space normals of the atlas; may be empty
    std::string bark_normal_png;
    std::string bark_orm_png;
};

// The image (PNG bytes) a look is textured with; null for none.
const std::string* texture_for(const texture_set* textures, surface_look look);

// The bark's normal map and occlusion/roughness image for a look (tubes
// only); null for none.
const std::string* normal_map_for(const texture_set* textures, surface_look look);
const std::string* orm_map_for(const texture_set* textures, surface_look look);

}  // namespace sf::formats
