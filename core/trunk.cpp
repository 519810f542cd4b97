// Trunk growth: from the start point down to the ground, converging on the
// vertical axis through the origin.
#include <cmath>

#include "core/crmath.h"
#include "core/build.h"
#include "core/growth.h"

namespace sf {

vec3_typ crooked_direction(vec3_typ d, double amp, random& rng) {
    double angle = rng.uniform(amp / 3 * 2, amp);
    if (rng.coin()) angle = -angle;
    if (d.x > 0.5 || d.x < -0.5)
        d = d.rot_z(angle);
    else
        d = d.rot_x(angle);
    double angle2 = rng.uniform(amp / 3 * 2, amp);
    if (rng.coin()) angle2 = -angle2;
    return d.rot_y(2 * angle2);
}

namespace {

// The pull of step i towards the axis, and down while the tail is above
// the ground (weaker near the crown's centre), or on at the same height.
vec3_typ trunk_pull(const galaz_typ& g, const settings_typ& r, const vec3_typ& tail, const vec3_typ& head,
                    std::int64_t i, std::int64_t segments) {
    vec3_typ a = vec3_typ(-tail.x, 0, -tail.z) * trunk_scale;
    const double d_a = a.length();
    double rem = static_cast<double>(segments - i);
    if (rem <= 0) rem = 1.0;
    a = a * (2.0 / rem);

    double yp = -tail.y;
    if (tail.y > r.bg_top * r.tree_center) {
        const double d_h = vec3_typ(-head.x, 0, -head.z).length();
        // A head on the axis gives no distance to weaken by: factor 1.
        if (d_h != 0.0) {
            const double k = 1 - d_a / d_h;
            const double c = ((1 - r.tree_center) + 0.2) / 1.2;
            yp = yp * (k * (1 - c) + c);
        }
    }
    if (yp < 0)
        a.y = yp * 2.0 / rem;
    else
        a.y = g.direction.y;
    return a;
}

// The sub-segment nodes between prev and m, evenly spaced and jittered.
void add_sub_nodes(wezel_typ* prev, const wezel_typ* m, std::int32_t sub, std::int32_t level,
                   const settings_typ& r, random& rng) {
    const vec3_typ s = (m->pos - prev->pos) / sub;
    const double dt = std::fabs(prev->thickness - m->thickness) / sub;
    for (std::int32_t k = 1; k < sub; ++k) {
        wezel_typ* n = new wezel_typ;
        insert_after(prev, n);
        n->thickness = prev->thickness + dt;
        n->dir = prev->dir;
        n->pos = prev->pos + s;
        const double sl = s.length();
        const double jr = (sl < dt ? sl : dt) * r.branch_crookedness;
        n->pos = n->pos + jitter(jr, rng);
        n->level = level;
        prev = n;
    }
}

}  // namespace

void grow_trunk(galaz_typ& g, const settings_typ& r, random& rng) {
    const std::int64_t segments = r.segments;
    const double two_segments = static_cast<double>(2 * segments);
    const std::int32_t sub = effective_sub_segments(r);

    const double qt = 1 + r.bias / two_segments;
    g.segment_length = g.segment_length * 0.5;
    vec3_typ d = g.direction;
    d.x = -g.tail->pos.x;
    d.z = -g.tail->pos.z;
    g.direction = d.normalized();
    const double cap = g.head->pos.length() / two_segments;
    const vec3_typ head = g.head->pos;

    for (std::int64_t i = 0; i < 8 * segments; ++i) {
        double t1 = static_cast<double>(i) / static_cast<double>(segments);
        if (t1 > 1.0) t1 = 1.0;
        double t2 = static_cast<double>(i) / two_segments;
        if (t2 > 1.0) t2 = 1.0;
        const vec3_typ tail = g.tail->pos;

        const vec3_typ a = trunk_pull(g, r, tail, head, i, segments);
        const vec3_typ b = vec3_typ(-tail.x, 0, -tail.z) * r.trunk_bend;
        const vec3_typ old = g.direction;
        g.direction = (a + b).normalized();
        g.direction = crooked_direction(g.direction, r.trunk_crookedness * t1, rng);
        g.direction = ((g.direction + old.normalized()) / 2.0) * g.segment_length;

        const vec3_typ new_pos = tail + g.direction;
        if (new_pos.y < 0 && tail.y < 0.1) break;

        wezel_typ* prev = g.tail;
        wezel_typ* m = new wezel_typ;
        m->pos = new_pos;
        m->dir = g.direction;
        g.append(m);

        if (r.trunk_thick_type == 0)
            g.thickness += g.segment_length * (t2 * t2);
        else if (r.trunk_thick_type == 1)
            g.thickness += g.segment_length * sf::crm::cos(t1 * 1.5707963267949);
        m->thickness = g.thickness;
        const std::int32_t level = (2 * i < segments) ? static_cast<std::int32_t>(i) : r.segments;
        m->level = level;

        if (i <= segments) g.segment_length = g.segment_length * qt;
        if (g.segment_length > cap) g.segment_length = cap;
        g.segment_count = g.segment_count + 1;

        add_sub_nodes(prev, m, sub, level, r, rng);
    }
}

}  // namespace sf
