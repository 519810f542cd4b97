// Polygonal output: tube rings, forks, caps, surfaces, weights and maps on
// hand-made models, and whole polygonal builds through the program.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cmath>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "app/standin_host.h"
#include "core/settings.h"
#include "formats/edit_log.h"
#include "mesh/output.h"
#include "mesh/tubes.h"
#include "scratch_dir.h"

namespace sf {
namespace {

using formats::index_t;
using formats::k_none;
using w_typ = model_typ::w_typ;

w_typ* new_node(const vec3_typ& pos, const vec3_typ& prev, std::int32_t level, bool trunk = false,
                bool twig = false) {
    auto* n = new w_typ;
    n->position = pos;
    n->segment = pos - prev;
    n->thickness = 0.5;
    n->level = level;
    n->is_trunk = trunk;
    n->is_twig = twig;
    return n;
}

// Links nodes at the given positions through outward; returns them in order.
std::vector<w_typ*> link(const std::vector<vec3_typ>& pts, const vec3_typ& from, bool trunk = false,
                         bool twig = false) {
    std::vector<w_typ*> nodes;
    vec3_typ prev = from;
    for (std::size_t i = 0; i < pts.size(); ++i) {
        nodes.push_back(new_node(pts[i], prev, static_cast<std::int32_t>(i), trunk, twig));
        if (i) nodes[i - 1]->outward = nodes[i];
        prev = pts[i];
    }
    return nodes;
}

std::vector<vec3_typ> column(double x, double y0, int n) {
    std::vector<vec3_typ> pts;
    for (int i = 0; i < n; ++i) pts.push_back({x, y0 + i, 0.0});
    return pts;
}

void set_fields(model_typ& m) {
    m.trunk_thickness = 0.03;
    m.branch_thickness = 0.02;
    m.tips_thickness = 0.005;
    m.segments = 4;
    m.wg_range = 0.5;
    m.wg_hardness = 0.1;
    m.wg_thick_max = 1.0;
    m.assign_range_weight_map = true;
    m.assign_thick_weight_map = true;
}

// A trunk column of four nodes whose third node carries a twig (or branch)
// leaving towards dir.
std::vector<w_typ*> fork_model(model_typ& m, const vec3_typ& dir, bool twig, bool trunk = false) {
    set_fields(m);
    auto nodes = link(column(0, 1, 4), {0, 0, 0}, trunk);
    w_typ* w = nodes[2];
    // The side's first node sits on the fork node, as a joined branch's does.
    auto side = link({w->position, w->position + dir}, w->position, false, twig);
    w->side = side[0];
    m.chains = new model_typ::d_typ;
    m.chains->chain = nodes[0];
    nodes.push_back(side[0]);
    nodes.push_back(side[1]);
    return nodes;  // K, O, W, T, S, S2
}

void append_chain(model_typ& m, w_typ* base) {
    auto* d = new model_typ::d_typ;
    d->chain = base;
    model_typ::d_typ** tail = &m.chains;
    while (*tail) tail = &(*tail)->next;
    *tail = d;
}

struct Tubes : ::testing::Test {
    app::standin_host host;
    MeshEditOp op{};
    settings_typ r{};
    model_typ model;

    void SetUp() override {
        op = host.edit_op();
        reset_to_defaults(r);
        set_fields(model);
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
    int tags_with(std::string_view text) const {
        int n = 0;
        for (const auto& t : fg().tags()) n += fg().strings().view(t.text) == text;
        return n;
    }
};

TEST_F(Tubes, PlainChainHasARingPerNodeQuadsAndOneCap) {
    for (bool trunk : {false, true}) {
        app::standin_host h;
        MeshEditOp o = h.edit_op();
        model_typ m;
        set_fields(m);
        auto nodes = link(column(0, 1, 5), {0, 0, 0}, trunk);
        append_chain(m, nodes[0]);
        emit_polygonal(m, &o, false, r);
        const auto& l = h.foreground();
        ASSERT_EQ(l.point_count(), 20u);
        ASSERT_EQ(l.polygon_count(), 17u);
        for (index_t p = 0; p < 17; ++p) {
            EXPECT_EQ(l.polygon_type(p), LWPOLTYPE_FACE);
            EXPECT_EQ(l.polygon_points(p).size(), 4u);
            const auto name = l.strings().view(l.polygon_surface(p));
            EXPECT_EQ(name, p < 16 && trunk ? "SF_trunk" : "SF_branch") << p;
        }
        // Ring 0 to ring 1, corner k to k + 1.
        const auto first = l.polygon_points(0);
        EXPECT_EQ(std::vector<index_t>(first.begin(), first.end()), (std::vector<index_t>{0, 1, 5, 4}));
        const auto cap = l.polygon_points(16);
        EXPECT_EQ(std::vector<index_t>(cap.begin(), cap.end()), (std::vector<index_t>{16, 17, 18, 19}));
        EXPECT_EQ(l.tags().size(), trunk ? 16u : 0u);
        // The first chain's base is raised by its thickness.
        double y = 0;
        for (index_t k = 0; k < 4; ++k) y += l.point(k)[1];
        EXPECT_NEAR(y / 4, 1.0 + 0.03 * 0.5, 1e-12);
    }
}

TEST_F(Tubes, SubdWritesTheSameLogWithPatches) {
    std::string logs[2];
    for (int subd = 0; subd < 2; ++subd) {
        app::standin_host h;
        MeshEditOp o = h.edit_op();
        model_typ m;
        fork_model(m, {1, 0.5, 0}, true, true);
        auto second = link(column(3, 1, 3), {3, 0, 0});
        append_chain(m, second[0]);
        emit_polygonal(m, &o, subd == 1, r);
        formats::string_sink sink;
        formats::write_edit_log(h.foreground(), sink);
        logs[subd] = sink.text;
        for (index_t p = 0; p < h.foreground().polygon_count(); ++p)
            EXPECT_EQ(h.foreground().polygon_type(p), subd ? LWPOLTYPE_PTCH : LWPOLTYPE_FACE);
    }
    std::string swapped = logs[0];
    for (std::size_t at = 0; (at = swapped.find(" FACE ", at)) != std::string::npos;)
        swapped.replace(at, 6, " PTCH ");
    EXPECT_GT(logs[1].size(), 1000u);
    EXPECT_EQ(swapped, logs[1]);
}

TEST_F(Tubes, TwigForkWritesBoxSideTubeThenOutwardBeforeSide) {
    auto n = fork_model(model, {1, 0.5, 0}, true);
    emit();
    // Base 4, O 4, fork 12, T 4, twig tip 4.
    ASSERT_EQ(fg().point_count(), 28u);
    // O 4, A 4, side tube 4, box 3, T 4 + cap, twig 4 + cap.
    ASSERT_EQ(fg().polygon_count(), 25u);
    for (index_t p = 0; p < 25; ++p) EXPECT_EQ(poly(p).size(), 4u);
    // Fork points go A[k], B[k], S'[k] for each corner.
    auto a = [](int k) { return index_t(8 + 3 * k); };
    auto b = [](int k) { return index_t(9 + 3 * k); };
    auto s = [](int k) { return index_t(10 + 3 * k); };
    EXPECT_EQ(poly(4), (std::vector<index_t>{4, 5, a(1), a(0)}));
    for (index_t p = 8; p < 15; ++p) EXPECT_EQ(surface(p), "SF_branch");
    EXPECT_EQ(poly(8)[2], s(1));
    EXPECT_EQ(poly(8)[3], s(0));
    // The outward tube and its cap come before the side tube.
    EXPECT_EQ(poly(15), (std::vector<index_t>{b(0), b(1), 21, 20}));
    EXPECT_EQ(poly(19), (std::vector<index_t>{20, 21, 22, 23}));
    EXPECT_EQ(poly(20), (std::vector<index_t>{s(0), s(1), 25, 24}));
    for (index_t p = 20; p < 24; ++p) EXPECT_EQ(surface(p), "SF_twig");
    EXPECT_EQ(surface(24), "SF_branch");
    EXPECT_EQ(poly(24), (std::vector<index_t>{24, 25, 26, 27}));
    EXPECT_EQ(tags_with("Blue"), 4);

    // Side tube seam: the last quad gets X[3], X[0], then X[0] again and
    // S'[0], both at u = 1.
    const index_t x0 = poly(8)[0], x3 = poly(11)[0];
    std::vector<index_t> on_last;
    std::vector<float> u_last;
    for (const auto& rec : fg().polygon_point_values())
        if (rec.polygon == 11) on_last.push_back(rec.point), u_last.push_back(fg().values(rec)[0]);
    EXPECT_EQ(on_last, (std::vector<index_t>{x3, x0, x0, s(0)}));
    EXPECT_EQ(u_last, (std::vector<float>{0.75f, 1.0f, 1.0f, 1.0f}));
    const float* tip = value("SF_branch", s(0), 11);
    ASSERT_NE(tip, nullptr);
    // The side starts at the node's path length plus half its radius.
    const double rs = 0.02 * 0.5 + 0.005 / 2.0;
    EXPECT_FLOAT_EQ(tip[1], static_cast<float>((2.0 + 0.5 * rs) / model.reach));
    // The twig node itself gets no ring but the fork's weights.
    EXPECT_EQ(n[4]->range_weight, n[2]->range_weight);
    EXPECT_EQ(n[4]->thick_weight, n[2]->thick_weight);
}

TEST_F(Tubes, ExitSidePicksTheTableRow) {
    // World direction of the side chain, its exit side in the node's frame
    // (local X up the column) and that side's table row.
    struct row {
        vec3_typ dir;
        int x[4];
        int faces[3][4];
    };
    const row rows[] = {
        {{0, 0.3, 1}, {0, 1, 5, 4}, {{5, 1, 2, 6}, {2, 3, 7, 6}, {7, 3, 0, 4}}},    // +Z
        {{1, 0.3, 0}, {5, 1, 2, 6}, {{0, 1, 5, 4}, {2, 3, 7, 6}, {7, 3, 0, 4}}},    // -Y
        {{0, 0.3, -1}, {7, 6, 2, 3}, {{0, 1, 5, 4}, {5, 1, 2, 6}, {7, 3, 0, 4}}},   // -Z
        {{-1, 0.3, 0}, {0, 4, 7, 3}, {{0, 1, 5, 4}, {5, 1, 2, 6}, {2, 3, 7, 6}}},   // +Y
    };
    auto box = [](int i) { return index_t(i < 4 ? 8 + 3 * i : 9 + 3 * (i - 4)); };
    for (const row& w : rows) {
        app::standin_host h;
        MeshEditOp o = h.edit_op();
        model_typ m;
        fork_model(m, w.dir, false);
        emit_polygonal(m, &o, false, r);
        const auto& l = h.foreground();
        ASSERT_EQ(l.polygon_count(), 25u);
        auto pts = [&](index_t p) {
            auto s = l.polygon_points(p);
            return std::vector<index_t>(s.begin(), s.end());
        };
        for (int k = 0; k < 4; ++k) {
            const index_t sk = index_t(10 + 3 * k), sk1 = index_t(10 + 3 * ((k + 1) % 4));
            EXPECT_EQ(pts(8 + k), (std::vector<index_t>{box(w.x[k]), box(w.x[(k + 1) % 4]), sk1, sk}))
                << w.dir.x << "," << w.dir.z << " k " << k;
        }
        bool seam_face = false;
        for (int f = 0; f < 3; ++f) {
            const index_t p = index_t(12 + f);
            std::vector<index_t> want;
            for (int i : w.faces[f]) want.push_back(box(i));
            EXPECT_EQ(pts(p), want) << w.dir.x << "," << w.dir.z << " face " << f;
            const index_t map = l.find_map(LWVMAP_TXUV, "SF_branch");
            const float* v0 = l.find_value(map, box(0), p);
            const float* v4 = l.find_value(map, box(4), p);
            if (w.faces[f][0] == 7) {
                seam_face = true;
                ASSERT_TRUE(v0 && v4);
                EXPECT_EQ(v0[0], 1.0f);
                EXPECT_EQ(v4[0], 1.0f);
                EXPECT_GT(v4[1], v0[1]);
            } else {
                EXPECT_EQ(v0, nullptr);
            }
        }
        EXPECT_EQ(seam_face, w.faces[2][0] == 7);
        // The side ring sits out on the side the branch leaves by.
        double cx = 0, cz = 0;
        for (int k = 0; k < 4; ++k) {
            cx += l.point(10 + 3 * k)[0] / 4;
            cz += l.point(10 + 3 * k)[2] / 4;
        }
        EXPECT_GT(cx * w.dir.x + cz * w.dir.z, 0.01);
    }
}

TEST_F(Tubes, EveryRingPointCarriesItsMaps) {
    auto n = fork_model(model, {0, 0.5, 1}, true);
    model.assign_range_weight_map = false;
    model.assign_thick_weight_map = false;
    emit();
    EXPECT_EQ(fg().find_map(LWVMAP_WGHT, "SF_range"), k_none);
    EXPECT_EQ(fg().find_map(LWVMAP_WGHT, "SF_thick"), k_none);
    for (index_t p = 0; p < fg().point_count(); ++p) {
        EXPECT_NE(value("SF_range_thick", p), nullptr) << p;
        EXPECT_NE(value("SF_branch", p), nullptr) << p;
    }
    for (index_t k = 0; k < 4; ++k) {
        EXPECT_EQ(value("SF_range_thick", k)[0], -1.0f);
        EXPECT_EQ(value("SF_branch", k)[0], k * 0.25f);
        EXPECT_EQ(value("SF_branch", k)[1], 0.0f);
    }
    // O's ring carries O's weights.
    EXPECT_EQ(value("SF_range_thick", 4)[0], n[1]->range_weight);
    EXPECT_EQ(value("SF_range_thick", 4)[1], n[1]->thick_weight);
}

TEST_F(Tubes, WeightsBlendWithTheParent) {
    auto n = link(column(0, 1, 5), {0, 0, 0});
    append_chain(model, n[0]);
    emit();
    const float o_wr = static_cast<float>(range_falloff(1.0 / 4.0, 0.5, 0.1));
    const float o_wt = static_cast<float>(thick_falloff(0.5, 1.0));
    EXPECT_EQ(n[1]->range_weight, o_wr);
    EXPECT_EQ(n[1]->thick_weight, o_wt);
    const float next_wr = static_cast<float>(range_falloff(2.0 / 4.0, 0.5, 0.1));
    EXPECT_EQ(n[2]->range_weight, static_cast<float>(o_wr * 0.7 + next_wr * 0.3));
    EXPECT_EQ(n[2]->thick_weight, static_cast<float>(o_wt * 0.7 + o_wt * 0.3));
    EXPECT_EQ(n[0]->range_weight, -10.0f);  // the base node gets no weights
}

TEST_F(Tubes, ZeroSegmentsAndZeroReachStayFinite) {
    // Every node at one place: no length anywhere, and no segments setting.
    auto n = fork_model(model, {0, 0, 0}, false);
    model.segments = 0;
    for (w_typ* w : n) w->position = {0, 1, 0}, w->segment = {}, w->level = 0;
    emit();
    EXPECT_EQ(model.reach, 0.0);
    ASSERT_EQ(fg().polygon_count(), 25u);
    for (auto values : {fg().point_values(), fg().polygon_point_values()}) {
        for (const auto& rec : values) {
            for (float v : fg().values(rec)) EXPECT_TRUE(std::isfinite(v));
            if (fg().strings().view(fg().maps()[rec.map].name) == "SF_branch") {
                EXPECT_EQ(fg().values(rec)[1], 0.0f);
            }
        }
    }
    for (double c : fg().point_coordinates()) EXPECT_TRUE(std::isfinite(c));
    // With no segments every level counts as the branch end.
    EXPECT_EQ(n[1]->range_weight, static_cast<float>(range_falloff(1.0, 0.5, 0.1)));
}

TEST_F(Tubes, ChainsThatAreNotWritten) {
    // A side chain at the base: nothing of it, nor what hangs from it.
    auto joined = link(column(0, 1, 4), {0, 0, 0});
    joined[0]->side = link(column(1, 1, 3), {0, 1, 0})[0];
    append_chain(model, joined[0]);
    // Two nodes only.
    append_chain(model, link(column(2, 1, 2), {2, 0, 0})[0]);
    emit();
    EXPECT_EQ(fg().point_count(), 0u);

    // A side on the tip: the tube ends with a cap and the side is dropped.
    app::standin_host h;
    MeshEditOp o = h.edit_op();
    model_typ m;
    set_fields(m);
    auto nodes = link(column(0, 1, 3), {0, 0, 0});
    nodes[2]->side = link(column(1, 3, 3), {0, 3, 0})[0];
    append_chain(m, nodes[0]);
    emit_polygonal(m, &o, false, r);
    ASSERT_EQ(h.foreground().point_count(), 12u);
    ASSERT_EQ(h.foreground().polygon_count(), 9u);
    const auto cap = h.foreground().polygon_points(8);
    EXPECT_EQ(std::vector<index_t>(cap.begin(), cap.end()), (std::vector<index_t>{8, 9, 10, 11}));
}

TEST_F(Tubes, LongChainsNeedNoDeepStack) {
    auto nodes = link(column(0, 1, 50000), {0, 0, 0});
    // A twig on every other node: the pending side calls pile up.
    for (std::size_t i = 1; i + 1 < nodes.size(); i += 2) {
        const vec3_typ p = nodes[i]->position;
        nodes[i]->side = link({p, p + vec3_typ(1, 0.2, 0)}, p, false, true)[0];
    }
    append_chain(model, nodes[0]);
    emit();
    const index_t forks = (50000 - 2) / 2;
    EXPECT_EQ(fg().point_count(), 4u * 50000 + forks * (8 + 4));
    EXPECT_EQ(fg().polygon_count(), 4u * 49999 + 1 + forks * (7 + 4 + 1));
}

TEST(PolygonalBuild, WholeBuildsWriteQuadsOnValidPoints) {
    test::scratch_dir dir;
    std::string logs[2];
    for (int type = 1; type <= 2; ++type) {
        const std::string out = dir.file("t" + std::to_string(type) + ".edits");
        const std::string cmd = std::string("'" SF_PROGRAM "' build --set render_type=") + std::to_string(type) +
                                " -o '" + out + "' -o '" + dir.file("t.obj") + "' 2>/dev/null";
        const int status = std::system(cmd.c_str());
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << cmd;
        logs[type - 1] = test::slurp(out);
        formats::mesh_layer l;
        formats::read_edit_log(logs[type - 1], "t.edits", l);
        ASSERT_GT(l.polygon_count(), 100u);
        for (index_t p = 0; p < l.polygon_count(); ++p) {
            const auto pts = l.polygon_points(p);
            for (index_t q : pts) EXPECT_LT(q, l.point_count());
            const auto name = l.strings().view(l.polygon_surface(p));
            if (name == "SF_branch" || name == "SF_twig" || name == "SF_root") {
                EXPECT_EQ(pts.size(), 4u) << p;
            }
        }
    }
    std::string swapped = logs[0];
    for (std::size_t at = 0; (at = swapped.find(" FACE ", at)) != std::string::npos;)
        swapped.replace(at, 6, " PTCH ");
    EXPECT_EQ(swapped, logs[1]);
}

}  // namespace
}  // namespace sf
