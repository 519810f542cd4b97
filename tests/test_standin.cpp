// The stand-in host: mesh-edit operations, id checks, scans, normals, the
// journal, the services, and the built-in crown.
#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <utility>
#include <vector>

#include "app/default_crown.h"
#include "app/standin_host.h"
#include "app/standin_services.h"

namespace sf::app {
namespace {

using formats::edit_kind;
using formats::k_none;

struct Host : ::testing::Test {
    standin_host host;
    MeshEditOp op = host.edit_op();

    LWPntID point(double x, double y, double z) {
        const double p[3] = {x, y, z};
        return op.addPoint(op.state, p);
    }
    LWPolID face(std::vector<LWPntID> pts, const char* surface = nullptr) {
        return op.addFace(op.state, surface, static_cast<int>(pts.size()), pts.data());
    }
    // Normal of a foreground polygon through the operation; n pre-filled with junk.
    std::pair<int, std::vector<double>> normal(LWPolID pol) {
        double n[3] = {7, 7, 7};
        const int ok = op.polyNormal(op.state, pol, n);
        return {ok, {n[0], n[1], n[2]}};
    }
};

TEST_F(Host, NewellNormalOfSimplePolygons) {
    // Counter-clockwise seen from +y.
    LWPntID sq[4] = {point(0, 0, 0), point(0, 0, 1), point(1, 0, 1), point(1, 0, 0)};
    EXPECT_EQ(normal(face({sq[0], sq[1], sq[2], sq[3]})), std::make_pair(1, std::vector<double>{0, 1, 0}));
    EXPECT_EQ(normal(face({sq[3], sq[2], sq[1], sq[0]})), std::make_pair(1, std::vector<double>{0, -1, 0}));

    // Sum (1, 1, 1), divided by its length.
    LWPolID tri = face({point(1, 0, 0), point(0, 1, 0), point(0, 0, 1)});
    const double c = 1.0 / std::sqrt(3.0);
    EXPECT_EQ(normal(tri), std::make_pair(1, std::vector<double>{c, c, c}));
}

TEST_F(Host, DegenerateNormalFailsWithZeroVector) {
    const std::pair<int, std::vector<double>> zero{0, {0, 0, 0}};
    LWPntID a = point(0, 0, 0), b = point(1, 1, 1), c = point(2, 2, 2);
    EXPECT_EQ(normal(face({a, b, c})), zero);  // collinear
    EXPECT_EQ(normal(face({a, b})), zero);     // a segment
    EXPECT_EQ(normal(face({a, a, a, a})), zero);
    EXPECT_EQ(normal(nullptr), zero);
    EXPECT_EQ(normal(reinterpret_cast<LWPolID>(std::uintptr_t(9999))), zero);
}

TEST_F(Host, ScanVisitsPolygonsInOrderAndStops) {
    formats::mesh_layer& bg = host.background();
    for (int i = 0; i < 4; ++i) bg.add_point(i, 2 * i, 3 * i);
    const index_t a[3] = {0, 1, 2}, b[2] = {3, 1}, c[4] = {3, 2, 1, 0};
    bg.add_polygon(LWPOLTYPE_FACE, bg.strings().intern("Bark"), a);
    bg.add_polygon(LWPOLTYPE_FACE, k_none, b);
    bg.add_polygon(LWPOLTYPE_PTCH, k_none, c);
    face({point(0, 0, 0)});  // the foreground is a separate layer

    struct seen_typ {
        MeshEditOp* op;
        int stop_after;
        std::vector<std::vector<double>> xs;  // x of every point of each polygon
        std::vector<LWID> types;
        std::vector<std::string> surfaces;
    };
    auto fn = [](void* data, const EDPolygonInfo* info) -> int {
        auto* s = static_cast<seen_typ*>(data);
        EXPECT_EQ(info->layer, OPLYR_BG);
        std::vector<double> xs;
        for (int k = 0; k < info->numPnts; ++k) {
            const EDPointInfo* p = s->op->pointInfo(s->op->state, info->points[k]);
            EXPECT_EQ(p->layer, OPLYR_BG);
            xs.push_back(p->position[0]);
        }
        s->xs.push_back(xs);
        s->types.push_back(info->type);
        s->surfaces.push_back(info->surface ? info->surface : "(none)");
        return static_cast<int>(s->xs.size()) == s->stop_after ? 42 : 0;
    };

    EXPECT_EQ(op.polyCount(op.state, OPLYR_BG, EDCOUNT_ALL), 3);
    EXPECT_EQ(op.polyCount(op.state, OPLYR_FG, EDCOUNT_ALL), 1);
    EXPECT_EQ(op.polyCount(op.state, 7, EDCOUNT_ALL), 0);

    seen_typ all{&op, -1, {}, {}, {}};
    EXPECT_EQ(op.polyScan(op.state, fn, &all, OPLYR_BG), 0);
    EXPECT_EQ(all.xs, (std::vector<std::vector<double>>{{0, 1, 2}, {3, 1}, {3, 2, 1, 0}}));
    EXPECT_EQ(all.types, (std::vector<LWID>{LWPOLTYPE_FACE, LWPOLTYPE_FACE, LWPOLTYPE_PTCH}));
    EXPECT_EQ(all.surfaces, (std::vector<std::string>{"Bark", "(none)", "(none)"}));

    seen_typ two{&op, 2, {}, {}, {}};
    EXPECT_EQ(op.polyScan(op.state, fn, &two, OPLYR_BG), 42);
    EXPECT_EQ(two.xs.size(), 2u);
}

TEST_F(Host, RefusesInvalidIdsAndArguments) {
    LWPntID p = point(1, 2, 3), q = point(4, 5, 6);
    host.background().add_point(0, 0, 0);
    const LWPntID bg_point = standin_host::point_id(OPLYR_BG, 0);
    const LWPntID unknown = standin_host::point_id(OPLYR_FG, 2);
    ASSERT_NE(p, nullptr);

    EXPECT_EQ(op.pointInfo(op.state, nullptr), nullptr);
    EXPECT_EQ(op.pointInfo(op.state, unknown), nullptr);
    ASSERT_NE(op.pointInfo(op.state, bg_point), nullptr);
    EXPECT_EQ(op.pointInfo(op.state, bg_point)->layer, OPLYR_BG);

    EXPECT_EQ(face({p, unknown}), nullptr);
    EXPECT_EQ(face({p, bg_point}), nullptr);  // edits stay in the foreground
    EXPECT_EQ(face({}), nullptr);
    EXPECT_EQ(op.addPoly(op.state, 0x01020304, nullptr, nullptr, 1, &p), nullptr);
    EXPECT_EQ(op.addPoint(op.state, nullptr), nullptr);

    LWPolID pol = face({p, q}, "");
    ASSERT_NE(pol, nullptr);
    EXPECT_EQ(host.foreground().polygon_surface(0), k_none);  // "" is the current surface

    const float w = 0.5f, uv[2] = {0.25f, 0.75f};
    EXPECT_EQ(op.polTag(op.state, nullptr, LWPTAG_COLR, "x"), 0);
    EXPECT_EQ(op.polTag(op.state, pol, LWPTAG_COLR, nullptr), 0);
    EXPECT_EQ(op.pntVMap(op.state, unknown, LWVMAP_WGHT, "w", 1, &w), 0);
    EXPECT_EQ(op.pntVMap(op.state, p, LWVMAP_WGHT, "w", 2, uv), 0);  // weights have one value
    EXPECT_EQ(op.pntVMap(op.state, p, LWVMAP_TXUV, "uv", 1, uv), 0);
    EXPECT_EQ(op.pntVMap(op.state, p, LWVMAP_WGHT, "", 1, &w), 0);
    EXPECT_EQ(op.pntVPMap(op.state, p, nullptr, LWVMAP_TXUV, "uv", 2, uv), 0);

    // Only accepted calls reach the journal.
    EXPECT_EQ(host.foreground().journal().size(), 3u);
}

TEST_F(Host, JournalKeepsCallOrderAndValues) {
    LWPntID p = point(1, 2, 3);
    LWPolID pol = op.addPoly(op.state, LWPOLTYPE_PTCH, nullptr, "Leaf", 1, &p);
    const float w = 0.5f, uv[2] = {0.25f, 0.75f}, uv2[2] = {1, 0};
    EXPECT_EQ(op.pntVMap(op.state, p, LWVMAP_TXUV, "uv", 2, uv), 1);
    EXPECT_EQ(op.polTag(op.state, pol, LWPTAG_COLR, "1 0 0"), 1);
    EXPECT_EQ(op.pntVPMap(op.state, p, pol, LWVMAP_TXUV, "uv", 2, uv2), 1);
    EXPECT_EQ(op.pntVMap(op.state, p, LWVMAP_WGHT, "uv", 1, &w), 1);  // same name, other type
    EXPECT_EQ(op.pntVMap(op.state, p, LWVMAP_TXUV, "uv", 2, uv2), 1);

    const formats::mesh_layer& fg = host.foreground();
    const std::vector<edit_kind> expected{edit_kind::point, edit_kind::polygon, edit_kind::vmap,
                                          edit_kind::tag,   edit_kind::vmad,    edit_kind::vmap,
                                          edit_kind::vmap};
    EXPECT_EQ(std::vector<edit_kind>(fg.journal().begin(), fg.journal().end()), expected);
    EXPECT_EQ(fg.maps().size(), 2u);

    const index_t uv_map = fg.find_map(LWVMAP_TXUV, "uv");
    EXPECT_EQ(fg.find_value(uv_map, 0)[0], 1.0f);  // the later value wins
    EXPECT_EQ(fg.find_value(uv_map, 0, 0)[0], 1.0f);
    EXPECT_EQ(fg.find_value(fg.find_map(LWVMAP_WGHT, "uv"), 0)[0], 0.5f);
    EXPECT_EQ(fg.tags()[0].type, LWPTAG_COLR);
    EXPECT_EQ(fg.strings().view(fg.tags()[0].text), "1 0 0");
}

TEST(Services, MonitorIsSilentAndInfoPrintsBothLines) {
    install_standin_services();
    const DynaMonitorFuncs* dm = standin_monitor_funcs();
    LWMonitor* m = dm->create("Sylvaform", "Growing");
    ASSERT_NE(m, nullptr);
    ::testing::internal::CaptureStderr();
    m->init(m->data, 10);
    EXPECT_EQ(m->step(m->data, 1), 0);
    m->done(m->data);
    dm->destroy(m);
    standin_message_funcs()->info("first", "second");
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "first\nsecond\n");
}

TEST(DefaultCrown, ClosedOutwardEllipsoid) {
    standin_host host;
    formats::mesh_layer& bg = host.background();
    make_default_crown(bg);
    ASSERT_EQ(bg.polygon_count(), index_t(k_crown_slices * k_crown_stacks));

    double lo[3] = {1e9, 1e9, 1e9}, hi[3] = {-1e9, -1e9, -1e9};
    for (index_t i = 0; i < bg.point_count(); ++i)
        for (int k = 0; k < 3; ++k) {
            lo[k] = std::min(lo[k], bg.point(i)[k]);
            hi[k] = std::max(hi[k], bg.point(i)[k]);
        }
    EXPECT_NEAR(hi[0] - lo[0], 4.0, 0.1);
    EXPECT_NEAR(hi[2] - lo[2], 4.0, 0.1);
    EXPECT_DOUBLE_EQ(lo[1], 1.5);
    EXPECT_DOUBLE_EQ(hi[1], 6.0);
    const double centre[3] = {0, (lo[1] + hi[1]) / 2, 0};

    // Closed and consistently wound: every directed edge once, its reverse once.
    std::map<std::pair<index_t, index_t>, int> edges;
    for (index_t p = 0; p < bg.polygon_count(); ++p) {
        const auto pts = bg.polygon_points(p);
        ASSERT_GE(pts.size(), 3u);
        double n[3], mid[3] = {0, 0, 0};
        ASSERT_TRUE(standin_host::newell_normal(bg, p, n));
        for (std::size_t k = 0; k < pts.size(); ++k) {
            ++edges[{pts[k], pts[(k + 1) % pts.size()]}];
            for (int d = 0; d < 3; ++d) mid[d] += bg.point(pts[k])[d] / double(pts.size());
        }
        double out = 0;
        for (int d = 0; d < 3; ++d) out += n[d] * (mid[d] - centre[d]);
        EXPECT_GT(out, 0.0) << "face " << p << " faces inward";
    }
    for (const auto& [e, count] : edges) {
        EXPECT_EQ(count, 1);
        EXPECT_EQ(edges.count({e.second, e.first}), 1u) << "open edge " << e.first << "-" << e.second;
    }
}

}  // namespace
}  // namespace sf::app
