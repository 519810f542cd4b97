// The answer a crown reader process sends back: a small, versioned,
// length-prefixed record of points and polygons (or of a refusal), checked
// whole by the receiver before anything is taken from it.
//
// Layout (all numbers little-endian):
//   "SFCROWN1"                8 bytes
//   version                   u32, 1
//   kind                      u32: 0 polygons, 1 refusal, 2 out of memory
//   body length               u64, the bytes that follow, exactly
// polygons:
//   point count P, polygon count F        u32, u32
//   corner count C                         u64
//   P × (x, y, z)                          f64 each
//   F polygon sizes                        u32 each, 1 or more, summing to C
//   C point indices                        u32 each, below P
// refusal:
//   reason text                            1 to 512 printable bytes
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

#include "formats/errors.h"
#include "formats/mesh_layer.h"

namespace sf::formats {

constexpr std::uint32_t k_crown_wire_version = 1;

// Coordinates beyond this magnitude (model units) are refused: growth then
// stays far from overflow.
constexpr double k_max_crown_coordinate = 1e9;

// The largest answer a receiver takes.
constexpr std::uint64_t k_max_crown_answer = std::uint64_t(1) << 30;

enum class crown_answer_kind : std::uint32_t { polygons = 0, refusal = 1, out_of_memory = 2 };

// A decoded answer: the polygons (in layer) or why the reader refused.
struct crown_answer {
    crown_answer_kind kind = crown_answer_kind::refusal;
    std::string reason;
};

// An answer that breaks the layout; the message is one line.
class crown_wire_error : public machine_error {
public:
    using machine_error::machine_error;
};

// The layer's points and polygons ('FACE' polygons only; tags and maps are
// not carried).
std::string encode_crown_polygons(const mesh_layer& layer);
// A refusal; the text is cut to one printable line of at most 512 bytes.
std::string encode_crown_refusal(crown_answer_kind kind, std::string_view reason);

// Checks the whole answer: magic, version, kind, length, counts against the
// length, sizes, every index below the point count, every coordinate finite
// and within k_max_crown_coordinate. Only then are polygons put into the
// layer (which is cleared first). Throws crown_wire_error.
crown_answer decode_crown_answer(std::string_view bytes, mesh_layer& layer);

}  // namespace sf::formats
