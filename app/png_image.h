// PNG export of the host's float RGB images.
#pragma once

#include <string>

namespace sf::app {

// An 8-bit RGB PNG of a width × height image of float RGB triples, row by
// row; channels are clamped to 0..1 (NaN as 0). Throws std::runtime_error.
std::string encode_png(const float* rgb, int width, int height);

}  // namespace sf::app
