// The build callback as the host drives it: errors, tool state, monitor
// steps and the geometry it writes.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/default_crown.h"
#include "app/standin_host.h"
#include "core/background.h"
#include "core/branch.h"
#include "plugin/build.h"
#include "ui/services.h"

namespace sf {
namespace {

// Services that record what the build asked of them.
struct recorder {
    static inline std::vector<std::string> messages;
    static inline std::vector<unsigned> steps;
    static inline unsigned total = 0;
    static inline int monitors_open = 0;

    static void info(const char* a, const char* b) { messages.push_back(std::string(a) + "|" + b); }
    static void init(void*, unsigned t) { total = t; }
    static int step(void*, unsigned n) {
        steps.push_back(n);
        return 1;  // asks to abort: the build must ignore it
    }
    static void done(void*) {}
    static LWMonitor* create(const char*, const char*) {
        ++monitors_open;
        static LWMonitor mon{nullptr, init, step, done};
        return &mon;
    }
    static void destroy(LWMonitor*) { --monitors_open; }
};

const LWMessageFuncs k_messages{recorder::info};
const DynaMonitorFuncs k_monitor{recorder::create, recorder::destroy};

struct Build : ::testing::Test {
    app::standin_host host;
    MeshEditOp op{};
    settings_typ r{};

    void SetUp() override {
        recorder::messages.clear();
        recorder::steps.clear();
        g_services.message = &k_messages;
        g_services.monitor = &k_monitor;
        reset_to_defaults(r);
        r.hidden = 1;
        op = host.edit_op();
    }
    void TearDown() override {
        g_services = {};
        release_branch_table();
        release_background();
    }
    void add_triangle(double y) {
        auto& bg = host.background();
        const auto a = bg.add_point(0, y, 0), b = bg.add_point(1, y, 0), c = bg.add_point(0, y, 1);
        const formats::index_t pts[] = {a, b, c};
        bg.add_polygon(LWPOLTYPE_FACE, formats::k_none, pts);
    }
    int total_steps() const {
        int n = 0;
        for (unsigned s : recorder::steps) n += static_cast<int>(s);
        return n;
    }
};

TEST_F(Build, NothingUsableInTheBackground) {
    auto& bg = host.background();
    const auto a = bg.add_point(0, 1, 0), b = bg.add_point(1, 1, 0), c = bg.add_point(0, 2, 0);
    const formats::index_t line[] = {a, b};
    const formats::index_t tri[] = {a, b, c};
    bg.add_polygon(LWPOLTYPE_FACE, formats::k_none, line);
    bg.add_polygon(LWPOLTYPE_PTCH, formats::k_none, tri);

    // A tree from an earlier build stays when the next one finds nothing.
    branch_table = new galaz_typ[1];
    branch_table_size = 1;
    galaz_typ* earlier = branch_table;

    EXPECT_STREQ(build_callback(&r, &op), "Need something in BG Layer");
    EXPECT_EQ(r.tool_state, TOOL_REJECT);
    EXPECT_EQ(build_running, 0);
    ASSERT_EQ(recorder::messages.size(), 1u);
    EXPECT_EQ(recorder::messages[0],
              "Need some polygons in the background layer.|SubD needs to be converted to polygons.");
    EXPECT_EQ(recorder::monitors_open, 0);
    EXPECT_EQ(bg_polygon_table, nullptr);
    EXPECT_EQ(branch_table, earlier);
    EXPECT_EQ(host.foreground().point_count(), 0u);
}

TEST_F(Build, InactiveToolDoesNothing) {
    add_triangle(3);
    r.hidden = 0;
    EXPECT_EQ(build_callback(&r, &op), nullptr);
    EXPECT_TRUE(recorder::steps.empty());
    EXPECT_EQ(branch_table, nullptr);
}

TEST_F(Build, OneTriangleGrowsAndMonitorNeverCompletes) {
    add_triangle(3);
    r.tool_state = TOOL_UPDATE;
    EXPECT_EQ(build_callback(&r, &op), nullptr);
    EXPECT_EQ(r.tool_state, TOOL_IDLE);
    EXPECT_EQ(r.bg_polygon_count, 1);
    EXPECT_EQ(r.bg_top, 3.0);
    EXPECT_EQ(first_edit_pending, 1);
    EXPECT_EQ(recorder::total, 150u + 4u);
    EXPECT_EQ(total_steps(), 1 + 1 + 149 + 1);
    EXPECT_EQ(recorder::monitors_open, 0);
    EXPECT_GT(host.foreground().polygon_count(), 0u);

    // More trunks than branches: all records grow as trunks, no branch steps.
    recorder::steps.clear();
    r.trunks = 3;
    r.branches = 2;
    EXPECT_EQ(build_callback(&r, &op), nullptr);
    EXPECT_EQ(r.trunks, 2);
    EXPECT_EQ(total_steps(), 3);
}

TEST_F(Build, LevelTwoRebuildsTheMeshFromTheSameTree) {
    app::make_default_crown(host.background());
    ASSERT_EQ(build_callback(&r, &op), nullptr);
    galaz_typ* grown = branch_table;
    const auto points = host.foreground().point_count();

    recorder::steps.clear();
    r.regen_level = 2;
    r.random_seed = 5;
    ASSERT_EQ(build_callback(&r, &op), nullptr);
    EXPECT_EQ(branch_table, grown);
    EXPECT_EQ(total_steps(), 2);
    EXPECT_EQ(host.foreground().point_count(), 2 * points);
    EXPECT_EQ(r.regen_level, 2);  // a build leaves the level as it was
}

TEST_F(Build, UnknownRenderTypeGrowsButWritesNothing) {
    app::make_default_crown(host.background());
    for (int type : {3, -1, 1000}) {
        r.render_type = type;
        EXPECT_EQ(build_callback(&r, &op), nullptr);
        EXPECT_EQ(r.tool_state, TOOL_IDLE);
        EXPECT_NE(branch_table, nullptr);
        EXPECT_EQ(host.foreground().point_count(), 0u);
    }
}

TEST_F(Build, TooLargeATreeIsAnAllocationError) {
    app::make_default_crown(host.background());
    r.branches = 1 << 30;
    EXPECT_STREQ(build_callback(&r, &op), "Memory allocation error");
    EXPECT_EQ(r.tool_state, TOOL_REJECT);
    EXPECT_EQ(build_running, 0);
    EXPECT_EQ(branch_table, nullptr);
    EXPECT_NE(bg_polygon_table, nullptr);  // the capture of this build stays
    EXPECT_EQ(recorder::monitors_open, 0);

    // The next build grows anew.
    r.branches = 20;
    r.regen_level = 2;
    EXPECT_EQ(build_callback(&r, &op), nullptr);
    EXPECT_EQ(branch_table_size, 20);
}

TEST_F(Build, SkeletonIsOnePolygonPerHangingNode) {
    app::make_default_crown(host.background());
    r.branches = 30;
    ASSERT_EQ(build_callback(&r, &op), nullptr);
    const auto& fg = host.foreground();
    // Every standalone branch is a chain whose innermost node has no polygon.
    int standalone = 0;
    for (int i = 0; i < branch_table_size; ++i)
        if (branch_table[i].standalone && branch_table[i].head->next) ++standalone;
    EXPECT_EQ(fg.point_count(), fg.polygon_count() + static_cast<unsigned>(standalone));
    for (formats::index_t p = 0; p < fg.polygon_count(); ++p) {
        EXPECT_EQ(fg.polygon_points(p).size(), 2u);
        EXPECT_EQ(fg.polygon_surface(p), formats::k_none);
        // Post-order: a polygon's outer point was made after its inner point.
        EXPECT_LT(fg.polygon_points(p)[0], fg.polygon_points(p)[1]);
    }
}

}  // namespace
}  // namespace sf
