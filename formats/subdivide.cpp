#include "formats/subdivide.h"

#include <opensubdiv/far/error.h>
#include <opensubdiv/far/primvarRefiner.h>
#include <opensubdiv/far/topologyDescriptor.h>
#include <opensubdiv/far/topologyRefinerFactory.h>

#include <bit>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <vector>

#include "formats/errors.h"
#include "formats/materials.h"
#include "formats/memory_budget.h"
#include "formats/subdivide_stages.h"

namespace sf::formats {

namespace {

namespace Far = OpenSubdiv::Far;
namespace Sdc = OpenSubdiv::Sdc;

// OpenSubdiv reports through global callbacks that print by default; keep
// its messages instead, for the exception text.
thread_local std::string t_osd_message;

void keep_osd_error(Far::ErrorType, const char* message) {
    if (t_osd_message.empty()) t_osd_message = message ? message : "";
}
void ignore_osd_warning(const char*) {}

// Working memory of refinement per refined face, beside the new layer:
// OpenSubdiv's topology of every level and the interpolated rows (measured
// about 300 bytes on trees of a million refined faces).
constexpr std::size_t k_working_bytes_per_face = 320;

void install_osd_callbacks() {
    static std::once_flag once;
    std::call_once(once, [] {
        Far::SetErrorCallback(keep_osd_error);
        Far::SetWarningCallback(ignore_osd_warning);
    });
}

// A row of `n` doubles in a flat buffer: the primvar type OpenSubdiv
// interpolates (positions, map values and their coverage).
struct row {
    double* p;
    int n;
    void Clear() const {
        for (int i = 0; i < n; ++i) p[i] = 0.0;
    }
    void AddWithWeight(const row& s, double w) const {
        for (int i = 0; i < n; ++i) p[i] += w * s.p[i];
    }
};

struct rows {
    double* base;
    int n;
    row operator[](int i) const { return {base + std::size_t(i) * std::size_t(n), n}; }
};

// A refined value exists where every cage value it is made from existed:
// the interpolated coverage (1 per existing value, weights summing to 1)
// is then 1 up to rounding.
constexpr double k_covered = 0.999999;

using subdivision::carried_map;
static_assert(std::is_same_v<Far::Index, int>, "the stages keep OpenSubdiv's indices as int");

std::uint64_t value_bits(const float* v, int dim) {
    std::uint64_t k = std::bit_cast<std::uint32_t>(v[0]);
    if (dim > 1) k |= std::uint64_t(std::bit_cast<std::uint32_t>(v[1])) << 32;
    return k;
}

}  // namespace

namespace {

// Per-point values of every map, point by point (the history keeps no order
// of its own then).
void copy_point_values(const mesh_layer& in, mesh_layer& out, std::span<const index_t> new_index) {
    for (index_t pt = 0; pt < new_index.size(); ++pt) {
        if (new_index[pt] == k_none) continue;
        for (index_t m = 0; m < in.maps().size(); ++m)
            if (const float* v = in.has_point_values(m) ? in.point_value(m, pt) : nullptr)
                out.add_value(new_index[pt], k_none, m, v);
    }
}

// A layer with no points yet: the same history setting, strings and maps.
mesh_layer empty_layer_like(const mesh_layer& in) {
    mesh_layer out;
    out.keep_history(in.keeps_history());
    for (index_t s = 0; s < in.strings().size(); ++s) out.strings().intern(in.strings().view(s));
    for (const vmap_desc& m : in.maps()) out.find_or_add_map(m.type, in.strings().view(m.name), m.dim);
    return out;
}

}  // namespace

mesh_layer copy_layer(const mesh_layer& in) {
    mesh_layer out = empty_layer_like(in);
    if (!in.keeps_history()) {
        std::vector<index_t> same(in.point_count());
        for (index_t pt = 0; pt < in.point_count(); ++pt) {
            const double* p = in.point(pt);
            same[pt] = out.add_point(p[0], p[1], p[2]);
        }
        for (index_t p = 0; p < in.polygon_count(); ++p)
            out.add_polygon(in.polygon_type(p), in.polygon_surface(p), in.polygon_points(p));
        for (const tag_record& t : in.tags()) out.add_tag(t.polygon, t.type, t.text);
        copy_point_values(in, out, same);
        for (const value_record& r : in.polygon_point_values()) out.add_value(r.point, r.polygon, r.map, r.v);
        return out;
    }
    std::size_t next[5] = {};
    const point_value_history calls = in.point_values();
    for (const edit_kind k : in.journal()) {
        std::size_t& i = next[static_cast<int>(k)];
        switch (k) {
            case edit_kind::point: {
                const double* p = in.point(static_cast<index_t>(i));
                out.add_point(p[0], p[1], p[2]);
                break;
            }
            case edit_kind::polygon: {
                const auto p = static_cast<index_t>(i);
                out.add_polygon(in.polygon_type(p), in.polygon_surface(p), in.polygon_points(p));
                break;
            }
            case edit_kind::tag: {
                const tag_record& t = in.tags()[i];
                out.add_tag(t.polygon, t.type, t.text);
                break;
            }
            case edit_kind::vmap: {
                const value_record r = calls[i];
                out.add_value(r.point, r.polygon, r.map, r.v);
                break;
            }
            case edit_kind::vmad: {
                const value_record& r = in.polygon_point_values()[i];
                out.add_value(r.point, r.polygon, r.map, r.v);
                break;
            }
        }
        ++i;
    }
    return out;
}

mesh_layer tubes_as_cages(const mesh_layer& in, bool twigs) {
    mesh_layer out = empty_layer_like(in);
    out.keep_history(false);
    std::vector<index_t> same(in.point_count());
    for (index_t pt = 0; pt < in.point_count(); ++pt) {
        const double* p = in.point(pt);
        same[pt] = out.add_point(p[0], p[1], p[2]);
    }
    std::vector<std::uint8_t> tube(in.strings().size(), 0);
    for (index_t s = 0; s < in.strings().size(); ++s) {
        const surface_look look = look_of(in.strings().view(s));
        tube[s] = look == surface_look::bark || (twigs && look == surface_look::twig);
    }
    for (index_t p = 0; p < in.polygon_count(); ++p) {
        const index_t s = in.polygon_surface(p);
        const bool cage = in.polygon_type(p) == LWPOLTYPE_FACE && in.polygon_points(p).size() >= 3 &&
                          s < tube.size() && tube[s];
        out.add_polygon(cage ? LWPOLTYPE_PTCH : in.polygon_type(p), s, in.polygon_points(p));
    }
    for (const tag_record& t : in.tags()) out.add_tag(t.polygon, t.type, t.text);
    copy_point_values(in, out, same);
    for (const value_record& r : in.polygon_point_values()) out.add_value(r.point, r.polygon, r.map, r.v);
    return out;
}

namespace subdivision {

cage_plan find_cages(const mesh_layer& in) {
    cage_plan plan;
    const index_t np = in.point_count(), nf = in.polygon_count();
    plan.np = np;
    plan.nf = nf;
    plan.is_cage.assign(nf, 0);
    plan.use.assign(np, 0);
    {
        std::vector<index_t> stamp(np, k_none);
        for (index_t p = 0; p < nf; ++p) {
            const std::span<const index_t> pts = in.polygon_points(p);
            bool cage = in.polygon_type(p) == LWPOLTYPE_PTCH && pts.size() >= 3;
            for (const index_t pt : pts) {
                if (pt >= np) {
                    cage = false;
                    break;
                }
                if (stamp[pt] == p) cage = false;
                stamp[pt] = p;
            }
            plan.is_cage[p] = cage;
            for (const index_t pt : pts)
                if (pt < np) plan.use[pt] |= cage ? 1 : 2;
        }
    }
    for (index_t p = 0; p < nf; ++p)
        if (plan.is_cage[p]) {
            ++plan.cage_count;
            plan.cage_corners += in.polygon_points(p).size();
        }
    return plan;
}

void plan_cages(const mesh_layer& in, cage_plan& plan) {
    const index_t np = plan.np, nf = plan.nf;
    // Cage vertices in point order; the points other polygons use (or none
    // does) are kept.
    plan.cage_vertex.assign(np, k_none);
    plan.kept.assign(np, k_none);
    for (index_t pt = 0; pt < np; ++pt) {
        if (plan.use[pt] & 1) {
            plan.cage_vertex[pt] = static_cast<index_t>(plan.vertex_point.size());
            plan.vertex_point.push_back(pt);
        }
        if (plan.use[pt] != 1) plan.kept[pt] = plan.kept_count++;
    }
    std::vector<std::uint8_t>().swap(plan.use);

    // Maps: face-varying where a cage has per-polygon values, else like
    // the positions where a cage point has a value.
    const std::span<const vmap_desc> maps = in.maps();
    std::vector<std::uint8_t> map_kind(maps.size(), 0);  // 1 vertex, 2 face-varying
    for (const value_record& r : in.polygon_point_values())
        if (r.map < maps.size() && r.polygon < nf && plan.is_cage[r.polygon] && r.point < np) map_kind[r.map] = 2;
    for (index_t m = 0; m < maps.size(); ++m)
        if (map_kind[m] == 0 && in.has_point_values(m))
            for (const index_t pt : plan.vertex_point)
                if (in.point_value(m, pt)) {
                    map_kind[m] = 1;
                    break;
                }
    for (index_t m = 0; m < maps.size(); ++m) {
        const int dim = static_cast<int>(maps[m].dim);
        if (dim < 1 || dim > int(k_max_map_dim)) continue;
        if (map_kind[m] == 1) {
            plan.vertex_maps.push_back({m, dim, plan.width});
            plan.width += dim + 1;
        } else if (map_kind[m] == 2) {
            plan.fvar_maps.push_back({m, dim, 0});
        }
    }
}

namespace {

// Coarse topology: the cages' corners as cage vertices.
void gather_topology(const mesh_layer& in, const cage_plan& plan, coarse_cages& coarse) {
    coarse.verts_per_face.reserve(plan.cage_count);
    coarse.face_verts.reserve(plan.cage_corners);
    for (index_t p = 0; p < plan.nf; ++p) {
        if (!plan.is_cage[p]) continue;
        const std::span<const index_t> pts = in.polygon_points(p);
        coarse.verts_per_face.push_back(static_cast<int>(pts.size()));
        for (const index_t pt : pts) coarse.face_verts.push_back(static_cast<Far::Index>(plan.cage_vertex[pt]));
    }
}

// Level-0 rows: position, then per vertex map its values and coverage.
void gather_vertex_rows(const mesh_layer& in, const cage_plan& plan, coarse_cages& coarse) {
    const std::size_t nv = plan.vertex_point.size();
    const int width = plan.width;
    coarse.vdata.assign(nv * std::size_t(width), 0.0);
    for (std::size_t v = 0; v < nv; ++v) {
        double* d = &coarse.vdata[v * std::size_t(width)];
        const double* xyz = in.point(plan.vertex_point[v]);
        d[0] = xyz[0];
        d[1] = xyz[1];
        d[2] = xyz[2];
        for (const carried_map& c : plan.vertex_maps) {
            const float* value = in.point_value(c.map, plan.vertex_point[v]);
            if (!value) continue;
            for (int k = 0; k < c.dim; ++k) d[c.offset + k] = value[k];
            d[c.offset + c.dim] = 1.0;
        }
    }
}

// Per-polygon records of cages in face-varying maps, grouped by polygon in
// record order: polygon p's records are order[start[p]..start[p + 1]).
struct cage_records {
    std::vector<index_t> slot;  // per map: its channel, or k_none
    std::vector<index_t> start, order;
};

cage_records group_cage_records(const mesh_layer& in, const cage_plan& plan) {
    const std::span<const vmap_desc> maps = in.maps();
    const std::span<const value_record> vmad = in.polygon_point_values();
    const index_t np = plan.np, nf = plan.nf;
    cage_records g;
    g.slot.assign(maps.size(), k_none);
    for (std::size_t c = 0; c < plan.fvar_maps.size(); ++c) g.slot[plan.fvar_maps[c].map] = static_cast<index_t>(c);
    g.start.assign(std::size_t(nf) + 1, 0);
    auto usable = [&](const value_record& r) {
        return r.map < maps.size() && g.slot[r.map] != k_none && r.polygon < nf && plan.is_cage[r.polygon] &&
               r.point < np;
    };
    for (const value_record& r : vmad)
        if (usable(r)) ++g.start[r.polygon + 1];
    for (index_t p = 0; p < nf; ++p) g.start[p + 1] += g.start[p];
    g.order.resize(g.start[nf]);
    {
        std::vector<index_t> fill(g.start.begin(), g.start.end() - 1);
        for (std::size_t r = 0; r < vmad.size(); ++r)
            if (usable(vmad[r])) g.order[fill[vmad[r].polygon]++] = static_cast<index_t>(r);
    }
    return g;
}

// Face-varying channels: each corner's value (the polygon's own value,
// else the point's), one value per distinct value at a cage vertex.
void gather_fvar_channels(const mesh_layer& in, const cage_plan& plan, coarse_cages& coarse) {
    const std::size_t nc = plan.fvar_maps.size();
    coarse.fvar_index.resize(nc);
    coarse.fvar_data.resize(nc);
    if (nc == 0) return;
    const std::span<const value_record> vmad = in.polygon_point_values();
    const index_t np = plan.np, nf = plan.nf;
    const std::size_t nv = plan.vertex_point.size();
    const cage_records g = group_cage_records(in, plan);
    std::vector<index_t> override_record(nc * std::size_t(np), k_none), stamp(nc * std::size_t(np), k_none);
    std::vector<index_t> head(nc * nv, k_none);  // per channel and vertex: first value
    std::vector<std::vector<index_t>> next(nc);   // per channel: next value of the same vertex
    std::vector<std::vector<std::uint64_t>> bits(nc);
    for (std::size_t c = 0; c < nc; ++c) coarse.fvar_index[c].reserve(plan.cage_corners);

    for (index_t p = 0; p < nf; ++p) {
        if (!plan.is_cage[p]) continue;
        for (index_t i = g.start[p]; i < g.start[p + 1]; ++i) {
            const value_record& r = vmad[g.order[i]];
            const std::size_t at = g.slot[r.map] * std::size_t(np) + r.point;
            override_record[at] = g.order[i];
            stamp[at] = p;
        }
        for (const index_t pt : in.polygon_points(p)) {
            const index_t v = plan.cage_vertex[pt];
            for (std::size_t c = 0; c < nc; ++c) {
                const int dim = plan.fvar_maps[c].dim;
                const std::size_t at = c * std::size_t(np) + pt;
                const float* value =
                    stamp[at] == p ? vmad[override_record[at]].v : in.point_value(plan.fvar_maps[c].map, pt);
                const float none[k_max_map_dim] = {};
                // Missing values get their own key: above any float bits.
                const std::uint64_t key = value ? value_bits(value, dim) : ~std::uint64_t(0);
                const bool missing = value == nullptr;
                index_t found = head[c * nv + v];
                while (found != k_none && bits[c][found] != key) found = next[c][found];
                if (found == k_none) {
                    found = static_cast<index_t>(bits[c].size());
                    bits[c].push_back(key);
                    next[c].push_back(head[c * nv + v]);
                    head[c * nv + v] = found;
                    const float* src = missing ? none : value;
                    for (int k = 0; k < dim; ++k) coarse.fvar_data[c].push_back(src[k]);
                    coarse.fvar_data[c].push_back(missing ? 0.0 : 1.0);
                }
                coarse.fvar_index[c].push_back(static_cast<Far::Index>(found));
            }
        }
    }
}

}  // namespace

coarse_cages gather_cages(const mesh_layer& in, const cage_plan& plan) {
    coarse_cages coarse;
    gather_topology(in, plan, coarse);
    gather_vertex_rows(in, plan, coarse);
    gather_fvar_channels(in, plan, coarse);
    return coarse;
}

struct refiner_box {
    std::unique_ptr<Far::TopologyRefiner> refiner;
};

void refiner_box_free::operator()(refiner_box* box) const noexcept { delete box; }

namespace {

// OpenSubdiv's refiner of the coarse cages, before any refinement.
std::unique_ptr<Far::TopologyRefiner> make_refiner(const cage_plan& plan, coarse_cages& coarse) {
    const std::size_t nc = plan.fvar_maps.size();
    install_osd_callbacks();
    std::vector<Far::TopologyDescriptor::FVarChannel> channels(nc);
    for (std::size_t c = 0; c < nc; ++c) {
        channels[c].numValues =
            static_cast<int>(coarse.fvar_data[c].size() / std::size_t(plan.fvar_maps[c].dim + 1));
        channels[c].valueIndices = coarse.fvar_index[c].data();
    }
    Far::TopologyDescriptor desc;
    desc.numVertices = static_cast<int>(plan.vertex_point.size());
    desc.numFaces = static_cast<int>(coarse.verts_per_face.size());
    desc.numVertsPerFace = coarse.verts_per_face.data();
    desc.vertIndicesPerFace = coarse.face_verts.data();
    desc.numFVarChannels = static_cast<int>(nc);
    desc.fvarChannels = channels.data();
    Sdc::Options options;
    options.SetVtxBoundaryInterpolation(Sdc::Options::VTX_BOUNDARY_EDGE_AND_CORNER);
    options.SetFVarLinearInterpolation(Sdc::Options::FVAR_LINEAR_BOUNDARIES);
    using factory = Far::TopologyRefinerFactory<Far::TopologyDescriptor>;
    t_osd_message.clear();
    std::unique_ptr<Far::TopologyRefiner> refiner(
        factory::Create(desc, factory::Options(Sdc::SCHEME_CATMARK, options)));
    if (!refiner) throw machine_error("subdivision failed: " + t_osd_message);
    return refiner;
}

// Interpolates the vertex rows, then each face-varying channel, level by level.
void interpolate_rows(const Far::TopologyRefiner& refiner, const cage_plan& plan, int levels,
                      std::vector<double>& vdata, std::vector<std::vector<double>>& fvar_data) {
    const int width = plan.width;
    const Far::PrimvarRefinerReal<double> primvars(refiner);
    std::vector<double> finer;
    for (int l = 1; l <= levels; ++l) {
        finer.assign(std::size_t(refiner.GetLevel(l).GetNumVertices()) * std::size_t(width), 0.0);
        rows dst{finer.data(), width};
        primvars.Interpolate(l, rows{vdata.data(), width}, dst);
        vdata.swap(finer);
    }
    for (std::size_t c = 0; c < plan.fvar_maps.size(); ++c) {
        const int w = plan.fvar_maps[c].dim + 1;
        for (int l = 1; l <= levels; ++l) {
            finer.assign(std::size_t(refiner.GetLevel(l).GetNumFVarValues(static_cast<int>(c))) * std::size_t(w),
                         0.0);
            rows dst{finer.data(), w};
            primvars.InterpolateFaceVarying(l, rows{fvar_data[c].data(), w}, dst, static_cast<int>(c));
            fvar_data[c].swap(finer);
        }
    }
}

const Far::TopologyLevel& last_level(const refined_cages& refined) {
    return refined.refiner->refiner->GetLevel(refined.levels);
}

}  // namespace

refined_cages refine_cages(const mesh_layer& in, const cage_plan& plan, coarse_cages& coarse, int levels) {
    refined_cages refined;
    refined.levels = levels;
    refined.refiner.reset(new refiner_box{make_refiner(plan, coarse)});
    Far::TopologyRefiner& refiner = *refined.refiner->refiner;
    std::vector<int>().swap(coarse.verts_per_face);
    std::vector<Far::Index>().swap(coarse.face_verts);
    for (auto& f : coarse.fvar_index) std::vector<Far::Index>().swap(f);
    Far::TopologyRefiner::UniformOptions uniform(levels);
    uniform.fullTopologyInLastLevel = false;
    refiner.RefineUniform(uniform);

    refined.vdata.swap(coarse.vdata);
    refined.fvar_data.swap(coarse.fvar_data);
    interpolate_rows(refiner, plan, levels, refined.vdata, refined.fvar_data);
    const Far::TopologyLevel& last = refiner.GetLevel(levels);
    refined.refined_points = static_cast<index_t>(last.GetNumVertices());
    refined.refined_faces = last.GetNumFaces();
    {
        // Each cage's faces follow each other, cages in order: an n-gon
        // gives n quads, each further level four times as many.
        std::size_t expected = 0;
        for (index_t p = 0; p < plan.nf; ++p)
            if (plan.is_cage[p]) expected += in.polygon_points(p).size() << (2 * (levels - 1));
        if (expected != std::size_t(refined.refined_faces))
            throw machine_error("subdivision: unexpected face count");
    }
    if (std::size_t(plan.kept_count) + refined.refined_points > k_max_index)
        throw machine_error("subdivision: too many points");
    return refined;
}

namespace {

// Kept points, refined points, then the kept points' own values.
void add_points(const mesh_layer& in, const cage_plan& plan, const refined_cages& refined, mesh_layer& out) {
    for (index_t pt = 0; pt < plan.np; ++pt)
        if (plan.kept[pt] != k_none) {
            const double* xyz = in.point(pt);
            out.add_point(xyz[0], xyz[1], xyz[2]);
        }
    for (index_t v = 0; v < refined.refined_points; ++v) {
        const double* d = &refined.vdata[std::size_t(v) * std::size_t(plan.width)];
        out.add_point(d[0], d[1], d[2]);
    }
    copy_point_values(in, out, plan.kept);
}

// Face-varying maps: a point takes the value of its first corner that has
// one (per channel and refined point, k_none where none has).
std::vector<index_t> choose_point_values(const cage_plan& plan, const refined_cages& refined) {
    const std::size_t nc = plan.fvar_maps.size();
    const index_t refined_points = refined.refined_points;
    const Far::TopologyLevel& last = last_level(refined);
    std::vector<index_t> chosen(nc * std::size_t(refined_points), k_none);
    for (int f = 0; f < refined.refined_faces; ++f) {
        const Far::ConstIndexArray fv = last.GetFaceVertices(f);
        for (std::size_t c = 0; c < nc; ++c) {
            const Far::ConstIndexArray values = last.GetFaceFVarValues(f, static_cast<int>(c));
            const int w = plan.fvar_maps[c].dim + 1;
            for (int k = 0; k < fv.size(); ++k) {
                index_t& ch = chosen[c * refined_points + index_t(fv[k])];
                if (ch == k_none && refined.fvar_data[c][std::size_t(values[k]) * w + w - 1] > k_covered)
                    ch = static_cast<index_t>(values[k]);
            }
        }
    }
    return chosen;
}

// Per-point values of the refined points: vertex maps where covered, then
// the chosen face-varying values.
void add_refined_point_values(const cage_plan& plan, const refined_cages& refined,
                              const std::vector<index_t>& chosen, mesh_layer& out) {
    const std::size_t nc = plan.fvar_maps.size();
    const index_t refined_points = refined.refined_points;
    float value[k_max_map_dim] = {};
    for (index_t v = 0; v < refined_points; ++v) {
        const double* d = &refined.vdata[std::size_t(v) * std::size_t(plan.width)];
        for (const carried_map& c : plan.vertex_maps) {
            if (!(d[c.offset + c.dim] > k_covered)) continue;
            for (int k = 0; k < c.dim; ++k) value[k] = static_cast<float>(d[c.offset + k]);
            out.add_value(plan.kept_count + v, k_none, c.map, value);
        }
        for (std::size_t c = 0; c < nc; ++c) {
            const index_t ch = chosen[c * refined_points + v];
            if (ch == k_none) continue;
            const int w = plan.fvar_maps[c].dim + 1;
            for (int k = 0; k < plan.fvar_maps[c].dim; ++k)
                value[k] = static_cast<float>(refined.fvar_data[c][std::size_t(ch) * w + k]);
            out.add_value(plan.kept_count + v, k_none, plan.fvar_maps[c].map, value);
        }
    }
}

// Polygons in order, each cage replaced by its refined faces ('FACE'),
// other polygons with their points renumbered. Answers the first new
// polygon of each old one (and the count at [nf]).
std::vector<index_t> add_polygons(const mesh_layer& in, const cage_plan& plan, const refined_cages& refined,
                                  mesh_layer& out) {
    const index_t np = plan.np, nf = plan.nf;
    const int levels = refined.levels;
    const Far::TopologyLevel& last = last_level(refined);
    std::vector<index_t> first(std::size_t(nf) + 1, 0);
    std::vector<index_t> pts;
    int f = 0;
    for (index_t p = 0; p < nf; ++p) {
        first[p] = out.polygon_count();
        const index_t surface = in.polygon_surface(p);
        if (plan.is_cage[p]) {
            const std::size_t children = in.polygon_points(p).size() << (2 * (levels - 1));
            for (std::size_t i = 0; i < children; ++i, ++f) {
                const Far::ConstIndexArray fv = last.GetFaceVertices(f);
                pts.resize(std::size_t(fv.size()));
                for (int k = 0; k < fv.size(); ++k) pts[k] = plan.kept_count + index_t(fv[k]);
                out.add_polygon(LWPOLTYPE_FACE, surface, pts);
            }
            continue;
        }
        const std::span<const index_t> old = in.polygon_points(p);
        pts.resize(old.size());
        for (std::size_t k = 0; k < old.size(); ++k) pts[k] = old[k] < np ? plan.kept[old[k]] : old[k];
        const LWID type = in.polygon_type(p) == LWPOLTYPE_PTCH ? LWPOLTYPE_FACE : in.polygon_type(p);
        out.add_polygon(type, surface, pts);
    }
    first[nf] = out.polygon_count();
    return first;
}

// Per-polygon values of refined corners whose face-varying value differs
// from the one their point took.
void add_corner_values(const cage_plan& plan, const refined_cages& refined, const std::vector<index_t>& chosen,
                       const std::vector<index_t>& first, mesh_layer& out) {
    const std::size_t nc = plan.fvar_maps.size();
    const index_t refined_points = refined.refined_points;
    const int refined_faces = refined.refined_faces;
    const Far::TopologyLevel& last = last_level(refined);
    std::vector<index_t> face_polygon(static_cast<std::size_t>(refined_faces));
    {
        int f = 0;
        for (index_t p = 0; p < plan.nf; ++p)
            if (plan.is_cage[p])
                for (index_t q = first[p]; q < first[p + 1]; ++q) face_polygon[std::size_t(f++)] = q;
    }
    for (int f = 0; f < refined_faces; ++f) {
        const Far::ConstIndexArray fv = last.GetFaceVertices(f);
        for (std::size_t c = 0; c < nc; ++c) {
            const Far::ConstIndexArray values = last.GetFaceFVarValues(f, static_cast<int>(c));
            const std::vector<double>& data = refined.fvar_data[c];
            const int dim = plan.fvar_maps[c].dim, w = dim + 1;
            for (int k = 0; k < fv.size(); ++k) {
                const index_t ch = chosen[c * refined_points + index_t(fv[k])];
                const double* d = &data[std::size_t(values[k]) * w];
                if (ch == k_none || index_t(values[k]) == ch || !(d[dim] > k_covered)) continue;
                float mine[k_max_map_dim] = {}, theirs[k_max_map_dim] = {};
                for (int i = 0; i < dim; ++i) {
                    mine[i] = static_cast<float>(d[i]);
                    theirs[i] = static_cast<float>(data[std::size_t(ch) * w + i]);
                }
                if (value_bits(mine, dim) == value_bits(theirs, dim)) continue;
                out.add_value(plan.kept_count + index_t(fv[k]), face_polygon[std::size_t(f)], plan.fvar_maps[c].map,
                              mine);
            }
        }
    }
}

}  // namespace

mesh_layer assemble_layer(const mesh_layer& in, const cage_plan& plan, refined_cages& refined) {
    mesh_layer out = empty_layer_like(in);
    add_points(in, plan, refined, out);
    const std::vector<index_t> chosen = choose_point_values(plan, refined);
    add_refined_point_values(plan, refined, chosen, out);
    std::vector<double>().swap(refined.vdata);
    const std::vector<index_t> first = add_polygons(in, plan, refined, out);
    for (const tag_record& t : in.tags()) {
        if (t.polygon >= plan.nf) continue;
        for (index_t q = first[t.polygon]; q < first[t.polygon + 1]; ++q) out.add_tag(q, t.type, t.text);
    }
    for (const value_record& r : in.polygon_point_values()) {
        if (r.polygon >= plan.nf || plan.is_cage[r.polygon] || r.point >= plan.np || plan.kept[r.point] == k_none)
            continue;
        out.add_value(plan.kept[r.point], first[r.polygon], r.map, r.v);
    }
    if (!plan.fvar_maps.empty()) add_corner_values(plan, refined, chosen, first, out);
    return out;
}

}  // namespace subdivision

mesh_layer subdivide_patches(const mesh_layer& in, int levels) {
    using namespace subdivision;
    if (levels < 0 || levels > k_max_subdivision_levels)
        throw std::invalid_argument("subdivision levels must be 0 to " + std::to_string(k_max_subdivision_levels));
    cage_plan plan = find_cages(in);
    if (levels == 0 || plan.cage_count == 0) return copy_layer(in);
    if (plan.cage_corners > std::size_t(0x7FFFFFFF)) throw machine_error("subdivision: too many cage corners");
    // OpenSubdiv's tables and the refined values, counted against the budget
    // before they are made: an n-gon gives n quads, each level four times
    // as many.
    const memory_budget::reservation working((plan.cage_corners << (2 * (levels - 1))) * k_working_bytes_per_face);
    plan_cages(in, plan);
    coarse_cages coarse = gather_cages(in, plan);
    refined_cages refined = refine_cages(in, plan, coarse, levels);
    return assemble_layer(in, plan, refined);
}

}  // namespace sf::formats
