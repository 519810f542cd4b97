// Leaves: a small batch of leaf meshes at every leaf anchor, sized, varied,
// oriented and placed from the anchor alone (no random draws here).
#include <cmath>
#include <cstdint>
#include <cstdlib>

#include "core/crmath.h"
#include "mesh/leaf.h"
#include "mesh/output.h"
#include "mesh/tubes.h"

namespace sf {

namespace {

using l_typ = model_typ::l_typ;

constexpr int k_batch = 10;
constexpr double k_third = 0.3333333333333333;

// Atlas tile index from the integer part of 1000 × x; 0 when that is not an int.
int tile_index(double x) {
    const double t = 1000.0 * x;
    if (!(t > -2147483649.0 && t < 2147483648.0)) return 0;
    return static_cast<std::int32_t>(t) % 3;
}

// The map values of every leaf point: the same for all leaves of an anchor,
// since they depend on the shape's texture coordinates and the anchor alone.
struct point_maps {
    float uv[2];
    float tile[2];
    float wr, wt;
    float rt[2];
};

void fill_point_maps(point_maps maps[], const leaf_typ& leaf, float thick, float range) {
    const int a = std::abs(tile_index(leaf.twist));
    const int b = tile_index(leaf.range_position);
    const double ta = a * k_third, tb = b * k_third;
    for (int j = 0; j < leaf.point_count; ++j) {
        point_maps& m = maps[j];
        const float u = leaf.uv[j][0], v = leaf.uv[j][1];
        const float rv = range * v, tv = thick * v;
        m.wr = static_cast<float>(range + rv * 0.3);
        m.wt = static_cast<float>(thick + tv * 0.3);
        m.uv[0] = u;
        m.uv[1] = v;
        m.tile[0] = static_cast<float>(u * k_third + ta);
        m.tile[1] = static_cast<float>(v * k_third + tb);
        m.rt[0] = m.wr;
        m.rt[1] = m.wt;
    }
}

// One leaf of the shape at world points pts.
void emit_leaf(MeshEditOp* op, const leaf_typ& shape, const vec3_typ pts[], const point_maps maps[]) {
    LWPntID ids[12];
    for (int j = 0; j < shape.point_count; ++j) {
        ids[j] = op->addPoint(op->state, pts[j].data());
        const point_maps& m = maps[j];
        op->pntVMap(op->state, ids[j], LWVMAP_TXUV, k_map_leaf_uv, 2, m.uv);
        op->pntVMap(op->state, ids[j], LWVMAP_TXUV, k_map_leaf_atlas_uv, 2, m.tile);
        op->pntVMap(op->state, ids[j], LWVMAP_WGHT, k_map_range, 1, &m.wr);
        op->pntVMap(op->state, ids[j], LWVMAP_WGHT, k_map_thick, 1, &m.wt);
        op->pntVMap(op->state, ids[j], LWVMAP_TXUV, k_map_range_thick, 2, m.rt);
    }

    const int n = shape.quads ? 4 : 3;
    for (int p = 0; p < shape.polygon_count; ++p) {
        LWPntID corner_ids[4];
        for (int k = 0; k < n; ++k) corner_ids[k] = ids[shape.corners[p * n + k]];
        const LWPolID pol = op->addFace(op->state, k_surface_leaf, n, corner_ids);
        op->polTag(op->state, pol, LWPTAG_COLR, "Green");
    }
}

// The frames of an anchor's leaves, hanging by `hang` towards `sign`: off
// the tip, frame i is that of the leaves of i's parity (the even ones
// flipped where the growth says so); at the tip, frame 0 only.
void leaf_frames(const l_typ& anchor, double leaf_out, double hang, double sign, bool staggered, bool symmetrical,
                 int frame_count, frame_typ frames[2]) {
    const vec3_typ up(0, 1, 0);
    if (!anchor.at_tip) {
        const vec3_typ d = anchor.direction.normalized();
        const vec3_typ out = anchor.position.normalized() * leaf_out;
        for (int i = 0; i < frame_count; ++i) {
            frame_typ& f = frames[i];
            vec3_typ y = up;
            vec3_typ z = d.cross(y);
            const bool even = i % 2 == 0;
            const bool flip = (anchor.flip && staggered && even) || (symmetrical && even);
            if (flip) z = -z;
            y = (y * (1 - hang) + z * hang * sign).normalized();
            z = d.cross(y);
            if (flip) z = -z;
            z = (z + out).normalized();
            f.axis_x = y.cross(z);
            f.axis_y = y;
            f.axis_z = z;
        }
    } else {
        frame_typ& f = frames[0];
        vec3_typ y = up;
        const vec3_typ x = y.cross(anchor.direction.normalized());
        const vec3_typ z = y.cross(x);
        y = (y * (1 - hang) - z * hang * sign).normalized();
        f.axis_x = x;
        f.axis_y = y;
        f.axis_z = z;
    }

    frame_typ::compute_angles_of(frames, frame_count);
}

}  // namespace

void emit_leaves(const model_typ& model, MeshEditOp* op, const settings_typ& r) {
    // Shape 0 is "none"; an unknown shape builds leaves without points.
    if (r.leaf_shape < 1 || r.leaf_shape > 5) return;
    const int shape = r.leaf_shape - 1;
    const bool symmetrical = r.leaf_growth == 1;
    const bool staggered = r.leaf_growth == 0;
    const int per = symmetrical ? 2 : 1;
    const std::int64_t wanted = std::int64_t(per) * r.leaf_density;
    const int count = static_cast<int>(wanted < k_batch ? wanted : k_batch);
    const double density = static_cast<float>(r.leaf_density);

    // Working storage reused from anchor to anchor. Every leaf of an anchor
    // starts as the same shape; only its random turn and frame differ.
    leaf_typ leaf;
    vec3_typ pts[12];
    point_maps maps[12];
    frame_typ frames[2];
    double turn_arg[3 * k_batch], turn_q[k_batch], turn_s[3 * k_batch], turn_c[3 * k_batch];

    for (const l_typ* anchor = model.leaf_anchors; anchor; anchor = anchor->next) {
        const float thick = anchor->node->thick_weight;
        const float range = anchor->node->range_weight;
        // A node that was never written as a tube has no weights: no leaves.
        if (range == -10.0f && thick == -10.0f) continue;
        // A tip anchor shows leaf 0 only (nothing when the batch is empty).
        const int n = anchor->at_tip ? (count > 0 ? 1 : 0) : count;
        if (n == 0) continue;

        const double t = anchor->range_position;
        const double twist = anchor->twist;
        const double s = std::sqrt(t);
        double hang = r.leaf_hang * s + r.leaf_tip_hang * (1 - s);
        double sign = 1;
        if (hang < 0) {
            sign = -1;
            hang = -hang;
        }
        const double size = r.leaf_size * s + r.leaf_size_tip * (1 - s);

        leaf.build(shape, r.leaf_length * size, r.leaf_width * size);
        leaf.range_position = anchor->range_position;
        leaf.twist = twist;
        fill_point_maps(maps, leaf, thick, range);

        if (twist * r.leaf_growth_randomness != 0) {
            const double g = 1 + (twist * 2 - 1) * r.leaf_growth_randomness;
            for (int j = 0; j < leaf.point_count; ++j) leaf.points[j] = leaf.points[j] * g;
        }
        const bool turned = twist * r.leaf_randomness != 0;

        // Off the tip, a leaf's frame depends only on whether its index is
        // even: two frames serve the whole batch.
        const int frame_count = n < 2 ? n : 2;
        leaf_frames(*anchor, r.leaf_out, hang, sign, staggered, symmetrical, frame_count, frames);
        if (turned && n > 0) {
            // Every leaf's three turns, as sines and cosines of the whole
            // batch at once (the same bits as one at a time, faster).
            for (int i = 0; i < n; ++i) turn_arg[i] = twist * 6 + i * 1.7;
            sf::crm::sin_n(turn_arg, turn_q, n);
            for (int i = 0; i < n; ++i) {
                const double q = turn_q[i] * r.leaf_randomness;
                turn_arg[3 * i] = 0.3 * q, turn_arg[3 * i + 1] = 0.8 * q, turn_arg[3 * i + 2] = q;
            }
            sf::crm::sincos_n(turn_arg, turn_s, turn_c, 3 * n);
        }
        for (int i = 0; i < n; ++i) {
            for (int j = 0; j < leaf.point_count; ++j) pts[j] = leaf.points[j];
            if (turned) {
                const double* a = turn_arg + 3 * i;
                const turn_z_typ tz(a[0], turn_s[3 * i], turn_c[3 * i]);
                const turn_x_typ tx(a[1], turn_s[3 * i + 1], turn_c[3 * i + 1]);
                const turn_y_typ ty(turn_s[3 * i + 2], turn_c[3 * i + 2]);
                for (int j = 0; j < leaf.point_count; ++j) pts[j] = ty(tx(tz(pts[j])));
            }
            const int k = static_cast<int>(static_cast<float>(i) / static_cast<float>(per));
            vec3_typ position = anchor->position;
            if (k != 0) position = position + anchor->direction / density * k;
            frames[i % 2].to_world(pts, leaf.point_count, position);
            emit_leaf(op, leaf, pts, maps);
        }
    }
}

}  // namespace sf
