// Levels of detail: falling triangle counts, the bark's outline and maps
// kept, the leaves' coverage kept, and one valid .glb holding every level.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <nlohmann/json.hpp>
#include <set>

#include "formats/edit_log.h"
#include "formats/lod.h"
#include "scratch_dir.h"

namespace sf::formats {
namespace {

using nlohmann::json;

json glb_json(const std::string& s) {
    std::uint32_t len = 0;
    EXPECT_GE(s.size(), 20u);
    if (s.size() < 20) return {};
    std::memcpy(&len, s.data() + 12, 4);
    return json::parse(s.substr(20, len));
}

struct extent {
    std::array<double, 3> lo{1e300, 1e300, 1e300}, hi{-1e300, -1e300, -1e300};
    void add(const double* p) {
        for (int k = 0; k < 3; ++k) lo[k] = std::min(lo[k], p[k]), hi[k] = std::max(hi[k], p[k]);
    }
};

double area(const mesh_layer& l, index_t p) {
    const auto pts = l.polygon_points(p);
    double n[3] = {0, 0, 0};
    for (std::size_t k = 0; k < pts.size(); ++k) {
        const double* a = l.point(pts[k]);
        const double* b = l.point(pts[(k + 1) % pts.size()]);
        n[0] += (a[1] - b[1]) * (a[2] + b[2]);
        n[1] += (a[2] - b[2]) * (a[0] + b[0]);
        n[2] += (a[0] - b[0]) * (a[1] + b[1]);
    }
    return 0.5 * std::sqrt(n[0] * n[0] + n[1] * n[1] + n[2] * n[2]);
}

// Bark outline and texture coordinates, leaf area and count of a layer.
struct summary {
    extent bark;
    double leaf_area = 0.0;
    std::size_t leaf_polygons = 0;
    std::set<std::pair<float, float>> uvs;  // texture coordinates of the bark
};

summary summarise(const mesh_layer& l) {
    summary s;
    const index_t leaf = l.strings().find("LG_leaf");
    const index_t uv = l.find_map(LWVMAP_TXUV, "SF_branch");
    for (const auto values : {l.point_values(), l.polygon_point_values()})
        for (const value_record& r : values)
            if (r.map == uv) s.uvs.insert({r.v[0], r.v[1]});
    for (index_t p = 0; p < l.polygon_count(); ++p) {
        const auto pts = l.polygon_points(p);
        if (pts.size() < 3) continue;
        if (l.polygon_surface(p) == leaf) {
            s.leaf_area += area(l, p);
            ++s.leaf_polygons;
            continue;
        }
        for (index_t q : pts) {
            s.bark.add(l.point(q));
        }
    }
    return s;
}

struct LodTree : test::program_test {
    mesh_layer tree;
    void SetUp() override {
        ASSERT_EQ(run("build --set render_type=Polygonal --set twig_type=up --set 'leaf_shape=two polys' "
                      "--set branches=80 -o t.edits"),
                  0)
            << err();
        read_edit_log(file("t.edits"), "t.edits", tree);
    }
};

TEST_F(LodTree, EachLevelHalvesAndKeepsTheTreesShape) {
    const std::vector<lod_level> chain = make_lod_chain(tree, 4);
    ASSERT_EQ(chain.size(), 3u);
    const summary base = summarise(tree);
    std::size_t before = triangle_count(tree);
    for (std::size_t k = 0; k < chain.size(); ++k) {
        SCOPED_TRACE("level " + std::to_string(k + 1));
        const double share = double(chain[k].triangles) / double(before);
        EXPECT_GT(share, 0.4);
        EXPECT_LT(share, 0.6);
        before = chain[k].triangles;
        const summary s = summarise(chain[k].layer);
        EXPECT_LT(s.leaf_polygons, base.leaf_polygons);
        EXPECT_GT(s.leaf_polygons, 0u);
        EXPECT_NEAR(s.leaf_area / base.leaf_area, 1.0, 0.1);  // kept leaves cover what all did
        for (int a = 0; a < 3; ++a) {
            const double size = base.bark.hi[a] - base.bark.lo[a];
            EXPECT_NEAR(s.bark.lo[a], base.bark.lo[a], 0.05 * size) << a;
            EXPECT_NEAR(s.bark.hi[a], base.bark.hi[a], 0.05 * size) << a;
        }
        // Texture coordinates are carried, never blended across a seam.
        EXPECT_TRUE(std::includes(base.uvs.begin(), base.uvs.end(), s.uvs.begin(), s.uvs.end()));
        EXPECT_GT(s.uvs.size(), 10u);
    }
    EXPECT_TRUE(make_lod_chain(tree, 1).empty());
}

TEST_F(LodTree, GlbHoldsEveryLevelAndObjAFilePerLevel) {
    const std::string sets = "build --set render_type=Polygonal --set twig_type=up --set 'leaf_shape=two polys' "
                             "--set branches=80 ";
    ASSERT_EQ(run(sets + "--lod 3 -o t.glb -o t.obj"), 0) << err();
    EXPECT_TRUE(err_has("LOD2 ")) << err();
    const std::string lod_obj = file("t.obj");
    ASSERT_EQ(run(sets + "-o t.obj -o one.glb"), 0) << err();
    EXPECT_EQ(file("t.obj"), lod_obj);  // level 0 is the tree as without levels
    for (const char* f : {"t_LOD1.obj", "t_LOD1.mtl", "t_LOD2.obj", "t_LOD2.mtl"}) EXPECT_TRUE(exists(f)) << f;
    EXPECT_FALSE(exists("t_LOD3.obj"));

    const json doc = glb_json(file("t.glb"));
    const json one = glb_json(file("one.glb"));
    ASSERT_EQ(doc["nodes"].size(), 4u);
    EXPECT_EQ(doc["nodes"][0]["name"], "tree");
    EXPECT_EQ(doc["nodes"][0]["children"], json({1, 2, 3}));
    std::size_t previous = 0;
    for (int k = 0; k < 3; ++k) {
        const json& node = doc["nodes"][k + 1];
        EXPECT_EQ(node["name"], "tree_LOD" + std::to_string(k));
        std::size_t triangles = 0;
        for (const json& p : doc["meshes"][node["mesh"].get<int>()]["primitives"])
            triangles += doc["accessors"][p["indices"].get<int>()]["count"].get<std::size_t>() / 3;
        if (k == 0) {
            EXPECT_EQ(doc["meshes"][0]["primitives"].size(), one["meshes"][0]["primitives"].size());
        } else {
            EXPECT_LT(triangles, previous * 6 / 10);
        }
        previous = triangles;
    }

    if (std::system("command -v node >/dev/null 2>&1") != 0) GTEST_SKIP() << "node is not installed";
    const std::string script = std::string(SF_TEST_DATA_DIR) + "/../validate_gltf.mjs";
    const int status = std::system(("node '" + script + "' '" + dir.file("t.glb") + "' >v.txt 2>&1").c_str());
    const int code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    if (code == 3) GTEST_SKIP() << "npm package gltf-validator not found (set SF_GLTF_VALIDATOR)";
    const std::string report = test::slurp("v.txt");
    ASSERT_EQ(code, 0) << report;
    EXPECT_EQ(report.rfind("errors 0 warnings 0 ", 0), 0u) << report;
}

TEST(LodFiles, NamesAndJunk) {
    EXPECT_EQ(lod_path("trees/oak.obj", 2), "trees/oak_LOD2.obj");
    EXPECT_EQ(lod_path("a.b/tree", 1), "a.b/tree_LOD1");
    EXPECT_THROW(merge_glb_levels({"not a glb file at all"}), io_error);
}

}  // namespace
}  // namespace sf::formats
