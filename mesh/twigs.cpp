// Twigs: short side chains in the outer part of each branch, grown in a
// direction chosen by the twig type, with every draw from the model's generator.
#include <cmath>
#include <cstdint>

#include "mesh/output.h"

namespace sf {

namespace {

using w_typ = model_typ::w_typ;

constexpr double k_quarter_pi = 0.78539816339745;
constexpr double k_half_pi = 1.5707963267949;
constexpr double k_eighth_pi = 0.392699081698725;

// Every how many eligible nodes a twig grows. A coverage above 1 would give 0:
// then every node gets one; an interval beyond the int range saturates.
std::int32_t coverage_interval(double coverage) {
    const double q = std::trunc(1.0 / coverage);
    if (!(q == q)) return 1;
    if (q >= 2147483647.0) return 2147483647;
    if (q <= -2147483647.0) return -2147483647;
    const auto interval = static_cast<std::int32_t>(q);
    return interval == 0 ? 1 : interval;
}

vec3_typ to_local(const frame_typ& f, vec3_typ v) {
    f.to_local(&v, 1, vec3_typ());
    return v;
}

vec3_typ to_world(const frame_typ& f, vec3_typ v) {
    f.to_world(&v, 1, vec3_typ());
    return v;
}

// Direction of a new twig at node m, by twig type (before the twist).
vec3_typ twig_direction(std::int32_t type, const w_typ& m, const frame_typ& frame, random& rng) {
    vec3_typ d;
    switch (type) {
        case 1:
            d = vec3_typ(0, 1, 0);
            break;
        case 2:
            d = vec3_typ(0, -1, 0);
            break;
        case 3: {
            d = m.segment;
            d.y = 0;
            double u = rng.uniform(k_quarter_pi, k_half_pi);
            if (rng.coin()) u = -u;
            d = d.normalized().rot_y(u);
            break;
        }
        case 4: {
            d = to_local(frame, m.segment);
            double u = rng.uniform(k_eighth_pi, k_quarter_pi);
            if (rng.coin()) u = -u;
            d = to_world(frame, d.rot_z(u));
            break;
        }
        case 5: {
            const double x = rng.uniform_int(-1, 1);
            const double y = rng.uniform_int(-1, 1);
            const double z = rng.uniform_int(-1, 1);
            d = vec3_typ(x, y, z).normalized();
            // Too close to the branch: turn it away, to the side it leans to.
            if (d.angle_to(m.segment) < k_eighth_pi) {
                d = to_local(frame, d);
                double u = rng.uniform(k_eighth_pi, k_quarter_pi);
                if (d.x < 0) u = -u;
                d = to_world(frame, d.rot_z(u));
            }
            break;
        }
        case 6: {
            const double u = rng.uniform(-k_half_pi, k_half_pi);
            d = m.segment.rot_y(u).cross(vec3_typ(0, 1, 0));
            if (u > 0) d = vec3_typ() - d;
            d = d.normalized();
            break;
        }
        default:
            break;
    }
    return d;
}

void grow_twig(w_typ& m, const settings_typ& r, random& rng) {
    // Node frame: the segment is its z axis; the reference axis is the one
    // that is far enough from the segment.
    const vec3_typ up(0, 1, 0), across(1, 0, 0);
    const vec3_typ& ref = m.segment.angle_to(up) > k_quarter_pi ? up : across;
    const vec3_typ c = m.segment.normalized();
    const vec3_typ b = c.cross(ref);
    const vec3_typ a = c.cross(b);
    frame_typ frame;
    frame.axis_x = a;
    frame.axis_y = b;
    frame.axis_z = c;
    frame.compute_angles();

    vec3_typ d = twig_direction(r.twig_type, m, frame, rng);
    d = to_local(frame, d);
    d = to_world(frame, d.rot_z(rng.uniform(-k_quarter_pi, k_quarter_pi)));

    const std::int32_t n = r.twig_segments;
    const double step = r.twig_length_type == 0
                            ? m.segment.length() * r.twig_proportional_length / n
                            : r.twig_constant_length / n;
    const std::int64_t nodes = std::int64_t(n) + 1;
    const vec3_typ along = m.segment.normalized();
    vec3_typ s = (d * static_cast<double>(nodes) + along).normalized() * step;

    w_typ* t = new w_typ;
    t->level = static_cast<std::int32_t>(nodes);
    t->thickness = 0.001;
    t->position = m.position;
    t->segment = s;
    t->is_twig = true;
    m.side = t;

    const vec3_typ dn = d.normalized();
    const vec3_typ pull = along * 0.6;
    vec3_typ p = m.position;
    w_typ* current = t;
    for (std::int32_t k = 0; k < n; ++k) {
        w_typ* node = new w_typ;
        node->level = n - k;
        node->thickness = 0.001;
        node->position = p + s;
        node->is_twig = true;
        current->outward = node;

        s = ((s.normalized() + dn) + pull).normalized();
        s = to_local(frame, s);
        s = s.rot_y(rng.uniform(-k_quarter_pi, k_quarter_pi));
        s = s.rot_x(rng.uniform(-k_quarter_pi, k_quarter_pi));
        s = to_world(frame, s) * step;
        node->segment = s;

        current = node;
        p = node->position;
    }
}

}  // namespace

void generate_twigs(model_typ& model, model_typ::w_typ* m, const settings_typ& r, random& rng,
                    bool top) {
    if (r.twig_segments <= 0 || r.twig_coverage == 0.0 || r.twig_proportional_length == 0.0 ||
        r.twig_range == 0.0 || r.twig_type == 0)
        return;
    const std::int32_t interval = coverage_interval(r.twig_coverage);
    const double outer_limit = static_cast<double>(model.segments) * r.twig_range;

    // Post-order; a twig added to a visited node is not visited itself.
    for_each_post_order(m, [&](w_typ* n) {
        if (top && n == m) return;  // a chain's innermost node
        if (!n->outward) return;    // tip
        if (!(outer_limit > static_cast<double>(n->level))) return;
        if (n->side) return;  // a branch already starts here
        const std::int64_t phase = std::int64_t(twig_counter) % interval;
        twig_counter = static_cast<std::int32_t>(static_cast<std::uint32_t>(twig_counter) + 1u);
        if (phase != 0) return;
        grow_twig(*n, r, rng);
    });
}

}  // namespace sf
