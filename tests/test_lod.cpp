// Levels of detail: falling triangle counts, the bark's outline and maps
// kept, the leaves' coverage kept, and one valid .glb holding every level.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <nlohmann/json.hpp>
#include <map>
#include <set>

#include "app/starter_presets.h"
#include "formats/bark_uv.h"
#include "formats/edit_log.h"
#include "formats/leaf_tint.h"
#include "formats/lod.h"
#include "formats/subdivide.h"
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

// Bark outline and texture coordinates, leaf area and count, cluster cards of a layer.
struct summary {
    extent bark;
    double leaf_area = 0.0;
    std::size_t leaf_polygons = 0, cards = 0;
    std::set<std::pair<float, float>> uvs;  // texture coordinates of the bark
};

summary summarise(const mesh_layer& l) {
    summary s;
    const index_t leaf = l.strings().find("LG_leaf"), cards = l.strings().find(k_surface_leaf_cards);
    const index_t uv = l.find_map(LWVMAP_TXUV, "SF_branch");
    for (const value_record r : l.point_values())
        if (r.map == uv) s.uvs.insert({r.v[0], r.v[1]});
    for (const value_record& r : l.polygon_point_values())
        if (r.map == uv) s.uvs.insert({r.v[0], r.v[1]});
    for (index_t p = 0; p < l.polygon_count(); ++p) {
        const auto pts = l.polygon_points(p);
        if (pts.size() < 3) continue;
        if (l.polygon_surface(p) == leaf) {
            s.leaf_area += area(l, p);
            ++s.leaf_polygons;
            continue;
        }
        if (l.polygon_surface(p) == cards) {
            ++s.cards;
            continue;
        }
        for (index_t q : pts) {
            s.bark.add(l.point(q));
        }
    }
    return s;
}

// The distance from p to triangle (a, b, c): to its plane where p falls
// inside it, else to the nearest of its edges.
double distance_to_triangle(const double* p, const double* a, const double* b, const double* c) {
    auto sub = [](const double* u, const double* v) { return std::array<double, 3>{u[0] - v[0], u[1] - v[1], u[2] - v[2]}; };
    auto dot = [](const std::array<double, 3>& u, const std::array<double, 3>& v) {
        return u[0] * v[0] + u[1] * v[1] + u[2] * v[2];
    };
    auto cross = [](const std::array<double, 3>& u, const std::array<double, 3>& v) {
        return std::array<double, 3>{u[1] * v[2] - u[2] * v[1], u[2] * v[0] - u[0] * v[2], u[0] * v[1] - u[1] * v[0]};
    };
    auto to_segment = [&](const double* u, const double* v) {
        const auto d = sub(v, u), w = sub(p, u);
        const double t = std::clamp(dot(w, d) / dot(d, d), 0.0, 1.0);
        const std::array<double, 3> e{w[0] - t * d[0], w[1] - t * d[1], w[2] - t * d[2]};
        return std::sqrt(dot(e, e));
    };
    const auto n = cross(sub(b, a), sub(c, a));
    const bool inside = dot(cross(sub(b, a), sub(p, a)), n) >= 0 && dot(cross(sub(c, b), sub(p, b)), n) >= 0 &&
                        dot(cross(sub(a, c), sub(p, c)), n) >= 0;
    if (inside) return std::fabs(dot(sub(p, a), n)) / std::sqrt(dot(n, n));
    return std::min({to_segment(a, b), to_segment(b, c), to_segment(c, a)});
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

// Every level renders as a tree: no triangles without area, every leaf on
// kept bark, leaves grown at most twofold, bark and maps kept. From a
// quarter of level 0's triangles down, cluster cards and no leaves.
void expect_level_is_a_tree(const summary& base, const mesh_layer& level, bool cards) {
    const layer_health h = check_layer(level, 0.05);
    for (const surface_health& s : h.surfaces) EXPECT_LE(s.degenerate * 1000, s.triangles) << s.surface;
    EXPECT_EQ(h.leaves_far, 0u) << h.farthest_leaf;
    const summary s = summarise(level);
    EXPECT_LT(s.leaf_polygons, base.leaf_polygons);
    EXPECT_EQ(s.cards > 0, cards);
    EXPECT_EQ(s.leaf_polygons > 0, !cards);
    const double kept = double(s.leaf_polygons) / double(base.leaf_polygons);
    if (!cards) {
        EXPECT_LE(s.leaf_area / base.leaf_area, 4.0 * kept * 1.1);
        EXPECT_GE(s.leaf_area / base.leaf_area, std::min(1.0, 4.0 * kept) * 0.9);
    }
    for (int a = 0; a < 3; ++a) {
        const double size = base.bark.hi[a] - base.bark.lo[a];
        EXPECT_NEAR(s.bark.lo[a], base.bark.lo[a], 0.05 * size) << a;
        EXPECT_NEAR(s.bark.hi[a], base.bark.hi[a], 0.05 * size) << a;
    }
    // Texture coordinates are carried, never blended across a seam.
    EXPECT_TRUE(std::includes(base.uvs.begin(), base.uvs.end(), s.uvs.begin(), s.uvs.end()));
    EXPECT_GT(s.uvs.size(), 10u);
}

TEST_F(LodTree, EachLevelHalvesOrKeepsItsBudgetAndStaysATree) {
    const summary base = summarise(tree);
    const std::size_t all = triangle_count(tree);
    const std::vector<lod_level> chain = make_lod_chain(tree, 5);
    ASSERT_EQ(chain.size(), 4u);
    std::size_t before = all;
    for (std::size_t k = 0; k < chain.size(); ++k) {
        SCOPED_TRACE("level " + std::to_string(k + 1));
        const double share = double(chain[k].triangles) / double(before);
        EXPECT_GT(share, 0.4);
        EXPECT_LT(share, 0.6);
        before = chain[k].triangles;
        expect_level_is_a_tree(base, chain[k].layer, k >= 1);
    }
    EXPECT_TRUE(make_lod_chain(tree, 1).empty());

    const std::vector<std::size_t> budgets = {all / 3, all / 10};
    const std::vector<lod_level> given = make_lod_chain(tree, budgets);
    ASSERT_EQ(given.size(), 2u);
    for (std::size_t k = 0; k < given.size(); ++k) {
        SCOPED_TRACE("budget " + std::to_string(budgets[k]));
        EXPECT_LE(given[k].triangles, budgets[k]);
        EXPECT_GT(given[k].triangles, budgets[k] * 8 / 10);
        expect_level_is_a_tree(base, given[k].layer, k == 1);
    }
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

    // One image of each kind for every level, the .obj's levels naming
    // level 0's; names say what they are and carry the file's stem.
    EXPECT_FALSE(exists("t_LOD1_bark_color.png"));
    EXPECT_TRUE(file("t_LOD2.mtl").find("newmtl t_SF_trunk\nKd 1 1 1\n") != std::string::npos) << file("t_LOD2.mtl");
    EXPECT_TRUE(file("t_LOD1.mtl").find("map_Kd t_leaf_atlas.png\n") != std::string::npos) << file("t_LOD1.mtl");
    EXPECT_TRUE(file("t_LOD2.mtl").find("norm t_bark_normal.png\nmap_Pr -imfchan g t_bark_orm.png\n") !=
                std::string::npos)
        << file("t_LOD2.mtl");
    const std::string glb = file("t.glb");
    EXPECT_TRUE(file("t_LOD2.mtl").find("map_Kd t_leaf_cards.png\nmap_d t_leaf_cards.png\n") != std::string::npos)
        << file("t_LOD2.mtl");
    for (const char* name : {"t_bark_color.png", "t_leaf_atlas.png", "t_bark_normal.png", "t_bark_orm.png",
                             "t_leaf_normal.png", "t_leaf_cards.png"}) {
        const std::string image = file(name);
        const std::size_t at = glb.find(image);
        EXPECT_NE(at, std::string::npos) << name;
        EXPECT_EQ(glb.find(image, at + 1), std::string::npos) << name;
    }
    const json doc = glb_json(glb);
    const json one = glb_json(file("one.glb"));
    // Level 2 has cluster cards: their image and material once more.
    EXPECT_EQ(doc["images"].size(), 6u);
    EXPECT_EQ(doc["textures"].size(), 6u);
    std::set<std::string> names;
    for (const char* key : {"images", "materials"})
        for (const json& e : doc[key]) names.insert(e["name"].get<std::string>());
    EXPECT_EQ(names, (std::set<std::string>{"t_bark_color", "t_bark_normal", "t_bark_orm", "t_leaf_atlas", "t_leaf_normal",
                                            "t_leaf_cards", "t_SF_trunk", "t_SF_branch", "t_SF_twig", "t_SF_root",
                                            "t_LG_leaf", "t_SF_leaf_cards"}));
    // The bark's occlusion and roughness are one image.
    json trunk;
    for (const json& m : doc["materials"])
        if (m["name"] == "t_SF_trunk") trunk = m;
    EXPECT_EQ(trunk["occlusionTexture"]["index"], trunk["pbrMetallicRoughness"]["metallicRoughnessTexture"]["index"]);
    EXPECT_TRUE(trunk.contains("normalTexture"));
    EXPECT_EQ(doc["materials"].size(), 6u);
    for (const json& m : doc["materials"])
        if (m["name"] == "t_SF_leaf_cards") {
            EXPECT_EQ(m["alphaMode"], "MASK");
            EXPECT_TRUE(m["pbrMetallicRoughness"].contains("baseColorTexture"));
        }
    // Level 0 in the scene, the others its MSFT_lod alternatives in order,
    // each drawn down to a smaller screen coverage, the last never culled.
    ASSERT_EQ(doc["nodes"].size(), 4u);
    EXPECT_EQ(doc["nodes"][0]["name"], "t");
    EXPECT_EQ(doc["nodes"][0]["children"], json({1}));
    EXPECT_EQ(doc["nodes"][0]["extensions"]["MSFT_lod"]["ids"], json({2, 3}));
    EXPECT_EQ(doc["extensionsUsed"], json({"MSFT_lod"}));
    const json& coverage = doc["nodes"][0]["extras"]["MSFT_screencoverage"];
    ASSERT_EQ(coverage.size(), 3u);
    EXPECT_GT(coverage[0].get<double>(), coverage[1].get<double>());
    EXPECT_GT(coverage[1].get<double>(), 0.0);
    EXPECT_EQ(coverage[2].get<double>(), 0.0);
    std::size_t previous = 0;
    for (int k = 0; k < 3; ++k) {
        const json& node = doc["nodes"][k + 1];
        EXPECT_EQ(node["name"], "t_LOD" + std::to_string(k));
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

    // Levels as triangle budgets; bad ones refused with one line, nothing written.
    const std::size_t above = previous * 4;  // thousands: far above level 0
    for (const std::string& bad : std::vector<std::string>{"0", "9", "5k,20k", "20k,,5k", "x", "1,2,3,4,5,6,7,8", std::to_string(above) + "k"}) {
        ASSERT_EQ(run(sets + "--lod " + bad + " -o b.glb"), 2) << bad;
        EXPECT_TRUE(err_has("--lod")) << err();
        const std::string e = err();
        EXPECT_EQ(std::count(e.begin(), e.end(), '\n'), 1) << e;
        EXPECT_FALSE(exists("b.glb"));
    }
    const std::size_t all = triangle_count(tree);
    const std::string budgets = std::to_string(all / 3) + "," + std::to_string(all / 20000) + "k";
    ASSERT_EQ(run(sets + "--lod " + budgets + " -o b.glb"), 0) << err();
    const json b = glb_json(file("b.glb"));
    ASSERT_EQ(b["nodes"].size(), 4u);
    for (int k = 1; k < 3; ++k) {
        std::size_t triangles = 0;
        for (const json& p : b["meshes"][b["nodes"][k + 1]["mesh"].get<int>()]["primitives"])
            triangles += b["accessors"][p["indices"].get<int>()]["count"].get<std::size_t>() / 3;
        EXPECT_LE(triangles, k == 1 ? all / 3 : all / 20000 * 1000) << k;
    }

    if (std::system("command -v node >/dev/null 2>&1") != 0) GTEST_SKIP() << "node is not installed";
    const std::string script = std::string(SF_TEST_DATA_DIR) + "/../validate_gltf.mjs";
    const int status = std::system(("node '" + script + "' '" + dir.file("t.glb") + "' >'" + dir.file("v.txt") + "' 2>&1").c_str());
    const int code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    if (code == 3) GTEST_SKIP() << "npm package gltf-validator not found (set SF_GLTF_VALIDATOR)";
    const std::string report = test::slurp(dir.file("v.txt"));
    ASSERT_EQ(code, 0) << report;
    EXPECT_EQ(report.rfind("errors 0 warnings 0 ", 0), 0u) << report;
}

// A tint per leaf: the same on all its corners, within a few percent of
// white, differing between the leaves that follow each other on a twig, and
// the same for a leaf kept in a coarser level.
TEST_F(LodTree, LeafTintsDifferByLeafAndStayInRangeThroughLevels) {
    using tint = std::array<float, 3>;
    auto tints_of = [](const mesh_layer& l) {
        const std::vector<float> t = leaf_tints(l);
        EXPECT_EQ(t.size(), std::size_t(l.point_count()) * 3);
        const index_t leaf = l.strings().find("LG_leaf");
        std::vector<std::pair<tint, std::vector<index_t>>> polygons;  // per leaf polygon
        for (index_t p = 0; p < l.polygon_count() && !t.empty(); ++p) {
            const auto pts = l.polygon_points(p);
            std::vector<index_t> own(pts.begin(), pts.end());
            const tint first = {t[pts[0] * 3], t[pts[0] * 3 + 1], t[pts[0] * 3 + 2]};
            for (index_t q : pts)
                for (int k = 0; k < 3; ++k) {
                    const float v = t[std::size_t(q) * 3 + std::size_t(k)];
                    if (l.polygon_surface(p) != leaf) {
                        EXPECT_EQ(v, 1.0f);
                    } else {
                        EXPECT_EQ(v, first[std::size_t(k)]);
                        EXPECT_GE(v, k_min_leaf_tint);
                        EXPECT_LE(v, 1.0f);
                    }
                }
            if (l.polygon_surface(p) == leaf) polygons.emplace_back(first, std::move(own));
        }
        return polygons;
    };
    const auto base = tints_of(tree);
    ASSERT_GT(base.size(), 100u);
    // Neighbours: consecutive leaf polygons that share no point.
    std::size_t pairs = 0, differ = 0;
    for (std::size_t i = 1; i < base.size(); ++i) {
        const auto& [a, pa] = base[i - 1];
        const auto& [b, pb] = base[i];
        if (std::any_of(pa.begin(), pa.end(), [&](index_t q) { return std::find(pb.begin(), pb.end(), q) != pb.end(); }))
            continue;
        ++pairs;
        float d = 0;
        for (int k = 0; k < 3; ++k) d = std::max(d, std::fabs(a[std::size_t(k)] - b[std::size_t(k)]));
        differ += d > 0.01f;
    }
    ASSERT_GT(pairs, 50u);
    EXPECT_GT(differ, pairs * 3 / 4);
    EXPECT_EQ(leaf_tints(tree), leaf_tints(tree));

    // Levels grow kept leaves about where they hang, which moves their
    // centres: their tints change, but stay within the leaves' range.
    const std::vector<lod_level> chain = make_lod_chain(tree, 2);
    ASSERT_EQ(chain.size(), 1u);
    for (const auto& [t, pts] : tints_of(chain[0].layer))
        for (float c : t) ASSERT_TRUE(c >= k_min_leaf_tint && c <= 1.0f) << c;
}

// Bark corners (per-point and per-polygon texture coordinates) as a set of
// (x, y, z, u, v), and the positions that hold both u = 0 and u = 1: the
// seam along every tube.
struct bark_corners {
    std::set<std::array<float, 5>> corners;
    std::size_t seam_positions = 0;
};

bark_corners bark_of(const mesh_layer& l) {
    bark_corners b;
    const index_t uv = l.find_map(LWVMAP_TXUV, "SF_branch"), leaf = l.strings().find("LG_leaf");
    std::map<std::array<float, 3>, int> ends;  // bit 0: u = 0 there, bit 1: u = 1
    std::map<std::pair<index_t, index_t>, const float*> own;  // (polygon, point): its value, the latest
    for (const value_record& r : l.polygon_point_values())
        if (r.map == uv) own[{r.polygon, r.point}] = r.v;
    for (index_t p = 0; p < l.polygon_count(); ++p) {
        if (l.polygon_surface(p) == leaf || l.polygon_points(p).size() < 3) continue;
        for (index_t q : l.polygon_points(p)) {
            const auto it = own.find({p, q});
            const float* v = it != own.end() ? it->second : l.point_value(uv, q);
            if (!v) continue;
            const double* x = l.point(q);
            b.corners.insert({float(x[0]), float(x[1]), float(x[2]), v[0], v[1]});
            ends[{float(x[0]), float(x[1]), float(x[2])}] |= (v[0] == 0.0f) | (v[0] == 1.0f) << 1;
        }
    }
    for (const auto& [at, bits] : ends) b.seam_positions += bits == 3;
    return b;
}

// --triangles: the tubes refined and simplified so the whole tree has at
// most N triangles, leaves whole, seams and maps kept; the tool's own
// files unchanged; a budget below what the seams allow refused.
TEST_F(LodTree, RoundBarkWithinTheBudget) {
    const std::string sets = "build --set render_type=Polygonal --set twig_type=up --set 'leaf_shape=two polys' "
                             "--set branches=80 ";
    ASSERT_EQ(run(sets + "-o sq.lwo -o sq.glb"), 0) << err();
    const std::size_t square = triangle_count(tree);
    const std::string budget = std::to_string(square);
    ASSERT_EQ(run(sets + "--triangles " + budget + " --lod 2 -o r.edits -o r.lwo -o r.glb"), 0) << err();
    EXPECT_EQ(file("r.edits"), file("t.edits"));
    EXPECT_EQ(file("r.lwo"), file("sq.lwo"));
    const json doc = glb_json(file("r.glb"));
    std::size_t triangles = 0;
    for (const json& p : doc["meshes"][0]["primitives"])  // level 0
        triangles += doc["accessors"][p["indices"].get<int>()]["count"].get<std::size_t>() / 3;
    EXPECT_LE(triangles, square);
    EXPECT_GT(triangles, square * 9 / 10);

    const mesh_layer refined = subdivide_patches(tubes_as_cages(tree), 2);
    const budget_level fit = fit_to_budget(refined, square);
    ASSERT_TRUE(fit.fits);
    EXPECT_LE(triangle_count(fit.layer), square);
    const summary base = summarise(tree), s = summarise(fit.layer);
    // Leaves kept whole, each moved with the bark it hangs from: none
    // farther from it than in the tree itself.
    EXPECT_EQ(s.leaf_polygons, base.leaf_polygons);
    EXPECT_NEAR(s.leaf_area, base.leaf_area, 1e-6 * base.leaf_area);
    EXPECT_LE(check_layer(fit.layer, 0.02).farthest_leaf, check_layer(refined, 0.02).farthest_leaf + 1e-3);
    for (int a = 0; a < 3; ++a) {
        const double size = base.bark.hi[a] - base.bark.lo[a];
        EXPECT_NEAR(s.bark.lo[a], base.bark.lo[a], 0.05 * size) << a;
        EXPECT_NEAR(s.bark.hi[a], base.bark.hi[a], 0.05 * size) << a;
    }
    // Every corner is one of the refined surface's, coordinates and all
    // (nothing blended across a seam), and the seams are still there.
    const bark_corners before = bark_of(refined), after = bark_of(fit.layer);
    EXPECT_TRUE(std::includes(before.corners.begin(), before.corners.end(), after.corners.begin(), after.corners.end()));
    EXPECT_GT(after.seam_positions, before.seam_positions / 8);
    for (const vmap_desc& m : tree.maps())
        EXPECT_NE(fit.layer.find_map(m.type, tree.strings().view(m.name)), k_none) << tree.strings().view(m.name);

    ASSERT_EQ(run(sets + "--triangles 50 -o small.glb"), 2);
    EXPECT_TRUE(err_has("--triangles 50: this tree needs at least ")) << err();
    const std::string e = err();
    EXPECT_EQ(std::count(e.begin(), e.end(), '\n'), 1) << e;
    EXPECT_FALSE(exists("small.glb"));
}

// Every level of every starter tree renders as one: no triangles without
// area, every leaf within 5 cm of bark at level 0 and no farther from kept
// bark at any level than there, grown at most twofold, twigs not folded
// into ribbons.
struct LodStarters : test::program_test {};

TEST_F(LodStarters, EveryLevelStaysATree) {
    auto largest_leaf = [](const mesh_layer& l) {
        const index_t leaf = l.strings().find("LG_leaf");
        double most = 0.0;
        for (index_t p = 0; p < l.polygon_count(); ++p)
            if (l.polygon_surface(p) == leaf && l.polygon_points(p).size() >= 3) most = std::max(most, area(l, p));
        return most;
    };
    for (const app::starter_preset& preset : app::starter_presets()) {
        SCOPED_TRACE(preset.name);
        std::string args = "build";
        if (!preset.crown.empty()) {
            dir.write("crown.obj", app::starter_crown(preset.crown));
            args += " --crown crown.obj";
        }
        for (const std::string& set : preset.sets) args += " --set '" + set + "'";
        ASSERT_EQ(run(args + " -o t.edits"), 0) << err();
        mesh_layer tree;
        read_edit_log(file("t.edits"), "t.edits", tree);
        const mesh_layer base = with_bark_uv(tree);
        const layer_health whole = check_layer(base, 0.05);
        EXPECT_EQ(whole.leaves_far, 0u) << whole.farthest_leaf;
        const double leaf = largest_leaf(base);
        const std::vector<lod_level> chain = make_lod_chain(base, 4);
        ASSERT_EQ(chain.size(), 3u);
        for (std::size_t k = 0; k < chain.size(); ++k) {
            SCOPED_TRACE("level " + std::to_string(k + 1));
            // A leaf moves with its bark, so it hangs no farther from it than at level 0.
            const layer_health h = check_layer(chain[k].layer, whole.farthest_leaf + 0.002);
            EXPECT_EQ(h.leaves_far, 0u) << h.farthest_leaf << " (level 0: " << whole.farthest_leaf << ")";
            EXPECT_LE(largest_leaf(chain[k].layer), leaf * 4.0 * 1.001);
            for (const surface_health& s : h.surfaces) {
                EXPECT_LE(s.degenerate * 1000, s.triangles) << s.surface;
                if (s.surface == "SF_twig") {
                    EXPECT_LE(s.folded * 100, s.corners * 3) << s.folded;
                }
            }
        }
    }
}

// The leaves' distances check_layer reports are those to the nearest bark
// triangle, found one by one: bark scattered in clumps and gaps (the grid
// it searches has cells of many sizes' worth of triangles), leaves around it.
TEST(LodHealth, LeafDistancesAreToTheNearestBark) {
    mesh_layer l;
    const index_t leaf = l.strings().intern("LG_leaf"), bark = l.strings().intern("SF_branch");
    std::uint64_t state = 7;
    auto next = [&] {  // 0 .. 1
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        return double(state >> 11) / double(1ull << 53);
    };
    std::vector<std::array<double, 9>> tris;
    for (int t = 0; t < 3000; ++t) {
        const double size = t % 10 == 0 ? 0.5 : 0.05, c[3] = {next() * 4, next() * next() * 4, next() * 4};
        std::array<double, 9> tri;
        index_t pts[3];
        for (int i = 0; i < 3; ++i) {
            for (int k = 0; k < 3; ++k) tri[std::size_t(i * 3 + k)] = c[k] + (next() - 0.5) * size;
            pts[i] = l.add_point(tri[std::size_t(i * 3)], tri[std::size_t(i * 3 + 1)], tri[std::size_t(i * 3 + 2)]);
        }
        l.add_polygon(LWPOLTYPE_FACE, bark, pts);
        tris.push_back(tri);
    }
    std::vector<double> nearest;  // per leaf, by trying every bark triangle
    for (int g = 0; g < 400; ++g) {
        const double c[3] = {next() * 4.4 - 0.2, next() * 4.4 - 0.2, next() * 4.4 - 0.2};
        index_t pts[3];
        double best = 1e300;
        for (int i = 0; i < 3; ++i) {
            const double p[3] = {c[0] + next() * 0.02, c[1] + next() * 0.02, c[2] + i * 0.01};
            pts[i] = l.add_point(p[0], p[1], p[2]);
            for (const auto& t : tris) best = std::min(best, distance_to_triangle(p, &t[0], &t[3], &t[6]));
        }
        l.add_polygon(LWPOLTYPE_FACE, leaf, pts);
        nearest.push_back(best);
    }
    // A measured distance is never below the true one; counting those past
    // each true distance finds any leaf measured too far.
    std::sort(nearest.begin(), nearest.end());
    for (std::size_t i = 0; i < nearest.size(); i += 4) {
        const layer_health h = check_layer(l, nearest[i] + 1e-9);
        ASSERT_EQ(h.leaves, nearest.size());
        EXPECT_NEAR(h.farthest_leaf, nearest.back(), 1e-9);
        ASSERT_EQ(h.leaves_far, nearest.size() - std::size_t(std::upper_bound(nearest.begin(), nearest.end(),
                                                                                nearest[i] + 1e-9) - nearest.begin()))
            << nearest[i];
    }
}

TEST(LodFiles, NamesAndJunk) {
    EXPECT_EQ(lod_path("trees/oak.obj", 2), "trees/oak_LOD2.obj");
    EXPECT_EQ(lod_path("a.b/tree", 1), "a.b/tree_LOD1");
    EXPECT_THROW(merge_glb_levels({"not a glb file at all"}), io_error);
}

}  // namespace
}  // namespace sf::formats
