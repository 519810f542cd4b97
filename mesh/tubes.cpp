// Polygonal output: square tubes along every chain, forks where branches and
// twigs leave, end caps, and the weight and texture maps of every ring point.
#include "mesh/tubes.h"

#include <cmath>
#include <cstring>
#include <vector>

#include "core/crmath.h"
#include "mesh/output.h"
#include "mesh/roots.h"

namespace sf {

void make_square_ring(vec3_typ ring[4], double hz, double hy, double az, double ay) {
    ring[0] = vec3_typ(0, hy, hz);
    ring[1] = vec3_typ(0, -hy, hz);
    ring[2] = vec3_typ(0, -hy, -hz);
    ring[3] = vec3_typ(0, hy, -hz);
    if (az != 0)
        for (int k = 0; k < 4; ++k) ring[k] = ring[k].rot_z(az);
    if (ay != 0)
        for (int k = 0; k < 4; ++k) ring[k] = ring[k].rot_y(ay);
}

void bridge_rings(const model_typ& model, MeshEditOp* op, const LWPntID a[4], const LWPntID b[4],
                  const char* surface, bool subd, double vb, double va) {
    const LWID type = subd ? LWPOLTYPE_PTCH : LWPOLTYPE_FACE;
    const char* tag = nullptr;
    if (std::strcmp(surface, k_surface_twig) == 0)
        tag = "Blue";
    else if (std::strcmp(surface, k_surface_trunk) == 0)
        tag = "Brown";
    LWPolID last = nullptr;
    for (int k = 0; k < 4; ++k) {
        const int k1 = (k + 1) % 4;
        const LWPntID quad[4] = {a[k], a[k1], b[k1], b[k]};
        last = op->addPoly(op->state, type, nullptr, surface, 4, quad);
        if (tag) op->polTag(op->state, last, LWPTAG_COLR, tag);
    }
    // The seam: corner 3 to corner 0 runs from u = 0.75 to u = 1.0.
    write_point_maps(model, op, b[0], last, 0, 0, 1.0, vb);
    write_point_maps(model, op, a[0], last, 0, 0, 1.0, va);
}

void write_point_maps(const model_typ& model, MeshEditOp* op, LWPntID point, LWPolID polygon,
                      double wr, double wt, double u, double v) {
    const float uv[2] = {static_cast<float>(u), static_cast<float>(v)};
    if (polygon) {
        op->pntVPMap(op->state, point, polygon, LWVMAP_TXUV, k_map_branch_uv, 2, uv);
        return;
    }
    const float range = static_cast<float>(wr), thick = static_cast<float>(wt);
    if (model.assign_range_weight_map) op->pntVMap(op->state, point, LWVMAP_WGHT, k_map_range, 1, &range);
    if (model.assign_thick_weight_map) op->pntVMap(op->state, point, LWVMAP_WGHT, k_map_thick, 1, &thick);
    const float both[2] = {range, thick};
    op->pntVMap(op->state, point, LWVMAP_TXUV, k_map_range_thick, 2, both);
    op->pntVMap(op->state, point, LWVMAP_TXUV, k_map_branch_uv, 2, uv);
}

double range_falloff(double x, double c, double h) {
    if (c - h > x) return 1.0;
    if (x > c + h) return -1.0;
    // At the centre the curve is 0 for every width; computing it would give
    // 0 × ∞ for a width of 0.
    if (x == c) return 0.0;
    return (1.0 - sf::crm::sin((x - c) * 3.1415926535898 * (0.5 / h))) - 1.0;
}

double thick_falloff(double x, double m) {
    if (x >= 4 * m) return 0.0;
    if (x < 0) return 1.0;
    return 1.0 - sf::crm::sin(x / (4 * m) * 1.5707963267949);
}

frame_typ next_frame(const frame_typ& previous, const vec3_typ& d) {
    frame_typ f;
    f.axis_x = d.normalized();
    f.axis_y = previous.axis_z.cross(f.axis_x);
    f.axis_z = f.axis_x.cross(f.axis_y);
    f.compute_angles();
    return f;
}

namespace {

using w_typ = model_typ::w_typ;

// A call of the tube emitter that waits for its turn: the side tube of a
// fork runs after the whole outward tube of that fork has been written.
struct tube_call {
    LWPntID previous[4];
    w_typ* node;
    frame_typ frame;
    double length;
    w_typ* parent;
};

// Which ring corners, box points and box faces a fork uses for each exit
// side; box points 0 to 3 are ring A's corners, 4 to 7 ring B's.
enum exit_side { exit_pz, exit_my, exit_mz, exit_py };

constexpr int k_exit_pair[4][2] = {{0, 1}, {1, 2}, {2, 3}, {3, 0}};
constexpr int k_exit_ring[4][4] = {{0, 1, 5, 4}, {5, 1, 2, 6}, {7, 6, 2, 3}, {0, 4, 7, 3}};
constexpr int k_box_faces[4][3][4] = {
    {{5, 1, 2, 6}, {2, 3, 7, 6}, {7, 3, 0, 4}},
    {{0, 1, 5, 4}, {2, 3, 7, 6}, {7, 3, 0, 4}},
    {{0, 1, 5, 4}, {5, 1, 2, 6}, {7, 3, 0, 4}},
    {{0, 1, 5, 4}, {5, 1, 2, 6}, {2, 3, 7, 6}},
};

exit_side exit_side_of(const vec3_typ& v) {
    const double y = v.y, z = v.z;
    if (z >= y && z >= -y) return exit_pz;
    if (-y > z && z > y) return exit_my;
    if (y >= z && -y >= z) return exit_mz;
    return exit_py;
}

// Path coordinate of a length; a model without length has v = 0 everywhere.
double path_v(double length, double reach) { return reach != 0.0 ? length / reach : 0.0; }

void add_ring_points(const model_typ& model, MeshEditOp* op, const vec3_typ ring[4], LWPntID ids[4],
                     double wr, double wt, double v) {
    for (int k = 0; k < 4; ++k) {
        ids[k] = op->addPoint(op->state, ring[k].data());
        write_point_maps(model, op, ids[k], nullptr, wr, wt, k * 0.25, v);
    }
}

// A node's ring before it is written: its surface, frame, corners in that
// frame, weights and path coordinates (before the node, at it).
struct node_ring {
    const char* surface;
    frame_typ g;
    vec3_typ a[4];
    float wr, wt;
    double vp, va, length;
};

// The range and thickness weights of a node, blended with its parent's, and
// handed on to the nodes its ring and fork reach.
void node_weights(const model_typ& model, const tube_call& call, w_typ* w, float& wr, float& wt) {
    // Without segments every level counts as the end of the branch.
    double f = 1.0;
    if (model.segments > 0) {
        f = static_cast<double>(w->level) / static_cast<double>(model.segments);
        if (f > 1.0) f = 1.0;
    }
    wr = static_cast<float>(range_falloff(f, model.wg_range, model.wg_hardness));
    wt = static_cast<float>(thick_falloff(w->thickness, model.wg_thick_max));
    if (call.parent) {
        wr = static_cast<float>(call.parent->range_weight * 0.7 + wr * 0.3);
        wt = static_cast<float>(call.parent->thick_weight * 0.7 + wt * 0.3);
    }
    w->range_weight = wr;
    w->thick_weight = wt;
    if (w->outward) {
        w->outward->range_weight = wr;
        w->outward->thick_weight = wt;
    }
    if (w->side) {
        w->side->range_weight = wr;
        w->side->thick_weight = wt;
        if (w->side->outward) {
            w->side->outward->range_weight = wr;
            w->side->outward->thick_weight = wt;
        }
    }
}

node_ring make_node_ring(const model_typ& model, const tube_call& call, w_typ* w) {
    node_ring n;
    n.surface = w->is_trunk ? k_surface_trunk : w->is_twig ? k_surface_twig : k_surface_branch;
    n.g = next_frame(call.frame, w->segment);

    double r;
    if (w->is_trunk)
        r = model.trunk_thickness * w->thickness + model.tips_thickness;
    else if (w->is_twig)
        r = model.trunk_thickness * w->thickness + model.tips_thickness / 2.0;
    else
        r = model.branch_thickness * w->thickness + model.tips_thickness;
    make_square_ring(n.a, r, r, 0, 0);

    n.vp = path_v(call.length, model.reach);
    n.length = call.length + w->segment.length();
    n.va = path_v(n.length, model.reach);
    node_weights(model, call, w, n.wr, n.wt);
    return n;
}

// A fork's rings in world space: ring A (the node's, in `n`), ring B past
// the box, and the side ring S' out of the box face the side chain leaves
// through.
struct fork_shape {
    vec3_typ b[4], sp[4];
    exit_side side;
    double rs;
};

fork_shape shape_fork(const model_typ& model, w_typ* w, node_ring& n) {
    fork_shape k;
    w_typ* const o = w->outward;
    w_typ* const s = w->side;
    o->segment = o->position - w->position;
    s->segment = (s->outward ? s->outward->position : s->position) - w->position;

    const double ts = s->is_twig ? model.tips_thickness / 2.0 : model.tips_thickness;
    // A side chain always has a second node; a hand-made one may not.
    const double side_thickness = s->outward ? s->outward->thickness : s->thickness;
    const double rs = model.branch_thickness * side_thickness + ts;
    const double ro =
        (w->is_trunk ? model.trunk_thickness : model.branch_thickness) * o->thickness + model.tips_thickness;
    k.rs = rs;

    vec3_typ vs = s->segment.normalized();
    n.g.to_local(&vs, 1, vec3_typ(0, 0, 0));
    const exit_side side = exit_side_of(vs);
    k.side = side;

    const double theta = w->segment.angle_to(s->segment);
    const double bulge = std::fabs((1.5707963267949 - theta) * 3.0 / 3.1415926535898 * rs);

    vec3_typ* const a = n.a;
    vec3_typ* const b = k.b;
    for (int c = 0; c < 4; ++c) b[c] = a[c] + vec3_typ(2 * rs, 0, 0);
    for (int c : k_exit_pair[side]) {
        b[c] = b[c] + vec3_typ(bulge, 0, 0);
        switch (side) {
            case exit_pz: b[c].z = b[c].z - bulge; break;
            case exit_my: b[c].y = b[c].y + bulge; break;
            case exit_mz: b[c].z = b[c].z + bulge; break;
            case exit_py: b[c].y = b[c].y - bulge; break;
        }
    }

    const vec3_typ* const box[8] = {&a[0], &a[1], &a[2], &a[3], &b[0], &b[1], &b[2], &b[3]};
    const int* const x = k_exit_ring[side];
    vec3_typ* const sp = k.sp;
    for (int c = 0; c < 4; ++c) sp[c] = *box[x[c]] + vs * 0.5 * rs;
    if (rs < ro) {
        const double d = ro - rs;
        if (side == exit_pz || side == exit_mz) {
            sp[0].y = sp[0].y - d;
            sp[3].y = sp[3].y - d;
            sp[1].y = sp[1].y + d;
            sp[2].y = sp[2].y + d;
        } else {
            sp[0].z = sp[0].z - d;
            sp[1].z = sp[1].z - d;
            sp[2].z = sp[2].z + d;
            sp[3].z = sp[3].z + d;
        }
    }

    n.g.to_world(a, 4, w->position);
    n.g.to_world(b, 4, w->position);
    n.g.to_world(sp, 4, w->position);
    return k;
}

// Writes a fork: the box of rings A and B joined to the previous ring, the
// side tube's first ring S' and the box's other faces. Queues the side
// chain's call and answers the outward one.
tube_call emit_fork(model_typ& model, MeshEditOp* op, const tube_call& call, w_typ* w, bool subd,
                    std::vector<tube_call>& pending) {
    const LWID type = subd ? LWPOLTYPE_PTCH : LWPOLTYPE_FACE;
    node_ring n = make_node_ring(model, call, w);
    const fork_shape k = shape_fork(model, w, n);
    const vec3_typ* const a = n.a;
    const char* const surface = n.surface;
    const float wr = n.wr, wt = n.wt;
    const double va = n.va, vp = n.vp, length = n.length;
    const int* const x = k_exit_ring[k.side];

    const double vb = path_v(length + 2 * k.rs, model.reach);
    const double vsd = path_v(length + 0.5 * k.rs, model.reach);

    LWPntID box_ids[8], side_ids[4];
    for (int c = 0; c < 4; ++c) {
        box_ids[c] = op->addPoint(op->state, a[c].data());
        write_point_maps(model, op, box_ids[c], nullptr, wr, wt, c * 0.25, va);
        box_ids[c + 4] = op->addPoint(op->state, k.b[c].data());
        write_point_maps(model, op, box_ids[c + 4], nullptr, wr, wt, c * 0.25, vb);
        side_ids[c] = op->addPoint(op->state, k.sp[c].data());
        write_point_maps(model, op, side_ids[c], nullptr, wr, wt, c * 0.25, vsd);
    }

    bridge_rings(model, op, call.previous, box_ids, surface, subd, va, vp);

    LWPolID last = nullptr;
    for (int c = 0; c < 4; ++c) {
        const int c1 = (c + 1) % 4;
        const LWPntID quad[4] = {box_ids[x[c]], box_ids[x[c1]], side_ids[c1], side_ids[c]};
        last = op->addPoly(op->state, type, nullptr, surface, 4, quad);
        write_point_maps(model, op, box_ids[x[c]], last, 0, 0, c * 0.25, va);
        write_point_maps(model, op, box_ids[x[c1]], last, 0, 0, (c + 1) * 0.25, va);
    }
    write_point_maps(model, op, box_ids[x[0]], last, 0, 0, 1.0, va);
    write_point_maps(model, op, side_ids[0], last, 0, 0, 1.0, vsd);

    for (const auto& face : k_box_faces[k.side]) {
        const LWPntID quad[4] = {box_ids[face[0]], box_ids[face[1]], box_ids[face[2]], box_ids[face[3]]};
        const LWPolID pol = op->addPoly(op->state, type, nullptr, surface, 4, quad);
        if (face[0] == 7 && face[1] == 3 && face[2] == 0 && face[3] == 4) {
            write_point_maps(model, op, box_ids[0], pol, 0, 0, 1.0, va);
            write_point_maps(model, op, box_ids[4], pol, 0, 0, 1.0, vb);
        }
    }

    pending.push_back(
        tube_call{{side_ids[0], side_ids[1], side_ids[2], side_ids[3]}, w->side->outward, n.g, length, w});
    return tube_call{{box_ids[4], box_ids[5], box_ids[6], box_ids[7]}, w->outward, n.g, length, w};
}

// Writes one node's ring and everything that hangs from it. Runs as a loop:
// a plain segment continues with its outward node, a fork queues its side
// call and continues with its outward one, a cap takes the latest queued call.
void emit_tube(model_typ& model, MeshEditOp* op, const LWPntID start[4], w_typ* start_node, bool subd,
               const frame_typ& start_frame, double start_length, std::vector<tube_call>& pending) {
    const LWID type = subd ? LWPOLTYPE_PTCH : LWPOLTYPE_FACE;
    pending.clear();
    tube_call call{{start[0], start[1], start[2], start[3]}, start_node, start_frame, start_length,
                   nullptr};

    for (;;) {
        w_typ* const w = call.node;
        if (!w) {
            op->addPoly(op->state, type, nullptr, k_surface_branch, 4, call.previous);
            if (pending.empty()) return;
            call = pending.back();
            pending.pop_back();
            continue;
        }
        if (w->side && w->outward) {
            call = emit_fork(model, op, call, w, subd, pending);
            continue;
        }
        // Plain segment; a side chain on a tip is not written.
        node_ring n = make_node_ring(model, call, w);
        n.g.to_world(n.a, 4, w->position);
        LWPntID ids[4];
        add_ring_points(model, op, n.a, ids, n.wr, n.wt, n.va);
        bridge_rings(model, op, call.previous, ids, n.surface, subd, n.va, n.vp);
        call = tube_call{{ids[0], ids[1], ids[2], ids[3]}, w->outward, n.g, n.length, w};
    }
}

}  // namespace

void emit_polygonal(model_typ& model, MeshEditOp* op, bool subd, const settings_typ& r) {
    model.reach = model.compute_reach();
    if (model.chains) {
        w_typ* const first = model.chains->chain;
        first->position.y = first->position.y + model.trunk_thickness * first->thickness;
    }

    std::vector<tube_call> pending;  // reused by every chain
    for (model_typ::d_typ* d = model.chains; d; d = d->next) {
        w_typ* const k = d->chain;
        w_typ* const o = k->outward;
        if (k->side || !o || !o->outward) continue;

        frame_typ base;
        const vec3_typ dir = o->segment.normalized();
        base.axis_x = (dir + vec3_typ(0, 1, 0)).normalized();
        base.axis_y = vec3_typ(0, 0, 1).cross(base.axis_x);
        base.axis_z = base.axis_x.cross(base.axis_y);
        base.compute_angles();

        vec3_typ ring[4];
        const double h = model.trunk_thickness * o->thickness;
        make_square_ring(ring, h, h, 0, 0);
        base.to_world(ring, 4, k->position);

        double limit = model.wg_thick_max / (model.trunk_thickness / model.branch_thickness);
        // Both thicknesses 0 (a stored preset) leave no ratio: take it as 1.
        if (std::isnan(limit)) limit = model.wg_thick_max;
        const float t0 = static_cast<float>(thick_falloff(0, limit));
        LWPntID base_ids[4];
        add_ring_points(model, op, ring, base_ids, -1.0, t0, 0.0);

        if (k->position.y < 0.5) {
            grow_roots(model, model.number_of_roots, o->thickness);
            emit_trunk_base(model, op, subd, base_ids, k->position, 0.0);
        }
        emit_tube(model, op, base_ids, o, subd, base, 0.0, pending);
    }

    emit_leaves(model, op, r);
}

}  // namespace sf
