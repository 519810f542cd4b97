// Growth of the branch table: ordering, start points, and the structural
// promises every grown tree keeps.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <set>
#include <vector>

#include "core/build.h"
#include "core/growth.h"
#include "crowns.h"

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

std::vector<double> heads(const galaz_typ* t, int n) {
    std::vector<double> h;
    for (int i = 0; i < n; ++i) h.push_back(t[i].head->pos.y);
    return h;
}

galaz_typ* table_with_heights(std::initializer_list<double> ys) {
    galaz_typ* t = new galaz_typ[ys.size()];
    int i = 0;
    for (double y : ys) {
        wezel_typ* n = new wezel_typ;
        n->pos.y = y;
        n->next = new wezel_typ;  // a second node proves the chain moves whole
        n->next->pos.y = -y;
        t[i].head = n;
        t[i].tail = n->next;
        ++i;
    }
    return t;
}

TEST(Ordering, TypeALiftsHighestFirst) {
    galaz_typ* t = table_with_heights({1, 5, 3, 7});
    order_branches(t, 4, 0);
    EXPECT_EQ(heads(t, 4), (std::vector<double>{7, 1, 3, 5}));
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(t[i].tail, t[i].head->next);
        EXPECT_EQ(t[i].tail->pos.y, -t[i].head->pos.y);
    }
    delete[] t;
}

TEST(Ordering, TypeBSortsDescendingAndKeepsEqualOrder) {
    galaz_typ* t = table_with_heights({1, 5, 3, 7});
    order_branches(t, 4, 1);
    EXPECT_EQ(heads(t, 4), (std::vector<double>{7, 5, 3, 1}));
    delete[] t;

    galaz_typ* u = table_with_heights({2, 4, 2, 4});
    wezel_typ* first_two = u[0].head;
    wezel_typ* first_four = u[1].head;
    order_branches(u, 4, 5);
    EXPECT_EQ(heads(u, 4), (std::vector<double>{4, 4, 2, 2}));
    EXPECT_EQ(u[0].head, first_four);
    EXPECT_EQ(u[2].head, first_two);
    delete[] u;
}

TEST_F(Growth, StartStepFromSeriesSum) {
    // One horizontal triangle high in the crown: every start point lies above
    // the tree centre and on the polygon.
    test::capture({{{vec3_typ(1, 5, 1), vec3_typ(2, 5, 1), vec3_typ(1, 5, 2)}}});
    r.bg_top = 5.0;
    r.branch_tip_jitter = 0.0;
    r.branches = 3;
    galaz_typ t[3];
    g_random.seed(30);
    distribute_start_points(t, 3, bg_polygon_table, 1, r, g_random);

    const double q = 1 + r.bias / r.segments;
    EXPECT_EQ(q, 1.25);
    double g = 0, qk = 1;
    for (int k = 0; k < r.segments; ++k, qk *= q) g += qk;
    EXPECT_LT(g, 20.0);
    EXPECT_GT(g, 19.8);
    for (const galaz_typ& b : t) {
        const vec3_typ p = b.head->pos;
        EXPECT_NEAR(p.y, 5.0, 1e-12);
        EXPECT_EQ(b.above_center, 1);
        EXPECT_EQ(b.head, b.tail);
        EXPECT_EQ(b.head->thickness, r.branch_thickness);
        const double e = p.y - 5.0 * (r.tree_center / 2);
        const double len = std::sqrt(e * e + (p.x * p.x + p.z * p.z));
        EXPECT_NEAR(b.segment_length, len * 0.7 / g, 1e-12);
        EXPECT_GE(p.x, 1.0);
        EXPECT_GE(p.z, 1.0);
        EXPECT_LE(p.x + p.z, 3.0 + 1e-12);
    }
}

TEST_F(Growth, LowStartsTakeTheBendSign) {
    test::capture({{{vec3_typ(1, 0.5, 1), vec3_typ(1, 0.5, 2), vec3_typ(2, 0.5, 1)}},
                   {{vec3_typ(0, 9, 0), vec3_typ(0, 9, 1), vec3_typ(1, 9, 0)}}});
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
            EXPECT_TRUE(std::isfinite(w->pos.x) && std::isfinite(w->pos.y) &&
                        std::isfinite(w->pos.z));
            EXPECT_GE(w->level, 0);
            EXPECT_LE(w->level, r.segments > 0 ? r.segments : 0);
            if (w->joined_branch) {
                const galaz_typ* j = w->joined_branch;
                const std::ptrdiff_t ji = j - branch_table;
                EXPECT_GT(ji, i) << "a branch joins only earlier branches";
                EXPECT_FALSE(j->standalone);
                EXPECT_EQ(j->tail->joined_to, w);
                EXPECT_GE(w->joins, 1);
                EXPECT_GE(j->tail->joins, 1);
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
    const std::vector<std::vector<test::poly>> crowns = {
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

TEST_F(Growth, SameSeedSameTreeSeedZeroContinues) {
    ASSERT_EQ(generate(r, nullptr, 0), 0);
    const auto first = positions();
    ASSERT_EQ(generate(r, nullptr, 1), 0);
    const auto second = positions();
    ASSERT_EQ(first.size(), second.size());
    EXPECT_EQ(std::memcmp(first.data(), second.data(), first.size() * sizeof(double)), 0);

    r.random_seed = 0;
    ASSERT_EQ(generate(r, nullptr, 0), 0);
    const auto third = positions();
    ASSERT_EQ(generate(r, nullptr, 0), 0);
    EXPECT_NE(third, positions());
}

TEST_F(Growth, LevelTwoReusesTheTreeUntilReleased) {
    ASSERT_EQ(generate(r, nullptr, 0), 0);
    galaz_typ* grown = branch_table;
    const auto before = positions();
    r.random_seed = 99;  // would grow differently if it grew
    ASSERT_EQ(generate(r, nullptr, 2), 0);
    EXPECT_EQ(branch_table, grown);
    EXPECT_EQ(positions(), before);
    release_branch_table();
    ASSERT_EQ(generate(r, nullptr, 2), 0);
    EXPECT_NE(positions(), before);
}

TEST_F(Growth, TrunkCountAndScale) {
    r.trunks = 3;
    r.branches = 2;
    ASSERT_EQ(generate(r, nullptr, 0), 0);
    EXPECT_EQ(r.trunks, 2);
    EXPECT_EQ(trunk_scale, 0.75);

    reset_to_defaults(r);
    for (int trunks : {0, -4}) {
        r.trunks = trunks;
        ASSERT_EQ(generate(r, nullptr, 0), 0);
        EXPECT_EQ(trunk_scale, 1.0);
        EXPECT_EQ(r.trunks, trunks);
        check_tree(r);
    }
}

TEST_F(Growth, ValuesOnlyAPresetCanHold) {
    // Each must grow or refuse without crashing, hanging or writing NaN.
    struct edit {
        const char* name;
        void (*apply)(settings_typ&);
    };
    const edit edits[] = {
        {"segments 0", [](settings_typ& s) { s.segments = 0; }},
        {"segments -3", [](settings_typ& s) { s.segments = -3; }},
        {"sub_segments 0", [](settings_typ& s) { s.sub_segments = 0; }},
        {"sub_segments -2", [](settings_typ& s) { s.sub_segments = -2; }},
        {"bias 0", [](settings_typ& s) { s.bias = 0.0; }},
        {"iterations 0", [](settings_typ& s) { s.iterations = 0; }},
        {"variable spacing", [](settings_typ& s) { s.variable_spacing = 1; }},
        {"branches 1", [](settings_typ& s) { s.branches = 1; }},
        {"crookedness 0", [](settings_typ& s) { s.trunk_crookedness = s.branch_crookedness = 0; }},
        {"thin trunk", [](settings_typ& s) { s.trunk_thick_type = 1; }},
        {"odd thick type", [](settings_typ& s) { s.trunk_thick_type = 7; }},
        {"start split 1", [](settings_typ& s) { s.branch_start_split = 1.0; }},
    };
    for (const edit& e : edits) {
        SCOPED_TRACE(e.name);
        reset_to_defaults(r);
        e.apply(r);
        ASSERT_EQ(generate(r, nullptr, 0), 0);
        check_tree(r);
    }
}

TEST_F(Growth, CountsBelowOneGrowNothingHugeCountsAreRefused) {
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
