// Roots: grown at output time around a low chain's base, with sockets and a
// skirt that joins them to the chain's first ring.
#include "mesh/roots.h"

#include <new>
#include <vector>

#include "core/owned_list.h"
#include "mesh/tubes.h"

namespace sf {

namespace {

using w_typ = model_typ::w_typ;
using d_typ = model_typ::d_typ;

constexpr int k_root_segments = 5;

// One segment of a root: a new node bent down by gravity and turned by the
// crookedness. Draws in the order length, sag, wobble, turn, taper.
w_typ* grow_segment(const model_typ& m, const w_typ& cur, double big_r) {
    random& rng = *m.rng;
    const double g = m.roots_gravity, c = m.roots_crookedness, f = m.roots_spread;
    const double e = ((big_r / 3) * 2) * f;
    const double length = big_r * f + rng.uniform(-e, e);
    vec3_typ d = cur.segment;
    d.y -= g;
    d.y += rng.uniform(g / 1.5, -g / 5);
    const double h = c / 0.78539816339745 * g;
    d.y += rng.uniform(-h, h);
    d = d.normalized();
    d = d.rot_y(rng.uniform(-2 * c, 2 * c));
    w_typ* n = new w_typ;
    n->segment = d;
    n->position = cur.position + d * length;
    const double t = cur.thickness;
    n->thickness = t - t / rng.uniform_int(4, 10);
    return n;
}

// The ring of one root node after another, each bridged to the ring before.
void emit_root_tube(const model_typ& m, MeshEditOp* op, const LWPntID socket[4], const w_typ* node,
                    bool subd, const frame_typ& socket_frame, double index, vec3_typ base_position,
                    double turn) {
    LWPntID prev[4] = {socket[0], socket[1], socket[2], socket[3]};
    frame_typ parent = socket_frame;
    for (; node; node = node->outward) {
        const frame_typ g = next_frame(parent, node->segment);
        const double r = m.branch_thickness * node->thickness;
        vec3_typ ring[4];
        make_square_ring(ring, r, r, 0, 0);
        g.to_world(ring, 4, node->position);
        const float v0 = static_cast<float>(index / 10);
        index += 1;
        const float v1 = static_cast<float>(index / 10);
        LWPntID ids[4];
        for (int c = 0; c < 4; ++c) {
            const vec3_typ p = ring[c].rot_y(turn) + base_position;
            ids[c] = op->addPoint(op->state, p.data());
            write_point_maps(m, op, ids[c], nullptr, -1.0, 0.0, 0.25 * c, v1);
        }
        bridge_rings(m, op, prev, ids, k_surface_root, subd, v1, v0);
        for (int c = 0; c < 4; ++c) prev[c] = ids[c];
        parent = g;
    }
}

struct socket_pair {
    LWPntID b, a;
};

// Both points of the socket pair of ring point i, then their maps.
socket_pair add_socket_pair(const model_typ& m, MeshEditOp* op, int i, int n, vec3_typ base_position,
                            double turn, double h, double d) {
    const vec3_typ p = m.root_points[i].rot_y(turn) + base_position;
    vec3_typ lower = p;
    lower.y = p.y - h;
    vec3_typ upper = p;
    upper.y = p.y - h + d;
    socket_pair pair;
    pair.a = op->addPoint(op->state, lower.data());
    pair.b = op->addPoint(op->state, upper.data());
    float u = static_cast<float>(i) / static_cast<float>(n) + 0.375f;
    if (u > 1.0f) u -= 1.0f;
    const float range = -1.0f, thick = 0.0f, uv[2] = {u, 0.0f};
    for (LWPntID pt : {pair.a, pair.b}) {
        if (m.assign_range_weight_map) op->pntVMap(op->state, pt, LWVMAP_WGHT, k_map_range, 1, &range);
        if (m.assign_thick_weight_map) op->pntVMap(op->state, pt, LWVMAP_WGHT, k_map_thick, 1, &thick);
        op->pntVMap(op->state, pt, LWVMAP_TXUV, k_map_branch_uv, 2, uv);
    }
    return pair;
}

void seam_value(MeshEditOp* op, LWPntID pt, LWPolID pol, float u, float v) {
    const float uv[2] = {u, v};
    op->pntVPMap(op->state, pt, pol, LWVMAP_TXUV, k_map_branch_uv, 2, uv);
}

}  // namespace

void grow_roots(model_typ& model, int n, double b) {
    n = effective_root_count(n);
    model.root_thickness = b;
    const double big_r = (b * model.trunk_thickness + model.tips_thickness) * 1.2;
    const double a = 6.2831853071796 / n;
    const double j = a / 6;

    // The ring turns from +x towards -z and never closes past a full turn.
    vec3_typ* ring = static_cast<vec3_typ*>(::operator new(sizeof(vec3_typ) * std::size_t(n)));
    new (&ring[0]) vec3_typ(big_r, 0, 0);
    double sum = 0;
    for (int i = 1; i < n; ++i) {
        double s = model.rng->uniform(a - j / 3, a + j);
        while (sum + s >= 6.2831853071796) s /= 2;
        sum += s;
        new (&ring[i]) vec3_typ(ring[i - 1].rot_y(-s));
    }
    ::operator delete(model.root_points);
    model.root_points = ring;
    delete_owned_list(model.root_chains);

    // Start nodes between neighbouring ring points, below the base, pushed outward.
    d_typ* tail = nullptr;
    for (int i = 0; i < n; ++i) {
        const int k = i + 1 < n ? i + 1 : 0;
        w_typ* start = new w_typ;
        start->thickness = (ring[i] - ring[k]).length() / 2 / model.branch_thickness;
        vec3_typ pos = (ring[i] + ring[k]) / 2;
        pos.y = -(start->thickness * model.branch_thickness) - big_r / 2 - b * model.trunk_thickness;
        vec3_typ level = pos;
        level.y = 0;
        start->segment = level.normalized();
        pos += (start->segment * big_r) / 5;
        start->position = pos;
        d_typ* rec = new d_typ;
        rec->chain = start;
        if (tail)
            tail->next = rec;
        else
            model.root_chains = rec;
        tail = rec;
    }

    for (d_typ* rec = model.root_chains; rec; rec = rec->next) {
        w_typ* cur = rec->chain;
        for (int s = 0; s < k_root_segments; ++s) {
            cur->outward = grow_segment(model, *cur, big_r);
            cur = cur->outward;
        }
    }
}

namespace {

// Ring indices at which quadrants 1, 2 and 3 of the n root points begin
// (n where one has none), and n + 1 as the end of quadrant 3.
void find_quadrant_bounds(model_typ& model, int n) {
    std::int32_t* bounds = model.root_quadrant_bounds;
    bounds[0] = bounds[1] = bounds[2] = n;
    int stored = 0;
    double sx = 1, sz = -1;
    for (int i = 0; i < n && stored < 3; ++i) {
        const vec3_typ& p = model.root_points[i];
        if (sx * p.x >= 0 && sz * p.z >= 0) continue;
        bounds[stored++] = i;
        if (sx > 0 && sz < 0)
            sx = -1;
        else if (sx < 0 && sz < 0)
            sz = 1;
        else
            sx = 1;
    }
    bounds[3] = n + 1;
}

}  // namespace

void emit_trunk_base(model_typ& model, MeshEditOp* op, bool subd, const LWPntID base[4],
                     vec3_typ base_position, double turn) {
    // The count the roots were grown with: the root list and the ring were
    // made together.
    int n = 0;
    for (const d_typ* rec = model.root_chains; rec; rec = rec->next) ++n;
    if (n == 0 || !model.root_points) return;

    const LWID type = subd ? LWPOLTYPE_PTCH : LWPOLTYPE_FACE;
    const double b = model.root_thickness;
    const double d = 2 * model.branch_thickness * model.root_chains->chain->thickness;
    const double h = b * model.trunk_thickness + model.tips_thickness + d;

    std::vector<LWPntID> bs(static_cast<std::size_t>(n));
    const socket_pair first = add_socket_pair(model, op, 0, n, base_position, turn, h, d);
    bs[0] = first.b;
    socket_pair prev = first;
    int next_index = 1;

    for (const d_typ* rec = model.root_chains; rec; rec = rec->next) {
        socket_pair cur = first;
        if (rec->next) {
            cur = add_socket_pair(model, op, next_index, n, base_position, turn, h, d);
            bs[std::size_t(next_index)] = cur.b;
            ++next_index;
        }
        const LWPntID socket[4] = {prev.b, prev.a, cur.a, cur.b};
        const w_typ* start = rec->chain;
        frame_typ f;
        f.axis_x = start->segment.normalized();
        f.axis_z = f.axis_x.cross(vec3_typ(0, 1, 0)).normalized();
        f.axis_y = f.axis_x.cross(f.axis_z).normalized();
        emit_root_tube(model, op, socket, start, subd, f, 0.0, base_position, turn);
        prev = cur;
    }

    find_quadrant_bounds(model, n);
    const std::int32_t* bounds = model.root_quadrant_bounds;

    // Skirt: triangles from each quadrant's trunk corner to the socket tops.
    // Socket tops by ring index, wrapping both ways: with non-finite roots
    // the quadrant bounds can fall at 0, and the ring is closed anyway.
    auto bs_at = [&](int i) { return bs[std::size_t(((i % n) + n) % n)]; };
    const float v = model.reach != 0 ? static_cast<float>(b * model.trunk_thickness / model.reach) : 0.0f;
    const int w = skirt_seam_index(n);
    int k = 1;
    for (int q = 0; q < 4; ++q) {
        const int corner = (2 + q) % 4;
        for (; k < bounds[q]; ++k) {
            if (q >= 1 && k == bounds[q - 1]) continue;
            const LWPntID tri[3] = {base[corner], bs_at(k - 1), bs_at(k)};
            const LWPolID pol = op->addPoly(op->state, type, nullptr, k_surface_trunk, 3, tri);
            if (corner == 0 && k <= w) seam_value(op, base[0], pol, 1.0f, v);
            if (k == w) seam_value(op, bs_at(w), pol, 1.1f, 0.0f);
        }
    }

    // Closing polygons between the quadrants.
    const LWPntID closing_tri[3] = {base[2], base[1], bs[0]};
    op->addPoly(op->state, type, nullptr, k_surface_trunk, 3, closing_tri);
    const LWPntID q1[4] = {base[3], base[2], bs_at(bounds[0] - 1), bs_at(bounds[0])};
    op->addPoly(op->state, type, nullptr, k_surface_trunk, 4, q1);
    const LWPntID q2[4] = {base[0], base[3], bs_at(bounds[1] - 1), bs_at(bounds[1])};
    const LWPolID seam = op->addPoly(op->state, type, nullptr, k_surface_trunk, 4, q2);
    seam_value(op, base[0], seam, 1.1f, v);
    const LWPntID q3[4] = {base[1], base[0], bs_at(bounds[2] - 1), bs_at(bounds[2])};
    op->addPoly(op->state, type, nullptr, k_surface_trunk, 4, q3);
}

}  // namespace sf
