#include "formats/impostor.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <nlohmann/json.hpp>
#include <numbers>

#include "formats/file_io.h"
#include "formats/glb_container.h"

namespace sf::formats {

namespace {

using json = nlohmann::json;

// Six decimals are plenty for a layout and keep the JSON readable.
double rounded(double v) { return std::round(v * 1e6) / 1e6; }

json rounded(const double* v, int n) {
    json a = json::array();
    for (int k = 0; k < n; ++k) a.push_back(rounded(v[k]));
    return a;
}

// The binary chunk being extended and the document describing it.
struct glb_parts {
    json doc;
    std::string bin;

    std::size_t add_view(const void* data, std::size_t bytes, int target) {
        bin.append((4 - bin.size() % 4) % 4, '\0');
        json view = {{"buffer", 0}, {"byteOffset", bin.size()}, {"byteLength", bytes}};
        if (target) view["target"] = target;
        bin.append(static_cast<const char*>(data), bytes);
        doc["bufferViews"].push_back(std::move(view));
        return doc["bufferViews"].size() - 1;
    }

    template <class T>
    std::size_t add_accessor(const std::vector<T>& data, int components, const char* type, bool indices) {
        const std::size_t view = add_view(data.data(), data.size() * sizeof(T), indices ? 34963 : 34962);
        json lo = json::array(), hi = json::array();
        for (int c = 0; c < components; ++c) {
            T a = data[std::size_t(c)], b = a;
            for (std::size_t i = std::size_t(c); i < data.size(); i += std::size_t(components))
                a = std::min(a, data[i]), b = std::max(b, data[i]);
            lo.push_back(a);
            hi.push_back(b);
        }
        doc["accessors"].push_back({{"bufferView", view},
                                    {"componentType", std::is_same_v<T, float> ? 5126 : 5123},
                                    {"count", data.size() / std::size_t(components)},
                                    {"type", type},
                                    {"min", std::move(lo)},
                                    {"max", std::move(hi)}});
        return doc["accessors"].size() - 1;
    }

    std::size_t add_texture(const std::string& png, const std::string& name) {
        const std::size_t view = add_view(png.data(), png.size(), 0);
        doc["images"].push_back({{"bufferView", view}, {"mimeType", "image/png"}, {"name", name}});
        doc["samplers"].push_back({{"magFilter", 9729}, {"minFilter", 9987}, {"wrapS", 33071}, {"wrapT", 33071}});
        doc["textures"].push_back({{"sampler", doc["samplers"].size() - 1}, {"source", doc["images"].size() - 1}});
        return doc["textures"].size() - 1;
    }
};

glb_parts read_glb(const std::string& g) {
    glb_chunks c = unpack_glb(g, "impostor: the levels are not a GLB");
    glb_parts parts{std::move(c.doc), std::move(c.bin)};
    for (const char* key : {"accessors", "bufferViews", "images", "samplers", "textures", "materials", "meshes"})
        if (!parts.doc.contains(key)) parts.doc[key] = json::array();
    return parts;
}

void set_vertex(impostor_vertex& v, const double (&p)[3], const double (&n)[3], const double (&t)[3], double u,
                double w) {
    for (int k = 0; k < 3; ++k) {
        v.pos[k] = float(p[k]);
        v.normal[k] = float(n[k]);
        v.tangent[k] = float(t[k]);
    }
    v.tangent[3] = 1.0f;  // normal x tangent points up the image
    v.uv[0] = float(u);
    v.uv[1] = float(w);
}

}  // namespace

double impostor_azimuth(int k) { return 2.0 * std::numbers::pi * double(k) / double(k_impostor_sides); }

void impostor_direction(int k, double& sin_a, double& cos_a) {
    static_assert(k_impostor_sides == 8, "the directions below are eighths of a turn");
    const double h = std::sqrt(0.5);
    static const double sines[8] = {0.0, h, 1.0, h, 0.0, -h, -1.0, -h};
    const int i = ((k % 8) + 8) % 8;
    sin_a = sines[i];
    cos_a = sines[(i + 2) % 8];
}

std::size_t impostor_triangles() { return 2 * k_impostor_sides; }

std::vector<impostor_card> impostor_cards(const impostor& imp) {
    std::vector<impostor_card> cards;
    const double hw = imp.half_width;
    // Back-to-back cards apart by a hair, so that a renderer that draws
    // back faces still sees each view's own card first.
    const double hair = 1e-3 * hw;
    for (int k = 0; k < k_impostor_sides && std::size_t(k) < imp.cells.size(); ++k) {
        double sa, ca;
        impostor_direction(k, sa, ca);
        const double t[3] = {sa, 0.0, ca}, r[3] = {ca, 0.0, -sa};
        const impostor_cell& c = imp.cells[std::size_t(k)];
        impostor_card card;
        auto corner = [&](int i, double side, double y, double u, double v) {
            const double p[3] = {imp.pivot[0] + r[0] * side * hw + t[0] * hair, y,
                                 imp.pivot[2] + r[2] * side * hw + t[2] * hair};
            set_vertex(card[std::size_t(i)], p, t, r, u, v);
        };
        corner(0, -1, imp.bottom, c.u0, c.v1);
        corner(1, 1, imp.bottom, c.u1, c.v1);
        corner(2, 1, imp.top, c.u1, c.v0);
        corner(3, -1, imp.top, c.u0, c.v0);
        cards.push_back(card);
    }
    return cards;
}

std::string add_impostor_level(const std::string& glb, const impostor& imp, const std::string& name,
                               const std::vector<double>& coverage) {
    glb_parts g = read_glb(glb);
    json& doc = g.doc;

    const std::vector<impostor_card> cards = impostor_cards(imp);
    std::vector<float> pos, nrm, tan, uv;
    std::vector<std::uint16_t> idx;
    for (const impostor_card& card : cards) {
        const auto first = std::uint16_t(pos.size() / 3);
        for (const impostor_vertex& v : card) {
            pos.insert(pos.end(), v.pos, v.pos + 3);
            nrm.insert(nrm.end(), v.normal, v.normal + 3);
            tan.insert(tan.end(), v.tangent, v.tangent + 4);
            uv.insert(uv.end(), v.uv, v.uv + 2);
        }
        for (int i : {0, 1, 2, 0, 2, 3}) idx.push_back(std::uint16_t(first + i));
    }
    json prim = {{"mode", 4}};
    prim["indices"] = g.add_accessor(idx, 1, "SCALAR", true);
    prim["attributes"] = {{"POSITION", g.add_accessor(pos, 3, "VEC3", false)},
                          {"NORMAL", g.add_accessor(nrm, 3, "VEC3", false)},
                          {"TANGENT", g.add_accessor(tan, 4, "VEC4", false)},
                          {"TEXCOORD_0", g.add_accessor(uv, 2, "VEC2", false)}};

    const std::string level = name + "_impostor";
    const std::size_t colour = g.add_texture(imp.colour_png, level + "_color");
    const std::size_t normal = g.add_texture(imp.normal_png, level + "_normal");
    doc["materials"].push_back({{"name", level},
                                {"pbrMetallicRoughness",
                                 {{"baseColorFactor", {1.0, 1.0, 1.0, 1.0}},
                                  {"baseColorTexture", {{"index", colour}, {"texCoord", 0}}},
                                  {"metallicFactor", 0.0},
                                  {"roughnessFactor", 0.8}}},
                                {"normalTexture", {{"index", normal}, {"texCoord", 0}}},
                                {"alphaMode", "MASK"},
                                {"alphaCutoff", 0.5}});
    prim["material"] = doc["materials"].size() - 1;
    doc["meshes"].push_back({{"name", level}, {"primitives", json::array({std::move(prim)})}});

    json layout = {{"views", k_impostor_sides}};
    json azimuths = json::array(), cells = json::array();
    for (int k = 0; k < k_impostor_sides; ++k) azimuths.push_back(360.0 * k / k_impostor_sides);
    for (const impostor_cell& c : imp.cells) cells.push_back({rounded(c.u0), rounded(c.v0), rounded(c.u1), rounded(c.v1)});
    layout["azimuths"] = std::move(azimuths);
    layout["top_cell"] = cells.empty() ? json::array() : cells.back();
    if (!cells.empty()) cells.erase(cells.size() - 1);
    layout["cells"] = std::move(cells);
    layout["pivot"] = rounded(imp.pivot, 3);
    layout["half_width"] = rounded(imp.half_width);
    layout["bottom"] = rounded(imp.bottom);
    layout["top"] = rounded(imp.top);
    layout["bounds"] = {{"min", rounded(imp.lo, 3)}, {"max", rounded(imp.hi, 3)}};
    layout["atlas"] = {imp.width, imp.height};
    layout["normals"] = "per view: x right, y up, z towards the view's camera";

    json& nodes = doc["nodes"];
    if (nodes.empty()) nodes.push_back({{"name", name}});
    json node = {{"name", level}, {"mesh", doc["meshes"].size() - 1}, {"extras", {{"impostor", std::move(layout)}}}};
    nodes.push_back(std::move(node));
    // The impostor is the root's last alternative; level 0 stays its child.
    json& root = nodes[0];
    json ids = root.contains("extensions") && root["extensions"].contains("MSFT_lod")
                   ? root["extensions"]["MSFT_lod"]["ids"]
                   : json::array();
    ids.push_back(nodes.size() - 1);
    root["extensions"]["MSFT_lod"]["ids"] = std::move(ids);
    root["extras"]["MSFT_screencoverage"] = coverage;
    json used = doc.value("extensionsUsed", json::array());
    if (std::find(used.begin(), used.end(), "MSFT_lod") == used.end()) used.insert(used.begin(), "MSFT_lod");
    doc["extensionsUsed"] = std::move(used);
    doc["buffers"] = json::array({json{{"byteLength", g.bin.size()}}});
    return pack_glb(doc, g.bin);
}

}  // namespace sf::formats
