// Crown files of any bytes read through the reader process, as PLY, STL,
// glTF or GLB (chosen by the first byte). The parent must never crash or
// hang, must take only checked polygons, and must leave no file behind.
// SF_CROWN_READER names the program that runs as the child.
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "formats/crown_child.h"
#include "formats/crown_reader.h"
#include "formats/crown_wire.h"
#include "formats/file_io.h"

using namespace sf::formats;
namespace fs = std::filesystem;

namespace {

const fs::path& work_dir() {
    static const fs::path dir = [] {
        const char* reader = std::getenv("SF_CROWN_READER");
        if (!reader) {
            std::fprintf(stderr, "set SF_CROWN_READER to the sylvaform program\n");
            std::abort();
        }
        set_crown_reader_program(reader);
        set_crown_child_limits({5, std::uint64_t(1) << 30});
        std::string pattern = (fs::temp_directory_path() / "sylvaform-fuzz-XXXXXX").string();
        if (!::mkdtemp(pattern.data())) std::abort();
        return fs::path(pattern);
    }();
    return dir;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    static const char* const k_ext[] = {".ply", ".stl", ".gltf", ".glb"};
    const fs::path path = work_dir() / (std::string("crown") + k_ext[data[0] % 4]);
    {
        std::ofstream out(path, std::ios::binary);
        out.write(reinterpret_cast<const char*>(data + 1), std::streamsize(size - 1));
    }
    mesh_layer layer;
    try {
        read_crown(path.string(), layer, crown_up::y, crown_source::upload);
        for (const double v : layer.point_coordinates())
            if (!std::isfinite(v) || std::fabs(v) > k_max_crown_coordinate) std::abort();
        for (index_t p = 0; p < layer.polygon_count(); ++p)
            for (const index_t i : layer.polygon_points(p))
                if (i >= layer.point_count()) std::abort();
    } catch (const io_error& e) {
        if (std::string(e.what()).find('\n') != std::string::npos) std::abort();
    }
    fs::remove(path);
    if (!fs::is_empty(work_dir())) std::abort();
    return 0;
}
