// PNG export of the host's float RGB images.
#pragma once

#include <string>
#include <vector>

namespace sf::app {

// An 8-bit RGB PNG of a width × height image of float RGB triples, row by
// row; channels are clamped to 0..1 (NaN as 0). Throws machine_error.
std::string encode_png(const float* rgb, int width, int height);

// An 8-bit PNG of width × height pixels of 4 bytes (RGBA) or 3 (RGB)
// each, row by row from the top, compressed at zlib level `level` (1-9).
// Throws machine_error.
std::string encode_png_8bit(const unsigned char* pixels, int width, int height, bool alpha, int level);

// Decodes a whole PNG file held in memory to check it: the answer is its
// size, or the reason it cannot be used (not a PNG, damaged, or larger than
// max_side pixels on a side).
struct png_check {
    int width = 0, height = 0;
    bool has_alpha = false;
    std::string error;  // empty when the image is good
};
png_check check_png(const std::string& bytes, int max_side);

// A whole PNG file decoded to 8-bit RGBA (grey and palettes expanded,
// 16-bit channels cut to 8, opaque alpha added where there is none), row by
// row from the top. Throws machine_error for an image check_png refuses.
struct decoded_png {
    int width = 0, height = 0;
    std::vector<unsigned char> rgba;
};
decoded_png decode_png(const std::string& bytes, int max_side);

}  // namespace sf::app
