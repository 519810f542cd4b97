// Running out of memory: allocations that fail inside the tool come back as
// its allocation error, never as an exception through the host's calls, and
// the layer store refuses to grow past its budget.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "app/default_crown.h"
#include "app/host_services.h"
#include "app/standin_host.h"
#include "core/branch.h"
#include "failing_new.h"
#include "formats/edit_log.h"
#include "formats/memory_budget.h"
#include "formats/subdivide.h"
#include "plugin/build.h"
#include "plugin/tool.h"
#include "ui/panel.h"

namespace sf {
namespace {

namespace budget = formats::memory_budget;

// The statically linked tool, activated through its module descriptor and
// driven through the tool record alone, as a host drives it.
struct LinkedTool : ::testing::Test {
    LWToolFuncs funcs{};
    LWMeshEditTool tool{};
    app::standin_host mesh;
    MeshEditOp op{};

    void SetUp() override {
        app::reset_host();
        app::host().progress_on_terminal = false;
        tool.tool = &funcs;
        ASSERT_EQ(_mod_descrip.server_defs[0].activate(LWMESHEDITTOOL_VERSION, app::host_global, &tool, nullptr), 0);
        settings_typ& r = *static_cast<settings_typ*>(tool.instance);
        reset_to_defaults(r);
        r.branches = 20;
        r.render_type = 1;
        r.twig_type = 1;
        r.leaf_shape = 2;
        app::make_default_crown(mesh.background());
        op = mesh.edit_op();
    }
    void TearDown() override {
        budget::set_limit(0);
        tool.end(tool.instance, 0);
        funcs.done(tool.instance);
        app::reset_host();
    }
    settings_typ& record() { return *static_cast<settings_typ*>(tool.instance); }
    // Empties the foreground and asks for a build that grows anew.
    void prepare() {
        mesh.foreground().clear();
        funcs.event(tool.instance, LWT_EVENT_ACTIVATE);
    }
    const char* build() {
        prepare();
        return tool.build(tool.instance, &op);
    }
    std::string log() const {
        formats::string_sink sink;
        formats::write_edit_log(mesh.foreground(), sink);
        return sink.text;
    }
};

// One failed allocation anywhere in a build (or every one from some point
// on): the tool answers its error with a sane state, or the host knows its
// result is incomplete, or the result is exactly the normal one. The next
// build is whole again.
TEST_F(LinkedTool, EveryFailedAllocationOfABuildIsReported) {
    ASSERT_EQ(build(), nullptr);
    const std::string clean = log();
    ASSERT_GT(mesh.foreground().polygon_count(), 100u);
    prepare();
    const std::int64_t before = test::allocations();
    ASSERT_EQ(tool.build(tool.instance, &op), nullptr);
    const std::int64_t total = test::allocations() - before;
    ASSERT_GT(total, 50);

    int tool_errors = 0;
    for (const bool exhausted : {true, false}) {
        for (std::int64_t k = 0; k <= 12; ++k) {
            const std::int64_t n = k < 3 ? k : total * k / 13;
            prepare();
            const char* error;
            {
                const test::failing_allocations fail(n, exhausted);
                error = tool.build(tool.instance, &op);
            }
            const bool missed = mesh.foreground().failure() != nullptr;
            if (error) {
                ++tool_errors;
                EXPECT_STREQ(error, "Memory allocation error") << n;
                EXPECT_EQ(record().tool_state, TOOL_REJECT) << n;
                EXPECT_EQ(branch_table, nullptr) << n;  // a level-2 build cannot reuse half a tree
                EXPECT_EQ(tool.test(tool.instance), LWT_TEST_REJECT);
            } else if (!missed) {
                EXPECT_TRUE(log() == clean) << "allocation " << n << " failed unnoticed";
            }
            EXPECT_EQ(build_running, 0) << n;
            ASSERT_EQ(build(), nullptr) << n;
            EXPECT_TRUE(log() == clean) << "after allocation " << n << " failed";
        }
    }
    EXPECT_GT(tool_errors, 10);
}

// The foreground over the budget: the tool builds on (it is not told), the
// layer refuses every later edit and keeps the budget error for the host.
TEST_F(LinkedTool, ForegroundPastTheBudgetRefusesTheRest) {
    budget::set_limit(budget::held() + (256 << 10));
    ASSERT_EQ(build(), nullptr);
    const formats::mesh_layer& fg = mesh.foreground();
    ASSERT_NE(fg.failure(), nullptr);
    EXPECT_THROW(std::rethrow_exception(fg.failure()), formats::budget_error);
    EXPECT_LT(fg.point_count() * 24u, 256u << 10);
    budget::set_limit(0);
    ASSERT_EQ(build(), nullptr);
    EXPECT_EQ(fg.failure(), nullptr);
}

// Callbacks besides the build, called while memory is exhausted, return.
TEST_F(LinkedTool, OtherCallbacksReturnWhileMemoryIsExhausted) {
    ASSERT_EQ(build(), nullptr);
    LWXPanelBtnFunc* add_preset = nullptr;
    for (const LWXPHint* h = panel_hints(); h->tag != XPH_END; ++h)
        if (h->tag == XPH_BUTTON && h->id == 0x801F) add_preset = h->button;
    ASSERT_NE(add_preset, nullptr);
    app::host().shelf.dir = ::testing::TempDir() + "/sylvaform-oom-shelf";
    app::host().shelf.pending_name = "x";
    const test::failing_allocations fail(0, true);
    add_preset(nullptr, 0x801F);
    funcs.event(tool.instance, LWT_EVENT_RESET);
    EXPECT_STREQ(funcs.help(tool.instance, nullptr), "Sylvaform Tool");
    LWToolFuncs again_funcs{};
    LWMeshEditTool again{};
    again.tool = &again_funcs;
    const int activated = _mod_descrip.server_defs[0].activate(LWMESHEDITTOOL_VERSION, app::host_global, &again, nullptr);
    EXPECT_TRUE(activated == 0 || activated == 2) << activated;
}

struct Budget : ::testing::Test {
    void TearDown() override { budget::set_limit(0); }
};

TEST_F(Budget, LayerRefusesPastTheLimitAndGivesItBack) {
    const std::size_t start = budget::held();
    {
        formats::mesh_layer layer;
        budget::set_limit(start + (1 << 20));
        formats::index_t added = 0;
        EXPECT_THROW(
            for (;; ++added) layer.add_point(added, 0, 0), formats::budget_error);
        EXPECT_EQ(layer.point_count(), added);  // the failed append left nothing behind
        EXPECT_GT(added, 10000u);
        EXPECT_LE(budget::held(), start + (1 << 20));
        const formats::index_t pts[] = {0, 1, 2};
        EXPECT_THROW(layer.add_polygon(LWPOLTYPE_FACE, formats::k_none, pts), formats::budget_error);
        EXPECT_EQ(layer.polygon_count(), 0u);
        layer.clear();
        EXPECT_EQ(layer.failure(), nullptr);
        EXPECT_NO_THROW(layer.add_point(1, 2, 3));
    }
    EXPECT_EQ(budget::held(), start);
}

TEST_F(Budget, SubdivisionIsRefusedBeforeItRefines) {
    formats::mesh_layer cages;
    for (int i = 0; i <= 20; ++i)
        for (int j = 0; j <= 20; ++j) cages.add_point(i, 0, j);
    for (formats::index_t i = 0; i < 20; ++i)
        for (formats::index_t j = 0; j < 20; ++j) {
            const formats::index_t q[] = {i * 21 + j, i * 21 + j + 1, (i + 1) * 21 + j + 1, (i + 1) * 21 + j};
            cages.add_polygon(LWPOLTYPE_PTCH, formats::k_none, q);
        }
    budget::set_limit(budget::held() + (1 << 20));
    EXPECT_THROW(formats::subdivide_patches(cages, 3), formats::budget_error);
    EXPECT_NO_THROW(formats::subdivide_patches(cages, 1));
    budget::set_limit(0);
    EXPECT_EQ(formats::subdivide_patches(cages, 3).polygon_count(), 400u * 64u);
}

TEST(MemorySize, ParsedAndShown) {
    EXPECT_EQ(formats::parse_memory_size("4G"), std::size_t(4) << 30);
    EXPECT_EQ(formats::parse_memory_size("512M"), std::size_t(512) << 20);
    EXPECT_EQ(formats::parse_memory_size("1.5GiB"), std::size_t(3) << 29);
    EXPECT_EQ(formats::parse_memory_size("2048k"), std::size_t(2) << 20);
    EXPECT_EQ(formats::parse_memory_size("1048576"), std::size_t(1) << 20);
    for (const char* bad : {"", "G", "-1G", "0", "512", "1X", "4G extra", "nanG", "1e30G", "1.5.G"})
        EXPECT_EQ(formats::parse_memory_size(bad), 0u) << bad;
    EXPECT_EQ(formats::format_memory_size(std::size_t(512) << 20), "512 MiB");
    EXPECT_EQ(formats::format_memory_size(std::size_t(3) << 29), "1.5 GiB");
    EXPECT_GE(formats::default_memory_budget(), std::size_t(1) << 20);
}

}  // namespace
}  // namespace sf
