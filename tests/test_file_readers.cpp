// Files the program writes, opened by readers no one here wrote: Assimp for
// .obj, .lwo and .glb, the Khronos validator for .glb.
#include <gtest/gtest.h>

#include <cstdlib>
#include <regex>
#include <string>

#include "formats/edit_log.h"
#include "formats/mesh_layer.h"
#include "scratch_dir.h"

namespace sf {
namespace {

struct counts {
    long vertices = -1, faces = -1;
};

counts assimp_counts(test::program_test& t, const std::string& file) {
    const std::string cmd = "cd '" + t.dir.path.string() + "' && assimp info '" + file + "' -r > info.txt 2>&1";
    EXPECT_EQ(std::system(cmd.c_str()), 0) << t.file("info.txt");
    const std::string info = t.file("info.txt");
    counts c;
    std::smatch m;
    if (std::regex_search(info, m, std::regex(R"(Vertices:\s+(\d+))"))) c.vertices = std::stol(m[1]);
    if (std::regex_search(info, m, std::regex(R"(Faces:\s+(\d+))"))) c.faces = std::stol(m[1]);
    return c;
}

using ReadersOpen = test::program_test;

TEST_F(ReadersOpen, ObjLwoAndGlbOfTestTrees) {
    if (std::system("command -v assimp >/dev/null 2>&1") != 0) GTEST_SKIP() << "assimp is not installed";
    const char* trees[] = {
        "--set branches=30",  // skeleton lines
        "--set branches=30 --set render_type=1 --set twig_type=5 --set leaf_shape=3",
    };
    for (const char* settings : trees) {
        SCOPED_TRACE(settings);
        ASSERT_EQ(run(std::string("build ") + settings + " -o t.edits -o t.obj -o t.lwo -o t.glb"), 0) << err();
        formats::mesh_layer layer;
        formats::read_edit_log(file("t.edits"), "t.edits", layer);
        long corners = 0, triangles_and_lines = 0;
        for (formats::index_t p = 0; p < layer.polygon_count(); ++p) {
            const long n = static_cast<long>(layer.polygon_points(p).size());
            corners += n;
            triangles_and_lines += n == 2 ? 1 : n - 2;
        }
        const long polygons = layer.polygon_count();
        EXPECT_EQ(assimp_counts(*this, "t.obj").faces, polygons);
        const counts lwo = assimp_counts(*this, "t.lwo");
        EXPECT_EQ(lwo.faces, polygons);
        EXPECT_EQ(lwo.vertices, corners);
        // glTF splits quads into two triangles; degenerate ones are left out.
        const counts glb = assimp_counts(*this, "t.glb");
        EXPECT_GT(glb.faces, 0);
        EXPECT_LE(glb.faces, triangles_and_lines);
    }
}

TEST_F(ReadersOpen, GlbOfASubdTreePassesTheValidator) {
    ASSERT_EQ(run("build --set branches=40 --set render_type=2 --set twig_type=1 --set leaf_shape=2 "
                  "--subdivide 1 -o t.glb --preview t.png"),
              0)
        << err();
    EXPECT_TRUE(exists("t.png"));
    const std::string script = std::string(SF_TEST_DATA_DIR) + "/../validate_gltf.mjs";
    const std::string cmd = "node '" + script + "' '" + dir.file("t.glb") + "' > '" + dir.file("v.txt") + "' 2>&1";
    const int status = std::system(cmd.c_str());
    const int code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    if (code == 3 || code == 127) GTEST_SKIP() << "the glTF validator is not installed";
    EXPECT_EQ(code, 0) << file("v.txt");
    EXPECT_NE(file("v.txt").find("errors 0"), std::string::npos) << file("v.txt");
}

}  // namespace
}  // namespace sf
