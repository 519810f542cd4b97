#include "app/png_image.h"

#include <png.h>

#include <cmath>
#include <csetjmp>
#include <stdexcept>
#include <vector>

namespace sf::app {

namespace {

void append_bytes(png_structp png, png_bytep data, png_size_t length) {
    auto* out = static_cast<std::string*>(png_get_io_ptr(png));
    try {
        out->append(reinterpret_cast<const char*>(data), length);
    } catch (...) {
        png_error(png, "out of memory");
    }
}

void flush_nothing(png_structp) {}

unsigned char to_byte(float v) {
    if (!(v > 0.0f)) return 0;
    if (v >= 1.0f) return 255;
    return static_cast<unsigned char>(v * 255.0f + 0.5f);
}

// The libpng part, free of objects with destructors so that its error
// longjmp skips nothing. Answers false on failure.
bool write_rows(std::string* out, png_bytepp rows, int width, int height) {
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    if (!png) return false;
    png_infop info = png_create_info_struct(png);
    if (!info) {
        png_destroy_write_struct(&png, nullptr);
        return false;
    }
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        return false;
    }
    png_set_write_fn(png, out, append_bytes, flush_nothing);
    png_set_IHDR(png, info, static_cast<png_uint_32>(width), static_cast<png_uint_32>(height), 8,
                 PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                 PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    png_write_image(png, rows);
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return true;
}

}  // namespace

std::string encode_png(const float* rgb, int width, int height) {
    if (width <= 0 || height <= 0) throw std::runtime_error("PNG export: empty image");
    const std::size_t w = static_cast<std::size_t>(width), h = static_cast<std::size_t>(height);
    std::vector<unsigned char> pixels(w * h * 3);
    for (std::size_t i = 0; i < pixels.size(); ++i) pixels[i] = to_byte(rgb[i]);
    std::vector<png_bytep> rows(h);
    for (std::size_t y = 0; y < h; ++y) rows[y] = pixels.data() + y * w * 3;
    std::string out;
    if (!write_rows(&out, rows.data(), width, height)) throw std::runtime_error("PNG export failed");
    return out;
}

}  // namespace sf::app
