// Roots and the trunk base: growth, draw order, sockets, root tubes, quadrant
// bounds and the skirt's seam values, written through the stand-in host.
#include <gtest/gtest.h>

#include <cmath>
#include <string_view>
#include <vector>

#include "app/standin_host.h"
#include "core/random.h"
#include "mesh/roots.h"
#include "mesh/tubes.h"

namespace sf {
namespace {

using formats::index_t;
using formats::k_none;

constexpr double k_base_thickness = 2.0;

struct Roots : ::testing::Test {
    app::standin_host host;
    MeshEditOp op = host.edit_op();
    model_typ model;
    LWPntID base[4]{};

    void SetUp() override {
        model.rng = &g_random;
        model.trunk_thickness = 0.03;
        model.branch_thickness = 0.02;
        model.tips_thickness = 0.005;
        model.roots_gravity = 0.23;
        model.roots_spread = 0.5;
        model.roots_crookedness = 0.4;
        model.assign_range_weight_map = model.assign_thick_weight_map = true;
        model.reach = 2.0;
        model.number_of_roots = 5;
    }
    void grow(int seed = 30) {
        g_random.seed(seed);
        grow_roots(model, model.number_of_roots, k_base_thickness);
    }
    // Grows n roots and writes them on a fresh base ring.
    void run(int n = 5, int seed = 30, bool subd = false) {
        host.foreground().clear();
        const double corners[4][3] = {{0, 0.1, 0.1}, {0, -0.1, 0.1}, {0, -0.1, -0.1}, {0, 0.1, -0.1}};
        for (int k = 0; k < 4; ++k) base[k] = op.addPoint(op.state, corners[k]);
        model.number_of_roots = n;
        grow(seed);
        emit_trunk_base(model, &op, subd, base, vec3_typ(0.5, 0.25, -0.5), 0.0);
    }
    const formats::mesh_layer& fg() const { return host.foreground(); }
    std::vector<index_t> polygons_of(std::string_view surface) const {
        std::vector<index_t> out;
        for (index_t p = 0; p < fg().polygon_count(); ++p) {
            const index_t s = fg().polygon_surface(p);
            if (s != k_none && fg().strings().view(s) == surface) out.push_back(p);
        }
        return out;
    }
    const float* uv(index_t point, index_t polygon = k_none) const {
        return fg().find_value(fg().find_map(LWVMAP_TXUV, "SF_branch"), point, polygon);
    }
    int root_count() const {
        int n = 0;
        for (const model_typ::d_typ* d = model.root_chains; d; d = d->next) ++n;
        return n;
    }
};

TEST_F(Roots, EachRootIsSixNodesAndTwentyFourPolygons) {
    // Counts below 5 (only a preset can hold one) act as 5 and stay stored.
    for (int n : {5, 12, 0, 4, -2}) {
        const int roots = n < 5 ? 5 : n;
        SCOPED_TRACE(n);
        run(n, 30, n == 12);
        EXPECT_EQ(model.number_of_roots, n);
        ASSERT_EQ(root_count(), roots);
        EXPECT_EQ(model.root_quadrant_bounds[3], roots + 1);
        for (const model_typ::d_typ* d = model.root_chains; d; d = d->next) {
            int nodes = 0;
            for (const model_typ::w_typ* w = d->chain; w; w = w->outward, ++nodes) EXPECT_EQ(w->side, nullptr);
            EXPECT_EQ(nodes, 6);
        }
        EXPECT_EQ(fg().point_count(), index_t(4 + 2 * roots + 24 * roots));
        EXPECT_EQ(polygons_of("SF_root").size(), std::size_t(24 * roots));
        EXPECT_EQ(polygons_of("SF_trunk").size(), std::size_t(roots + 1));
        for (index_t p = 0; p < fg().polygon_count(); ++p)
            EXPECT_EQ(fg().polygon_type(p), n == 12 ? LWPOLTYPE_PTCH : LWPOLTYPE_FACE);
    }
}

TEST_F(Roots, RingQuadrantsAndTurn) {
    const double sx[4] = {1, -1, -1, 1}, sz[4] = {-1, -1, 1, 1};
    for (int n = 5; n <= 12; ++n) {
        for (int seed : {1, 30, 112, 977}) {
            SCOPED_TRACE(testing::Message() << n << " roots, seed " << seed);
            run(n, seed);
            // Three quadrant bounds split the ring by the sign of x and z.
            const std::int32_t* b = model.root_quadrant_bounds;
            EXPECT_TRUE(0 < b[0] && b[0] < b[1] && b[1] < b[2] && b[2] < n && b[3] == n + 1);
            for (int i = 0, q = 0; i < n; ++i) {
                while (q < 3 && i >= b[q]) ++q;
                EXPECT_TRUE(sx[q] * model.root_points[i].x >= 0 && sz[q] * model.root_points[i].z >= 0) << i;
            }
            // Each step turns from +x towards -z by at most a + j, on one
            // circle, and all stay within one turn (seed 112 with 12 roots
            // needs its last step halved).
            const double a = 6.2831853071796 / n, j = a / 6;
            double sum = 0;
            for (int i = 1; i < n; ++i) {
                const vec3_typ &p = model.root_points[i - 1], &q = model.root_points[i];
                EXPECT_NEAR(q.length(), model.root_points[0].length(), 1e-12);
                EXPECT_EQ(q.y, 0.0);
                const double step = std::atan2(p.z * q.x - p.x * q.z, p.x * q.x + p.z * q.z);
                EXPECT_TRUE(step > 0.0 && step <= a + j + 1e-9) << step;
                sum += step;
            }
            EXPECT_LT(sum, 6.2831853071796);
        }
    }
}

// Draws consumed by one growth, read back from the generator state.
int draws_used(model_typ& model, int seed) {
    g_random.seed(seed);
    grow_roots(model, model.number_of_roots, k_base_thickness);
    const int next[3] = {random::raw(), random::raw(), random::raw()};
    for (int used = 0; used < 1000; ++used) {
        g_random.seed(seed);
        for (int i = 0; i < used; ++i) random::raw();
        if (random::raw() == next[0] && random::raw() == next[1] && random::raw() == next[2]) return used;
    }
    return -1;
}

TEST_F(Roots, ZeroSettingsSkipTheirDraws) {
    const int ring = 4, segments = 25;
    EXPECT_EQ(draws_used(model, 30), ring + 5 * segments);
    model.roots_gravity = 0;
    EXPECT_EQ(draws_used(model, 30), ring + 3 * segments);  // no sag, no wobble
    model.roots_gravity = 0.23;
    model.roots_crookedness = 0;
    EXPECT_EQ(draws_used(model, 30), ring + 3 * segments);  // no wobble, no turn
    model.roots_crookedness = 0.4;
    model.roots_spread = 0;
    EXPECT_EQ(draws_used(model, 30), ring + 4 * segments);  // no length jitter
}

TEST_F(Roots, SeamValuesArePerPolygonOnly) {
    EXPECT_EQ(skirt_seam_index(5), 3);
    EXPECT_EQ(skirt_seam_index(8), 5);
    EXPECT_EQ(skirt_seam_index(12), 8);
    // Eight roots are left out: their socket 5 has u = 5/8 + 0.375 = 1.0 exactly.
    int w_written = 0, w_skipped = 0;
    for (int n : {5, 7, 12}) {
        for (int seed : {30, 2, 5}) {
            SCOPED_TRACE(testing::Message() << n << " roots, seed " << seed);
            run(n, seed);
            const index_t map = fg().find_map(LWVMAP_TXUV, "SF_branch");
            for (const auto& rec : fg().point_values())
                EXPECT_TRUE(rec.map != map || (fg().values(rec)[0] != 1.0f && fg().values(rec)[0] != 1.1f));
            const float v = static_cast<float>(k_base_thickness * 0.03 / 2.0);
            const int w = skirt_seam_index(n);
            const index_t bs_w = index_t(5 + (w == 0 ? 0 : 2 + 26 * (w - 1)));
            int corner_seam = 0, socket_seam = 0, closing_seam = 0;
            for (const auto& rec : fg().polygon_point_values()) {
                const auto val = fg().values(rec);
                if (rec.map != map || (val[0] != 1.1f && (val[0] != 1.0f || rec.point != 0))) continue;
                if (rec.point == 0) {
                    ++(val[0] == 1.0f ? corner_seam : closing_seam);
                    EXPECT_EQ(val[1], v);
                } else {
                    ++socket_seam;
                    EXPECT_TRUE(rec.point == bs_w && val[1] == 0.0f) << rec.point;
                }
            }
            // Corner 0 (quadrant 2) carries (1.0, v) on its triangles up to w,
            // and (1.1, v) on the closing quad; Bs[w] gets (1.1, 0) unless k = w
            // is the skipped first k of a quadrant.
            const std::int32_t* b = model.root_quadrant_bounds;
            int expected = 0;
            for (int k = b[1] + 1; k < b[2]; ++k) expected += k <= w;
            EXPECT_EQ(corner_seam, expected);
            EXPECT_EQ(closing_seam, 1);
            const bool skipped = w == b[0] || w == b[1] || w == b[2];
            EXPECT_EQ(socket_seam, skipped ? 0 : 1);
            ++(skipped ? w_skipped : w_written);
        }
    }
    EXPECT_GT(w_written, 0);
    EXPECT_GT(w_skipped, 0);

    // Socket u = i / n + 0.375 wraps only above 1: socket 5 of 8 keeps 1.0.
    run(8);
    EXPECT_EQ(uv(6 + 26 * 4)[0], 1.0f);
    // Zero reach: the skirt's v is 0, not NaN.
    model.reach = 0;
    run();
    const std::vector<index_t> skirt = polygons_of("SF_trunk");
    const float* closing = uv(0, skirt[skirt.size() - 2]);
    ASSERT_NE(closing, nullptr);
    EXPECT_TRUE(closing[0] == 1.1f && closing[1] == 0.0f);
}

}  // namespace
}  // namespace sf
