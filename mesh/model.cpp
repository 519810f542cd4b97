#include "mesh/model.h"

#include "core/owned_list.h"
#include "mesh/node_pool.h"
#include "mesh/output.h"

#include <utility>
#include <memory>
#include <vector>

namespace sf {

std::int32_t twig_counter = 0;

model_typ::w_typ::~w_typ() {
    // Frees the whole tree hanging from this node without deep recursion
    // and without allocating (it also runs while a failed allocation
    // unwinds): side subtrees are rotated into the outward chain until a
    // node has none, and that node is freed.
    for (w_typ* root : {side, outward}) {
        while (root) {
            if (w_typ* s = root->side) {
                root->side = s->outward;
                s->outward = root;
                root = s;
            } else {
                w_typ* next = root->outward;
                root->outward = nullptr;
                delete root;
                root = next;
            }
        }
    }
    outward = side = nullptr;
}

// Nodes and leaf anchors come from per-thread pools: a build makes millions.
void* model_typ::w_typ::operator new(std::size_t size) {
    return size == sizeof(w_typ) ? node_pool<w_typ>::take() : ::operator new(size);
}
void model_typ::w_typ::operator delete(void* p, std::size_t size) noexcept {
    if (size == sizeof(w_typ)) node_pool<w_typ>::give(p);
    else ::operator delete(p);
}
void* model_typ::l_typ::operator new(std::size_t size) {
    return size == sizeof(l_typ) ? node_pool<l_typ>::take() : ::operator new(size);
}
void model_typ::l_typ::operator delete(void* p, std::size_t size) noexcept {
    if (size == sizeof(l_typ)) node_pool<l_typ>::give(p);
    else ::operator delete(p);
}

void model_typ::release_pools() noexcept {
    node_pool<w_typ>::release();
    node_pool<l_typ>::release();
}

model_typ::d_typ::~d_typ() {
    delete chain;
    delete_owned_list(next);
}

model_typ::l_typ::~l_typ() { delete_owned_list(next); }

model_typ::model_typ() { twig_counter = 0; }

model_typ::~model_typ() {
    delete chains;
    delete leaf_anchors;
    delete root_chains;
    ::operator delete(root_points);
}

namespace {

using w_typ = model_typ::w_typ;
using d_typ = model_typ::d_typ;

w_typ* model_node(const wezel_typ* n) {
    w_typ* m = new w_typ;
    m->position = n->pos;
    m->segment = n->next ? n->pos - n->next->pos : -n->dir;
    m->thickness = n->thickness;
    m->level = n->level;
    return m;
}

// Model nodes of a chain from node n on, and of every branch that joined it;
// answers the model node of the chain's last node, or null for no node. The
// chain takes over outer; if an allocation fails, everything is freed.
w_typ* chain_build(const wezel_typ* n, w_typ* outer) {
    struct job {
        const wezel_typ* node;
        w_typ* outer;
        w_typ** result;
    };
    w_typ* result = nullptr;
    try {
        std::vector<job> jobs{{n, outer, &result}};
        while (!jobs.empty()) {
            job j = jobs.back();
            jobs.pop_back();
            for (const wezel_typ* node = j.node; node; node = node->next) {
                w_typ* m = model_node(node);
                m->outward = j.outer;
                *j.result = m;  // owned from here on, by the tree being built
                if (node->joined_branch) jobs.push_back({node->joined_branch->head, nullptr, &m->side});
                j.outer = m;
            }
        }
    } catch (...) {
        if (result)
            delete result;  // with outer, at the end of its outward chain
        else
            delete outer;
        throw;
    }
    return result;
}

double height(const d_typ* d) { return d->chain->position.y; }

void insert_chain(d_typ*& list, d_typ* rec) {
    if (!list) {
        list = rec;
        return;
    }
    const double h = height(rec);
    if (height(list) >= h) {
        rec->next = list;
        list = rec;
        return;
    }
    for (d_typ* r = list;; r = r->next) {
        if (!r->next) {
            r->next = rec;
            return;
        }
        if (h > height(r) && height(r->next) > h) {
            rec->next = r->next;
            r->next = rec;
            return;
        }
    }
}

}  // namespace

void model_typ::build(const galaz_typ* table, std::int32_t count, const settings_typ& r,
                      random& generator) {
    if (!table) return;
    rng = &generator;
    segments = r.segments;
    branch_thickness = r.branch_thickness;
    trunk_thickness = r.trunk_thickness;
    wg_range = r.wg_range;
    wg_hardness = r.wg_hardness;
    assign_range_weight_map = r.assign_range_weight_map;
    assign_thick_weight_map = r.assign_thick_weight_map;
    wg_thick_max = r.wg_thick_max;
    roots_spread = r.roots_spread;
    roots_gravity = r.roots_gravity;
    roots_crookedness = r.roots_crookedness;
    tips_thickness = r.tips_thickness;
    twig_counter = 0;
    number_of_roots = r.number_of_roots;
    delete chains;
    chains = nullptr;

    for (std::int32_t i = 0; i < count; ++i) {
        const galaz_typ& b = table[i];
        if (!b.standalone || !b.head) continue;
        // A branch that never made a step has no base to stand on: skipped.
        if (!b.head->next) continue;
        w_typ* tip = model_node(b.head);
        std::unique_ptr<w_typ> base(chain_build(b.head->next, tip));
        if (i < r.trunks)
            for (w_typ* m = base.get(); m; m = m->outward) m->is_trunk = true;
        d_typ* rec = new d_typ;
        rec->chain = base.release();
        insert_chain(chains, rec);
    }

    for (d_typ* d = chains; d; d = d->next) generate_twigs(*this, d->chain, r, generator, true);
    for (d_typ* d = chains; d; d = d->next) make_leaf_anchors(d->chain, r.twig_range);
}

void model_typ::make_leaf_anchors(w_typ* m, double twig_range) {
    for_each_post_order(m, [&](w_typ* n) {
        if (!n->is_twig) return;
        l_typ* a = new l_typ;
        a->position = n->position;
        a->direction = n->segment;
        a->at_tip = !n->outward && !n->side;
        a->flip = rng->coin();
        a->twist = static_cast<double>(rng->unit_float());
        if (rng->coin()) a->twist = -a->twist;
        a->node = n;
        a->range_position = static_cast<double>(n->level) / segments / twig_range;
        a->next = leaf_anchors;
        leaf_anchors = a;
    });
}

double model_typ::compute_reach() const {
    double best = 0.0;
    std::vector<std::pair<const w_typ*, double>> stack;
    for (const d_typ* d = chains; d; d = d->next) {
        stack.clear();
        if (d->chain->side) stack.push_back({d->chain->side, 0.0});
        if (d->chain->outward) stack.push_back({d->chain->outward, 0.0});
        while (!stack.empty()) {
            auto [m, len] = stack.back();
            stack.pop_back();
            const double next_len = len + m->segment.length();
            // A path ends where a link is missing; a side chain is entered past
            // its first node.
            if (m->outward)
                stack.push_back({m->outward, next_len});
            else if (next_len > best)
                best = next_len;
            if (m->side) {
                if (m->side->outward)
                    stack.push_back({m->side->outward, next_len});
                else if (next_len > best)
                    best = next_len;
            }
        }
    }
    return 0.9 * best;
}

}  // namespace sf
