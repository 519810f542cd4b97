#include "formats/crown_reader.h"

#include <sys/stat.h>

#include <assimp/DefaultIOSystem.h>
#include <assimp/Importer.hpp>
#include <assimp/postprocess.h>
#include <assimp/scene.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <set>
#include <string_view>
#include <vector>

#include "formats/file_io.h"
#include "formats/obj_reader.h"

namespace sf::formats {

namespace {

[[noreturn]] void fail(const std::string& path, const std::string& what) { throw io_error(path + ": " + what); }

// Assimp's messages may span lines; ours are one line.
std::string one_line(std::string_view text) {
    std::string s;
    for (const char c : text) s += (c == '\n' || c == '\r' || c == '\t') ? ' ' : c;
    const auto first = s.find_first_not_of(' ');
    if (first == std::string::npos) return "unknown error";
    s.erase(0, first);
    s.erase(s.find_last_not_of(' ') + 1);
    return s;
}

bool is_obj(const std::string& path) {
    std::string ext = std::filesystem::path(path).extension().string();
    std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    return ext == ".obj";
}

std::uint64_t file_size(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) fail(path, std::string("cannot read crown: ") + std::strerror(errno));
    if (!S_ISREG(st.st_mode)) fail(path, "cannot read crown: not a regular file");
    return static_cast<std::uint64_t>(st.st_size);
}

// Up to n bytes from the start of the file.
std::string read_prefix(const std::string& path, std::size_t n, std::uint64_t offset = 0) {
    std::ifstream in(path, std::ios::binary);
    std::string s(n, '\0');
    in.seekg(static_cast<std::streamoff>(offset));
    in.read(s.data(), static_cast<std::streamsize>(n));
    s.resize(in ? n : static_cast<std::size_t>(std::max<std::streamsize>(in.gcount(), 0)));
    return s;
}

// A PLY header names each element's count before any data; every element
// takes at least one byte, so no count may exceed the file's size.
void check_ply_header(const std::string& path, std::uint64_t size) {
    const std::string head = read_prefix(path, 1 << 16);
    if (head.compare(0, 3, "ply") != 0 && head.compare(0, 3, "PLY") != 0) return;
    std::uint64_t total = 0;
    std::size_t pos = 0;
    while (pos < head.size()) {
        std::size_t nl = head.find('\n', pos);
        if (nl == std::string::npos) nl = head.size();
        std::string_view line(head.data() + pos, nl - pos);
        pos = nl + 1;
        if (line.substr(0, 10) == "end_header") return;
        if (line.substr(0, 8) != "element ") continue;
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.remove_suffix(1);
        const std::size_t sp = line.rfind(' ');
        const std::string_view count = line.substr(sp + 1);
        std::uint64_t n = 0;
        const auto [ptr, ec] = std::from_chars(count.data(), count.data() + count.size(), n);
        if (ec != std::errc() || ptr != count.data() + count.size() || n > size || (total += n) > size)
            fail(path, "cannot read crown: PLY element count '" + std::string(count) + "' exceeds the file's size");
    }
}

// glTF accessors give element counts that a reader allocates; a count larger
// than the bytes of the file and its external buffers is refused.
void check_gltf(const std::string& path, std::uint64_t size) {
    const std::string magic = read_prefix(path, 4);
    std::string ext = std::filesystem::path(path).extension().string();
    std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    std::string text;
    if (magic == "glTF") {
        const std::string h = read_prefix(path, 20);
        if (h.size() < 20) fail(path, "cannot read crown: truncated GLB header");
        std::uint32_t len = 0;
        std::memcpy(&len, h.data() + 12, 4);  // little-endian on every supported target
        if (h.compare(16, 4, "JSON") != 0 || len > size - 20) fail(path, "cannot read crown: bad GLB JSON chunk");
        text = read_prefix(path, len, 20);
    } else if (ext == ".gltf") {
        text = read_file(path);
    } else {
        return;
    }
    const nlohmann::json doc = nlohmann::json::parse(text, nullptr, false);
    if (doc.is_discarded() || !doc.is_object()) fail(path, "cannot read crown: glTF JSON does not parse");
    std::uint64_t budget = size;
    if (const auto b = doc.find("buffers"); b != doc.end() && b->is_array()) {
        const std::filesystem::path dir = std::filesystem::path(path).parent_path();
        for (const auto& buf : *b) {
            const auto uri = buf.find("uri");
            if (uri == buf.end() || !uri->is_string()) continue;
            const std::string u = uri->get<std::string>();
            if (u.rfind("data:", 0) == 0) continue;
            std::error_code ec;
            const auto n = std::filesystem::file_size(dir / u, ec);
            if (!ec) budget += n;
        }
    }
    std::uint64_t total = 0;
    if (const auto a = doc.find("accessors"); a != doc.end() && a->is_array()) {
        for (std::size_t i = 0; i < a->size(); ++i) {
            const auto c = (*a)[i].find("count");
            if (c == (*a)[i].end()) continue;
            const bool ok = c->is_number_unsigned() && c->get<std::uint64_t>() <= budget &&
                            (total += c->get<std::uint64_t>()) <= 8 * budget;
            if (!ok) fail(path, "cannot read crown: glTF accessor " + std::to_string(i) + " count exceeds the file's data");
        }
    }
}

// Assimp's file access, limited in total bytes: every file it opens (the
// scene and its external buffers) counts once.
class bounded_io final : public Assimp::DefaultIOSystem {
public:
    Assimp::IOStream* Open(const char* file, const char* mode = "rb") override {
        struct stat st {};
        if (file && ::stat(file, &st) == 0 && S_ISREG(st.st_mode) && opened_.insert(file).second) {
            bytes_ += static_cast<std::uint64_t>(st.st_size);
            if (bytes_ > k_max_crown_bytes) return nullptr;
        }
        return Assimp::DefaultIOSystem::Open(file, mode);
    }
    std::uint64_t bytes() const { return bytes_; }

private:
    std::set<std::string> opened_;
    std::uint64_t bytes_ = 0;
};

using matrix = std::array<double, 12>;  // rows of an affine 3x4 transform

matrix to_matrix(const aiMatrix4x4& m) {
    return {m.a1, m.a2, m.a3, m.a4, m.b1, m.b2, m.b3, m.b4, m.c1, m.c2, m.c3, m.c4};
}

matrix multiply(const matrix& p, const matrix& c) {
    matrix r{};
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 4; ++j) {
            double v = p[i * 4 + 0] * c[0 + j] + p[i * 4 + 1] * c[4 + j] + p[i * 4 + 2] * c[8 + j];
            if (j == 3) v += p[i * 4 + 3];
            r[i * 4 + j] = v;
        }
    }
    return r;
}

struct instance {
    const aiMesh* mesh;
    matrix transform;
};

// Mesh instances of the node tree, depth first in child order.
std::vector<instance> scene_instances(const aiScene& scene) {
    std::vector<instance> out;
    std::vector<std::pair<const aiNode*, matrix>> stack;
    constexpr matrix identity{1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0};
    if (scene.mRootNode) stack.emplace_back(scene.mRootNode, multiply(identity, to_matrix(scene.mRootNode->mTransformation)));
    while (!stack.empty()) {
        const auto [node, m] = stack.back();
        stack.pop_back();
        for (unsigned i = 0; i < node->mNumMeshes; ++i) out.push_back({scene.mMeshes[node->mMeshes[i]], m});
        for (unsigned i = node->mNumChildren; i-- > 0;) {
            const aiNode* child = node->mChildren[i];
            stack.emplace_back(child, multiply(m, to_matrix(child->mTransformation)));
        }
    }
    return out;
}

void read_with_assimp(const std::string& path, std::uint64_t size, mesh_layer& layer) {
    check_ply_header(path, size);
    check_gltf(path, size);

    Assimp::Importer importer;
    auto* io = new bounded_io;  // owned by the importer
    importer.SetIOHandler(io);
    // No triangulation, no vertex joining: polygons keep their points and order.
    const aiScene* scene = importer.ReadFile(path, aiProcess_ValidateDataStructure);
    if (!scene) fail(path, "cannot read crown: " + one_line(importer.GetErrorString()));

    const std::vector<instance> instances = scene_instances(*scene);
    // Instancing may repeat a mesh; the points and corners produced stay
    // within a small multiple of the bytes read.
    const std::uint64_t limit = 2 * std::max(io->bytes(), size) + 1024;
    std::uint64_t points = 0, corners = 0;
    for (const instance& in : instances) {
        points += in.mesh->mNumVertices;
        for (unsigned f = 0; f < in.mesh->mNumFaces; ++f) corners += in.mesh->mFaces[f].mNumIndices;
        if (points + corners > limit || points > k_max_index)
            fail(path, "cannot read crown: scene larger than its file could hold");
    }

    std::vector<index_t> ids;
    for (const instance& in : instances) {
        const aiMesh& mesh = *in.mesh;
        const matrix& m = in.transform;
        const index_t base = layer.point_count();
        for (unsigned v = 0; v < mesh.mNumVertices; ++v) {
            const double x = mesh.mVertices[v].x, y = mesh.mVertices[v].y, z = mesh.mVertices[v].z;
            const double p[3] = {m[0] * x + m[1] * y + m[2] * z + m[3], m[4] * x + m[5] * y + m[6] * z + m[7],
                                 m[8] * x + m[9] * y + m[10] * z + m[11]};
            if (!std::isfinite(p[0]) || !std::isfinite(p[1]) || !std::isfinite(p[2]))
                fail(path, "cannot read crown: non-finite coordinate");
            layer.add_point(p[0], p[1], p[2]);
        }
        for (unsigned f = 0; f < mesh.mNumFaces; ++f) {
            const aiFace& face = mesh.mFaces[f];
            ids.clear();
            for (unsigned k = 0; k < face.mNumIndices; ++k) {
                if (face.mIndices[k] >= mesh.mNumVertices) fail(path, "cannot read crown: face index out of range");
                ids.push_back(base + face.mIndices[k]);
            }
            if (!ids.empty()) layer.add_polygon(LWPOLTYPE_FACE, k_none, ids);
        }
    }
}

// (x, y, z) -> (x, z, -y), rebuilding the layer (it holds only points and
// untagged polygons here).
void turn_z_up(mesh_layer& layer) {
    mesh_layer turned;
    for (index_t i = 0; i < layer.point_count(); ++i) {
        const double* p = layer.point(i);
        turned.add_point(p[0], p[2], -p[1]);
    }
    for (index_t i = 0; i < layer.polygon_count(); ++i)
        turned.add_polygon(layer.polygon_type(i), layer.polygon_surface(i), layer.polygon_points(i));
    layer = std::move(turned);
}

}  // namespace

void read_crown(const std::string& path, mesh_layer& layer, crown_up up) {
    layer.clear();
    try {
        const std::uint64_t size = file_size(path);
        // A crown without a usable polygon is read as it is: the tool itself
        // answers that it needs something in the background.
        if (size > k_max_crown_bytes) fail(path, "cannot read crown: larger than 512 MiB");
        if (is_obj(path))
            read_obj(path, layer);
        else if (size == 0)
            fail(path, "cannot read crown: empty file");
        else
            read_with_assimp(path, size, layer);
        if (up == crown_up::z) turn_z_up(layer);
    } catch (const io_error&) {
        layer.clear();
        throw;
    } catch (const std::bad_alloc&) {
        layer.clear();
        fail(path, "cannot read crown: out of memory");
    } catch (const std::exception& e) {
        layer.clear();
        fail(path, "cannot read crown: " + one_line(e.what()));
    }
}

}  // namespace sf::formats
