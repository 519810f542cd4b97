#include "app/standin_host.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

namespace sf::app {

using formats::k_none;
using formats::mesh_layer;

namespace {

bool printable_code(LWID id) {
    for (int s = 0; s < 32; s += 8) {
        const unsigned c = (id >> s) & 0xFF;
        if (c < 0x20 || c > 0x7E) return false;
    }
    return true;
}

// Expected vertex-map dimension: fixed for weights and UVs, 1..4 otherwise.
bool valid_dim(LWID type, int dim) {
    if (type == LWVMAP_WGHT) return dim == 1;
    if (type == LWVMAP_TXUV) return dim == 2;
    return dim >= 1 && dim <= 4;
}

std::uintptr_t encode(int layer, index_t index) {
    return ((std::uintptr_t(index) + 1) << 1) | (layer == OPLYR_BG ? 1u : 0u);
}

}  // namespace

mesh_layer* standin_host::layer(int which) {
    if (which == OPLYR_FG) return &fg_;
    if (which == OPLYR_BG) return &bg_;
    return nullptr;
}

LWPntID standin_host::point_id(int layer, index_t index) {
    return reinterpret_cast<LWPntID>(encode(layer, index));
}

LWPolID standin_host::polygon_id(int layer, index_t index) {
    return reinterpret_cast<LWPolID>(encode(layer, index));
}

namespace {

bool decode(std::uintptr_t v, index_t count_fg, index_t count_bg, int* layer, index_t* index) {
    if (v < 2) return false;
    const int l = (v & 1) ? OPLYR_BG : OPLYR_FG;
    const std::uintptr_t i = (v >> 1) - 1;
    if (i >= (l == OPLYR_BG ? count_bg : count_fg)) return false;
    *layer = l;
    *index = static_cast<index_t>(i);
    return true;
}

}  // namespace

bool standin_host::find_point(LWPntID id, int* layer, index_t* index) const {
    return decode(reinterpret_cast<std::uintptr_t>(id), fg_.point_count(), bg_.point_count(), layer, index);
}

bool standin_host::find_polygon(LWPolID id, int* layer, index_t* index) const {
    return decode(reinterpret_cast<std::uintptr_t>(id), fg_.polygon_count(), bg_.polygon_count(), layer,
                  index);
}

bool standin_host::newell_normal(const mesh_layer& layer, index_t polygon, double n[3]) {
    const std::span<const index_t> pts = layer.polygon_points(polygon);
    const std::size_t count = pts.size();
    double nx = 0.0, ny = 0.0, nz = 0.0;
    for (std::size_t i = 0; i < count; ++i) {
        const double* a = layer.point(pts[i]);
        const double* b = layer.point(pts[(i + 1) % count]);
        nx += (a[1] - b[1]) * (a[2] + b[2]);
        ny += (a[2] - b[2]) * (a[0] + b[0]);
        nz += (a[0] - b[0]) * (a[1] + b[1]);
    }
    const double len = std::sqrt((nx * nx + ny * ny) + nz * nz);
    if (len != 0.0) {
        n[0] = nx / len;
        n[1] = ny / len;
        n[2] = nz / len;
    } else {
        n[0] = n[1] = n[2] = 0.0;
    }
    return !(n[0] == 0.0 && n[1] == 0.0 && n[2] == 0.0);
}

// The C entry points. None lets an exception out: a refused or failed call
// answers 0 / null.
struct standin_ops {
    static standin_host* host(EDStateRef s) { return reinterpret_cast<standin_host*>(s); }

    static int poly_count(EDStateRef s, int layer, int mode) {
        const mesh_layer* l = host(s)->layer(layer);
        if (!l || mode != EDCOUNT_ALL) return 0;  // nothing is ever selected or deleted
        return static_cast<int>(std::min<index_t>(l->polygon_count(), INT32_MAX));
    }

    static int poly_scan(EDStateRef s, EDPolyScanFunc* fn, void* data, int layer) {
        standin_host* h = host(s);
        const mesh_layer* l = h->layer(layer);
        if (!l || !fn) return 0;
        try {
            // Own buffer per scan, so a callback may scan again.
            std::vector<LWPntID> ids;
            const index_t count = l->polygon_count();
            for (index_t p = 0; p < count; ++p) {
                const std::span<const index_t> pts = l->polygon_points(p);
                ids.resize(pts.size());
                for (std::size_t k = 0; k < pts.size(); ++k) ids[k] = standin_host::point_id(layer, pts[k]);
                const index_t surf = l->polygon_surface(p);
                const EDPolygonInfo info{standin_host::polygon_id(layer, p),
                                         layer,
                                         l->polygon_type(p),
                                         static_cast<int>(pts.size()),
                                         ids.data(),
                                         surf == k_none ? nullptr : l->strings().c_str(surf)};
                if (const int r = fn(data, &info); r != 0) return r;
            }
        } catch (...) {
            // A scan cut short changes what the tool builds: the result is
            // marked incomplete.
            h->fg_.fail(std::current_exception());
            return 0;
        }
        return 0;
    }

    static EDPointInfo* point_info(EDStateRef s, LWPntID id) {
        standin_host* h = host(s);
        int layer = 0;
        index_t i = 0;
        if (!h->find_point(id, &layer, &i)) return nullptr;
        const double* p = h->layer(layer)->point(i);
        h->point_info_ = {id, layer, {p[0], p[1], p[2]}};
        return &h->point_info_;
    }

    static int poly_normal(EDStateRef s, LWPolID id, double n[3]) {
        standin_host* h = host(s);
        int layer = 0;
        index_t i = 0;
        if (!h->find_polygon(id, &layer, &i)) {
            if (n) n[0] = n[1] = n[2] = 0.0;
            return 0;
        }
        double v[3];
        const bool ok = standin_host::newell_normal(*h->layer(layer), i, v);
        if (n) std::memcpy(n, v, sizeof v);
        return ok ? 1 : 0;
    }

    // Once the foreground missed an edit (over the budget, out of memory)
    // every later one is refused at once; the host reports it after the build.
    static bool failed(standin_host* h) { return h->fg_.failure() != nullptr; }
    static void keep_failure(standin_host* h) { h->fg_.fail(std::current_exception()); }

    static LWPntID add_point(EDStateRef s, const double* xyz) {
        if (!xyz || failed(host(s))) return nullptr;
        try {
            const index_t i = host(s)->fg_.add_point(xyz[0], xyz[1], xyz[2]);
            return standin_host::point_id(OPLYR_FG, i);
        } catch (...) {
            keep_failure(host(s));
            return nullptr;
        }
    }

    static LWPolID add_poly(EDStateRef s, LWID type, LWPolID, const char* surface, int n,
                            const LWPntID* points) {
        standin_host* h = host(s);
        if (n < 1 || !points || !printable_code(type) || failed(h)) return nullptr;
        try {
            std::vector<index_t>& idx = h->poly_scratch_;
            idx.resize(static_cast<std::size_t>(n));
            for (int k = 0; k < n; ++k) {
                int layer = 0;
                if (!h->find_point(points[k], &layer, &idx[std::size_t(k)]) || layer != OPLYR_FG) return nullptr;
            }
            mesh_layer& fg = h->fg_;
            // No surface and an empty name both mean the host's current one.
            const index_t surf = surface && *surface ? fg.strings().intern(surface) : k_none;
            return standin_host::polygon_id(OPLYR_FG, fg.add_polygon(type, surf, idx));
        } catch (...) {
            keep_failure(h);
            return nullptr;
        }
    }

    static LWPolID add_face(EDStateRef s, const char* surface, int n, const LWPntID* points) {
        return add_poly(s, LWPOLTYPE_FACE, nullptr, surface, n, points);
    }

    static int pol_tag(EDStateRef s, LWPolID pol, LWID type, const char* text) {
        standin_host* h = host(s);
        int layer = 0;
        index_t p = 0;
        if (!text || !printable_code(type) || failed(h) || !h->find_polygon(pol, &layer, &p) || layer != OPLYR_FG)
            return 0;
        try {
            h->fg_.add_tag(p, type, h->fg_.strings().intern(text));
            return 1;
        } catch (...) {
            keep_failure(h);
            return 0;
        }
    }

    static int add_value(EDStateRef s, LWPntID pnt, LWPolID pol, bool per_poly, LWID type, const char* name,
                         int dim, const float* values) {
        standin_host* h = host(s);
        int layer = 0;
        index_t point = 0;
        index_t poly = k_none;
        if (!name || !*name || !values || !printable_code(type) || !valid_dim(type, dim) || failed(h)) return 0;
        if (!h->find_point(pnt, &layer, &point) || layer != OPLYR_FG) return 0;
        if (per_poly && (!h->find_polygon(pol, &layer, &poly) || layer != OPLYR_FG)) return 0;
        try {
            mesh_layer& fg = h->fg_;
            const index_t map = fg.find_or_add_map(type, name, static_cast<std::uint32_t>(dim));
            if (map == k_none) return 0;  // the map exists with another dimension
            fg.add_value(point, poly, map, values);
            return 1;
        } catch (...) {
            keep_failure(h);
            return 0;
        }
    }

    static int pnt_vmap(EDStateRef s, LWPntID pnt, LWID type, const char* name, int dim, const float* v) {
        return add_value(s, pnt, nullptr, false, type, name, dim, v);
    }

    static int pnt_vpmap(EDStateRef s, LWPntID pnt, LWPolID pol, LWID type, const char* name, int dim,
                         const float* v) {
        return add_value(s, pnt, pol, true, type, name, dim, v);
    }
};

MeshEditOp standin_host::edit_op() {
    MeshEditOp op{};
    op.state = reinterpret_cast<EDStateRef>(this);
    op.polyCount = standin_ops::poly_count;
    op.polyScan = standin_ops::poly_scan;
    op.pointInfo = standin_ops::point_info;
    op.polyNormal = standin_ops::poly_normal;
    op.addPoint = standin_ops::add_point;
    op.addFace = standin_ops::add_face;
    op.addPoly = standin_ops::add_poly;
    op.polTag = standin_ops::pol_tag;
    op.pntVMap = standin_ops::pnt_vmap;
    op.pntVPMap = standin_ops::pnt_vpmap;
    return op;
}

}  // namespace sf::app
