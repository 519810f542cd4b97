// The output model of one build: a tree of model nodes per standalone branch,
// with twigs and leaf anchors, from which every render type is written.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/branch.h"
#include "core/random.h"
#include "core/settings.h"
#include "core/vec3.h"

namespace sf {

class model_typ {
public:
    struct w_typ {
        bool is_trunk = false;
        bool is_twig = false;
        w_typ* outward = nullptr;  // owned: next node toward the tip
        w_typ* side = nullptr;     // owned: innermost node of a chain starting here
        vec3_typ position;
        vec3_typ segment;
        float thick_weight = -10.0f;
        float range_weight = -10.0f;
        double thickness = 0.0;
        std::int32_t level = 0;

        w_typ() = default;
        w_typ(const w_typ&) = delete;
        w_typ& operator=(const w_typ&) = delete;
        virtual ~w_typ();
        static void* operator new(std::size_t size);
        static void operator delete(void* p, std::size_t size) noexcept;
    };

    struct d_typ {
        d_typ* next = nullptr;   // owned
        w_typ* chain = nullptr;  // owned: innermost node of the chain

        d_typ() = default;
        d_typ(const d_typ&) = delete;
        d_typ& operator=(const d_typ&) = delete;
        virtual ~d_typ();
    };

    struct l_typ {
        vec3_typ position;
        vec3_typ direction;
        double range_position = 0.0;
        bool at_tip = false;
        bool flip = false;
        double twist = 0.0;
        w_typ* node = nullptr;  // not owned
        l_typ* next = nullptr;  // owned

        l_typ() = default;
        l_typ(const l_typ&) = delete;
        l_typ& operator=(const l_typ&) = delete;
        virtual ~l_typ();
        static void* operator new(std::size_t size);
        static void operator delete(void* p, std::size_t size) noexcept;
    };

    std::int32_t root_quadrant_bounds[4] = {0, 0, 0, 0};
    double roots_crookedness = 0.0;
    std::int32_t number_of_roots = 0;
    double roots_gravity = 0.0;
    double roots_spread = 0.0;
    double wg_thick_max = 0.0;
    bool assign_thick_weight_map = false;
    bool assign_range_weight_map = false;
    double wg_hardness = 0.0;
    double wg_range = 0.0;
    double root_thickness = 0.0;
    double tips_thickness = 0.0;
    random* rng = nullptr;
    double trunk_thickness = 0.0;
    double branch_thickness = 0.0;
    std::int32_t segments = 0;
    double reach = 0.0;
    d_typ* chains = nullptr;
    d_typ* root_chains = nullptr;
    l_typ* leaf_anchors = nullptr;
    vec3_typ* root_points = nullptr;

    model_typ();
    model_typ(const model_typ&) = delete;
    model_typ& operator=(const model_typ&) = delete;
    ~model_typ();

    // Gives the calling thread's node and anchor pools back to the system
    // when no model on it holds a node (they are kept between builds).
    static void release_pools() noexcept;

    // Fills the model from a grown branch table.
    void build(const galaz_typ* table, std::int32_t count, const settings_typ& r, random& rng);

    // 0.9 times the longest path length from a chain's base to a tip.
    double compute_reach() const;

    // Pushes a leaf anchor for every twig node below and at m, in post-order.
    void make_leaf_anchors(w_typ* m, double twig_range);
};

// Visits the tree hanging from root in post-order: a node's outward subtree,
// then its side subtree, then the node. Links are read when a node is first
// reached, so f may give a visited node a new side chain.
template <class F>
void for_each_post_order(model_typ::w_typ* root, F&& f) {
    struct item {
        model_typ::w_typ* node;
        bool expanded;
    };
    std::vector<item> stack;
    if (root) stack.push_back({root, false});
    while (!stack.empty()) {
        item& top = stack.back();
        if (top.expanded) {
            model_typ::w_typ* n = top.node;
            stack.pop_back();
            f(n);
            continue;
        }
        top.expanded = true;
        model_typ::w_typ* n = top.node;
        if (n->side) stack.push_back({n->side, false});
        if (n->outward) stack.push_back({n->outward, false});
    }
}

// Twig counter advanced by twig generation; reset by each model.
extern std::int32_t twig_counter;

}  // namespace sf
