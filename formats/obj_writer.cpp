#include "formats/obj_writer.h"

namespace sf::formats {

void write_obj(const mesh_layer& layer, byte_sink& sink) {
    text_buffer out(sink);
    out.put("# sylvaform\n");
    const std::span<const double> xyz = layer.point_coordinates();
    for (std::size_t i = 0; i < xyz.size(); i += 3) {
        out.put("v ");
        out.put_double(xyz[i]);
        out.put(' ');
        out.put_double(xyz[i + 1]);
        out.put(' ');
        out.put_double(xyz[i + 2]);
        out.put('\n');
    }
    const index_t n = layer.polygon_count();
    for (index_t p = 0; p < n; ++p) {
        const std::span<const index_t> pts = layer.polygon_points(p);
        if (pts.empty()) continue;  // OBJ has no empty element
        out.put(pts.size() == 1 ? "p" : pts.size() == 2 ? "l" : "f");
        for (const index_t i : pts) {
            out.put(' ');
            out.put_uint(std::uint64_t(i) + 1);
        }
        out.put('\n');
    }
    out.flush();
}

}  // namespace sf::formats
