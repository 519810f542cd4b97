// Polygonal output on hand-made models: tube rings, forks, caps, surfaces,
// seams and maps.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <string_view>
#include <vector>

#include "app/standin_host.h"
#include "core/settings.h"
#include "mesh/output.h"
#include "mesh/tubes.h"
#include "model_builders.h"

namespace sf {
namespace {

using formats::index_t;
using formats::k_none;
using test::link;
using test::w_typ;

std::vector<vec3_typ> column(double x, double y0, int n) {
    std::vector<vec3_typ> pts;
    for (int i = 0; i < n; ++i) pts.push_back({x, y0 + i, 0.0});
    return pts;
}

// A model, the host it is written to, and readers of what was written.
struct tube_run {
    app::standin_host host;
    MeshEditOp op = host.edit_op();
    settings_typ r{};
    model_typ model;

    tube_run() {
        reset_to_defaults(r);
        model.trunk_thickness = 0.03;
        model.branch_thickness = 0.02;
        model.tips_thickness = 0.005;
        model.segments = 4;
        model.wg_range = 0.5;
        model.wg_hardness = 0.1;
        model.wg_thick_max = 1.0;
        model.assign_range_weight_map = model.assign_thick_weight_map = true;
    }
    // A column of four nodes from (0, 1, 0) whose third node carries a twig
    // (or branch) leaving towards dir; returns K, O, W, T, S, S2.
    std::vector<w_typ*> fork(const vec3_typ& dir, bool twig, bool trunk = false) {
        auto nodes = link(column(0, 1, 4), {0, 0, 0}, trunk);
        const vec3_typ w = nodes[2]->position;
        // The side's first node sits on the fork node, as a joined branch's does.
        auto side = link({w, w + dir}, w, false, twig);
        nodes[2]->side = side[0];
        test::append_chain(model, nodes[0]);
        nodes.insert(nodes.end(), side.begin(), side.end());
        return nodes;
    }
    const formats::mesh_layer& fg() const { return host.foreground(); }
    void emit(bool subd = false) { emit_polygonal(model, &op, subd, r); }
    std::vector<index_t> poly(index_t p) const {
        auto s = fg().polygon_points(p);
        return {s.begin(), s.end()};
    }
    std::string_view surface(index_t p) const { return fg().strings().view(fg().polygon_surface(p)); }
    const float* value(std::string_view name, index_t point, index_t polygon = k_none) const {
        const index_t map = fg().find_map(LWVMAP_TXUV, name);
        return map == k_none ? nullptr : fg().find_value(map, point, polygon);
    }
};

using V = std::vector<index_t>;

TEST(Tubes, PlainChainHasARingPerNodeQuadsAndOneCap) {
    for (bool trunk : {false, true}) {
        tube_run t;
        auto nodes = link(column(0, 1, 5), {0, 0, 0}, trunk);
        test::append_chain(t.model, nodes[0]);
        t.emit();
        ASSERT_EQ(t.fg().point_count(), 20u);
        ASSERT_EQ(t.fg().polygon_count(), 17u);
        for (index_t p = 0; p < 17; ++p) {
            EXPECT_EQ(t.fg().polygon_type(p), LWPOLTYPE_FACE);
            EXPECT_EQ(t.surface(p), p < 16 && trunk ? "SF_trunk" : "SF_branch") << p;
        }
        EXPECT_EQ(t.poly(0), (V{0, 1, 5, 4}));  // ring 0 to ring 1, corner k to k + 1
        // The seam: the last quad of a bridge has u = 1 at corner 0 of both rings.
        EXPECT_TRUE(t.value("SF_branch", 0, 3)[0] == 1.0f && t.value("SF_branch", 4, 3)[0] == 1.0f);
        EXPECT_EQ(t.poly(16), (V{16, 17, 18, 19}));
        EXPECT_EQ(t.fg().tags().size(), trunk ? 16u : 0u);
        EXPECT_EQ(nodes[0]->range_weight, -10.0f);  // the base node gets no weights
        // The first chain's base is raised by its thickness.
        double y = 0;
        for (index_t k = 0; k < 4; ++k) y += t.fg().point(k)[1];
        EXPECT_NEAR(y / 4, 1.0 + 0.03 * 0.5, 1e-12);
    }
}

TEST(Tubes, ZeroSegmentsAndZeroReachStayFinite) {
    // Every node at one place: no length anywhere, and no segments setting.
    tube_run t;
    auto n = t.fork({0, 0, 0}, false);
    t.model.segments = 0;
    for (w_typ* w : n) w->position = {0, 1, 0}, w->segment = {}, w->level = 0;
    t.emit();
    EXPECT_EQ(t.model.reach, 0.0);
    ASSERT_EQ(t.fg().polygon_count(), 25u);
    const auto check = [&](const formats::value_record& rec) {
        for (float v : t.fg().values(rec)) EXPECT_TRUE(std::isfinite(v));
        if (t.fg().strings().view(t.fg().maps()[rec.map].name) == "SF_branch") {
            EXPECT_EQ(t.fg().values(rec)[1], 0.0f);
        }
    };
    for (const formats::value_record rec : t.fg().point_values()) check(rec);
    for (const formats::value_record& rec : t.fg().polygon_point_values()) check(rec);
    for (double c : t.fg().point_coordinates()) EXPECT_TRUE(std::isfinite(c));
    // With no segments every level counts as the branch end.
    EXPECT_EQ(n[1]->range_weight, static_cast<float>(range_falloff(1.0, 0.5, 0.1)));
}

TEST(Tubes, ChainsThatAreNotWritten) {
    // A side chain at the base: nothing of it, nor what hangs from it; and a
    // chain of two nodes only.
    tube_run t;
    auto joined = link(column(0, 1, 4), {0, 0, 0});
    joined[0]->side = link(column(1, 1, 3), {0, 1, 0})[0];
    test::append_chain(t.model, joined[0]);
    test::append_chain(t.model, link(column(2, 1, 2), {2, 0, 0})[0]);
    t.emit();
    EXPECT_EQ(t.fg().point_count(), 0u);

    // A side on the tip: the tube ends with a cap and the side is dropped.
    tube_run u;
    auto nodes = link(column(0, 1, 3), {0, 0, 0});
    nodes[2]->side = link(column(1, 3, 3), {0, 3, 0})[0];
    test::append_chain(u.model, nodes[0]);
    u.emit();
    ASSERT_EQ(u.fg().point_count(), 12u);
    ASSERT_EQ(u.fg().polygon_count(), 9u);
    EXPECT_EQ(u.poly(8), (V{8, 9, 10, 11}));
}

TEST(Tubes, LongChainsNeedNoDeepStack) {
    tube_run t;
    auto nodes = link(column(0, 1, 50000), {0, 0, 0});
    // A twig on every other node: the pending side calls pile up.
    for (std::size_t i = 1; i + 1 < nodes.size(); i += 2) {
        const vec3_typ p = nodes[i]->position;
        nodes[i]->side = link({p, p + vec3_typ(1, 0.2, 0)}, p, false, true)[0];
    }
    test::append_chain(t.model, nodes[0]);
    t.emit();
    const index_t forks = (50000 - 2) / 2;
    EXPECT_EQ(t.fg().point_count(), 4u * 50000 + forks * (8 + 4));
    EXPECT_EQ(t.fg().polygon_count(), 4u * 49999 + 1 + forks * (7 + 4 + 1));
}

}  // namespace
}  // namespace sf
