// Growth of the branch table: ordering, low start points, counts, and the
// structural promises every grown tree keeps.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <iterator>
#include <set>
#include <vector>

#include "core/build.h"
#include "core/growth.h"
#include "crowns.h"
#include "model_builders.h"

namespace sf {
namespace {

struct Growth : ::testing::Test {
    settings_typ r{};
    void SetUp() override {
        reset_to_defaults(r);
        r.hidden = 1;
        test::capture(test::ellipsoid(2.0, 2.25, 3.75, 16, 12));
    }
    void TearDown() override {
        release_branch_table();
        release_background();
    }
};

TEST(Ordering, TypeALiftsTheHighestTypeBSortsStably) {
    const struct {
        double ys[4];
        int type;
        double order[4];  // original index of each record after ordering
    } cases[] = {
        {{1, 5, 3, 7}, 0, {3, 0, 2, 1}},  // type A: each higher one swapped to the front
        {{1, 5, 3, 7}, 1, {3, 1, 2, 0}},  // type B (any other value): descending
        {{2, 4, 2, 4}, 5, {1, 3, 0, 2}},  // equal heights keep their order
    };
    for (const auto& c : cases) {
        galaz_typ t[4];
        for (int i = 0; i < 4; ++i) test::make_branch(t[i], {{double(i), c.ys[i], 0}, {double(i), -c.ys[i], 0}});
        order_branches(t, 4, c.type);
        for (int i = 0; i < 4; ++i) {
            EXPECT_EQ(t[i].head->pos.x, c.order[i]) << c.type << " " << i;
            EXPECT_TRUE(t[i].tail == t[i].head->next && t[i].tail->pos.x == c.order[i]);  // the chain moves whole
        }
    }
}

TEST_F(Growth, LowStartsTakeTheBendSign) {
    test::capture({{vec3_typ(1, 0.5, 1), vec3_typ(1, 0.5, 2), vec3_typ(2, 0.5, 1)},
                   {vec3_typ(0, 9, 0), vec3_typ(0, 9, 1), vec3_typ(1, 9, 0)}});
    r.bg_top = 9.0;
    r.branches = 40;
    for (double bend : {0.1, -2.0, 0.0}) {
        r.branch_bend_end = bend;
        galaz_typ t[40];
        g_random.seed(3);
        distribute_start_points(t, 40, bg_polygon_table, 2, r, g_random);
        for (const galaz_typ& b : t) {
            if (b.above_center) continue;
            EXPECT_EQ(b.direction.y, bend > 0 ? 1.0 : bend < 0 ? -1.0 : 0.0);
            EXPECT_GE(b.segment_length, 0.2 * 9.0 / 16);
        }
    }
}

// Structural promises of a grown tree.
void check_tree(const settings_typ& r) {
    ASSERT_NE(branch_table, nullptr);
    const int n = branch_table_size;
    const int sub = effective_sub_segments(r);
    std::set<const wezel_typ*> seen;
    for (int i = 0; i < n; ++i) {
        const galaz_typ& b = branch_table[i];
        ASSERT_NE(b.head, nullptr);
        int count = 0;
        const wezel_typ* last = nullptr;
        for (const wezel_typ* w = b.head; w; w = w->next) {
            ASSERT_TRUE(seen.insert(w).second) << "node shared between chains";
            EXPECT_TRUE(std::isfinite(w->pos.x) && std::isfinite(w->pos.y) && std::isfinite(w->pos.z));
            EXPECT_TRUE(w->level >= 0 && w->level <= (r.segments > 0 ? r.segments : 0)) << w->level;
            if (w->joined_branch) {
                const galaz_typ* j = w->joined_branch;
                const std::ptrdiff_t ji = j - branch_table;
                EXPECT_GT(ji, i) << "a branch joins only earlier branches";
                EXPECT_FALSE(j->standalone);
                EXPECT_EQ(j->tail->joined_to, w);
                EXPECT_TRUE(w->joins >= 1 && j->tail->joins >= 1);
                EXPECT_EQ(std::memcmp(&j->tail->pos, &w->pos, sizeof w->pos), 0);
                EXPECT_NE(w->next, nullptr) << "a chain's last node is never a joint";
            }
            ++count;
            last = w;
        }
        EXPECT_EQ(b.tail, last);
        EXPECT_EQ(count, 1 + b.segment_count * sub);
        if (i >= r.trunks && r.segments > 0) {
            EXPECT_GE(count, 1 + sub) << "a branch always makes a step";
        }
        if (!b.standalone) {
            EXPECT_GE(count, 3);
            EXPECT_NE(b.tail->joined_to, nullptr);
        }
    }
}

TEST_F(Growth, InvariantsAcrossCrownsSeedsAndSettings) {
    const std::vector<test::polygons> crowns = {
        test::ellipsoid(2.0, 2.25, 3.75, 16, 12),
        test::box(vec3_typ(-1.5, 1, -1), vec3_typ(1.5, 5, 1)),
        test::ellipsoid(3.0, 1.0, 6.0, 7, 5),
    };
    struct variant {
        int seed, branches, trunks, sub, type, influence;
        double end_split;
    };
    const variant variants[] = {
        {30, 150, 1, 2, 0, 2, 0.0}, {7, 80, 3, 1, 1, 1, 0.3}, {-12, 60, 2, 4, 0, 0, 0.8},
        {1000, 40, 5, 6, 1, 2, 1.0},
    };
    for (const auto& crown : crowns) {
        test::capture(crown);
        for (const variant& v : variants) {
            SCOPED_TRACE(v.seed);
            reset_to_defaults(r);
            r.random_seed = v.seed;
            r.branches = v.branches;
            r.trunks = v.trunks;
            r.sub_segments = v.sub;
            r.branch_type = v.type;
            r.trunk_influence = v.influence;
            r.branch_end_split = v.end_split;
            ASSERT_EQ(generate(r, nullptr, 0), 0);
            check_tree(r);
        }
    }
}

std::vector<double> positions() {
    std::vector<double> out;
    for (int i = 0; i < branch_table_size; ++i)
        for (const wezel_typ* w = branch_table[i].head; w; w = w->next) {
            out.push_back(w->pos.x);
            out.push_back(w->pos.y);
            out.push_back(w->pos.z);
            out.push_back(w->thickness);
        }
    return out;
}

TEST_F(Growth, SameSeedSameTreeSeedZeroContinuesLevelTwoReuses) {
    ASSERT_EQ(generate(r, nullptr, 0), 0);
    const auto first = positions();
    ASSERT_EQ(generate(r, nullptr, 1), 0);
    EXPECT_EQ(positions(), first);

    // Level 2 keeps the grown tree, even with another seed, until released.
    galaz_typ* grown = branch_table;
    r.random_seed = 99;
    ASSERT_EQ(generate(r, nullptr, 2), 0);
    EXPECT_EQ(branch_table, grown);
    release_branch_table();
    ASSERT_EQ(generate(r, nullptr, 2), 0);
    EXPECT_NE(positions(), first);

    // Seed 0 continues the sequence.
    r.random_seed = 0;
    ASSERT_EQ(generate(r, nullptr, 0), 0);
    const auto third = positions();
    ASSERT_EQ(generate(r, nullptr, 0), 0);
    EXPECT_NE(third, positions());
}

TEST_F(Growth, ValuesOnlyAPresetCanHold) {
    // Each must grow or refuse without crashing, hanging or writing NaN.
    void (*const edits[])(settings_typ&) = {
        [](settings_typ& s) { s.segments = 0; },
        [](settings_typ& s) { s.segments = -3; },
        [](settings_typ& s) { s.sub_segments = 0; },
        [](settings_typ& s) { s.sub_segments = -2; },
        [](settings_typ& s) { s.bias = 0.0; },
        [](settings_typ& s) { s.iterations = 0; },
        [](settings_typ& s) { s.variable_spacing = 1; },
        [](settings_typ& s) { s.branches = 1; },
        [](settings_typ& s) { s.trunk_crookedness = s.branch_crookedness = 0; },
        [](settings_typ& s) { s.trunk_thick_type = 1; },
        [](settings_typ& s) { s.trunk_thick_type = 7; },
        [](settings_typ& s) { s.branch_start_split = 1.0; },
    };
    for (std::size_t i = 0; i < std::size(edits); ++i) {
        SCOPED_TRACE(i);
        reset_to_defaults(r);
        edits[i](r);
        ASSERT_EQ(generate(r, nullptr, 0), 0);
        check_tree(r);
    }
}

TEST_F(Growth, TrunkAndBranchCounts) {
    // More trunks than branches: all grow as trunks, scaled.
    r.trunks = 3;
    r.branches = 2;
    ASSERT_EQ(generate(r, nullptr, 0), 0);
    EXPECT_EQ(r.trunks, 2);
    EXPECT_EQ(trunk_scale, 0.75);
    // No trunks: unscaled, the stored count kept.
    reset_to_defaults(r);
    for (int trunks : {0, -4}) {
        r.trunks = trunks;
        ASSERT_EQ(generate(r, nullptr, 0), 0);
        EXPECT_EQ(trunk_scale, 1.0);
        EXPECT_EQ(r.trunks, trunks);
        check_tree(r);
    }
    // Branch counts below one grow nothing; huge counts are refused.
    reset_to_defaults(r);
    for (int branches : {0, -7}) {
        r.branches = branches;
        ASSERT_EQ(generate(r, nullptr, 0), 0);
        EXPECT_EQ(branch_table_size, 0);
        EXPECT_LE(r.trunks, 0);
    }
    reset_to_defaults(r);
    r.branches = 2147483647;
    EXPECT_EQ(generate(r, nullptr, 0), 1);
    EXPECT_EQ(branch_table, nullptr);
    reset_to_defaults(r);
    r.segments = 100000000;
    EXPECT_EQ(generate(r, nullptr, 0), 1);
}

TEST(Trunk, HeadOnTheAxisStaysFinite) {
    settings_typ r;
    reset_to_defaults(r);
    r.bg_top = 6.0;
    galaz_typ g;
    g.head = g.tail = new wezel_typ;
    g.head->pos = vec3_typ(0, 6, 0);
    g.segment_length = 0.4;
    g.thickness = r.branch_thickness;
    g_random.seed(4);
    trunk_scale = 1.0;
    grow_trunk(g, r, g_random);
    EXPECT_GT(g.segment_count, 0);
    for (const wezel_typ* w = g.head; w; w = w->next)
        EXPECT_TRUE(std::isfinite(w->pos.x) && std::isfinite(w->pos.y) && std::isfinite(w->pos.z));
    EXPECT_LT(g.tail->pos.y, 0.1 + 1.0);
}

}  // namespace
}  // namespace sf
