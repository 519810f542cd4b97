// Wind data recovered from a real tree: branches cut at their junctions,
// pivots on the parent's axis (the same tree's skeleton), leaves pivoting on
// their twigs; and the .glb sets that carry it.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <vector>

#include "formats/edit_log.h"
#include "formats/wind.h"
#include "scratch_dir.h"

namespace sf::formats {
namespace {

#ifdef SF_PROGRAM
using wind8 = std::array<float, 8>;  // pivot xyz, length, direction xyz, level + phase

struct wind_branch {
    std::set<index_t> points;
    std::set<std::string> surfaces;
};

struct WindTree : sf::test::program_test {};

TEST_F(WindTree, BranchesAreCutAtTheirForksAndPivotThere) {
    const std::string sets = "build --set twig_type=1 --set leaf_shape=2 --set branches=60 ";
    ASSERT_EQ(run(sets + "--set render_type=1 -o t.edits"), 0) << err();
    ASSERT_EQ(run(sets + "--set render_type=0 -o s.edits"), 0) << err();
    mesh_layer l, skeleton;
    read_edit_log(file("t.edits"), "t.edits", l);
    read_edit_log(file("s.edits"), "s.edits", skeleton);
    add_wind_maps(l);
    index_t maps[4];
    for (int k = 0; k < 4; ++k) ASSERT_NE(maps[k] = l.find_map(LWVMAP_TXUV, k_wind_maps[k]), k_none);
    std::map<std::pair<index_t, index_t>, std::array<const float*, 4>> own;  // (polygon, point)
    for (const value_record& r : l.polygon_point_values())
        for (int k = 0; k < 4; ++k)
            if (r.map == maps[k]) own[{r.polygon, r.point}][k] = r.v;
    auto corner = [&](index_t p, index_t q) {
        wind8 w;
        const auto it = own.find({p, q});
        for (int k = 0; k < 4; ++k) {
            const float* v = it != own.end() && it->second[k] ? it->second[k] : l.point_value(maps[k], q);
            EXPECT_NE(v, nullptr);
            w[std::size_t(2 * k)] = v ? v[0] : NAN;
            w[std::size_t(2 * k + 1)] = v ? v[1] : NAN;
        }
        return wind8{w[0], w[1], w[2], w[3], w[4], w[5], w[6], w[7]};
    };

    // Every polygon lies in one branch: its corners carry equal values.
    std::map<wind8, wind_branch> branches;
    std::size_t leaf_polygons = 0;
    for (index_t p = 0; p < l.polygon_count(); ++p) {
        const auto pts = l.polygon_points(p);
        const wind8 w = corner(p, pts[0]);
        for (index_t q : pts) ASSERT_EQ(corner(p, q), w) << "polygon " << p;
        wind_branch& b = branches[w];
        b.points.insert(pts.begin(), pts.end());
        b.surfaces.insert(std::string(l.strings().view(l.polygon_surface(p))));
        leaf_polygons += l.strings().view(l.polygon_surface(p)) == "LG_leaf";
    }
    auto at = [&](index_t q) { return std::array<double, 3>{l.point(q)[0], l.point(q)[1], l.point(q)[2]}; };
    auto dist = [](const std::array<double, 3>& a, const std::array<double, 3>& b) {
        return std::hypot(a[0] - b[0], a[1] - b[1], a[2] - b[2]);
    };
    std::size_t count[4] = {}, phases = 0;
    std::set<float> phase_set;
    for (const auto& [w, b] : branches) {
        const int level = int(std::floor(w[7]));
        ASSERT_GE(level, 0);
        ASSERT_LE(level, 3);
        ++count[level];
        phase_set.insert(w[7] - float(level));
        ++phases;
        const std::array<double, 3> pivot{w[0], w[1], w[2]}, dir{w[4], w[5], w[6]};
        EXPECT_NEAR(std::hypot(dir[0], dir[1], dir[2]), 1.0, 1e-5);
        double far = 0, ahead = 0;
        for (index_t q : b.points) {
            const auto x = at(q);
            far = std::max(far, dist(x, pivot));
            ahead += (x[0] - pivot[0]) * dir[0] + (x[1] - pivot[1]) * dir[1] + (x[2] - pivot[2]) * dir[2];
        }
        EXPECT_NEAR(w[3], far, 1e-4 * (1 + far));
        EXPECT_GT(ahead, 0.0) << "the direction points into the branch";
        if (level == 0) {
            EXPECT_TRUE(b.surfaces.count("SF_trunk"));
            continue;
        }
        EXPECT_EQ(b.surfaces.count("SF_twig") > 0, level == 2);
        // On an axis of the skeleton (lines between the tree's nodes):
        // clearly nearer to it than to any tube point, which a pivot on the
        // parent's surface is not. Leaves stand along their twig's axis.
        double axis = INFINITY;
        for (index_t p = 0; p < skeleton.polygon_count(); ++p) {
            const auto e = skeleton.polygon_points(p);
            if (e.size() != 2) continue;
            const double *a = skeleton.point(e[0]), *c = skeleton.point(e[1]);
            double ab[3], ap[3], t = 0, len2 = 0;
            for (int k = 0; k < 3; ++k) {
                ab[k] = c[k] - a[k];
                ap[k] = pivot[std::size_t(k)] - a[k];
                t += ab[k] * ap[k];
                len2 += ab[k] * ab[k];
            }
            t = len2 > 0 ? std::clamp(t / len2, 0.0, 1.0) : 0.0;
            axis = std::min(axis, std::hypot(ap[0] - t * ab[0], ap[1] - t * ab[1], ap[2] - t * ab[2]));
        }
        if (level == 3 && count[3] % 10 != 1) continue;
        double surface = INFINITY;
        for (const auto& [w2, b2] : branches)
            if (std::floor(w2[7]) < 3 && w2 != w)
                for (index_t q : b2.points) surface = std::min(surface, dist(at(q), pivot));
        EXPECT_LT(axis, 0.8 * surface) << "level " << level;
    }
    EXPECT_EQ(count[0], 1u);  // one trunk, its roots with it
    EXPECT_GT(count[1], 10u);
    EXPECT_GT(count[2], 10u);
    EXPECT_EQ(count[3], leaf_polygons / 2);  // "two polys": one branch per leaf
    EXPECT_GT(phase_set.size(), phases * 9 / 10);  // a phase per branch, nearly all distinct
}

TEST_F(WindTree, GlbCarriesTheSetsOnlyWhenAsked) {
    const std::string sets = "build --set render_type=2 --set twig_type=1 --set leaf_shape=2 --set branches=40 ";
    ASSERT_EQ(run(sets + "--subdivide 1 --lod 2 --wind -o w.glb -o w.lwo -o w.edits"), 0) << err();
    ASSERT_EQ(run(sets + "--subdivide 1 --lod 2 -o n.glb -o n.lwo -o n.edits"), 0) << err();
    EXPECT_EQ(file("w.edits"), file("n.edits"));
    // Without an edit log the maps go onto the tree itself, after the .lwo
    // is written: the same files as from the copies.
    const std::string with[2] = {file("w.lwo"), file("w.glb")}, without[2] = {file("n.lwo"), file("n.glb")};
    ASSERT_EQ(run(sets + "--subdivide 1 --lod 2 --wind -o w.lwo -o w.glb"), 0) << err();
    ASSERT_EQ(run(sets + "--subdivide 1 --lod 2 -o n.glb -o n.lwo"), 0) << err();
    EXPECT_TRUE(file("w.lwo") == with[0] && file("w.glb") == with[1]);
    EXPECT_TRUE(file("n.lwo") == without[0] && file("n.glb") == without[1]);
    EXPECT_NE(file("w.lwo").find("SF_wind_dir_z_level_phase"), std::string::npos);
    EXPECT_EQ(file("n.lwo").find("SF_wind"), std::string::npos);
    const std::string glb = file("w.glb");
    const std::uint32_t json_length = *reinterpret_cast<const std::uint32_t*>(glb.data() + 12);
    const nlohmann::json doc = nlohmann::json::parse(glb.substr(20, json_length));
    ASSERT_EQ(doc["meshes"].size(), 2u);
    for (const auto& mesh : doc["meshes"])
        for (const auto& p : mesh["primitives"]) {
            const auto& a = p["attributes"];
            for (int k = 0; k < 5; ++k) EXPECT_TRUE(a.contains("TEXCOORD_" + std::to_string(k)));
            EXPECT_EQ(p["extras"]["texcoords"][1], "SF_wind_pivot_xy");
            EXPECT_FALSE(a.contains("TEXCOORD_5"));
        }
    EXPECT_EQ(file("n.glb").find("SF_wind"), std::string::npos);

    if (std::system("command -v node >/dev/null 2>&1") != 0) GTEST_SKIP() << "node is not installed";
    const std::string script = std::string(SF_TEST_DATA_DIR) + "/../validate_gltf.mjs";
    const int status = std::system(("node '" + script + "' '" + dir.file("w.glb") + "' >'" + dir.file("v.txt") +
                                    "' 2>&1").c_str());
    const int code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    if (code == 3) GTEST_SKIP() << "npm package gltf-validator not found (set SF_GLTF_VALIDATOR)";
    ASSERT_EQ(code, 0) << file("v.txt");
    EXPECT_EQ(file("v.txt").rfind("errors 0 warnings 0 ", 0), 0u) << file("v.txt");
}
#endif

}  // namespace
}  // namespace sf::formats
