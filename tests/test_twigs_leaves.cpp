// Twigs on the output model, leaf shapes and leaf emission.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "app/default_crown.h"
#include "app/standin_host.h"
#include "core/background.h"
#include "core/branch.h"
#include "core/build.h"
#include "core/random.h"
#include "mesh/leaf.h"
#include "mesh/output.h"

namespace sf {
namespace {

using w_typ = model_typ::w_typ;
using formats::index_t;

// A straight chain from its innermost node outward; levels[0] is the
// innermost node's level, the last one the tip's.
w_typ* make_chain(std::initializer_list<int> levels, vec3_typ origin = {}) {
    w_typ *base = nullptr, *prev = nullptr;
    double x = 0;
    for (int level : levels) {
        w_typ* n = new w_typ;
        n->position = origin + vec3_typ(x, 0.5 * x, 0);
        n->segment = vec3_typ(1, 0.5, 0);
        n->level = level;
        n->thickness = 0.1;
        (prev ? prev->outward : base) = n;
        prev = n;
        x += 1;
    }
    return base;
}

w_typ* nth(w_typ* n, int k) {
    while (k-- > 0) n = n->outward;
    return n;
}

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
        model_typ::d_typ** tail = &chains;
        for (w_typ* b : bases) {
            *tail = new model_typ::d_typ;
            (*tail)->chain = b;
            tail = &(*tail)->next;
        }
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
        r.twig_coverage = 1.0;
        r.twig_range = 1.0;
        g_random.seed(11);
    }
};

TEST_F(Twigs, CoverageCountsEligibleNodesAcrossChains) {
    // Chain 1 has 2 eligible nodes (level 1 visited first), chain 2 six.
    const struct {
        double coverage;
        std::vector<int> first, second;
    } cases[] = {
        {1.0, {2, 1}, {6, 5, 4, 3, 2, 1}},
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

TEST_F(Twigs, WhereTwigsGrow) {
    w_typ* base = make_chain({5, 4, 3, 2, 1, 0});
    nth(base, 2)->side = make_chain({2, 1, 0}, {0, 0, 3});  // a joined branch
    hand_model m{base};
    m.grow(r);
    // Not on the innermost node, the tip, or the fork.
    EXPECT_EQ(twig_levels(base), (std::vector<int>{4, 2, 1}));
    // A joined branch's innermost node is no top-level node.
    EXPECT_EQ(twig_levels(nth(base, 2)->side), (std::vector<int>{2, 1}));
    // New twigs are not visited: they carry no twigs of their own.
    for (w_typ* t = nth(base, 1)->side; t; t = t->outward) EXPECT_EQ(t->side, nullptr);

    // Only the outer twig_range part of a branch: 8 × 0.4 = 3.2.
    r.twig_range = 0.4;
    hand_model ranged{make_chain({8, 7, 6, 5, 4, 3, 2, 1, 0, 0})};
    ranged.grow(r);
    EXPECT_EQ(twig_levels(ranged.chains->chain), (std::vector<int>{3, 2, 1, 0}));
}

TEST_F(Twigs, SettingsThatMakeNoTwigs) {
    auto twigs_with = [&](auto change, int segments = 8) {
        settings_typ s = r;
        change(s);
        hand_model m{make_chain({5, 4, 3, 2, 1, 0})};
        m.segments = segments;
        g_random.seed(3);
        m.grow(s);
        const int next = random::raw();
        g_random.seed(3);
        EXPECT_EQ(next, random::raw());  // nothing drawn
        return twig_levels(m.chains->chain).size();
    };
    EXPECT_EQ(twigs_with([](settings_typ& s) { s.twig_segments = 0; }), 0u);
    EXPECT_EQ(twigs_with([](settings_typ& s) { s.twig_segments = -3; }), 0u);
    EXPECT_EQ(twigs_with([](settings_typ& s) { s.twig_coverage = 0; }), 0u);
    EXPECT_EQ(twigs_with([](settings_typ& s) { s.twig_proportional_length = 0; }), 0u);
    EXPECT_EQ(twigs_with([](settings_typ& s) { s.twig_range = 0; }), 0u);
    EXPECT_EQ(twigs_with([](settings_typ& s) { s.twig_type = 0; }), 0u);
    EXPECT_EQ(twigs_with([](settings_typ&) {}, 0), 0u);  // model segments 0
}

TEST_F(Twigs, ShapeAndLengthOfATwig) {
    r.twig_proportional_length = 2.5;
    r.twig_constant_length = 0.25;
    for (int segs : {4, 1, 25}) {
        for (int length_type : {0, 1}) {
            r.twig_segments = segs;
            r.twig_length_type = length_type;
            w_typ* base = make_chain({3, 2, 1, 0});
            hand_model m{base};
            m.grow(r);
            w_typ* owner = nth(base, 1);
            ASSERT_NE(owner->side, nullptr);
            const double step = length_type == 0 ? owner->segment.length() * 2.5 / segs : 0.25 / segs;
            int k = 0;
            vec3_typ p = owner->position;
            for (w_typ* n = owner->side; n; n = n->outward, ++k) {
                EXPECT_TRUE(n->is_twig && !n->is_trunk && !n->side);
                EXPECT_EQ(n->thickness, 0.001);
                EXPECT_EQ(n->level, segs + 1 - k);
                EXPECT_TRUE(n->position.x == p.x && n->position.y == p.y && n->position.z == p.z);
                EXPECT_NEAR(n->segment.length(), step, 1e-12);
                p = n->position + n->segment;  // each segment leads to the next node
            }
            EXPECT_EQ(k, segs + 1);
        }
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
        if (g_random.uniform_int(-1, 1) == 0 && g_random.uniform_int(-1, 1) == 0 &&
            g_random.uniform_int(-1, 1) == 0)
            break;
    }
    w_typ* base = make_chain({2, 1, 0});
    hand_model m{base};
    g_random.seed(seed);
    m.grow(r);
    const w_typ* owner = base->outward;
    ASSERT_NE(owner->side, nullptr);
    const vec3_typ want =
        owner->segment.normalized() * (owner->segment.length() * r.twig_proportional_length / 4);
    EXPECT_NEAR((owner->side->segment - want).length(), 0, 1e-12);
    int nodes = 0;
    for (const w_typ* n = owner->side; n; n = n->outward, ++nodes)
        EXPECT_TRUE(std::isfinite(n->position.length()) && std::isfinite(n->segment.length()));
    EXPECT_EQ(nodes, 5);
}

TEST(LeafShape, CountsAndTextureLayout) {
    const struct {
        int points, polygons;
        bool quads;
    } want[5] = {{4, 1, true}, {6, 2, true}, {4, 2, false}, {5, 3, false}, {5, 4, false}};
    const double L = 2.0, W = 0.8;
    leaf_typ leaf;
    for (int shape = 0; shape < 5; ++shape) {
        leaf.build(shape, L, W);
        ASSERT_EQ(leaf.point_count, want[shape].points) << shape;
        ASSERT_EQ(leaf.polygon_count, want[shape].polygons) << shape;
        EXPECT_EQ(leaf.quads != 0, want[shape].quads) << shape;
        bool has_base = false, has_tip = false;
        for (int j = 0; j < leaf.point_count; ++j) {
            const float u = leaf.uv[j][0], v = leaf.uv[j][1];
            const vec3_typ& p = leaf.points[j];
            EXPECT_TRUE(u >= 0 && u <= 1 && v >= 0 && v <= 1) << shape << ":" << j;
            EXPECT_DOUBLE_EQ(u, p.x / W + 0.5) << shape << ":" << j;  // u runs across
            if (p.z == 0) {
                EXPECT_EQ(v, 0.0f) << shape << ":" << j;
            }
            if (p.z == L) {
                EXPECT_EQ(v, 1.0f) << shape << ":" << j;
            }
            has_base |= p.z == 0;
            has_tip |= p.z == L;
        }
        EXPECT_TRUE(has_base && has_tip) << shape;
        for (int c = 0; c < leaf.polygon_count * (leaf.quads ? 4 : 3); ++c)
            EXPECT_TRUE(leaf.corners[c] >= 0 && leaf.corners[c] < leaf.point_count);
    }
    leaf.build(3, 3.0, 1.0);  // "2L/3" is (2 × L) / 3
    EXPECT_EQ(leaf.points[1].z, 2.0);
    EXPECT_EQ(leaf.points[1].y, -0.25);
    // Zero size keeps the full mesh; an unknown index leaves none.
    leaf.build(4, 0, 0);
    EXPECT_EQ(leaf.point_count, 5);
    for (int bad : {5, -1}) {
        leaf.build(bad, 1, 1);
        EXPECT_TRUE(leaf.point_count == 0 && leaf.polygon_count == 0 && !leaf.points);
    }
}

struct Leaves : ::testing::Test {
    settings_typ r{};
    app::standin_host host;
    MeshEditOp op{};
    hand_model model{};

    void SetUp() override {
        reset_to_defaults(r);
        r.twig_type = 1;
        r.twig_coverage = 1.0;
        r.twig_range = 1.0;
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
        model.chains = new model_typ::d_typ;
        model.chains->chain = base;
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
    // Density 0 or below: no leaves on ordinary anchors, an unbuilt one at the tip.
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

TEST_F(Leaves, SymmetricalPairsStepAlongTheAnchor) {
    make_model();
    r.leaf_density = 2;  // 4 leaves: pairs at k = 0 and k = 1
    r.leaf_randomness = 0;
    r.leaf_growth_randomness = 0;
    r.leaf_shape = 3;  // rhombus: point 0 is the leaf's base
    emitted(r);
    const auto* a = model.leaf_anchors;  // emitted first
    ASSERT_FALSE(a->at_tip);
    for (int leaf = 0; leaf < 4; ++leaf) {
        const vec3_typ want = a->position + a->direction / 2.0 * (leaf / 2);
        const double* got = host.foreground().point(static_cast<index_t>(leaf * 4));
        EXPECT_NEAR((vec3_typ(got[0], got[1], got[2]) - want).length(), 0, 1e-12) << leaf;
    }
}

TEST_F(Leaves, CallOrderAndMapValues) {
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
    const auto journal = fg.journal();
    std::size_t j = 0;
    for (int leaf = 0; leaf < 3; ++leaf) {
        for (int p = 0; p < 6; ++p) {
            ASSERT_EQ(journal[j++], edit_kind::point);
            for (int m = 0; m < 5; ++m) ASSERT_EQ(journal[j++], edit_kind::vmap);
        }
        for (int p = 0; p < 2; ++p) {
            ASSERT_EQ(journal[j++], edit_kind::polygon);
            ASSERT_EQ(journal[j++], edit_kind::tag);
        }
    }
    EXPECT_EQ(j, journal.size());
    const char* names[5] = {"SF_leaf", "SF_all_leaves", "SF_range", "SF_thick", "SF_range_thick"};
    for (int k = 0; k < 5; ++k) {
        const auto& desc = fg.maps()[fg.point_values()[k].map];
        EXPECT_EQ(fg.strings().view(desc.name), names[k]);
        EXPECT_EQ(desc.type, k == 2 || k == 3 ? LWVMAP_WGHT : LWVMAP_TXUV);
    }
    // Point 2 of "two polys" is at the tip (v = 1), point 0 at the base.
    const float tip = static_cast<float>(0.25f + 0.25f * 0.3);
    EXPECT_EQ(fg.find_value(fg.find_map(LWVMAP_WGHT, "SF_range"), 2)[0], tip);
    EXPECT_EQ(fg.find_value(fg.find_map(LWVMAP_WGHT, "SF_thick"), 2)[0], tip);
    EXPECT_EQ(fg.find_value(fg.find_map(LWVMAP_WGHT, "SF_range"), 0)[0], 0.25f);
    for (index_t p = 0; p < fg.polygon_count(); ++p) {
        EXPECT_EQ(fg.polygon_type(p), LWPOLTYPE_FACE);
        EXPECT_EQ(fg.polygon_points(p).size(), 4u);
    }
    for (const auto& t : fg.tags())
        EXPECT_TRUE(t.type == LWPTAG_COLR && fg.strings().view(t.text) == "Green");
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
            EXPECT_TRUE(values[0] >= 0 && values[0] <= 1 && values[1] >= 0 && values[1] <= 1)
                << values[0] << ", " << values[1];
        }
    }
}

TEST(LeafBuild, SubdLeavesAreFaces) {
    app::standin_host host;
    MeshEditOp op = host.edit_op();
    settings_typ r{};
    reset_to_defaults(r);
    r.hidden = 1;
    r.branches = 30;
    r.twig_type = 3;
    r.leaf_shape = 2;
    r.render_type = 2;
    app::make_default_crown(host.background());
    ASSERT_EQ(build_callback(&r, &op), nullptr);
    release_branch_table();
    release_background();
    const auto& fg = host.foreground();
    const index_t leaf = fg.strings().find("LG_leaf");
    index_t leaves = 0, patches = 0;
    for (index_t p = 0; p < fg.polygon_count(); ++p) {
        if (fg.polygon_surface(p) == leaf) {
            ++leaves;
            EXPECT_EQ(fg.polygon_type(p), LWPOLTYPE_FACE);
        } else {
            patches += fg.polygon_type(p) == LWPOLTYPE_PTCH;
        }
    }
    EXPECT_GT(leaves, 0u);
    EXPECT_GT(patches, 0u);
}

}  // namespace
}  // namespace sf
