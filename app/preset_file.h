// Preset files of the presets shelf: one file per preset holding its name,
// the tool's item stream and its thumbnail, checked whole before use.
//
// Layout (all numbers little-endian):
//   "SFPRESET"              8 bytes
//   version                 u32, 1
//   name length, name       u32 (1..64), bytes
//   item count              u32, 63
//   items                   per item: tag 'I' (32-bit integer) or 'F'
//                           (32-bit float), then its 4 bytes
//   thumbnail size          u32 width, u32 height (128, 128)
//   thumbnail               width × height × 3 floats, row by row, RGB
//   checksum                u32, CRC-32 of every byte before it
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace sf::app {

constexpr std::uint32_t k_preset_version = 1;
constexpr std::uint32_t k_preset_items = 63;
constexpr int k_thumbnail_size = 128;
constexpr std::size_t k_preset_name_max = 64;
inline constexpr const char* k_preset_extension = ".sfpreset";

// A preset name or file that cannot be used; the message is one line.
class preset_error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

enum class item_tag : std::uint8_t { i4 = 'I', fp = 'F' };

struct preset_item {
    item_tag tag;
    std::uint32_t bits;  // the integer, or the float's bit pattern
};

struct preset_data {
    std::string name;
    std::vector<preset_item> items;
    std::vector<float> thumbnail;  // k_thumbnail_size² × 3
};

// Throws preset_error unless the name is 1 to 64 printable ASCII characters,
// without '/' and not starting with '.'.
void check_preset_name(const std::string& name);

// The file name (without extension) that stores a checked name: letters,
// digits, '-', '_' and '.' stay, every other byte becomes %XX.
std::string preset_file_stem(const std::string& name);

std::uint32_t crc32(std::string_view bytes);

// Throws preset_error for a float item that is NaN or infinite.
std::string encode_preset(const preset_data& preset);

// Checks the whole file (size, magic, version, name, counts, tags, float
// items that are NaN or infinite, and checksum) before anything is taken
// from it; where names the file in the error message.
preset_data decode_preset(std::string_view bytes, const std::string& where);

}  // namespace sf::app
