// Branch growth: every non-trunk branch grows from its tip inward, steered
// toward the trunk, away from the crown surface and down when too high.
#include <cmath>

#include "core/crmath.h"
#include "core/growth.h"
#include "core/node_index.h"

namespace sf {

namespace {

// Replaces the branch's direction with the step vector for step i.
void steer(const galaz_typ* table, galaz_typ& g, std::int64_t i, const settings_typ& r,
           random& rng) {
    const double segments = static_cast<double>(r.segments);
    double t = static_cast<double>(i) / segments;
    if (t > 1.0) t = 1.0;
    const vec3_typ tail = g.tail->pos;

    vec3_typ target;
    if (r.trunk_influence == 1 || r.trunk_influence == 2) {
        if (const wezel_typ* n = nearest_trunk_node(table, tail, r))
            target = r.trunk_influence == 1 ? n->pos : n->pos * t;
    }
    const vec3_typ d = vec3_typ(target.x - tail.x, 0, target.z - tail.z).normalized();
    const vec3_typ old = g.direction;

    double yp = (r.bg_top * g.center_fraction - tail.y) * t * t;
    if (!(yp < 0)) yp = 0;

    g.direction = g.direction * (1 - t) + d;
    const double ni = r.normals_influence;
    const double w = (1 - t) * (1 - ni) + sf::crm::cos(t * 1.5707963267949) * ni;
    g.direction = g.direction - g.normal * ni * w;
    g.direction = crooked_direction(g.direction, r.branch_crookedness * (1 - t), rng);
    g.direction = g.direction.normalized() * g.segment_length * (1 - r.branch_start_split);
    g.direction.y = g.direction.y + yp;

    for (int k = 0; k < 5 && g.direction.angle_to(old) > 1.2566370614359201; ++k) {
        const double len = g.direction.length();
        g.direction = (g.direction + old).normalized() * len;
    }
}

}  // namespace

wezel_typ* nearest_trunk_node(const galaz_typ* table, const vec3_typ& p, const settings_typ& r) {
    if (g_growth_index) return g_growth_index->nearest_trunk(p);
    return nearest_trunk_node_walk(table, p, r);
}

wezel_typ* nearest_trunk_node_walk(const galaz_typ* table, const vec3_typ& p, const settings_typ& r) {
    double best = 10000000.0;
    wezel_typ* found = nullptr;
    for (std::int32_t i = 0; i < r.trunks; ++i)
        for (wezel_typ* n = table[i].head; n; n = n->next) {
            const double d = n->pos.distance(p);
            if (d < best) {
                best = d;
                found = n;
            }
        }
    return found;
}

void grow_branch(galaz_typ* table, std::int32_t index, const settings_typ& r, random& rng) {
    galaz_typ& g = table[index];
    const std::int64_t segments = r.segments;
    const std::int32_t sub = effective_sub_segments(r);

    g.thickness = 0.0;
    g.center_fraction = rng.uniform(r.tree_center - r.tree_center * r.tree_center_variation,
                                    r.tree_center + r.tree_center * r.tree_center_variation);
    const double q = 1 + r.bias / r.segments;

    for (std::int64_t i = 0; i < 2 * segments; ++i) {
        double t = static_cast<double>(i) / static_cast<double>(segments);
        if (t > 1.0) t = 1.0;
        steer(table, g, i, r, rng);

        wezel_typ* prev = g.tail;
        const vec3_typ prev_pos = prev->pos;
        vec3_typ new_pos = prev_pos + g.direction;
        wezel_typ* m = new wezel_typ;
        m->dir = g.direction;
        g.append(m);

        bool stop = false;
        if (join_test(table, index, r, new_pos, prev_pos))
            stop = true;
        else if (new_pos.y < 0)
            stop = true;
        else if (g.follows_trunk)
            follow_trunk_bend(table, index, r, new_pos, prev_pos);
        else
            approach_test(table, index, r, new_pos, prev_pos);

        m->pos = new_pos;
        g.thickness += g.segment_length * sf::crm::sin(t * 3.1415926535898);
        m->thickness = g.thickness;
        m->dir = new_pos - prev_pos;
        const std::int32_t level = i < segments ? static_cast<std::int32_t>(i) : r.segments;
        m->level = level;
        if (i < segments) g.segment_length = g.segment_length * q;
        g.segment_count = g.segment_count + 1;

        const vec3_typ s = (m->pos - prev->pos) / sub;
        const double dt = std::fabs(prev->thickness - m->thickness) / sub;
        for (std::int32_t k = 1; k < sub; ++k) {
            wezel_typ* n = new wezel_typ;
            insert_after(prev, n);
            n->thickness = prev->thickness + dt;
            n->pos = prev->pos + s;
            const double jr = s.length() * r.branch_crookedness;
            n->pos = n->pos + jitter(jr, rng);
            n->dir = n->pos - prev->pos;
            n->level = level;
            prev = n;
        }
        if (stop) break;
    }
}

}  // namespace sf
