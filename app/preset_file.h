// Preset files of the presets shelf: one file per preset holding its name,
// the tool's item stream, the values of the panel controls that stream does
// not hold, and its thumbnail, checked whole before use.
//
// Layout (all numbers little-endian):
//   "SFPRESET"              8 bytes
//   version                 u32, 3 with a crown, else 2 (1: written
//                           before the panel values)
//   name length, name       u32 (1..64), bytes
//   item count              u32, 63
//   items                   per item: tag 'I' (32-bit integer) or 'F'
//                           (32-bit float), then its 4 bytes
//   panel values            version 2 only: u32 block version (1), u32
//                           count (0..32), then per value u32 control id,
//                           tag 'I' and 4 bytes or tag 'D' (64-bit float)
//                           and 8 bytes
//   crown                   version 3 only: u32 block version (1), u32
//                           name length (0..255), name, u32 point count
//                           (1..k_crown_points_max), u32 polygon count
//                           (1..k_crown_polygons_max), u32 corner count
//                           (1..k_crown_corners_max), points (3 64-bit
//                           floats each), per polygon its u32 corner count,
//                           then every corner's u32 point index
//   thumbnail size          u32 width, u32 height (128, 128)
//   thumbnail               width × height × 3 floats, row by row, RGB
//   checksum                u32, CRC-32 of every byte before it
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "formats/errors.h"

namespace sf::app {

constexpr std::uint32_t k_preset_version = 3;  // written only with a crown; 2 without
constexpr std::uint32_t k_crown_block_version = 1;
constexpr std::uint32_t k_panel_values_version = 1;
constexpr std::size_t k_panel_values_max = 32;
constexpr std::uint32_t k_preset_items = 63;
constexpr int k_thumbnail_size = 128;
constexpr std::size_t k_preset_name_max = 64;
// A crown a preset keeps: at most 4.5 MiB of points, polygons and corners.
constexpr std::size_t k_crown_points_max = 65536;
constexpr std::size_t k_crown_polygons_max = 131072;
constexpr std::size_t k_crown_corners_max = 524288;
constexpr std::size_t k_crown_name_max = 255;
constexpr double k_crown_coordinate_max = 1e9;
inline constexpr const char* k_preset_extension = ".sfpreset";

// A preset name or file that cannot be used; the message is one line.
class preset_error : public input_error {
public:
    using input_error::input_error;
};

enum class item_tag : std::uint8_t { i4 = 'I', fp = 'F' };

struct preset_item {
    item_tag tag;
    std::uint32_t bits;  // the integer, or the float's bit pattern
};

// A panel control's value that the tool's own stream does not hold; the
// host saves it beside the stream and sets it back through the panel.
enum class value_tag : std::uint8_t { i4 = 'I', f8 = 'D' };

struct panel_value {
    std::uint32_t id;
    value_tag tag;
    std::uint64_t bits;  // the integer in the low 32 bits, or the double's bit pattern
};

// The crown mesh a preset grows in, as the background layer holds it (+Y
// up): points x, y, z in turn; each polygon's corner count; the corners'
// point indices, polygon after polygon.
struct preset_crown {
    std::string name;  // the file it came from, for people to read
    std::vector<double> xyz;
    std::vector<std::uint32_t> counts;
    std::vector<std::uint32_t> corners;
};

struct preset_data {
    std::string name;
    std::vector<preset_item> items;
    std::vector<float> thumbnail;  // k_thumbnail_size² × 3
    std::vector<panel_value> panel_values{};  // none in files of version 1
    std::optional<preset_crown> crown{};      // none in files before version 3
};

// The largest files the shelf reads: a preset's own part is under 200 KiB,
// a crown adds up to 4.5 MiB.
constexpr std::uintmax_t k_shelf_preset_max = std::uintmax_t(6) << 20;
constexpr std::uintmax_t k_shelf_png_max = std::uintmax_t(1) << 20;

// A file of the shelf, opened without following a link: none when nothing
// is there; throws preset_error (one line naming the file) when it is a
// link, not a regular file, larger than max_bytes or unreadable.
std::optional<std::string> read_shelf_file(const std::string& path, std::uintmax_t max_bytes);

// Throws preset_error unless the name is 1 to 64 printable ASCII characters,
// without '/' and not starting with '.'.
void check_preset_name(const std::string& name);

// The file name (without extension) that stores a checked name: letters,
// digits, '-', '_' and '.' stay, every other byte becomes %XX.
std::string preset_file_stem(const std::string& name);

std::uint32_t crc32(std::string_view bytes);

// Throws preset_error for a crown beyond the bounds above, whose counts
// disagree, whose corners name missing points or whose coordinates are not
// finite or beyond k_crown_coordinate_max; what names it in the message.
void check_preset_crown(const preset_crown& crown, const std::string& what);

// Throws preset_error for a float item that is NaN or infinite, and for a
// crown check_preset_crown refuses.
std::string encode_preset(const preset_data& preset);

// Checks the whole file (size, magic, version, name, counts, tags, float
// items that are NaN or infinite, the crown, and checksum) before anything is taken
// from it; where names the file in the error message.
preset_data decode_preset(std::string_view bytes, const std::string& where);

}  // namespace sf::app
