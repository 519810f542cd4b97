// The crown reader's answer decoder on any bytes: it accepts only answers
// that encode back to the same bytes, with indices in range and coordinates
// finite and bounded, and leaves the layer empty otherwise.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "formats/crown_wire.h"

using namespace sf::formats;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view in(reinterpret_cast<const char*>(data), size);
    mesh_layer layer;
    crown_answer answer;
    try {
        answer = decode_crown_answer(in, layer);
    } catch (const crown_wire_error&) {
        if (layer.point_count() != 0 || layer.polygon_count() != 0) std::abort();
        return 0;
    }
    if (answer.kind != crown_answer_kind::polygons) {
        if (encode_crown_refusal(answer.kind, answer.reason) != in) std::abort();
        return 0;
    }
    if (encode_crown_polygons(layer) != in) std::abort();
    for (const double v : layer.point_coordinates())
        if (!std::isfinite(v) || std::fabs(v) > k_max_crown_coordinate) std::abort();
    return 0;
}
