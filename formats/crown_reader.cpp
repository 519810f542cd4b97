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
#include <cstdio>
#include <cctype>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <set>
#include <string_view>
#include <vector>

#include "formats/crown_child.h"
#include "formats/crown_wire.h"
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

// Bytes of one value of a PLY property type; 0 for an unknown name.
std::uint64_t ply_type_size(std::string_view t) {
    if (t == "char" || t == "uchar" || t == "int8" || t == "uint8") return 1;
    if (t == "short" || t == "ushort" || t == "int16" || t == "uint16") return 2;
    if (t == "int" || t == "uint" || t == "float" || t == "int32" || t == "uint32" || t == "float32") return 4;
    if (t == "double" || t == "float64") return 8;
    return 0;
}

std::vector<std::string_view> words(std::string_view line) {
    std::vector<std::string_view> out;
    std::size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t' || line[i] == '\r')) ++i;
        std::size_t j = i;
        while (j < line.size() && line[j] != ' ' && line[j] != '\t' && line[j] != '\r') ++j;
        if (j > i) out.push_back(line.substr(i, j - i));
        i = j;
    }
    return out;
}

// A PLY header names each element's count before any data. Every count must
// fit in the file (each record takes at least one byte, or its fixed size in
// a binary file), the header must end in a proper end_header line, and an
// ASCII file must hold a line for every record it declares.
void check_ply_header(const std::string& path, std::uint64_t size) {
    const std::string head = read_prefix(path, 1 << 16);
    if (head.compare(0, 3, "ply") != 0 && head.compare(0, 3, "PLY") != 0) return;
    std::uint64_t total = 0, least_bytes = 0, record_bytes = 0, count = 0;
    bool ascii = false, ended = false;
    std::size_t pos = 0;
    const auto end_element = [&] { least_bytes += count * std::max<std::uint64_t>(record_bytes, 1); };
    while (pos < head.size()) {
        const std::size_t nl = head.find('\n', pos);
        if (nl == std::string::npos) break;
        const std::string_view line(head.data() + pos, nl - pos);
        pos = nl + 1;
        const std::vector<std::string_view> w = words(line);
        if (w.empty()) continue;
        if (w[0] == "end_header") {
            if (w.size() != 1 || line.substr(0, 10) != "end_header")
                fail(path, "cannot read crown: damaged PLY end_header line");
            ended = true;
            break;
        }
        if (w[0] == "format" && w.size() >= 2) ascii = w[1] == "ascii";
        if (w[0] == "property" && w.size() >= 3) {
            const bool list = w[1] == "list" && w.size() >= 4;
            const std::uint64_t n = ply_type_size(list ? w[2] : w[1]);
            if (n == 0) fail(path, "cannot read crown: PLY property type '" + std::string(list ? w[2] : w[1]) + "' unknown");
            record_bytes += n;
        }
        if (w[0] != "element") continue;
        end_element();
        record_bytes = 0;
        const std::string_view c = w.back();
        count = 0;
        const auto [ptr, ec] = std::from_chars(c.data(), c.data() + c.size(), count);
        if (w.size() != 3 || ec != std::errc() || ptr != c.data() + c.size() || count > size || (total += count) > size)
            fail(path, "cannot read crown: PLY element count '" + std::string(c) + "' exceeds the file's size");
    }
    if (!ended) fail(path, "cannot read crown: PLY header without an end_header line");
    end_element();
    const std::uint64_t body = size - pos;
    if (!ascii) {
        if (least_bytes > body)
            fail(path, "cannot read crown: PLY header declares more data than the file holds");
        return;
    }
    // One record a line: count the lines that hold something.
    std::ifstream in(path, std::ios::binary);
    in.seekg(static_cast<std::streamoff>(pos));
    std::uint64_t lines = 0;
    bool filled = false;
    std::string chunk(1 << 16, '\0');
    while (in.read(chunk.data(), static_cast<std::streamsize>(chunk.size())) || in.gcount() > 0) {
        for (std::streamsize i = 0; i < in.gcount(); ++i) {
            const char ch = chunk[std::size_t(i)];
            if (ch == '\n') {
                lines += filled;
                filled = false;
            } else if (ch != ' ' && ch != '\t' && ch != '\r') {
                filled = true;
            }
        }
    }
    lines += filled;
    if (lines < total)
        fail(path, "cannot read crown: PLY header declares " + std::to_string(total) + " records, the file holds " +
                       std::to_string(lines));
}

std::uint64_t json_uint(const nlohmann::json& obj, const char* key, std::uint64_t fallback = 0) {
    const auto it = obj.find(key);
    if (it == obj.end()) return fallback;
    if (!it->is_number_unsigned()) throw std::runtime_error(std::string("glTF '") + key + "' is not a whole number");
    return it->get<std::uint64_t>();
}

// Percent-decoded URI path, as a file name.
std::string uri_path(const std::string& uri) {
    std::string out;
    for (std::size_t i = 0; i < uri.size(); ++i) {
        const auto hex = [](char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; };
        if (uri[i] == '%' && i + 2 < uri.size() && hex(uri[i + 1]) && hex(uri[i + 2])) {
            out += char(std::stoi(uri.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else {
            out += uri[i];
        }
    }
    return out;
}

// The canonical path of a file that must lie in dir (itself canonical).
// Empty (with why set) when it is absent, leaves dir or is not regular.
std::string inside_folder(const std::filesystem::path& dir, const std::filesystem::path& file, std::string& why) {
    std::error_code ec;
    const std::filesystem::path real = std::filesystem::canonical(file, ec);
    if (ec) {
        why = "does not exist";
        return {};
    }
    const std::string d = dir.string(), r = real.string();
    if (r.size() <= d.size() || r.compare(0, d.size(), d) != 0 || (d.back() != '/' && r[d.size()] != '/')) {
        why = "leads out of the crown's folder";
        return {};
    }
    struct stat st {};
    if (::stat(r.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
        why = "is not a regular file";
        return {};
    }
    return r;
}

// Checks an external glTF reference: inside the crown's folder, a regular
// file. Returns its size (0 for a missing image, which is never read).
std::uint64_t check_reference(const std::string& path, const std::string& uri, crown_source source, bool required) {
    const std::string quoted = "'" + one_line(uri.substr(0, 200)) + "'";
    if (source == crown_source::upload)
        fail(path, "cannot read crown: an uploaded glTF must hold its data (a GLB, or data: URIs) but refers to " + quoted);
    const std::string name = uri_path(uri);
    const std::filesystem::path rel(name);
    bool up = false;
    for (const auto& part : rel) up = up || part == "..";
    if (rel.is_absolute() || up || name.find(':') != std::string::npos || name.find('\\') != std::string::npos)
        fail(path, "cannot read crown: external file " + quoted + " leaves the crown's folder");
    std::error_code ec;
    const std::filesystem::path dir = std::filesystem::canonical(std::filesystem::absolute(path).parent_path(), ec);
    if (ec) fail(path, "cannot read crown: cannot resolve the crown's folder");
    std::string why;
    const std::string real = inside_folder(dir, dir / rel, why);
    if (real.empty()) {
        if (!required && why == "does not exist") return 0;
        fail(path, "cannot read crown: external file " + quoted + " " + why);
    }
    return std::filesystem::file_size(real, ec);
}

// The depth of the node tree; a cycle or a depth above limit is refused.
void check_nodes(const std::string& path, const nlohmann::json& doc) {
    constexpr std::size_t k_max_depth = 256;
    const auto nodes = doc.find("nodes");
    if (nodes == doc.end() || !nodes->is_array()) return;
    const std::size_t n = nodes->size();
    std::vector<std::size_t> parents(n, 0);
    std::vector<std::size_t> parent(n, n);
    for (std::size_t i = 0; i < n; ++i) {
        const auto c = (*nodes)[i].find("children");
        if (c == (*nodes)[i].end()) continue;
        if (!c->is_array()) fail(path, "cannot read crown: glTF node children is not a list");
        for (const auto& k : *c) {
            if (!k.is_number_unsigned() || k.get<std::uint64_t>() >= n)
                fail(path, "cannot read crown: glTF node child index out of range");
            const std::size_t ki = k.get<std::size_t>();
            if (ki == i) fail(path, "cannot read crown: glTF nodes form a cycle");
            if (++parents[ki] > 1) fail(path, "cannot read crown: glTF node with two parents");
            parent[ki] = i;
        }
    }
    for (std::size_t i = 0; i < n; ++i) {
        std::size_t depth = 0;
        for (std::size_t at = parent[i]; at != n; at = parent[at]) {
            if (at == i) fail(path, "cannot read crown: glTF nodes form a cycle");
            if (++depth > k_max_depth)
                fail(path, "cannot read crown: glTF node tree deeper than " + std::to_string(k_max_depth) + " levels");
        }
    }
}

std::uint64_t component_bytes(std::uint64_t type) {
    switch (type) {
        case 5120: case 5121: return 1;
        case 5122: case 5123: return 2;
        case 5125: case 5126: return 4;
        default: return 0;
    }
}

std::uint64_t type_components(const std::string& t) {
    if (t == "SCALAR") return 1;
    if (t == "VEC2") return 2;
    if (t == "VEC3") return 3;
    if (t == "VEC4" || t == "MAT2") return 4;
    if (t == "MAT3") return 9;
    if (t == "MAT4") return 16;
    return 0;
}

// Every accessor (and sparse part) fits its buffer view, every view its
// buffer, every buffer the bytes that back it.
void check_accessors(const std::string& path, const nlohmann::json& doc, const std::vector<std::uint64_t>& held) {
    const auto list = [&](const char* key) {
        const auto it = doc.find(key);
        return it != doc.end() && it->is_array() ? *it : nlohmann::json::array();
    };
    const nlohmann::json buffers = list("buffers"), views = list("bufferViews"), accessors = list("accessors");
    std::vector<std::uint64_t> buffer_bytes;
    for (std::size_t i = 0; i < buffers.size(); ++i) {
        const std::uint64_t n = json_uint(buffers[i], "byteLength");
        if (n > held[i]) fail(path, "cannot read crown: glTF buffer " + std::to_string(i) + " is shorter than its byteLength");
        buffer_bytes.push_back(n);
    }
    std::vector<std::uint64_t> view_bytes;
    for (std::size_t i = 0; i < views.size(); ++i) {
        const std::uint64_t b = json_uint(views[i], "buffer", ~0ull), off = json_uint(views[i], "byteOffset"),
                            len = json_uint(views[i], "byteLength");
        if (b >= buffer_bytes.size() || off > buffer_bytes[b] || len > buffer_bytes[b] - off)
            fail(path, "cannot read crown: glTF buffer view " + std::to_string(i) + " lies outside its buffer");
        view_bytes.push_back(len);
    }
    const auto fits = [&](std::uint64_t view, std::uint64_t offset, std::uint64_t count, std::uint64_t element,
                          std::uint64_t stride) {
        if (view >= view_bytes.size() || element == 0) return false;
        if (count == 0) return offset <= view_bytes[view];
        const std::uint64_t step = std::max(stride, element);
        if (count > view_bytes[view] / step + 1) return false;
        return offset <= view_bytes[view] && (count - 1) * step + element <= view_bytes[view] - offset;
    };
    // Accessors without a view are zeros a reader allocates: bounded by the data too.
    std::uint64_t total = 0, budget = 0;
    for (const std::uint64_t n : held) budget += n;
    for (std::size_t i = 0; i < accessors.size(); ++i) {
        const nlohmann::json& a = accessors[i];
        const std::string bad = "cannot read crown: glTF accessor " + std::to_string(i);
        const std::uint64_t count = json_uint(a, "count");
        if (count > 8 * budget + 1024 || (total += count) > 8 * budget + 1024)
            fail(path, bad + " count exceeds the file's data");
        const std::uint64_t element =
            component_bytes(json_uint(a, "componentType")) * type_components(a.value("type", std::string()));
        if (element == 0) fail(path, bad + " has an unknown type");
        if (a.contains("bufferView")) {
            const std::uint64_t v = json_uint(a, "bufferView");
            const std::uint64_t stride = v < views.size() ? json_uint(views[v], "byteStride") : 0;
            if (!fits(v, json_uint(a, "byteOffset"), count, element, stride))
                fail(path, bad + " count exceeds the file's data");
        }
        const auto sparse = a.find("sparse");
        if (sparse == a.end()) continue;
        if (!sparse->is_object() || !sparse->contains("indices") || !sparse->contains("values"))
            fail(path, bad + " has a broken sparse part");
        const std::uint64_t n = json_uint(*sparse, "count");
        const nlohmann::json& ids = (*sparse)["indices"];
        const nlohmann::json& vals = (*sparse)["values"];
        if (n > count || !ids.is_object() || !vals.is_object() ||
            !fits(json_uint(ids, "bufferView", ~0ull), json_uint(ids, "byteOffset"), n,
                  component_bytes(json_uint(ids, "componentType")), 0) ||
            !fits(json_uint(vals, "bufferView", ~0ull), json_uint(vals, "byteOffset"), n, element, 0))
            fail(path, bad + " sparse count exceeds the file's data");
    }
}

// Faces a glTF's triangle primitives must give, one entry per primitive in
// the order Assimp makes meshes (0 for other modes: not checked).
std::vector<std::uint64_t> gltf_triangles(const nlohmann::json& doc) {
    std::vector<std::uint64_t> out;
    const auto meshes = doc.find("meshes");
    const auto accessors = doc.find("accessors");
    if (meshes == doc.end() || !meshes->is_array() || accessors == doc.end() || !accessors->is_array()) return out;
    for (const auto& m : *meshes) {
        const auto prims = m.find("primitives");
        if (prims == m.end() || !prims->is_array()) continue;
        for (const auto& p : *prims) {
            std::uint64_t faces = 0;
            if (p.value("mode", 4) == 4 && p.contains("indices") && p["indices"].is_number_unsigned() &&
                p["indices"].get<std::uint64_t>() < accessors->size())
                faces = json_uint((*accessors)[p["indices"].get<std::size_t>()], "count") / 3;
            out.push_back(faces);
        }
    }
    return out;
}

// glTF: external files checked and counted, every accessor inside the data
// that backs it, a node tree of bounded depth. Returns the triangles each
// primitive must give (see gltf_triangles), empty for other formats.
std::vector<std::uint64_t> check_gltf(const std::string& path, std::uint64_t size, crown_source source,
                                      std::uint64_t& external) {
    const std::string magic = read_prefix(path, 4);
    std::string ext = std::filesystem::path(path).extension().string();
    std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    std::string text;
    std::uint64_t bin = 0;  // the GLB's binary chunk
    if (magic == "glTF") {
        const std::string h = read_prefix(path, 20);
        if (h.size() < 20) fail(path, "cannot read crown: truncated GLB header");
        std::uint32_t len = 0;
        std::memcpy(&len, h.data() + 12, 4);  // little-endian on every supported target
        if (h.compare(16, 4, "JSON") != 0 || len > size - 20) fail(path, "cannot read crown: bad GLB JSON chunk");
        text = read_prefix(path, len, 20);
        const std::string b = read_prefix(path, 8, 20 + std::uint64_t(len));
        if (b.size() == 8 && b.compare(4, 4, std::string("BIN\0", 4)) == 0) {
            std::uint32_t n = 0;
            std::memcpy(&n, b.data(), 4);
            bin = std::min<std::uint64_t>(n, size - 28 - len);
        }
    } else if (ext == ".gltf") {
        text = read_file(path);
    } else {
        return {};
    }
    const nlohmann::json doc = nlohmann::json::parse(text, nullptr, false);
    if (doc.is_discarded() || !doc.is_object()) fail(path, "cannot read crown: glTF JSON does not parse");
    try {
        std::vector<std::uint64_t> held;
        if (const auto b = doc.find("buffers"); b != doc.end() && b->is_array()) {
            for (std::size_t i = 0; i < b->size(); ++i) {
                const auto& buf = (*b)[i];
                const auto uri = buf.find("uri");
                if (uri == buf.end()) {
                    held.push_back(i == 0 ? bin : 0);
                    continue;
                }
                if (!uri->is_string()) fail(path, "cannot read crown: glTF buffer uri is not text");
                const std::string u = uri->get<std::string>();
                if (u.rfind("data:", 0) == 0) {
                    const std::size_t comma = u.find(',');
                    held.push_back(comma == std::string::npos ? 0 : (u.size() - comma - 1) / 4 * 3);
                    continue;
                }
                const std::uint64_t n = check_reference(path, u, source, true);
                if ((external += n) > k_max_crown_bytes)
                    fail(path, "cannot read crown: external buffers larger than " + std::to_string(k_max_crown_bytes >> 20) + " MiB");
                held.push_back(n);
            }
        }
        if (const auto im = doc.find("images"); im != doc.end() && im->is_array()) {
            for (const auto& image : *im) {
                const auto uri = image.find("uri");
                if (uri == image.end() || !uri->is_string() || uri->get<std::string>().rfind("data:", 0) == 0) continue;
                check_reference(path, uri->get<std::string>(), source, false);
            }
        }
        check_nodes(path, doc);
        check_accessors(path, doc, held);
        return gltf_triangles(doc);
    } catch (const io_error&) {
        throw;
    } catch (const std::exception& e) {
        fail(path, std::string("cannot read crown: ") + e.what());
    }
}

// Assimp's file access: the crown itself and, for a file crown, regular
// files in its folder, limited in total bytes.
class folder_io final : public Assimp::DefaultIOSystem {
public:
    folder_io(const std::string& crown, crown_source source) : source_(source) {
        std::error_code ec;
        crown_ = std::filesystem::canonical(crown, ec).string();
        dir_ = std::filesystem::path(crown_).parent_path();
    }
    bool Exists(const char* file) const override { return !allowed(file).empty(); }
    Assimp::IOStream* Open(const char* file, const char* mode = "rb") override {
        if (!mode || std::string_view(mode).find_first_of("wa+") != std::string_view::npos) return nullptr;
        const std::string real = allowed(file);
        if (real.empty()) return nullptr;
        if (opened_.insert(real).second) {
            std::error_code ec;
            bytes_ += std::filesystem::file_size(real, ec);
            if (ec || bytes_ > 2 * k_max_crown_bytes) return nullptr;
        }
        return Assimp::DefaultIOSystem::Open(real.c_str(), mode);
    }
    std::uint64_t bytes() const { return bytes_; }

private:
    std::string allowed(const char* file) const {
        if (!file || crown_.empty()) return {};
        std::error_code ec;
        const std::string real = std::filesystem::canonical(file, ec).string();
        if (ec) return {};
        if (real == crown_) return real;
        if (source_ == crown_source::upload) return {};
        std::string why;
        return inside_folder(dir_, real, why);
    }

    crown_source source_;
    std::string crown_;
    std::filesystem::path dir_;
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

void read_with_assimp(const std::string& path, std::uint64_t size, crown_source source, mesh_layer& layer) {
    check_ply_header(path, size);
    std::uint64_t external = 0;
    const std::vector<std::uint64_t> triangles = check_gltf(path, size, source, external);

    Assimp::Importer importer;
    auto* io = new folder_io(path, source);  // owned by the importer
    importer.SetIOHandler(io);
    // No triangulation, no vertex joining: polygons keep their points and order.
    const aiScene* scene = importer.ReadFile(path, aiProcess_ValidateDataStructure);
    if (!scene) {
        // Assimp turns an exhausted address space into its error text.
        const std::string why = one_line(importer.GetErrorString());
        if (why.find("bad_alloc") != std::string::npos) throw std::bad_alloc();
        fail(path, "cannot read crown: " + why);
    }

    // Assimp drops glTF faces whose indices point past the mesh.
    if (!triangles.empty() && triangles.size() == scene->mNumMeshes)
        for (unsigned i = 0; i < scene->mNumMeshes; ++i)
            if (triangles[i] != 0 && scene->mMeshes[i]->mNumFaces != triangles[i])
                fail(path, "cannot read crown: a face index is out of range (mesh " + std::to_string(i) + ")");

    const std::vector<instance> instances = scene_instances(*scene);
    // Instancing may repeat a mesh; the points and corners produced stay
    // within a small multiple of the bytes read.
    const std::uint64_t limit = 2 * std::max(io->bytes(), size + external) + 1024;
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

// Growth works far from overflow only for coordinates of sane size.
void check_bound(const std::string& path, const mesh_layer& layer) {
    for (const double v : layer.point_coordinates()) {
        if (std::fabs(v) > k_max_crown_coordinate) {
            char buf[32];
            std::snprintf(buf, sizeof buf, "%.3g", v);
            fail(path, std::string("cannot read crown: coordinate ") + buf + " is beyond the bound of ±1e9");
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

void read_crown_untrusted(const std::string& path, crown_source source, mesh_layer& layer) {
    layer.clear();
    const std::uint64_t size = file_size(path);
    if (size > k_max_crown_bytes) fail(path, "cannot read crown: larger than 512 MiB");
    if (size == 0) fail(path, "cannot read crown: empty file");
    read_with_assimp(path, size, source, layer);
    check_bound(path, layer);
}

void read_crown(const std::string& path, mesh_layer& layer, crown_up up, crown_source source) {
    layer.clear();
    try {
        const std::uint64_t size = file_size(path);
        // A crown without a usable polygon is read as it is: the tool itself
        // answers that it needs something in the background.
        if (size > k_max_crown_bytes) fail(path, "cannot read crown: larger than 512 MiB");
        if (is_obj(path)) {
            read_obj(path, layer);
        } else if (size == 0) {
            fail(path, "cannot read crown: empty file");
        } else {
            read_crown_in_child(path, source, layer);
        }
        check_bound(path, layer);
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
