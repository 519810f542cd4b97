#include "app/png_image.h"

#include <png.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <csetjmp>
#include <stdexcept>
#include <vector>

#include "formats/errors.h"

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
bool write_rows(std::string* out, png_bytepp rows, int width, int height, int colour_type, int level) {
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
    if (level > 0) png_set_compression_level(png, level);
    png_set_IHDR(png, info, static_cast<png_uint_32>(width), static_cast<png_uint_32>(height), 8,
                 colour_type, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                 PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    png_write_image(png, rows);
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return true;
}

}  // namespace

std::string encode_png(const float* rgb, int width, int height) {
    if (width <= 0 || height <= 0) throw machine_error("PNG export: empty image");
    const std::size_t w = static_cast<std::size_t>(width), h = static_cast<std::size_t>(height);
    std::vector<unsigned char> pixels(w * h * 3);
    for (std::size_t i = 0; i < pixels.size(); ++i) pixels[i] = to_byte(rgb[i]);
    std::vector<png_bytep> rows(h);
    for (std::size_t y = 0; y < h; ++y) rows[y] = pixels.data() + y * w * 3;
    std::string out;
    if (!write_rows(&out, rows.data(), width, height, PNG_COLOR_TYPE_RGB, 0))
        throw machine_error("PNG export failed");
    return out;
}

std::string encode_png_8bit(const unsigned char* pixels, int width, int height, bool alpha, int level) {
    if (width <= 0 || height <= 0) throw machine_error("PNG export: empty image");
    const std::size_t stride = std::size_t(width) * (alpha ? 4 : 3);
    std::vector<png_bytep> rows(static_cast<std::size_t>(height));
    for (std::size_t y = 0; y < rows.size(); ++y) rows[y] = const_cast<png_bytep>(pixels + y * stride);
    std::string out;
    if (!write_rows(&out, rows.data(), width, height, alpha ? PNG_COLOR_TYPE_RGBA : PNG_COLOR_TYPE_RGB, level))
        throw machine_error("PNG export failed");
    return out;
}

namespace {

struct memory_reader {
    const std::string* bytes;
    std::size_t at;
};

void read_bytes(png_structp png, png_bytep data, png_size_t length) {
    auto* in = static_cast<memory_reader*>(png_get_io_ptr(png));
    if (length > in->bytes->size() - in->at) png_error(png, "the file ends early");
    std::memcpy(data, in->bytes->data() + in->at, length);
    in->at += length;
}

void keep_quiet(png_structp, png_const_charp) {}

void record_error(png_structp png, png_const_charp message) {
    auto* error = static_cast<char(*)[160]>(png_get_error_ptr(png));
    std::snprintf(*error, sizeof *error, "damaged PNG image (%s)", message);
    png_longjmp(png, 1);
}

// The libpng part of check_png, free of objects with destructors (its
// error longjmp skips them). row has room for one row of the widest image
// allowed; answers false with the message in error.
bool decode_rows(memory_reader* in, png_check* out, int max_side, std::vector<unsigned char>* row,
                 char (*error)[160], unsigned char* image = nullptr) {
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, error, record_error, keep_quiet);
    if (!png) return false;
    png_infop info = png_create_info_struct(png);
    if (!info) {
        png_destroy_read_struct(&png, nullptr, nullptr);
        return false;
    }
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_read_struct(&png, &info, nullptr);
        return false;
    }
    png_set_read_fn(png, in, read_bytes);
    // No chunk, nor what one decompresses to, larger than the file or 8 MiB,
    // whichever is more; few ancillary chunks kept.
    png_set_chunk_malloc_max(png, std::max<png_alloc_size_t>(in->bytes->size(), png_alloc_size_t(8) << 20));
    png_set_chunk_cache_max(png, 64);
    png_read_info(png, info);
    const png_uint_32 w = png_get_image_width(png, info), h = png_get_image_height(png, info);
    if (w == 0 || h == 0 || w > png_uint_32(max_side) || h > png_uint_32(max_side)) {
        std::snprintf(*error, sizeof *error, "%ux%u pixels, more than %d on a side", unsigned(w), unsigned(h),
                      max_side);
        png_destroy_read_struct(&png, &info, nullptr);
        return false;
    }
    const png_byte type = png_get_color_type(png, info);
    out->has_alpha = (type & PNG_COLOR_MASK_ALPHA) || png_get_valid(png, info, PNG_INFO_tRNS);
    png_set_expand(png);
    png_set_strip_16(png);
    png_set_gray_to_rgb(png);
    png_set_add_alpha(png, 0xFF, PNG_FILLER_AFTER);
    const int passes = png_set_interlace_handling(png);
    png_read_update_info(png, info);
    if (png_get_rowbytes(png, info) > row->size()) png_error(png, "unexpected row size");
    // image: room for every row (of 4 bytes a pixel), filled pass by pass.
    for (int p = 0; p < passes; ++p)
        for (png_uint_32 y = 0; y < h; ++y)
            png_read_row(png, image ? image + std::size_t(y) * w * 4 : row->data(), nullptr);
    png_read_end(png, nullptr);
    out->width = int(w);
    out->height = int(h);
    png_destroy_read_struct(&png, &info, nullptr);
    return true;
}

std::uint32_t big_endian(const std::string& bytes, std::size_t at) {
    std::uint32_t v = 0;
    for (std::size_t k = 0; k < 4; ++k) v = (v << 8) | static_cast<unsigned char>(bytes[at + k]);
    return v;
}

// Walks the chunks up to IEND: each must fit in the bytes there are, before
// libpng allocates anything for one. Answers the problem, or empty.
std::string chunk_problem(const std::string& bytes) {
    for (std::size_t at = 8; at < bytes.size();) {
        if (bytes.size() - at < 12) break;
        const std::uint32_t length = big_endian(bytes, at);
        const std::string type = bytes.substr(at + 4, 4);
        if (length > bytes.size() - at - 12) {
            std::string printable;
            for (const char c : type) printable += std::isalpha(static_cast<unsigned char>(c)) ? c : '?';
            return "damaged PNG image (a " + printable + " chunk of " + std::to_string(length) +
                   " bytes in a file of " + std::to_string(bytes.size()) + ")";
        }
        at += 12 + std::size_t(length);
        if (type == "IEND") return {};
    }
    return "damaged PNG image (the file ends early)";
}

}  // namespace

png_check check_png(const std::string& bytes, int max_side) {
    png_check out;
    if (bytes.size() < 8 || png_sig_cmp(reinterpret_cast<png_const_bytep>(bytes.data()), 0, 8) != 0) {
        out.error = "not a PNG image";
        return out;
    }
    if (std::string problem = chunk_problem(bytes); !problem.empty()) {
        out.error = std::move(problem);
        return out;
    }
    memory_reader in{&bytes, 0};
    std::vector<unsigned char> row(std::size_t(max_side) * 4);
    char error[160] = "damaged PNG image";
    if (!decode_rows(&in, &out, max_side, &row, &error)) {
        out = {};
        out.error = error;
    }
    return out;
}

decoded_png decode_png(const std::string& bytes, int max_side) {
    const png_check check = check_png(bytes, max_side);
    if (!check.error.empty()) throw machine_error("PNG import: " + check.error);
    decoded_png image;
    image.rgba.resize(std::size_t(check.width) * std::size_t(check.height) * 4);
    memory_reader in{&bytes, 0};
    std::vector<unsigned char> row(std::size_t(check.width) * 4);
    char error[160] = "damaged PNG image";
    png_check again;
    if (!decode_rows(&in, &again, max_side, &row, &error, image.rgba.data()) || again.width != check.width ||
        again.height != check.height)
        throw machine_error(std::string("PNG import: ") + error);
    image.width = check.width;
    image.height = check.height;
    return image;
}

}  // namespace sf::app
