// Hand-made chains for the output and growth tests.
#pragma once

#include <initializer_list>
#include <vector>

#include "core/branch.h"
#include "mesh/model.h"

namespace sf::test {

using w_typ = model_typ::w_typ;

// Model nodes at pts linked outward, thickness 0.5, levels 0, 1, ...; each
// segment runs from the point before (from, for the first).
inline std::vector<w_typ*> link(const std::vector<vec3_typ>& pts, vec3_typ from, bool trunk = false,
                                bool twig = false) {
    std::vector<w_typ*> nodes;
    for (const vec3_typ& p : pts) {
        auto* n = new w_typ;
        n->position = p;
        n->segment = p - from;
        n->thickness = 0.5;
        n->level = static_cast<std::int32_t>(nodes.size());
        n->is_trunk = trunk;
        n->is_twig = twig;
        if (!nodes.empty()) nodes.back()->outward = n;
        nodes.push_back(n);
        from = p;
    }
    return nodes;
}

// A straight chain along (1, 0.5, 0) from origin; levels[0] is the innermost
// node's level. Returns the innermost node.
inline w_typ* make_chain(std::initializer_list<int> levels, vec3_typ origin = {}) {
    std::vector<vec3_typ> pts;
    for (std::size_t i = 0; i < levels.size(); ++i) pts.push_back(origin + vec3_typ(double(i), 0.5 * double(i), 0));
    auto nodes = link(pts, origin - vec3_typ(1, 0.5, 0));
    for (std::size_t i = 0; i < levels.size(); ++i) nodes[i]->level = levels.begin()[i];
    return nodes[0];
}

// Adds a chain record for base at the end of the model's chain list.
inline void append_chain(model_typ& m, w_typ* base) {
    model_typ::d_typ** tail = &m.chains;
    while (*tail) tail = &(*tail)->next;
    *tail = new model_typ::d_typ;
    (*tail)->chain = base;
}

// A branch record whose chain runs through pts, head first, pointing down.
inline void make_branch(galaz_typ& g, std::initializer_list<vec3_typ> pts) {
    for (const vec3_typ& p : pts) {
        auto* n = new wezel_typ;
        n->pos = p;
        n->dir = vec3_typ(0, -1, 0);
        if (g.head) g.append(n);
        else g.head = g.tail = n;
    }
}

}  // namespace sf::test
