// Binary glTF output: the container, primitives per surface, the seam
// split, materials and embedded images, the optional vertex colours,
// accessor bounds, and (where Node and the npm package gltf-validator are
// available) the Khronos validator.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "formats/edit_log.h"
#include "formats/file_io.h"
#include "formats/gltf_writer.h"
#include "formats/leaf_tint.h"
#include "scratch_dir.h"

namespace sf::formats {
namespace {

using json = nlohmann::json;

std::uint32_t u32(const std::string& s, std::size_t at) {
    std::uint32_t v;
    std::memcpy(&v, s.data() + at, 4);
    return v;
}

struct glb {
    json doc;
    std::string bin;

    // Every element of accessor a, as doubles.
    std::vector<double> values(int a) const {
        const json& acc = doc["accessors"][a];
        const json& view = doc["bufferViews"][acc["bufferView"].get<int>()];
        const int type = acc["componentType"];
        const std::size_t size = type == 5126 || type == 5125 ? 4 : type == 5121 ? 1 : 2;
        const std::size_t n = acc["count"].get<std::size_t>() * components(a);
        const std::size_t offset = view["byteOffset"];
        EXPECT_EQ(offset % 4, 0u);
        EXPECT_EQ(view["byteLength"].get<std::size_t>(), n * size);
        const double scale = acc.value("normalized", false) ? 255.0 : 1.0;
        EXPECT_LE(offset + n * size, doc["buffers"][0]["byteLength"].get<std::size_t>());
        std::vector<double> out(n);
        for (std::size_t i = 0; i < n; ++i) {
            const char* p = bin.data() + offset + i * size;
            if (type == 5126) {
                float f;
                std::memcpy(&f, p, 4);
                out[i] = f;
            } else if (type == 5125) {
                std::uint32_t v;
                std::memcpy(&v, p, 4);
                out[i] = v;
            } else if (type == 5121) {
                out[i] = std::uint8_t(*p) / scale;
            } else {
                std::uint16_t v;
                std::memcpy(&v, p, 2);
                out[i] = v;
            }
        }
        return out;
    }
    std::size_t components(int a) const {
        const std::string t = doc["accessors"][a]["type"];
        return t == "SCALAR" ? 1 : t == "VEC2" ? 2 : t == "VEC3" ? 3 : 4;
    }
};

// Parses the container, checking header and chunk lengths on the way.
glb parse(const std::string& s) {
    glb g;
    EXPECT_GE(s.size(), 20u);
    EXPECT_EQ(u32(s, 0), 0x46546C67u);
    EXPECT_EQ(u32(s, 4), 2u);
    EXPECT_EQ(u32(s, 8), s.size());
    const std::uint32_t json_len = u32(s, 12);
    EXPECT_EQ(json_len % 4, 0u);
    EXPECT_EQ(u32(s, 16), 0x4E4F534Au);
    g.doc = json::parse(s.substr(20, json_len));
    const std::size_t at = 20 + std::size_t(json_len);
    if (at < s.size()) {
        const std::uint32_t bin_len = u32(s, at);
        EXPECT_EQ(bin_len % 4, 0u);
        EXPECT_EQ(u32(s, at + 4), 0x004E4942u);
        EXPECT_EQ(at + 8 + bin_len, s.size());
        g.bin = s.substr(at + 8, bin_len);
        const std::size_t declared = g.doc["buffers"][0]["byteLength"];
        EXPECT_LE(declared, bin_len);
        EXPECT_GT(declared + 4, bin_len);
    }
    return g;
}

glb write_and_parse(const mesh_layer& l, const glb_options& options = {}) {
    string_sink out;
    write_glb(l, out, options);
    return parse(out.text);
}

// Bounds equal the data's extremes; attributes of a primitive agree in
// count, indices stay below it and use 16 bits exactly when they fit.
void check_accessors(const glb& g) {
    for (std::size_t a = 0; a < g.doc["accessors"].size(); ++a) {
        SCOPED_TRACE("accessor " + std::to_string(a));
        const std::vector<double> v = g.values(int(a));
        const std::size_t c = g.components(int(a));
        ASSERT_FALSE(v.empty());
        for (std::size_t k = 0; k < c; ++k) {
            double lo = v[k], hi = v[k];
            for (std::size_t i = k; i < v.size(); i += c) lo = std::min(lo, v[i]), hi = std::max(hi, v[i]);
            const double scale = g.doc["accessors"][a].value("normalized", false) ? 255.0 : 1.0;
            EXPECT_EQ(g.doc["accessors"][a]["min"][k].get<double>() / scale, lo);
            EXPECT_EQ(g.doc["accessors"][a]["max"][k].get<double>() / scale, hi);
        }
    }
    for (const json& p : g.doc["meshes"][0]["primitives"]) {
        const std::size_t count = g.doc["accessors"][p["attributes"]["POSITION"].get<int>()]["count"];
        for (const auto& [name, a] : p["attributes"].items())
            EXPECT_EQ(g.doc["accessors"][a.get<int>()]["count"].get<std::size_t>(), count) << name;
        const int ia = p["indices"];
        EXPECT_EQ(g.doc["accessors"][ia]["componentType"].get<int>(), count <= 65535 ? 5123 : 5125);
        for (double i : g.values(ia)) ASSERT_LT(i, double(count));
    }
}

// A quad cage and a face of "SF_trunk" sharing points 0 and 3, where the
// face gives point 0 its own "SF_branch" value (the seam); a skeleton line;
// a leaf; a degenerate twig triangle.
mesh_layer hand_made_layer() {
    mesh_layer l;
    const double xyz[][3] = {{0, 0, 0}, {1, 0, 0}, {1, 1, 0}, {0, 1, 0}, {-1, 0.5, 0}, {0, 2, 0}, {1, 2, 0}};
    for (const auto& p : xyz) l.add_point(p[0], p[1], p[2]);
    const index_t branch = l.find_or_add_map(LWVMAP_TXUV, "SF_branch", 2);
    const index_t leaf = l.find_or_add_map(LWVMAP_TXUV, "SF_leaf", 2);
    const index_t atlas = l.find_or_add_map(LWVMAP_TXUV, "SF_all_leaves", 2);
    const index_t range = l.find_or_add_map(LWVMAP_WGHT, "SF_range", 1);
    const index_t thick = l.find_or_add_map(LWVMAP_WGHT, "SF_thick", 1);
    const index_t range_thick = l.find_or_add_map(LWVMAP_TXUV, "SF_range_thick", 2);
    auto value = [&](index_t map, index_t point, index_t polygon, float a, float b = 0) {
        const float v[2] = {a, b};
        l.add_value(point, polygon, map, v);
    };
    for (index_t p = 0; p < 5; ++p) value(branch, p, k_none, 0.25f * float(p), 0.25f);
    value(range, 0, k_none, -1.0f);
    value(thick, 0, k_none, 0.25f);
    value(range, 1, k_none, 0.5f);
    value(range_thick, 1, k_none, 0.9f, 0.75f);  // range from the weight map, thickness from here
    value(leaf, 5, k_none, 0.5f, 1.0f);
    value(atlas, 5, k_none, 0.125f, 0.5f);

    auto poly = [&](LWID type, const char* surface, std::initializer_list<index_t> pts) {
        const index_t s = surface ? l.strings().intern(surface) : k_none;
        return l.add_polygon(type, s, std::span<const index_t>(pts.begin(), pts.size()));
    };
    poly(LWPOLTYPE_PTCH, "SF_trunk", {0, 1, 2, 3});
    poly(LWPOLTYPE_FACE, nullptr, {0, 5});
    const index_t face = poly(LWPOLTYPE_FACE, "SF_trunk", {0, 3, 4});
    poly(LWPOLTYPE_FACE, "SF_twig", {1, 1, 2});
    poly(LWPOLTYPE_FACE, "LG_leaf", {5, 2, 6});
    poly(LWPOLTYPE_FACE, nullptr, {6});
    value(branch, 0, face, 1.0f, 0.25f);
    return l;
}

TEST(Gltf, HandMadeLayer) {
    const glb g = write_and_parse(hand_made_layer());
    check_accessors(g);
    const json& prims = g.doc["meshes"][0]["primitives"];
    ASSERT_EQ(prims.size(), 3u);  // the twig had only a degenerate triangle
    auto material = [&](const json& p) { return g.doc["materials"][p["material"].get<int>()]["name"]; };
    auto count = [&](const json& p, const char* what) {
        return g.doc["accessors"][(what ? p["attributes"][what] : p["indices"]).get<int>()]["count"].get<int>();
    };

    const json& trunk = prims[0];
    EXPECT_EQ(material(trunk), "SF_trunk");
    EXPECT_EQ(trunk["mode"], 4);
    EXPECT_EQ(count(trunk, nullptr), 9);           // quad as two triangles, then the face
    EXPECT_EQ(count(trunk, "POSITION"), 5 + 1);   // point 0 twice across the seam
    EXPECT_EQ(trunk["extras"]["texcoords"], json({"SF_branch"}));
    EXPECT_FALSE(trunk["attributes"].contains("TEXCOORD_1"));
    const std::vector<double> idx = g.values(trunk["indices"]);
    EXPECT_EQ(idx, (std::vector<double>{0, 1, 2, 0, 2, 3, 4, 3, 5}));  // fan, winding kept
    const std::vector<double> uv = g.values(trunk["attributes"]["TEXCOORD_0"]);
    EXPECT_EQ(uv[0], 0.0);   // point 0 in the quad
    EXPECT_EQ(uv[1], 0.75);  // v flipped
    EXPECT_EQ(uv[8], 1.0);   // point 0 in the face
    const std::vector<double> pos = g.values(trunk["attributes"]["POSITION"]);
    EXPECT_EQ(std::vector<double>(pos.begin() + 12, pos.begin() + 15), std::vector<double>(3, 0.0));
    const std::vector<double> nrm = g.values(trunk["attributes"]["NORMAL"]);
    for (std::size_t i = 0; i < nrm.size(); i += 3)
        EXPECT_EQ(std::vector<double>(nrm.begin() + i, nrm.begin() + i + 3), (std::vector<double>{0, 0, 1}));

    // Weights: point 0 (-1, 0.25), point 1 (0.5 from its weight map, 0.75
    // from "SF_range_thick"), point 2 without any (0, 0). No vertex colours
    // unless asked for: viewers would multiply the bark by them.
    const std::vector<double> r = g.values(trunk["attributes"]["_SF_RANGE"]);
    const std::vector<double> t = g.values(trunk["attributes"]["_SF_THICK"]);
    EXPECT_EQ(std::vector<double>(r.begin(), r.begin() + 3), (std::vector<double>{-1, 0.5, 0}));
    EXPECT_EQ(std::vector<double>(t.begin(), t.begin() + 3), (std::vector<double>{0.25, 0.75, 0}));
    EXPECT_FALSE(trunk["attributes"].contains("COLOR_0"));
    const glb wind = write_and_parse(hand_made_layer(), {nullptr, true});
    const json& wind_trunk = wind.doc["meshes"][0]["primitives"][0];
    const std::vector<double> col = wind.values(wind_trunk["attributes"]["COLOR_0"]);
    EXPECT_EQ(std::vector<double>(col.begin(), col.begin() + 9), (std::vector<double>{0, 0.25, 0, 0.75, 0.75, 0, 0.5, 0, 0}));

    // Plain colours in linear light: the bark brown picked as sRGB
    // (0.4, 0.27, 0.16) is far darker linear.
    const json& bark = g.doc["materials"][trunk["material"].get<int>()]["pbrMetallicRoughness"];
    EXPECT_NEAR(bark["baseColorFactor"][0].get<double>(), 0.1329, 1e-4);
    EXPECT_NEAR(bark["baseColorFactor"][1].get<double>(), 0.0593, 1e-4);
    EXPECT_NEAR(bark["baseColorFactor"][2].get<double>(), 0.0220, 1e-4);
    EXPECT_FALSE(bark.contains("baseColorTexture"));
    EXPECT_FALSE(g.doc.contains("images"));

    const json& line = prims[1];
    EXPECT_EQ(material(line), "Default");
    EXPECT_EQ(line["mode"], 1);
    EXPECT_EQ(count(line, nullptr), 2);
    EXPECT_FALSE(line["attributes"].contains("NORMAL"));
    EXPECT_FALSE(line["attributes"].contains("TEXCOORD_0"));

    const json& leaf = prims[2];
    EXPECT_EQ(material(leaf), "LG_leaf");
    EXPECT_EQ(g.doc["materials"][leaf["material"].get<int>()]["doubleSided"], true);
    EXPECT_EQ(leaf["extras"]["texcoords"], json({"SF_leaf", "SF_all_leaves"}));
    const std::vector<double> uv0 = g.values(leaf["attributes"]["TEXCOORD_0"]);
    const std::vector<double> uv1 = g.values(leaf["attributes"]["TEXCOORD_1"]);
    EXPECT_EQ(std::vector<double>(uv0.begin(), uv0.begin() + 4), (std::vector<double>{0.5, 0, 0, 1}));
    EXPECT_EQ(std::vector<double>(uv1.begin(), uv1.begin() + 2), (std::vector<double>{0.125, 0.5}));
    EXPECT_EQ(g.doc["materials"].size(), 3u);
}

// Per-polygon values override the point's own on that polygon only, the
// latest of several for the same point applying, on a polygon with many
// (40 points) as on a small one.
TEST(Gltf, PerPolygonValuesOfLargeAndSmallPolygons) {
    mesh_layer l;
    const index_t branch = l.find_or_add_map(LWVMAP_TXUV, "SF_branch", 2);
    const index_t trunk = l.strings().intern("SF_trunk");
    std::vector<index_t> ring;
    for (index_t p = 0; p < 40; ++p) {
        const double a = 2 * 3.141592653589793 * p / 40;
        ring.push_back(l.add_point(std::cos(a), std::sin(a), 0));
        const float v[2] = {0, 0.5f};
        l.add_value(p, k_none, branch, v);
    }
    const index_t big = l.add_polygon(LWPOLTYPE_FACE, trunk, ring);
    const index_t quad[] = {0, 1, 2, 3};
    const index_t small = l.add_polygon(LWPOLTYPE_FACE, trunk, quad);
    for (index_t p = 0; p < 40; ++p) {
        const float v[2] = {float(p) / 64, 0.25f};
        l.add_value(p, big, branch, v);
    }
    const float later[2] = {0.875f, 0.25f}, first[2] = {0.625f, 0.5f}, second[2] = {0.75f, 0.5f};
    l.add_value(0, big, branch, later);
    l.add_value(1, small, branch, first);
    l.add_value(1, small, branch, second);

    const glb g = write_and_parse(l);
    const std::vector<double> uv = g.values(g.doc["meshes"][0]["primitives"][0]["attributes"]["TEXCOORD_0"]);
    ASSERT_EQ(uv.size(), 2u * 44);  // the quad's corners all differ from the big polygon's
    std::vector<double> u;
    for (std::size_t i = 0; i < uv.size(); i += 2) u.push_back(uv[i]);
    std::vector<double> want = {0.875};
    for (int p = 1; p < 40; ++p) want.push_back(p / 64.0);
    want.insert(want.end(), {0, 0.75, 0, 0});
    EXPECT_EQ(u, want);
}

// With images: each embedded once as PNG, bark on the tubes' first set,
// the atlas on the leaves' first set (their own coordinates move to a
// custom attribute, so no set is left unused), leaves cut out.
TEST(Gltf, TexturedMaterials) {
    texture_set tex;
    tex.bark_png = std::string("\x89PNG bark", 9);
    tex.leaf_png = std::string("\x89PNG leaves!", 13);
    const glb g = write_and_parse(hand_made_layer(), {&tex, false});
    check_accessors(g);
    ASSERT_EQ(g.doc["images"].size(), 2u);  // trunk and twig share the bark
    ASSERT_EQ(g.doc["textures"].size(), 2u);
    auto image_bytes = [&](int texture) {
        const json& image = g.doc["images"][g.doc["textures"][texture]["source"].get<int>()];
        EXPECT_EQ(image["mimeType"], "image/png");
        const json& view = g.doc["bufferViews"][image["bufferView"].get<int>()];
        EXPECT_EQ(view["byteOffset"].get<std::size_t>() % 4, 0u);
        EXPECT_FALSE(view.contains("target"));
        return g.bin.substr(view["byteOffset"], view["byteLength"]);
    };
    const json& prims = g.doc["meshes"][0]["primitives"];
    const json& trunk = g.doc["materials"][prims[0]["material"].get<int>()];
    EXPECT_EQ(trunk["pbrMetallicRoughness"]["baseColorFactor"], json({1.0, 1.0, 1.0, 1.0}));
    EXPECT_EQ(trunk["pbrMetallicRoughness"]["baseColorTexture"]["texCoord"], 0);
    EXPECT_EQ(image_bytes(trunk["pbrMetallicRoughness"]["baseColorTexture"]["index"]), tex.bark_png);
    EXPECT_FALSE(trunk.contains("alphaMode"));

    const json& leaf_prim = prims[2];
    const json& leaf = g.doc["materials"][leaf_prim["material"].get<int>()];
    EXPECT_EQ(leaf["alphaMode"], "MASK");
    EXPECT_EQ(leaf["doubleSided"], true);
    EXPECT_EQ(image_bytes(leaf["pbrMetallicRoughness"]["baseColorTexture"]["index"]), tex.leaf_png);
    EXPECT_EQ(leaf_prim["extras"]["texcoords"], json({"SF_all_leaves"}));
    EXPECT_FALSE(leaf_prim["attributes"].contains("TEXCOORD_1"));
    const std::vector<double> atlas = g.values(leaf_prim["attributes"]["TEXCOORD_0"]);
    const std::vector<double> own = g.values(leaf_prim["attributes"]["_SF_LEAF"]);
    EXPECT_EQ(std::vector<double>(atlas.begin(), atlas.begin() + 2), (std::vector<double>{0.125, 0.5}));
    EXPECT_EQ(std::vector<double>(own.begin(), own.begin() + 2), (std::vector<double>{0.5, 0}));

    // Only the images some material uses are embedded.
    mesh_layer twig_only;
    for (int i = 0; i < 3; ++i) twig_only.add_point(i, i == 1, 0);
    const index_t tri[3] = {0, 1, 2};
    twig_only.add_polygon(LWPOLTYPE_FACE, twig_only.strings().intern("SF_twig"), tri);
    const index_t leaf_map = twig_only.find_or_add_map(LWVMAP_TXUV, "SF_all_leaves", 2);
    const float uv[2] = {0.5f, 0.5f};
    twig_only.add_value(0, k_none, leaf_map, uv);
    const glb no_coordinates = write_and_parse(twig_only, {&tex, false});
    EXPECT_FALSE(no_coordinates.doc.contains("images"));  // nothing to read the bark through
    twig_only.add_value(0, k_none, twig_only.find_or_add_map(LWVMAP_TXUV, "SF_branch", 2), uv);
    const glb t = write_and_parse(twig_only, {&tex, false});
    ASSERT_EQ(t.doc["images"].size(), 1u);
    EXPECT_EQ(t.doc["images"][0]["name"], "bark_color");
}

TEST(Gltf, EmptyLayerHasNoBinaryChunk) {
    mesh_layer l;
    l.add_point(0, 0, 0);
    const glb g = write_and_parse(l);
    EXPECT_TRUE(g.bin.empty());
    EXPECT_FALSE(g.doc.contains("meshes"));
    EXPECT_FALSE(g.doc.contains("buffers"));
}

#ifdef SF_PROGRAM
// A small real tree with tubes, roots, twigs and leaves: structure, and
// the Khronos validator's verdict when Node and the package are there.
struct GltfTree : sf::test::program_test {};

TEST_F(GltfTree, RealTreeIsValid) {
    ASSERT_EQ(run("build --set render_type=1 --set twig_type=1 --set leaf_shape=2 --set branches=60 -o t.edits"), 0)
        << err();
    mesh_layer l;
    read_edit_log(file("t.edits"), "t.edits", l);
    const std::string path = dir.file("t.glb");
    texture_set tex;
    tex.bark_png = sf::test::slurp(std::string(SF_TEST_DATA_DIR) + "/texture_2x2.png");
    tex.leaf_png = tex.bark_png;
    tex.leaf_normal_png = tex.bark_png;
    write_glb_file(l, path, {.textures = &tex});
    const glb g = parse(sf::test::slurp(path));
    check_accessors(g);
    // Leaves carry their tint as COLOR_0, a few percent below white; with
    // wind colours COLOR_0 is the weights on every primitive (blue 0).
    const glb wind = write_and_parse(l, {.textures = &tex, .wind_colours = true});
    bool leaves = false;
    for (std::size_t i = 0; i < g.doc["meshes"][0]["primitives"].size(); ++i) {
        const json& p = g.doc["meshes"][0]["primitives"][i];
        const json& material = g.doc["materials"][p["material"].get<int>()];
        const std::string name = material["name"];
        const bool leaf = name == "LG_leaf";
        leaves |= leaf;
        EXPECT_TRUE(leaf || name == "SF_trunk" || name == "SF_branch" || name == "SF_twig" || name == "SF_root")
            << name;
        EXPECT_EQ(p["attributes"].contains("_SF_LEAF"), leaf) << name;
        EXPECT_EQ(material.contains("normalTexture"), leaf) << name;
        ASSERT_EQ(p["attributes"].contains("COLOR_0"), leaf) << name;
        const json& wp = wind.doc["meshes"][0]["primitives"][i];
        ASSERT_TRUE(wp["attributes"].contains("COLOR_0")) << name;
        EXPECT_EQ(wind.doc["accessors"][wp["attributes"]["COLOR_0"].get<int>()]["max"][2], 0.0) << name;
        if (!leaf) continue;
        const json& tint = g.doc["accessors"][p["attributes"]["COLOR_0"].get<int>()];
        EXPECT_EQ(tint["max"][3], 255);  // opaque: the cut-out is the atlas' alone
        for (int k = 0; k < 3; ++k) {
            EXPECT_GE(tint["min"][k].get<double>(), k_min_leaf_tint * 255 - 0.5);
            EXPECT_GT(tint["max"][k].get<double>() - tint["min"][k].get<double>(), 8);  // leaves differ
        }
    }
    EXPECT_TRUE(leaves);
    EXPECT_EQ(g.doc["images"].size(), 3u);

    if (std::system("command -v node >/dev/null 2>&1") != 0) GTEST_SKIP() << "node is not installed";
    const std::string script = std::string(SF_TEST_DATA_DIR) + "/../validate_gltf.mjs";
    const std::string cmd = "node '" + script + "' '" + path + "' >'" + dir.file("v.txt") + "' 2>&1";
    const int status = std::system(cmd.c_str());
    const int code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    if (code == 3) GTEST_SKIP() << "npm package gltf-validator not found (set SF_GLTF_VALIDATOR)";
    const std::string report = sf::test::slurp(dir.file("v.txt"));
    ASSERT_EQ(code, 0) << report;
    EXPECT_EQ(report.rfind("errors 0 warnings 0 infos 0 ", 0), 0u) << report;
}
#endif

}  // namespace
}  // namespace sf::formats
