// Polygonal output: square tubes along every chain, forks where branches and
// twigs leave, end caps, and the weight and texture maps of every ring point.
#include "mesh/tubes.h"

#include <cmath>
#include <cstring>

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
        op->pntVPMap(op->state, point, polygon, LWVMAP_TXUV, "SF_branch", 2, uv);
        return;
    }
    const float range = static_cast<float>(wr), thick = static_cast<float>(wt);
    if (model.assign_range_weight_map) op->pntVMap(op->state, point, LWVMAP_WGHT, "SF_range", 1, &range);
    if (model.assign_thick_weight_map) op->pntVMap(op->state, point, LWVMAP_WGHT, "SF_thick", 1, &thick);
    const float both[2] = {range, thick};
    op->pntVMap(op->state, point, LWVMAP_TXUV, "SF_range_thick", 2, both);
    op->pntVMap(op->state, point, LWVMAP_TXUV, "SF_branch", 2, uv);
}

double range_falloff(double x, double c, double h) {
    if (c - h > x) return 1.0;
    if (x > c + h) return -1.0;
    // At the centre the curve is 0 for every width; computing it would give
    // 0 × ∞ for a width of 0.
    if (x == c) return 0.0;
    return (1.0 - std::sin((x - c) * 3.1415926535898 * (0.5 / h))) - 1.0;
}

double thick_falloff(double x, double m) {
    if (x >= 4 * m) return 0.0;
    if (x < 0) return 1.0;
    return 1.0 - std::sin(x / (4 * m) * 1.5707963267949);
}

frame_typ next_frame(const frame_typ& previous, const vec3_typ& d) {
    frame_typ f;
    f.axis_x = d.normalized();
    f.axis_y = previous.axis_z.cross(f.axis_x);
    f.axis_z = f.axis_x.cross(f.axis_y);
    f.compute_angles();
    return f;
}

void emit_polygonal(model_typ&, MeshEditOp*, bool, const settings_typ&) {}

}  // namespace sf
