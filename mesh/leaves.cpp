// Leaves: a small batch of leaf meshes at every leaf anchor, sized, varied,
// oriented and placed from the anchor alone (no random draws here).
#include <cmath>
#include <cstdint>
#include <cstdlib>

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

void emit_leaf(MeshEditOp* op, const leaf_typ& leaf, float thick, float range) {
    // A node that was never written as a tube has no weights: no leaf.
    if (range == -10.0f && thick == -10.0f) return;
    const int a = std::abs(tile_index(leaf.twist));
    const int b = tile_index(leaf.range_position);
    const double ta = a * k_third, tb = b * k_third;

    LWPntID ids[12];
    for (int j = 0; j < leaf.point_count; ++j) {
        ids[j] = op->addPoint(op->state, leaf.points[j].data());
        const float u = leaf.uv[j][0], v = leaf.uv[j][1];
        const float rv = range * v, tv = thick * v;
        const float wr = static_cast<float>(range + rv * 0.3);
        const float wt = static_cast<float>(thick + tv * 0.3);
        const float uv[2] = {u, v};
        const float tile[2] = {static_cast<float>(u * k_third + ta),
                               static_cast<float>(v * k_third + tb)};
        const float rt[2] = {wr, wt};
        op->pntVMap(op->state, ids[j], LWVMAP_TXUV, k_map_leaf_uv, 2, uv);
        op->pntVMap(op->state, ids[j], LWVMAP_TXUV, k_map_leaf_atlas_uv, 2, tile);
        op->pntVMap(op->state, ids[j], LWVMAP_WGHT, k_map_range, 1, &wr);
        op->pntVMap(op->state, ids[j], LWVMAP_WGHT, k_map_thick, 1, &wt);
        op->pntVMap(op->state, ids[j], LWVMAP_TXUV, k_map_range_thick, 2, rt);
    }

    const int n = leaf.quads ? 4 : 3;
    for (int p = 0; p < leaf.polygon_count; ++p) {
        LWPntID corner_ids[4];
        for (int k = 0; k < n; ++k) corner_ids[k] = ids[leaf.corners[p * n + k]];
        const LWPolID pol = op->addFace(op->state, k_surface_leaf, n, corner_ids);
        op->polTag(op->state, pol, LWPTAG_COLR, "Green");
    }
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
    const vec3_typ up(0, 1, 0);

    // Working storage reused from anchor to anchor; only the leaves an anchor
    // builds are read for it.
    leaf_typ leaves[k_batch];
    frame_typ frames[k_batch];

    for (const l_typ* anchor = model.leaf_anchors; anchor; anchor = anchor->next) {
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

        // A tip anchor shows leaf 0 only (nothing when the batch is empty).
        const int n = anchor->at_tip ? (count > 0 ? 1 : 0) : count;
        for (int i = 0; i < n; ++i) {
            leaf_typ& leaf = leaves[i];
            leaf.build(shape, r.leaf_length * size, r.leaf_width * size);
            leaf.range_position = anchor->range_position;
            leaf.twist = twist;
        }

        if (twist * r.leaf_growth_randomness != 0) {
            const double g = 1 + (twist * 2 - 1) * r.leaf_growth_randomness;
            for (int i = 0; i < n; ++i)
                for (int j = 0; j < leaves[i].point_count; ++j)
                    leaves[i].points[j] = leaves[i].points[j] * g;
        }

        if (twist * r.leaf_randomness != 0) {
            for (int i = 0; i < n; ++i) {
                const double q = std::sin(twist * 6 + i * 1.7) * r.leaf_randomness;
                for (int j = 0; j < leaves[i].point_count; ++j) {
                    vec3_typ& p = leaves[i].points[j];
                    p = p.rot_z(0.3 * q).rot_x(0.8 * q).rot_y(q);
                }
            }
        }

        if (!anchor->at_tip) {
            const vec3_typ d = anchor->direction.normalized();
            const vec3_typ out = anchor->position.normalized() * r.leaf_out;
            for (int i = 0; i < n; ++i) {
                frame_typ& f = frames[i];
                vec3_typ y = up;
                vec3_typ z = d.cross(y);
                const bool even = i % 2 == 0;
                const bool flip = (anchor->flip && staggered && even) || (symmetrical && even);
                if (flip) z = -z;
                y = (y * (1 - hang) + z * hang * sign).normalized();
                z = d.cross(y);
                if (flip) z = -z;
                z = (z + out).normalized();
                f.axis_x = y.cross(z);
                f.axis_y = y;
                f.axis_z = z;
            }
        } else if (n > 0) {
            frame_typ& f = frames[0];
            vec3_typ y = up;
            const vec3_typ x = y.cross(anchor->direction.normalized());
            const vec3_typ z = y.cross(x);
            y = (y * (1 - hang) - z * hang * sign).normalized();
            f.axis_x = x;
            f.axis_y = y;
            f.axis_z = z;
        }

        const float thick = anchor->node->thick_weight;
        const float range = anchor->node->range_weight;
        for (int i = 0; i < n; ++i) {
            frame_typ& f = frames[i];
            f.compute_angles();
            const int k = static_cast<int>(static_cast<float>(i) / static_cast<float>(per));
            vec3_typ position = anchor->position;
            if (k != 0) position = position + anchor->direction / density * k;
            leaf_typ& leaf = leaves[i];
            f.to_world(leaf.points, leaf.point_count, position);
            emit_leaf(op, leaf, thick, range);
        }
    }
}

}  // namespace sf
