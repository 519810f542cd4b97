// The "Image Utility 5" service: float RGB images the host keeps.
#include "app/services/services.h"

#include <cstring>
#include <memory>

namespace sf::app {

namespace services {

namespace {

LWPixmapID image_create(int width, int height, int type) {
    if (type != LWIMTYP_RGBFP || width <= 0 || height <= 0 || width > 8192 || height > 8192) return nullptr;
    try {
        auto img = std::make_unique<host_image>();
        img->width = width;
        img->height = height;
        img->rgb.assign(std::size_t(width) * std::size_t(height) * 3, 0.0f);
        host().images.push_back(std::move(img));
        return reinterpret_cast<LWPixmapID>(host().images.back().get());
    } catch (...) {
        return nullptr;
    }
}

void image_destroy(LWPixmapID id) {
    auto& images = host().images;
    std::erase_if(images, [&](const auto& p) { return reinterpret_cast<LWPixmapID>(p.get()) == id; });
}

// Pixels outside the image are not there: set does nothing, get reads black.
void image_set_pixel(LWPixmapID id, int x, int y, const float* rgb) {
    host_image* img = host().find_image(id);
    if (!img || !rgb || x < 0 || y < 0 || x >= img->width || y >= img->height) return;
    std::memcpy(&img->rgb[(std::size_t(y) * std::size_t(img->width) + std::size_t(x)) * 3], rgb, 3 * sizeof(float));
}

void image_get_pixel(LWPixmapID id, int x, int y, float* rgb) {
    if (!rgb) return;
    host_image* img = host().find_image(id);
    if (!img || x < 0 || y < 0 || x >= img->width || y >= img->height) {
        rgb[0] = rgb[1] = rgb[2] = 0.0f;
        return;
    }
    std::memcpy(rgb, &img->rgb[(std::size_t(y) * std::size_t(img->width) + std::size_t(x)) * 3], 3 * sizeof(float));
}

}  // namespace

const LWImageUtil k_image_funcs{image_create, image_destroy, image_set_pixel, image_get_pixel};

}  // namespace services

}  // namespace sf::app
