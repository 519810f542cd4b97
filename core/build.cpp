// The generation driver.
#include "core/build.h"

#include <new>

#include "core/background.h"
#include "core/growth.h"
#include "core/node_index.h"

namespace sf {

double trunk_scale = 1.0;

namespace {

// The most nodes a tree may grow to before the build refuses it as too large
// to hold (several gigabytes); the panel's largest tree needs about 0.6 million.
constexpr double k_max_nodes = 32.0e6;

// Upper bound of the nodes a tree of these settings can grow.
double node_estimate(const settings_typ& r) {
    const double branches = r.branches;
    const double segments = r.segments > 0 ? r.segments : 0;
    const double sub = effective_sub_segments(r);
    const double trunks = r.trunks < 0 ? 0 : (r.trunks > r.branches ? branches : r.trunks);
    return trunks * (8 * segments * sub + 1) + (branches - trunks) * (2 * segments * sub + 1);
}

}  // namespace

void order_branches(galaz_typ* table, std::int32_t count, std::int32_t branch_type) {
    auto height = [&](std::int32_t i) { return table[i].head->pos.y; };
    if (branch_type == 0) {
        for (std::int32_t i = 1; i < count; ++i)
            if (height(i) > height(0)) swap_branches(table[0], table[i]);
    } else {
        for (std::int32_t n = count - 1; n >= 0; --n)
            for (std::int32_t j = 1; j <= n; ++j)
                if (height(j) > height(j - 1)) swap_branches(table[j], table[j - 1]);
    }
}

int generate(settings_typ& r, LWMonitor* monitor, int level) {
    if (level == 2 && branch_table) return 0;
    trunk_scale = 1.0;
    if (!bg_polygon_table) return 0;
    if (r.random_seed != 0) g_random.seed(r.random_seed);

    r.bg_top = 0.0;
    for (std::int32_t i = 0; i < bg_polygon_table_size; ++i) {
        const face6_typ& f = bg_polygon_table[i];
        for (std::int32_t k = 0; k < f.point_count; ++k)
            if (f.points[k].y > r.bg_top) r.bg_top = f.points[k].y;
    }

    release_branch_table();
    // A count below 1 (only a stored preset can hold one) grows an empty tree.
    const std::int32_t count = r.branches > 0 ? r.branches : 0;
    if (node_estimate(r) > k_max_nodes) return 1;
    branch_table = new (std::nothrow) galaz_typ[static_cast<std::size_t>(count)];
    if (!branch_table) return 1;
    branch_table_size = count;

    distribute_start_points(branch_table, count, bg_polygon_table, bg_polygon_table_size, r,
                            g_random);
    order_branches(branch_table, count, r.branch_type);
    if (monitor) monitor->step(monitor->data, 1);

    if (r.trunks > r.branches) r.trunks = count;

    // Growth searches the chains of finished branches through a grid whose
    // cells are a few first steps wide.
    static node_index index;
    double mean_step = 0;
    for (std::int32_t k = 0; k < count; ++k) mean_step += branch_table[k].segment_length / count;
    index.reset(2 * mean_step);
    g_growth_index = g_reference_search ? nullptr : &index;

    std::int32_t i = 0;
    for (; i < r.trunks; ++i) {
        grow_trunk(branch_table[i], r, g_random);
        trunk_scale = 0.75;
        index.add_branch(branch_table, i, r);
    }
    for (; i < count; ++i) {
        grow_branch(branch_table, i, r, g_random);
        index.add_branch(branch_table, i, r);
        if (monitor) monitor->step(monitor->data, 1);
    }
    g_growth_index = nullptr;
    index.reset(1.0);
    return 0;
}

}  // namespace sf
