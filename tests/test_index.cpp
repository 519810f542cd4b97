// The growth index must find exactly what the walks over every chain find:
// whole builds with and without it give byte-identical edit logs.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "app/default_crown.h"
#include "app/standin_host.h"
#include "core/background.h"
#include "core/branch.h"
#include "core/build.h"
#include "core/growth.h"
#include "core/node_index.h"
#include "formats/edit_log.h"
#include "formats/file_io.h"

namespace sf {
namespace {

using crown_maker = void (*)(formats::mesh_layer&);

void add_quad(formats::mesh_layer& l, vec3_typ a, vec3_typ b, vec3_typ c, vec3_typ d) {
    const formats::index_t pts[] = {l.add_point(a.x, a.y, a.z), l.add_point(b.x, b.y, b.z),
                                    l.add_point(c.x, c.y, c.z), l.add_point(d.x, d.y, d.z)};
    l.add_polygon(LWPOLTYPE_FACE, formats::k_none, pts);
}

// Many tiny polygons: a finely divided box shell.
void tiny_polygons(formats::mesh_layer& l) {
    const int n = 14;
    const double x0 = -1.5, y0 = 1.5, w = 3.0, h = 3.5;
    for (int i = 0; i < n; ++i)
        for (int j = 0; j < n; ++j) {
            const double a = w * i / n, b = w * (i + 1) / n, c = h * j / n, d = h * (j + 1) / n;
            add_quad(l, {x0 + a, y0 + c, 1.5}, {x0 + b, y0 + c, 1.5}, {x0 + b, y0 + d, 1.5}, {x0 + a, y0 + d, 1.5});
            add_quad(l, {x0 + a, y0 + c, -1.5}, {x0 + a, y0 + d, -1.5}, {x0 + b, y0 + d, -1.5}, {x0 + b, y0 + c, -1.5});
            add_quad(l, {1.5, y0 + c, x0 + a}, {1.5, y0 + d, x0 + a}, {1.5, y0 + d, x0 + b}, {1.5, y0 + c, x0 + b});
        }
}

// A few huge polygons: a wide, flat tetrahedron-like crown.
void huge_polygons(formats::mesh_layer& l) {
    const vec3_typ top(0, 40, 0), a(-60, 2, -50), b(60, 2, -50), c(0, 2, 70);
    auto tri = [&](vec3_typ p, vec3_typ q, vec3_typ r) {
        const formats::index_t pts[] = {l.add_point(p.x, p.y, p.z), l.add_point(q.x, q.y, q.z),
                                        l.add_point(r.x, r.y, r.z)};
        l.add_polygon(LWPOLTYPE_FACE, formats::k_none, pts);
    };
    tri(top, b, a);
    tri(top, c, b);
    tri(top, a, c);
    tri(a, b, c);
}

std::string build_log(crown_maker crown, const settings_typ& base, bool reference) {
    app::standin_host host;
    crown(host.background());
    settings_typ r = base;
    MeshEditOp op = host.edit_op();
    g_reference_search = reference;
    const char* error = build_callback(&r, &op);
    g_reference_search = false;
    EXPECT_EQ(error, nullptr);
    formats::string_sink sink;
    formats::write_edit_log(host.foreground(), sink);
    release_branch_table();
    release_background();
    return sink.text;
}

TEST(GrowthIndex, SameLogsAsTheWalks) {
    const crown_maker crowns[] = {app::make_default_crown, tiny_polygons, huge_polygons};
    int cases = 0;
    for (int seed = 1; seed <= 8; ++seed) {
        settings_typ r;
        reset_to_defaults(r);
        r.hidden = 1;
        r.random_seed = seed * 7919 - 20000;
        r.branches = 60 + 37 * seed;
        r.segments = 4 + (seed * 5) % 22;
        r.sub_segments = 1 + seed % 6;
        r.trunks = 1 + seed % 5;
        r.trunk_influence = seed % 3;
        r.branch_type = seed % 2;
        r.branch_end_split = (seed % 4) / 3.0;
        r.branch_start_split = seed % 3 == 0 ? -0.3 : 0.1;
        r.normals_influence = seed % 2 ? 0.5 : -1.0;
        for (crown_maker crown : crowns) {
            SCOPED_TRACE(testing::Message() << "seed " << seed << " crown " << (crown == crowns[0] ? 0 : crown == crowns[1] ? 1 : 2));
            const std::string indexed = build_log(crown, r, false);
            const std::string walked = build_log(crown, r, true);
            ASSERT_GT(indexed.size(), 100u);
            EXPECT_TRUE(indexed == walked) << "the index found something the walks did not";
            ++cases;
        }
    }
    EXPECT_EQ(cases, 24);
}

TEST(GrowthIndex, TiesAndEmptyIndex) {
    // Two trunk nodes at the same distance: the earlier wins; the last node of
    // a chain is found by the approach search but never offered as a joint.
    galaz_typ table[3];
    auto chain = [](galaz_typ& g, std::initializer_list<vec3_typ> pts) {
        wezel_typ* prev = nullptr;
        for (const vec3_typ& p : pts) {
            wezel_typ* n = new wezel_typ;
            n->pos = p;
            n->dir = vec3_typ(0, -1, 0);
            if (prev) prev->next = n; else g.head = n;
            prev = n;
        }
        g.tail = prev;
    };
    chain(table[0], {{0, 2, 0}, {0, 1, 0}, {0, 0, 0}});
    chain(table[1], {{2, 2, 0}, {2, 1, 0}, {2, 0, 0}});
    chain(table[2], {{1, 1, 0}});
    settings_typ r;
    reset_to_defaults(r);
    r.trunks = 2;
    node_index index;
    index.reset(0.37);
    EXPECT_EQ(index.nearest_trunk(vec3_typ(1, 1, 0)), nullptr);
    index.add_branch(table, 0, r);
    index.add_branch(table, 1, r);
    const vec3_typ mid(1, 1, 0);
    EXPECT_EQ(index.nearest_trunk(mid), nearest_trunk_node_walk(table, mid, r));
    EXPECT_EQ(index.nearest_trunk(mid), table[0].head->next);
    const vec3_typ low(0.1, -0.2, 0);
    EXPECT_EQ(index.approach_candidate(1.0, low), approach_candidate_walk(table, 1.0, low));
    EXPECT_EQ(index.approach_candidate(1.0, low), table[0].tail);
    const vec3_typ far(1e9, 0, 0);
    EXPECT_EQ(index.nearest_trunk(far), nullptr);  // beyond 10000000
    const vec3_typ nan_point(std::nan(""), 0, 0);
    EXPECT_EQ(index.nearest_trunk(nan_point), nullptr);
}

}  // namespace
}  // namespace sf
