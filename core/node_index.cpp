#include "core/node_index.h"

#include <algorithm>
#include <cmath>

#include "core/growth.h"

namespace sf {

node_index* g_growth_index = nullptr;
bool g_reference_search = false;

namespace {

// Cells are packed 21 bits per axis; coordinates beyond go to the far list.
constexpr std::int64_t k_cell_limit = (1 << 20) - 2;

bool cell_of(double v, double edge, std::int64_t& out) {
    const double c = std::floor(v / edge);
    if (!(c > -k_cell_limit && c < k_cell_limit)) return false;
    out = static_cast<std::int64_t>(c);
    return true;
}

std::uint64_t key(std::int64_t x, std::int64_t y, std::int64_t z) {
    const auto part = [](std::int64_t v) { return static_cast<std::uint64_t>(v + (1 << 20)) & 0x1FFFFF; };
    return part(x) << 42 | part(y) << 21 | part(z);
}

bool finite(const vec3_typ& p) { return std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.z); }

}  // namespace

void node_index::grid::clear(double edge) {
    cell = edge;
    cells.clear();
    far.clear();
    size = 0;
    for (int a = 0; a < 3; ++a) {
        lo[a] = 0;
        hi[a] = -1;
    }
}

void node_index::grid::add(const entry& e) {
    ++size;
    std::int64_t c[3];
    if (!cell_of(e.pos.x, cell, c[0]) || !cell_of(e.pos.y, cell, c[1]) || !cell_of(e.pos.z, cell, c[2])) {
        far.push_back(e);
        return;
    }
    const bool first = hi[0] < lo[0];
    for (int a = 0; a < 3; ++a) {
        if (first || c[a] < lo[a]) lo[a] = c[a];
        if (first || c[a] > hi[a]) hi[a] = c[a];
    }
    cells[key(c[0], c[1], c[2])].push_back(e);
}

template <class F>
void node_index::grid::all(F&& f) const {
    for (const auto& [k, list] : cells)
        for (const entry& e : list) f(e);
    for (const entry& e : far) f(e);
}

template <class F>
void node_index::grid::near(const vec3_typ& p, double r, F&& f) const {
    for (const entry& e : far) f(e);
    if (cells.empty()) return;
    // A spare cell on each side keeps rounding at cell boundaries harmless.
    std::int64_t from[3], to[3];
    const double q[3] = {p.x, p.y, p.z};
    std::uint64_t span = 1;
    for (int a = 0; a < 3; ++a) {
        if (!cell_of(q[a] - r, cell, from[a]) || !cell_of(q[a] + r, cell, to[a])) {
            for (const auto& [k, list] : cells)
                for (const entry& e : list) f(e);
            return;
        }
        from[a] = std::max(from[a] - 1, lo[a]);
        to[a] = std::min(to[a] + 1, hi[a]);
        if (from[a] > to[a]) return;
        span *= static_cast<std::uint64_t>(to[a] - from[a] + 1);
    }
    if (span > cells.size()) {  // fewer occupied cells than cells to look at
        for (const auto& [k, list] : cells)
            for (const entry& e : list) f(e);
        return;
    }
    for (std::int64_t x = from[0]; x <= to[0]; ++x)
        for (std::int64_t y = from[1]; y <= to[1]; ++y)
            for (std::int64_t z = from[2]; z <= to[2]; ++z) {
                const auto it = cells.find(key(x, y, z));
                if (it == cells.end()) continue;
                for (const entry& e : it->second) f(e);
            }
}

void node_index::reset(double cell) {
    if (!(cell > 0) || !std::isfinite(cell)) cell = 1.0;
    nodes_.clear(cell);
    trunk_.clear();
    trunk_runs_.clear();
}

void node_index::add_branch(const galaz_typ* table, std::int32_t branch, const settings_typ& r) {
    const double step = 1.0 / effective_sub_segments(r);
    const bool trunk = branch < r.trunks;
    double c = 0;
    std::int32_t place = 0;
    for (wezel_typ* n = table[branch].head; n; n = n->next, ++place) {
        c += step;
        // Non-finite positions are never within any distance: leave them out.
        if (!finite(n->pos)) continue;
        const entry e{n->pos, n, branch, place, c};
        nodes_.add(e);
        if (trunk) add_trunk_node(e);
    }
}

void node_index::add_trunk_node(const entry& e) {
    constexpr std::uint32_t k_run = 16;
    if (trunk_runs_.empty() || trunk_runs_.back().count == k_run)
        trunk_runs_.push_back({e.pos, e.pos, static_cast<std::uint32_t>(trunk_.size()), 0});
    run& r = trunk_runs_.back();
    r.lo = vec3_typ(std::min(r.lo.x, e.pos.x), std::min(r.lo.y, e.pos.y), std::min(r.lo.z, e.pos.z));
    r.hi = vec3_typ(std::max(r.hi.x, e.pos.x), std::max(r.hi.y, e.pos.y), std::max(r.hi.z, e.pos.z));
    ++r.count;
    trunk_.push_back(e);
}

wezel_typ* node_index::join_candidate(const galaz_typ* table, std::int32_t branch, const settings_typ& r,
                                      const vec3_typ& new_pos, const vec3_typ& prev_pos) const {
    const galaz_typ& b = table[branch];
    const double count = b.segment_count;
    const double radius = b.segment_length;
    const entry* chosen = nullptr;
    double best = 0;
    nodes_.near(new_pos, radius, [&](const entry& e) {
        if (e.branch >= branch || !e.node->next) return;
        if (count > e.c && e.branch > r.trunks) return;
        if (e.node->joins > 0) return;
        const double dist = (e.pos - new_pos).length();
        if (!(dist <= radius)) return;
        if (chosen && (dist > best || (dist == best && (e.branch < chosen->branch ||
                                                         (e.branch == chosen->branch && e.place < chosen->place)))))
            return;
        const vec3_typ to_node = e.pos - prev_pos;
        if (!(b.direction.angle_to(to_node) < 0.78539816339745)) return;
        if (!(e.node->next->dir.angle_to(to_node) < 1.4137166941154102)) return;
        chosen = &e;
        best = dist;
    });
    return chosen ? chosen->node : nullptr;
}

wezel_typ* node_index::approach_candidate(double radius, const vec3_typ& p) const {
    const entry* found = nullptr;
    double best = 0;
    nodes_.near(p, radius, [&](const entry& e) {
        if (e.branch != 0) return;
        const double d = e.pos.distance(p);
        if (!(d <= radius)) return;
        if (found && (d > best || (d == best && e.place < found->place))) return;
        found = &e;
        best = d;
    });
    return found ? found->node : nullptr;
}

wezel_typ* node_index::nearest_trunk(const vec3_typ& p) const {
    const entry* found = nullptr;
    double best = 10000000.0;
    auto consider = [&](const entry& e) {
        const double d = e.pos.distance(p);
        if (!(d < 10000000.0)) return;
        if (found && (d > best || (d == best && (e.branch > found->branch ||
                                                  (e.branch == found->branch && e.place > found->place)))))
            return;
        found = &e;
        best = d;
    };
    // Distance from p to a run's box: no node of the run is nearer.
    auto bound = [&](const run& r) {
        const double dx = std::max({r.lo.x - p.x, 0.0, p.x - r.hi.x});
        const double dy = std::max({r.lo.y - p.y, 0.0, p.y - r.hi.y});
        const double dz = std::max({r.lo.z - p.z, 0.0, p.z - r.hi.z});
        return std::sqrt((dx * dx + dy * dy) + dz * dz);
    };
    if (trunk_runs_.empty()) return nullptr;
    if (!finite(p)) {
        for (const entry& e : trunk_) consider(e);
        return found ? found->node : nullptr;
    }
    // The run with the nearest box first, then every run whose box could
    // hold a node as near as the best so far (with room for rounding).
    std::size_t first = 0;
    double first_bound = bound(trunk_runs_[0]);
    for (std::size_t i = 1; i < trunk_runs_.size(); ++i) {
        const double b = bound(trunk_runs_[i]);
        if (b < first_bound) {
            first_bound = b;
            first = i;
        }
    }
    auto scan = [&](const run& r) {
        for (std::uint32_t k = 0; k < r.count; ++k) consider(trunk_[r.first + k]);
    };
    scan(trunk_runs_[first]);
    for (std::size_t i = 0; i < trunk_runs_.size(); ++i)
        if (i != first && bound(trunk_runs_[i]) <= best * (1 + 1e-9)) scan(trunk_runs_[i]);
    return found ? found->node : nullptr;
}

}  // namespace sf
