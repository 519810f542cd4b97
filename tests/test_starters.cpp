// The starter presets and crowns: a new default shelf offers them, each
// builds, and each crown is a closed surface facing out.
#include <gtest/gtest.h>

#include <array>
#include <cstdlib>
#include <map>

#include "app/settings_args.h"
#include "app/starter_presets.h"
#include "formats/mesh_layer.h"
#include "formats/obj_reader.h"
#include "scratch_dir.h"

namespace sf::app {
namespace {

TEST(Starters, SixOrMoreParseAndTheirCrownsExist) {
    const std::vector<starter_preset> all = starter_presets();
    EXPECT_GE(all.size(), 6u);
    for (const starter_preset& p : all) {
        EXPECT_FALSE(p.about.empty()) << p.name;
        EXPECT_FALSE(p.sets.empty()) << p.name;
        if (!p.crown.empty()) {
            EXPECT_NE(starter_crown(p.crown), nullptr) << p.name;
        }
    }
    EXPECT_THROW(parse_starter("x", "# ok\nbranches=abc\n"), usage_error);
    EXPECT_THROW(parse_starter("x", "crown nowhere\n"), usage_error);
    EXPECT_THROW(parse_starter("x", "no_such_field=1\n"), usage_error);
    const starter_preset ok = parse_starter("x", "# About it.\n\ncrown bush\n  twig_type=up  \n");
    EXPECT_EQ(ok.about, "About it.");
    EXPECT_EQ(ok.crown, "bush");
    EXPECT_EQ(ok.sets, std::vector<std::string>{"twig_type=up"});
}

// Every edge is shared by two faces running it in opposite directions, and
// the faces, taken together, face away from the crown's middle.
TEST(Starters, CrownsAreClosedAndFaceOut) {
    ASSERT_FALSE(starter_crowns_files().empty());
    for (const starter_file& f : starter_crowns_files()) {
        formats::mesh_layer layer;
        formats::read_obj_text(f.text, f.name, layer);
        ASSERT_GT(layer.polygon_count(), 50u) << f.name;
        std::map<std::pair<formats::index_t, formats::index_t>, int> edges;
        std::array<double, 3> mid{0, 0, 0};
        for (formats::index_t i = 0; i < layer.point_count(); ++i)
            for (int k = 0; k < 3; ++k) mid[k] += layer.point(i)[k] / double(layer.point_count());
        double outward = 0.0;
        for (formats::index_t p = 0; p < layer.polygon_count(); ++p) {
            const auto pts = layer.polygon_points(p);
            std::array<double, 3> n{0, 0, 0}, c{0, 0, 0};
            for (std::size_t k = 0; k < pts.size(); ++k) {
                const double* a = layer.point(pts[k]);
                const double* b = layer.point(pts[(k + 1) % pts.size()]);
                ++edges[{pts[k], pts[(k + 1) % pts.size()]}];
                n[0] += (a[1] - b[1]) * (a[2] + b[2]);
                n[1] += (a[2] - b[2]) * (a[0] + b[0]);
                n[2] += (a[0] - b[0]) * (a[1] + b[1]);
                for (int j = 0; j < 3; ++j) c[j] += a[j] / double(pts.size());
            }
            for (int j = 0; j < 3; ++j) outward += n[j] * (c[j] - mid[j]);
        }
        for (const auto& [e, count] : edges) {
            EXPECT_EQ(count, 1) << f.name << ": edge run twice the same way";
            EXPECT_EQ(edges.count({e.second, e.first}), 1u) << f.name << ": open edge";
        }
        EXPECT_GT(outward, 0.0) << f.name << " faces inward";
    }
}

// The program runs with HOME in the test's directory.
struct StarterShelf : test::program_test {
    std::string old_home;
    void SetUp() override {
        if (const char* h = std::getenv("HOME")) old_home = h;
        ::setenv("HOME", dir.path.c_str(), 1);
    }
    void TearDown() override { ::setenv("HOME", old_home.c_str(), 1); }
};

TEST_F(StarterShelf, ANewDefaultShelfOffersThemAndEachBuilds) {
    const std::string home;
    // Nothing grown without a module: the shelf stays new.
    ASSERT_EQ(run("--module missing.so preset list"), 0) << err();
    EXPECT_TRUE(err_has("could not be installed")) << err();
    EXPECT_FALSE(exists(".local/share/sylvaform/presets"));
    ASSERT_EQ(run(home + "preset list"), 0) << err();
    const std::string names = out();
    EXPECT_TRUE(err_has("installed")) << err();
    const std::string shelf = ".local/share/sylvaform/presets/";
    for (const starter_preset& p : starter_presets()) {
        EXPECT_NE(names.find(p.name + "\n"), std::string::npos) << names;
        EXPECT_TRUE(exists(shelf + p.name + ".png")) << p.name;
        ASSERT_EQ(run(home + "build --preset " + p.name + " -o " + p.name + ".edits"), 0) << err();
        EXPECT_GT(file(p.name + ".edits").size(), 10000u) << p.name;
    }
    // Each grows in its own crown without --crown.
    dir.write("umbrella.obj", starter_crown("umbrella"));
    ASSERT_EQ(run(home + "build --preset umbrella --crown umbrella.obj -o given.edits"), 0) << err();
    EXPECT_TRUE(file("umbrella.edits") == file("given.edits"));
    // Installed once: a removed starter stays removed.
    ASSERT_EQ(run(home + "preset remove winter"), 0) << err();
    ASSERT_EQ(run(home + "preset list"), 0) << err();
    EXPECT_EQ(out().find("winter"), std::string::npos);
    EXPECT_FALSE(err_has("installed")) << err();
    // And they can be put on any shelf again.
    ASSERT_EQ(run("preset starters --shelf other"), 0) << err();
    ASSERT_EQ(run("preset list --shelf other"), 0) << err();
    EXPECT_EQ(out(), names);
}

}  // namespace
}  // namespace sf::app
