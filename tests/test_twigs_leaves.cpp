// Twigs on the output model, leaf shapes and leaf emission.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "app/standin_host.h"
#include "core/random.h"
#include "mesh/leaf.h"
#include "mesh/output.h"
#include "model_builders.h"

namespace sf {
namespace {

using formats::index_t;
using test::make_chain;
using test::w_typ;

// Levels of the chain nodes (outward from base) that carry a twig.
std::vector<int> twig_levels(w_typ* base) {
    std::vector<int> out;
    for (w_typ* n = base; n; n = n->outward)
        if (n->side && n->side->is_twig) out.push_back(n->level);
    return out;
}

// A model of hand-made chains, twigs grown as the model build does.
struct hand_model : model_typ {
    explicit hand_model(std::initializer_list<w_typ*> bases = {}) {
        segments = 8;
        rng = &g_random;
        for (w_typ* b : bases) test::append_chain(*this, b);
    }
    void grow(const settings_typ& r) {
        for (d_typ* d = chains; d; d = d->next) generate_twigs(*this, d->chain, r, g_random, true);
    }
};

struct Twigs : ::testing::Test {
    settings_typ r{};
    void SetUp() override {
        reset_to_defaults(r);
        r.twig_type = 1;
        r.twig_coverage = r.twig_range = 1.0;
        g_random.seed(11);
    }
};

TEST_F(Twigs, CoverageCountsEligibleNodesAcrossChains) {
    // Neither a chain's innermost node nor its tip is eligible: chain 1 has 2
    // eligible nodes (level 1 visited first), chain 2 six.
    const struct {
        double coverage;
        std::vector<int> first, second;
    } cases[] = {
        {0.5, {1}, {5, 3, 1}},
        {0.3, {1}, {5, 2}},                 // counter 0, then 3 and 6: not restarted
        {2.5, {2, 1}, {6, 5, 4, 3, 2, 1}},  // above 1: every node
    };
    for (const auto& c : cases) {
        hand_model m{make_chain({3, 2, 1, 0}), make_chain({7, 6, 5, 4, 3, 2, 1, 0}, {0, 5, 0})};
        r.twig_coverage = c.coverage;
        m.grow(r);
        EXPECT_EQ(twig_levels(m.chains->chain), c.first) << c.coverage;
        EXPECT_EQ(twig_levels(m.chains->next->chain), c.second) << c.coverage;
        EXPECT_EQ(twig_counter, 8) << c.coverage;
    }
}

TEST_F(Twigs, SettingsThatMakeNoTwigsDrawNothing) {
    void (*const changes[])(settings_typ&, model_typ&) = {
        [](settings_typ& s, model_typ&) { s.twig_segments = 0; },
        [](settings_typ& s, model_typ&) { s.twig_segments = -3; },
        [](settings_typ& s, model_typ&) { s.twig_coverage = 0; },
        [](settings_typ& s, model_typ&) { s.twig_proportional_length = 0; },
        [](settings_typ& s, model_typ&) { s.twig_range = 0; },
        [](settings_typ& s, model_typ&) { s.twig_type = 0; },
        [](settings_typ&, model_typ& m) { m.segments = 0; },
    };
    for (auto change : changes) {
        settings_typ s = r;
        hand_model m{make_chain({5, 4, 3, 2, 1, 0})};
        change(s, m);
        g_random.seed(3);
        m.grow(s);
        const int next = random::raw();
        g_random.seed(3);
        EXPECT_EQ(next, random::raw());
        EXPECT_TRUE(twig_levels(m.chains->chain).empty());
    }
}

// Draws of one twig: those of its direction, the twist, then two per segment.
TEST_F(Twigs, DrawCountPerType) {
    r.twig_segments = 3;
    for (int type : {1, 2, 3, 4, 5, 6, 9}) {
        r.twig_type = type;
        for (int seed = 1; seed < 40; ++seed) {
            g_random.seed(seed);
            const vec3_typ d{double(g_random.uniform_int(-1, 1)), double(g_random.uniform_int(-1, 1)),
                             double(g_random.uniform_int(-1, 1))};  // braces: drawn in order
            hand_model m{make_chain({2, 1, 0})};
            g_random.seed(seed);
            m.grow(r);
            const int after = random::raw();
            int direction = type == 3 || type == 4 ? 2 : type == 6 ? 1 : 0;
            if (type == 5) direction = d.normalized().angle_to(vec3_typ(1, 0.5, 0)) < 0.392699081698725 ? 4 : 3;
            g_random.seed(seed);
            for (int k = 0; k < direction + 1 + 2 * 3; ++k) random::raw();
            EXPECT_EQ(after, random::raw()) << "type " << type << " seed " << seed;
        }
    }
}

TEST_F(Twigs, RandomTypeWithZeroDirectionFollowsTheNode) {
    r.twig_type = 5;
    r.twig_segments = 4;
    r.twig_length_type = 0;
    int seed = 1;
    for (;; ++seed) {
        g_random.seed(seed);
        if (g_random.uniform_int(-1, 1) == 0 && g_random.uniform_int(-1, 1) == 0 && g_random.uniform_int(-1, 1) == 0)
            break;
    }
    w_typ* base = make_chain({2, 1, 0});
    hand_model m{base};
    g_random.seed(seed);
    m.grow(r);
    const w_typ* owner = base->outward;
    ASSERT_NE(owner->side, nullptr);
    const vec3_typ want = owner->segment.normalized() * (owner->segment.length() * r.twig_proportional_length / 4);
    EXPECT_NEAR((owner->side->segment - want).length(), 0, 1e-12);
    // Four segments: five twig nodes, levels 5 down to 1, all 0.001 thick.
    int nodes = 0;
    for (const w_typ* n = owner->side; n; n = n->outward, ++nodes) {
        EXPECT_TRUE(std::isfinite(n->position.length()) && std::isfinite(n->segment.length()));
        EXPECT_TRUE(n->is_twig && n->thickness == 0.001 && n->level == 5 - nodes) << nodes;
    }
    EXPECT_EQ(nodes, 5);
}

TEST(LeafShape, CountsAndOddSizes) {
    const int want[5][3] = {{4, 1, 1}, {6, 2, 1}, {4, 2, 0}, {5, 3, 0}, {5, 4, 0}};  // points, polygons, quads
    leaf_typ leaf;
    for (int shape = 0; shape < 5; ++shape) {
        leaf.build(shape, 2.0, 0.8);
        EXPECT_EQ(leaf.point_count, want[shape][0]) << shape;
        EXPECT_EQ(leaf.polygon_count, want[shape][1]) << shape;
        EXPECT_EQ(leaf.quads != 0, want[shape][2] != 0) << shape;
        for (int c = 0; c < leaf.polygon_count * (leaf.quads ? 4 : 3); ++c)
            EXPECT_TRUE(leaf.corners[c] >= 0 && leaf.corners[c] < leaf.point_count);
    }
    // Zero size keeps the full mesh; an unknown index leaves none.
    leaf.build(4, 0, 0);
    EXPECT_EQ(leaf.point_count, 5);
    for (int bad : {5, -1}) {
        leaf.build(bad, 1, 1);
        EXPECT_TRUE(leaf.point_count == 0 && leaf.polygon_count == 0 && !leaf.points);
    }
}

struct Leaves : Twigs {
    app::standin_host host;
    MeshEditOp op{};
    hand_model model{};

    void SetUp() override {
        Twigs::SetUp();
        r.twig_segments = 2;
        r.leaf_shape = 1;
        r.leaf_growth = 1;
        r.leaf_density = 6;
        op = host.edit_op();
        g_random.seed(5);
    }
    // One chain with one twig of 3 nodes: 2 ordinary anchors and a tip anchor.
    void make_model(float weight = 0.5f) {
        w_typ* base = make_chain({2, 1, 0});
        test::append_chain(model, base);
        model.grow(r);
        for (w_typ* n = base->outward->side; n; n = n->outward) n->thick_weight = n->range_weight = weight;
        model.make_leaf_anchors(base, r.twig_range);
    }
    index_t emitted(const settings_typ& s) {
        host.foreground().clear();
        emit_leaves(model, &op, s);
        return host.foreground().polygon_count();
    }
};

TEST_F(Leaves, BatchSizePerAnchor) {
    make_model();
    int anchors = 0, tips = 0;
    for (auto* a = model.leaf_anchors; a; a = a->next, ++anchors) tips += a->at_tip;
    ASSERT_EQ(anchors, 3);
    ASSERT_EQ(tips, 1);
    // Density 6 symmetrical is 12, limited to 10; a tip anchor shows one.
    EXPECT_EQ(emitted(r), 10u + 10u + 1u);
    EXPECT_EQ(host.foreground().point_count(), 21u * 4u);
    settings_typ s = r;
    s.leaf_growth = 0;
    s.leaf_density = 3;
    EXPECT_EQ(emitted(s), 3u + 3u + 1u);
    // Density 0 or below: no leaves on ordinary anchors, an unbuilt one at
    // the tip; the same for shapes out of range.
    for (int density : {0, -4}) {
        s.leaf_density = density;
        EXPECT_EQ(emitted(s), 0u);
        EXPECT_EQ(host.foreground().point_count(), 0u);
    }
    s = r;
    for (int shape : {0, 6, -1}) {
        s.leaf_shape = shape;
        EXPECT_EQ(emitted(s), 0u) << shape;
    }
}

TEST_F(Leaves, UnwrittenNodesAndTwigsOffGiveNoLeaves) {
    make_model(-10.0f);
    EXPECT_EQ(emitted(r), 0u);
    EXPECT_EQ(host.foreground().point_count(), 0u);

    r.twig_type = 0;
    w_typ* base = make_chain({2, 1, 0});
    hand_model bare{base};
    bare.grow(r);
    bare.make_leaf_anchors(base, r.twig_range);
    EXPECT_EQ(bare.leaf_anchors, nullptr);
}

TEST_F(Leaves, CallOrderAndMapNames) {
    r.leaf_shape = 2;
    r.leaf_density = 1;
    r.leaf_growth = 0;
    make_model(0.25f);
    model.assign_range_weight_map = model.assign_thick_weight_map = false;  // written anyway
    emitted(r);
    const auto& fg = host.foreground();
    ASSERT_EQ(fg.point_count(), 3u * 6u);
    // Per point: the point and five maps; then per polygon: the face and its tag.
    using formats::edit_kind;
    std::vector<edit_kind> want;
    for (int leaf = 0; leaf < 3; ++leaf) {
        for (int p = 0; p < 6; ++p) want.insert(want.end(), {edit_kind::point, edit_kind::vmap, edit_kind::vmap,
                                                              edit_kind::vmap, edit_kind::vmap, edit_kind::vmap});
        for (int p = 0; p < 2; ++p) want.insert(want.end(), {edit_kind::polygon, edit_kind::tag});
    }
    EXPECT_EQ(std::vector<edit_kind>(fg.journal().begin(), fg.journal().end()), want);
    const char* names[5] = {"SF_leaf", "SF_all_leaves", "SF_range", "SF_thick", "SF_range_thick"};
    for (int k = 0; k < 5; ++k) {
        const auto& desc = fg.maps()[fg.point_values()[k].map];
        EXPECT_EQ(fg.strings().view(desc.name), names[k]);
        EXPECT_EQ(desc.type, k == 2 || k == 3 ? LWVMAP_WGHT : LWVMAP_TXUV);
    }
    for (const auto& t : fg.tags()) EXPECT_TRUE(t.type == LWPTAG_COLR && fg.strings().view(t.text) == "Green");
}

TEST_F(Leaves, AtlasTilesStayInsideTheUnitSquare) {
    r.leaf_shape = 5;
    r.twig_segments = 9;
    make_model();
    // Non-finite and out-of-int-range positions pick tile 0.
    model.leaf_anchors->range_position = std::numeric_limits<double>::infinity();
    model.leaf_anchors->next->range_position = 3e12;
    ASSERT_GT(emitted(r), 0u);
    const auto& fg = host.foreground();
    const index_t tiles = fg.find_map(LWVMAP_TXUV, "SF_all_leaves");
    for (const auto& v : fg.point_values()) {
        const auto values = fg.values(v);
        for (float x : values) EXPECT_TRUE(std::isfinite(x));
        if (v.map == tiles) {
            EXPECT_TRUE(values[0] >= 0 && values[0] <= 1 && values[1] >= 0 && values[1] <= 1);
        }
    }
}

}  // namespace
}  // namespace sf
