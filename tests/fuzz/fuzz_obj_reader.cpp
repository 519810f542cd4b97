// The OBJ reader on any text: it reads or throws io_error, and what it reads
// is a consistent layer with finite points.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "formats/file_io.h"
#include "formats/obj_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    sf::formats::mesh_layer layer;
    try {
        sf::formats::read_obj_text(std::string_view(reinterpret_cast<const char*>(data), size), "fuzz.obj", layer);
    } catch (const sf::formats::io_error&) {
        if (layer.point_count() != 0 || layer.polygon_count() != 0) std::abort();
        return 0;
    }
    for (const double v : layer.point_coordinates())
        if (!std::isfinite(v)) std::abort();
    for (sf::formats::index_t p = 0; p < layer.polygon_count(); ++p)
        for (const sf::formats::index_t i : layer.polygon_points(p))
            if (i >= layer.point_count()) std::abort();
    return 0;
}
