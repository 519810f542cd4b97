// The stand-in host: mesh-edit operations, id checks, scans, normals and
// the journal.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <utility>
#include <vector>

#include "app/standin_host.h"

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

TEST_F(Host, NewellNormals) {
    // Counter-clockwise seen from +y, and the other way round.
    LWPntID sq[4] = {point(0, 0, 0), point(0, 0, 1), point(1, 0, 1), point(1, 0, 0)};
    EXPECT_EQ(normal(face({sq[0], sq[1], sq[2], sq[3]})), std::make_pair(1, std::vector<double>{0, 1, 0}));
    EXPECT_EQ(normal(face({sq[3], sq[2], sq[1], sq[0]})), std::make_pair(1, std::vector<double>{0, -1, 0}));
    // Sum (1, 1, 1), divided by its length.
    const double c = 1.0 / std::sqrt(3.0);
    EXPECT_EQ(normal(face({point(1, 0, 0), point(0, 1, 0), point(0, 0, 1)})),
              std::make_pair(1, std::vector<double>{c, c, c}));
    // Degenerate polygons and unknown ids fail with a zero vector.
    const std::pair<int, std::vector<double>> zero{0, {0, 0, 0}};
    LWPntID a = point(0, 0, 0), b = point(1, 1, 1);
    EXPECT_EQ(normal(face({a, b, point(2, 2, 2)})), zero);  // collinear
    EXPECT_EQ(normal(face({a, b})), zero);
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

    // Each polygon seen as "type surface x…", with a mark on anything not
    // in the background layer.
    struct seen_typ {
        MeshEditOp* op;
        int stop_after;
        std::vector<std::string> polys;
    };
    auto fn = [](void* data, const EDPolygonInfo* info) -> int {
        auto* s = static_cast<seen_typ*>(data);
        std::string d = info->type == LWPOLTYPE_PTCH ? "PTCH " : "FACE ";
        d += info->surface ? info->surface : "-";
        for (int k = 0; k < info->numPnts; ++k) {
            const EDPointInfo* p = s->op->pointInfo(s->op->state, info->points[k]);
            (d += ' ') += std::to_string(int(p->position[0]));
            if (p->layer != OPLYR_BG) d += '!';
        }
        s->polys.push_back(d + (info->layer == OPLYR_BG ? "" : "!"));
        return static_cast<int>(s->polys.size()) == s->stop_after ? 42 : 0;
    };
    EXPECT_EQ(op.polyCount(op.state, OPLYR_BG, EDCOUNT_ALL), 3);
    EXPECT_EQ(op.polyCount(op.state, OPLYR_FG, EDCOUNT_ALL), 1);
    EXPECT_EQ(op.polyCount(op.state, 7, EDCOUNT_ALL), 0);
    seen_typ all{&op, -1, {}}, two{&op, 2, {}};
    EXPECT_EQ(op.polyScan(op.state, fn, &all, OPLYR_BG), 0);
    EXPECT_EQ(all.polys, (std::vector<std::string>{"FACE Bark 0 1 2", "FACE - 3 1", "PTCH - 3 2 1 0"}));
    EXPECT_EQ(op.polyScan(op.state, fn, &two, OPLYR_BG), 42);
    EXPECT_EQ(two.polys.size(), 2u);
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

}  // namespace
}  // namespace sf::app
