// Golden edit logs: whole builds through the program, compared byte for byte
// with logs kept in tests/data. Set SF_UPDATE_GOLDEN=1 to rewrite them after
// an intended change, and review the diff.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include "scratch_dir.h"

namespace {

struct golden_case {
    const char* name;
    const char* args;
};

const golden_case k_cases[] = {
    {"default", ""},
    {"small_typeb",
     "--set branches=12 --set segments=5 --set sub_segments=3 --set branch_type=1 --set trunks=2 "
     "--set random_seed=7 --set trunk_thick_type=1"},
    {"box_spacing",
     "--crown " SF_TEST_DATA_DIR "/box.obj --set branches=25 --set trunk_influence=1 "
     "--set branch_end_split=30% --set random_seed=-5 --set iterations=3 --set normals_influence=-50%"},
    {"influence_off",
     "--set branches=40 --set trunk_influence=0 --set tree_center=0.6 --set branch_bend_end=-2 "
     "--set bias=0.5 --set branch_crookedness=25deg"},
    {"poly_random_twigs",
     "--set branches=6 --set segments=4 --set render_type=1 --set twig_type=5 --set leaf_shape=3 "
     "--set twig_coverage=30%"},
    {"subd_up_twigs",
     "--set branches=5 --set segments=4 --set render_type=2 --set twig_type=1 --set leaf_shape=2 "
     "--set number_of_roots=8 --set leaf_growth=0 --set twig_coverage=50%"},
    {"poly_side_twigs",
     "--set branches=5 --set segments=4 --set render_type=1 --set twig_type=6 --set twig_length_type=0 "
     "--set leaf_shape=5 --set leaf_density=3 --set random_seed=11 --set assign_range_weight_map=0 "
     "--set twig_coverage=25%"},
    {"poly_two_trunks",
     "--set branches=6 --set segments=4 --set render_type=1 --set twig_type=3 --set leaf_shape=4 "
     "--set number_of_roots=12 --set trunks=2 --set trunk_thick_type=1 --set sub_segments=1 "
     "--set twig_coverage=30%"},
    {"poly_branch_twigs",
     "--set branches=5 --set segments=4 --set render_type=1 --set twig_type=4 --set leaf_shape=1 "
     "--set twig_segments=2 --set random_seed=-3 --set assign_thick_weight_map=0 --set twig_coverage=40%"},
};

void PrintTo(const golden_case& c, std::ostream* os) { *os << c.name; }

class Golden : public ::testing::TestWithParam<golden_case> {};

// Where a mismatching log is kept: the test framework's temporary folder,
// which outlives the test.
std::string kept_log_path(const std::string& name) {
    return ::testing::TempDir() + "sylvaform-golden-" + name + ".edits";
}

TEST_P(Golden, EditLogMatches) {
    sf::test::scratch_dir dir;
    const golden_case& c = GetParam();
    const std::string out = dir.file("out.edits");
    // Values beyond a slider (sub_segments=1) go through the command line
    // like any other and build what the panel's set callback makes of them.
    const std::string cmd = std::string("'" SF_PROGRAM "' build ") + c.args + " -o '" + out + "' 2>/dev/null";
    const int status = std::system(cmd.c_str());
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << cmd;
    const std::string got = sf::test::slurp(out);

    const std::string path = std::string(SF_TEST_DATA_DIR) + "/" + c.name + ".edits";
    if (std::getenv("SF_UPDATE_GOLDEN")) {
        std::ofstream(path, std::ios::binary) << got;
        GTEST_SKIP() << "rewrote " << path;
    }
    const std::string want = sf::test::slurp(path);
    ASSERT_FALSE(want.empty()) << "missing golden log " << path;
    if (got == want) return;
    // The scratch folder goes away with the test: keep the log where it can be diffed.
    const std::string kept = kept_log_path(c.name);
    std::ofstream(kept, std::ios::binary) << got;
    ADD_FAILURE() << c.name << ": the build no longer writes the golden log; kept it as " << kept
                  << "\n  diff -u '" << path << "' '" << kept << "'";
}

INSTANTIATE_TEST_SUITE_P(Builds, Golden, ::testing::ValuesIn(k_cases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
