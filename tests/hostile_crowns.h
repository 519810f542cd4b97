// Small builders of crown files, good and hostile: PLY (ASCII and binary),
// STL, glTF and GLB, made in memory so that no binary is kept in the tree.
#pragma once

#include <bit>
#include <cstring>
#include <cstdint>
#include <string>
#include <vector>

namespace sf::test {

template <class T>
void append_le(std::string& s, T v) {
    static_assert(std::endian::native == std::endian::little);
    s.append(reinterpret_cast<const char*>(&v), sizeof v);
}

inline std::string to_base64(const std::string& bytes) {
    static const char* k = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (std::size_t i = 0; i < bytes.size(); i += 3) {
        std::uint32_t v = std::uint32_t(std::uint8_t(bytes[i])) << 16;
        if (i + 1 < bytes.size()) v |= std::uint32_t(std::uint8_t(bytes[i + 1])) << 8;
        if (i + 2 < bytes.size()) v |= std::uint8_t(bytes[i + 2]);
        out += k[v >> 18];
        out += k[(v >> 12) & 63];
        out += i + 1 < bytes.size() ? k[(v >> 6) & 63] : '=';
        out += i + 2 < bytes.size() ? k[v & 63] : '=';
    }
    return out;
}

// A fan of triangles over a ring of n points (n >= 3) at height y, with
// coordinates scaled by scale.
struct ring {
    std::vector<float> xyz;
    std::vector<std::uint32_t> ids;
};
inline ring make_ring(unsigned n, float scale = 1) {
    ring r;
    for (unsigned i = 0; i < n; ++i) {
        const float a = 6.2831853f * float(i) / float(n);
        r.xyz.insert(r.xyz.end(), {scale * __builtin_cosf(a), scale * 1.0f, scale * __builtin_sinf(a)});
    }
    for (unsigned i = 1; i + 1 < n; ++i) r.ids.insert(r.ids.end(), {0, i + 1, i});
    return r;
}

// ASCII PLY of the ring; extra_faces more faces declared than written.
inline std::string ascii_ply(const ring& r, unsigned extra_faces = 0, const std::string& end = "end_header\n") {
    std::string s = "ply\nformat ascii 1.0\nelement vertex " + std::to_string(r.xyz.size() / 3) +
                    "\nproperty float x\nproperty float y\nproperty float z\nelement face " +
                    std::to_string(r.ids.size() / 3 + extra_faces) + "\nproperty list uchar int vertex_indices\n" + end;
    for (std::size_t i = 0; i < r.xyz.size(); i += 3)
        s += std::to_string(r.xyz[i]) + " " + std::to_string(r.xyz[i + 1]) + " " + std::to_string(r.xyz[i + 2]) + "\n";
    for (std::size_t i = 0; i < r.ids.size(); i += 3)
        s += "3 " + std::to_string(r.ids[i]) + " " + std::to_string(r.ids[i + 1]) + " " + std::to_string(r.ids[i + 2]) + "\n";
    return s;
}

// Binary little-endian PLY of the ring; the first face's list count can be
// replaced, and the end_header line too.
inline std::string binary_ply(const ring& r, std::uint32_t first_count = 3, const std::string& end = "end_header\n") {
    std::string s = "ply\nformat binary_little_endian 1.0\nelement vertex " + std::to_string(r.xyz.size() / 3) +
                    "\nproperty float x\nproperty float y\nproperty float z\nelement face " +
                    std::to_string(r.ids.size() / 3) + "\nproperty list uint int vertex_indices\n" + end;
    for (const float v : r.xyz) append_le(s, v);
    for (std::size_t i = 0; i < r.ids.size(); i += 3) {
        append_le(s, i == 0 ? first_count : std::uint32_t(3));
        for (int k = 0; k < 3; ++k) append_le(s, std::int32_t(r.ids[i + k]));
    }
    return s;
}

inline std::string ascii_stl(const ring& r) {
    std::string s = "solid s\n";
    for (std::size_t i = 0; i < r.ids.size(); i += 3) {
        s += "facet normal 0 1 0\nouter loop\n";
        for (int k = 0; k < 3; ++k) {
            const float* p = &r.xyz[3 * r.ids[i + k]];
            s += "vertex " + std::to_string(p[0]) + " " + std::to_string(p[1]) + " " + std::to_string(p[2]) + "\n";
        }
        s += "endloop\nendfacet\n";
    }
    return s + "endsolid s\n";
}

// glTF parts around the ring's points (accessor 0) and indices (accessor 1,
// uint32) in one buffer. Extra JSON members may be added or replaced.
struct gltf_parts {
    std::string bin;  // the buffer's bytes
    std::string nodes = R"([{"mesh":0}])";
    std::string scene_nodes = "[0]";
    std::string accessors;
    std::string buffer_views;
    std::string buffer_uri;  // empty: GLB chunk (for a GLB) or a data: URI (for a .gltf)
};

inline gltf_parts ring_gltf(const ring& r) {
    gltf_parts g;
    for (const float v : r.xyz) append_le(g.bin, v);
    const std::size_t pos_bytes = g.bin.size();
    for (const std::uint32_t i : r.ids) append_le(g.bin, i);
    g.accessors = R"([{"bufferView":0,"componentType":5126,"count":)" + std::to_string(r.xyz.size() / 3) +
                  R"(,"type":"VEC3","min":[-1000,-1000,-1000],"max":[1000,1000,1000]},)"
                  R"({"bufferView":1,"componentType":5125,"count":)" + std::to_string(r.ids.size()) +
                  R"(,"type":"SCALAR"}])";
    g.buffer_views = R"([{"buffer":0,"byteOffset":0,"byteLength":)" + std::to_string(pos_bytes) +
                     R"(},{"buffer":0,"byteOffset":)" + std::to_string(pos_bytes) +
                     R"(,"byteLength":)" + std::to_string(g.bin.size() - pos_bytes) + "}]";
    return g;
}

inline std::string gltf_json(const gltf_parts& g, bool glb) {
    std::string buffer = R"({"byteLength":)" + std::to_string(g.bin.size());
    if (!g.buffer_uri.empty())
        buffer += R"(,"uri":")" + g.buffer_uri + "\"";
    else if (!glb)
        buffer += R"(,"uri":"data:application/octet-stream;base64,)" + to_base64(g.bin) + "\"";
    buffer += "}";
    return R"({"asset":{"version":"2.0"},"scene":0,"scenes":[{"nodes":)" + g.scene_nodes + R"(}],"nodes":)" +
           g.nodes + R"(,"meshes":[{"primitives":[{"attributes":{"POSITION":0},"indices":1}]}],"accessors":)" +
           g.accessors + R"(,"bufferViews":)" + g.buffer_views + R"(,"buffers":[)" + buffer + "]}";
}

inline std::string glb(const gltf_parts& g) {
    std::string json = gltf_json(g, true);
    while (json.size() % 4) json += ' ';
    std::string bin = g.bin;
    while (bin.size() % 4) bin += '\0';
    std::string s = "glTF";
    append_le(s, std::uint32_t(2));
    append_le(s, std::uint32_t(12 + 8 + json.size() + 8 + bin.size()));
    append_le(s, std::uint32_t(json.size()));
    s += "JSON" + json;
    append_le(s, std::uint32_t(bin.size()));
    s += std::string("BIN\0", 4) + bin;
    return s;
}

// n nodes, each the only child of the one before, the last holding the mesh.
inline std::string nested_nodes(unsigned n) {
    std::string s = "[";
    for (unsigned i = 0; i < n; ++i) {
        if (i) s += ",";
        s += i + 1 < n ? R"({"children":[)" + std::to_string(i + 1) + "]}" : std::string(R"({"mesh":0})");
    }
    return s + "]";
}

}  // namespace sf::test
