// Joining rules: a growing branch joins an earlier one, or starts to follow
// the trunk and bends along it.
#include "core/growth.h"
#include "core/node_index.h"

namespace sf {

namespace {

// Half-way blend of the branch's step with a step of its length along v.
vec3_typ bend_along(const galaz_typ& g, const vec3_typ& v) {
    return (g.direction + v.normalized() * g.segment_length) / 2;
}

}  // namespace

wezel_typ* join_candidate_walk(const galaz_typ* table, std::int32_t index, const settings_typ& r,
                               const vec3_typ& new_pos, const vec3_typ& prev_pos) {
    const galaz_typ& b = table[index];
    const double count = b.segment_count;
    const double step = 1.0 / effective_sub_segments(r);
    double best = b.segment_length;
    wezel_typ* chosen = nullptr;
    for (std::int32_t ai = 0; ai < index; ++ai) {
        double c = 0;
        for (wezel_typ* n = table[ai].head; n && n->next; n = n->next) {
            c += step;
            if (count > c && ai > r.trunks) continue;
            if (n->joins > 0) continue;
            const double dist = (n->pos - new_pos).length();
            if (dist <= best) {
                const vec3_typ to_node = n->pos - prev_pos;
                const double a1 = b.direction.angle_to(to_node);
                const double a2 = n->next->dir.angle_to(to_node);
                if (a1 < 0.78539816339745 && a2 < 1.4137166941154102) {
                    chosen = n;
                    best = dist;
                }
            }
        }
    }
    return chosen;
}

wezel_typ* approach_candidate_walk(const galaz_typ* table, double best, const vec3_typ& p) {
    wezel_typ* found = nullptr;
    for (wezel_typ* n = table[0].head; n; n = n->next) {
        const double d = n->pos.distance(p);
        if (d <= best) {
            best = d;
            found = n;
        }
    }
    return found;
}

bool join_test(galaz_typ* table, std::int32_t index, const settings_typ& r, vec3_typ& new_pos,
               const vec3_typ& prev_pos) {
    galaz_typ& b = table[index];
    const double count = b.segment_count;
    if (r.segments * r.branch_end_split * 0.9 > count) return false;
    if (b.segment_count == 0) return false;

    wezel_typ* chosen = g_growth_index
                            ? g_growth_index->join_candidate(table, index, r, new_pos, prev_pos)
                            : join_candidate_walk(table, index, r, new_pos, prev_pos);
    if (!chosen) return false;

    wezel_typ* m = b.tail;
    new_pos = chosen->pos;
    chosen->joins += 1;
    chosen->joined_branch = &b;
    b.standalone = false;
    m->joins += 1;
    m->joined_to = chosen;

    double add = b.thickness > chosen->thickness ? b.thickness - chosen->thickness : 0;
    add += b.thickness * 0.2;
    for (wezel_typ* n = chosen; n; n = n->next) n->thickness += add;
    return true;
}

void follow_trunk_bend(galaz_typ* table, std::int32_t index, const settings_typ& r,
                       vec3_typ& new_pos, const vec3_typ& prev_pos) {
    galaz_typ& b = table[index];
    const wezel_typ* n = nearest_trunk_node(table, new_pos, r);
    if (!n) return;
    const vec3_typ along = n->next ? n->next->pos - n->pos : n->dir;
    const vec3_typ v = bend_along(b, along);
    new_pos = prev_pos + v;
    b.tail->dir = v;
    b.direction = v;
}

wezel_typ* approach_test(galaz_typ* table, std::int32_t index, const settings_typ& r,
                         vec3_typ& new_pos, const vec3_typ& prev_pos) {
    galaz_typ& b = table[index];
    if (r.segments * (r.branch_end_split * 2.0 + 0.1) > static_cast<double>(b.segment_count))
        return nullptr;

    // The index holds finished chains only: record 0 growing as a branch
    // searches its own chain.
    wezel_typ* found = g_growth_index && index > 0
                           ? g_growth_index->approach_candidate(b.segment_length, new_pos)
                           : approach_candidate_walk(table, b.segment_length, new_pos);
    if (!found || !found->next) return nullptr;

    b.follows_trunk = true;
    const vec3_typ v = bend_along(b, found->next->pos - found->pos);
    new_pos = prev_pos + v;
    b.tail->dir = v;
    b.direction = v;
    return found;
}

}  // namespace sf
