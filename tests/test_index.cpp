// The growth index must find exactly what the walks over every chain find:
// whole builds with and without it give byte-identical edit logs.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "app/default_crown.h"
#include "app/standin_host.h"
#include "core/branch.h"
#include "core/growth.h"
#include "core/node_index.h"
#include "crowns.h"
#include "formats/edit_log.h"
#include "model_builders.h"
#include "plugin/build.h"

namespace sf {
namespace {

std::string build_log(const test::polygons* crown, const settings_typ& base, bool reference) {
    app::standin_host host;
    if (crown) test::add_faces(host.background(), *crown);
    else app::make_default_crown(host.background());
    settings_typ r = base;
    MeshEditOp op = host.edit_op();
    g_reference_search = reference;
    EXPECT_EQ(build_callback(&r, &op), nullptr);
    g_reference_search = false;
    formats::string_sink sink;
    formats::write_edit_log(host.foreground(), sink);
    release_branch_table();
    release_background();
    return sink.text;
}

TEST(GrowthIndex, SameLogsAsTheWalks) {
    // The default crown, many tiny polygons, and a few huge ones.
    const vec3_typ top(0, 40, 0), a(-60, 2, -50), b(60, 2, -50), c(0, 2, 70);
    const test::polygons tiny = test::ellipsoid(1.5, 1.75, 3.25, 28, 21);
    const test::polygons huge = {{top, b, a}, {top, c, b}, {top, a, c}, {a, b, c}};
    const test::polygons* crowns[] = {nullptr, &tiny, &huge};
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
        for (int k = 0; k < 3; ++k) {
            SCOPED_TRACE(testing::Message() << "seed " << seed << " crown " << k);
            const std::string indexed = build_log(crowns[k], r, false);
            ASSERT_GT(indexed.size(), 100u);
            EXPECT_TRUE(indexed == build_log(crowns[k], r, true)) << "the index found something the walks did not";
        }
    }
}

TEST(GrowthIndex, TiesAndEmptyIndex) {
    // Two trunk nodes at the same distance: the earlier wins; the last node of
    // a chain is found by the approach search but never offered as a joint.
    galaz_typ table[3];
    test::make_branch(table[0], {{0, 2, 0}, {0, 1, 0}, {0, 0, 0}});
    test::make_branch(table[1], {{2, 2, 0}, {2, 1, 0}, {2, 0, 0}});
    test::make_branch(table[2], {{1, 1, 0}});
    settings_typ r;
    reset_to_defaults(r);
    r.trunks = 2;
    node_index index;
    index.reset(0.37);
    EXPECT_EQ(index.nearest_trunk(vec3_typ(1, 1, 0)), nullptr);
    index.add_branch(table, 0, r);
    index.add_branch(table, 1, r);
    const vec3_typ mid(1, 1, 0), low(0.1, -0.2, 0);
    EXPECT_EQ(index.nearest_trunk(mid), nearest_trunk_node_walk(table, mid, r));
    EXPECT_EQ(index.nearest_trunk(mid), table[0].head->next);
    EXPECT_EQ(index.approach_candidate(1.0, low), approach_candidate_walk(table, 1.0, low));
    EXPECT_EQ(index.approach_candidate(1.0, low), table[0].tail);
    EXPECT_EQ(index.nearest_trunk(vec3_typ(1e9, 0, 0)), nullptr);  // beyond 10000000
    EXPECT_EQ(index.nearest_trunk(vec3_typ(std::nan(""), 0, 0)), nullptr);
}

}  // namespace
}  // namespace sf
