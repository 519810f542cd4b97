// A uniform grid over the nodes of finished branches, answering the joint,
// approach and nearest-trunk searches of growth exactly as walks over every
// chain in table order would, equal distances included.
#pragma once

#include <cstdint>
#include <unordered_map>
#include <vector>

#include "core/branch.h"
#include "core/settings.h"

namespace sf {

class node_index {
public:
    // Empties the index; cell is the grid's cell edge (any positive length
    // gives the same answers, only the speed differs).
    void reset(double cell);

    // Adds the chain of finished record branch of the table.
    void add_branch(const galaz_typ* table, std::int32_t branch, const settings_typ& r);

    // The joint target for growing record branch at new_pos, or null.
    wezel_typ* join_candidate(const galaz_typ* table, std::int32_t branch, const settings_typ& r,
                              const vec3_typ& new_pos, const vec3_typ& prev_pos) const;
    // The node of record 0's chain nearest to p within best (ties: the later
    // node), or null.
    wezel_typ* approach_candidate(double best, const vec3_typ& p) const;
    // The trunk node nearest to p, closer than 10000000 (ties: the earlier
    // node), or null.
    wezel_typ* nearest_trunk(const vec3_typ& p) const;

private:
    struct entry {
        vec3_typ pos;
        wezel_typ* node;
        std::int32_t branch;
        std::int32_t place;  // position along its chain, from the head
        double c;            // the joint rule's running count at this node
    };
    struct grid {
        double cell = 1.0;
        std::unordered_map<std::uint64_t, std::vector<entry>> cells;
        std::vector<entry> far;  // nodes outside the grid's reach, always scanned
        std::int64_t lo[3] = {0, 0, 0}, hi[3] = {-1, -1, -1};
        std::size_t size = 0;

        void clear(double edge);
        void add(const entry& e);
        // Calls f on every entry within r of p (and possibly some farther).
        template <class F>
        void near(const vec3_typ& p, double r, F&& f) const;
        template <class F>
        void all(F&& f) const;
    };

    // Trunk nodes in walk order, in runs of consecutive nodes with their
    // bounding boxes: a trunk is a curve, so a run is compact.
    struct run {
        vec3_typ lo, hi;
        std::uint32_t first, count;
    };

    void add_trunk_node(const entry& e);

    grid nodes_;                  // every finished branch
    std::vector<entry> trunk_;    // the trunks' nodes, in walk order
    std::vector<run> trunk_runs_;
};

// The index growth consults; null makes every search walk the chains.
extern node_index* g_growth_index;
// When set, builds grow without the index (the reference the index must match).
extern bool g_reference_search;

}  // namespace sf
