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
#include <vector>

#include "formats/errors.h"
#include "formats/memory_budget.h"

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

// One carried map and where its values sit in the refined rows.
struct carried_map {
    index_t map;
    int dim;
    int offset;  // first column (vertex maps), or 0 (own face-varying rows)
};

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

}  // namespace

mesh_layer copy_layer(const mesh_layer& in) {
    mesh_layer out;
    out.keep_history(in.keeps_history());
    for (index_t s = 0; s < in.strings().size(); ++s) out.strings().intern(in.strings().view(s));
    for (const vmap_desc& m : in.maps()) out.find_or_add_map(m.type, in.strings().view(m.name), m.dim);
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
                const value_record& r = in.point_values()[i];
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

mesh_layer subdivide_patches(const mesh_layer& in, int levels) {
    if (levels < 0 || levels > k_max_subdivision_levels)
        throw std::invalid_argument("subdivision levels must be 0 to " + std::to_string(k_max_subdivision_levels));
    const index_t np = in.point_count(), nf = in.polygon_count();

    // Cages: 'PTCH' polygons of at least three distinct points.
    std::vector<std::uint8_t> is_cage(nf, 0);
    std::vector<std::uint8_t> use(np, 0);  // bit 0: a cage, bit 1: another polygon
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
            is_cage[p] = cage;
            for (const index_t pt : pts)
                if (pt < np) use[pt] |= cage ? 1 : 2;
        }
    }
    std::size_t cage_count = 0, cage_corners = 0;
    for (index_t p = 0; p < nf; ++p)
        if (is_cage[p]) {
            ++cage_count;
            cage_corners += in.polygon_points(p).size();
        }
    if (levels == 0 || cage_count == 0) return copy_layer(in);
    if (cage_corners > std::size_t(0x7FFFFFFF)) throw machine_error("subdivision: too many cage corners");
    // OpenSubdiv's tables and the refined values, counted against the budget
    // before they are made: an n-gon gives n quads, each level four times
    // as many.
    const memory_budget::reservation working((cage_corners << (2 * (levels - 1))) * k_working_bytes_per_face);

    // Cage vertices in point order; the points other polygons use (or none
    // does) are kept.
    std::vector<index_t> cage_vertex(np, k_none), kept(np, k_none), vertex_point;
    index_t kept_count = 0;
    for (index_t pt = 0; pt < np; ++pt) {
        if (use[pt] & 1) {
            cage_vertex[pt] = static_cast<index_t>(vertex_point.size());
            vertex_point.push_back(pt);
        }
        if (use[pt] != 1) kept[pt] = kept_count++;
    }
    std::vector<std::uint8_t>().swap(use);
    const std::size_t nv = vertex_point.size();

    // Maps: face-varying where a cage has per-polygon values, else like
    // the positions where a cage point has a value.
    const std::span<const vmap_desc> maps = in.maps();
    const std::span<const value_record> vmad = in.polygon_point_values();
    std::vector<std::uint8_t> map_kind(maps.size(), 0);  // 1 vertex, 2 face-varying
    for (const value_record& r : vmad)
        if (r.map < maps.size() && r.polygon < nf && is_cage[r.polygon] && r.point < np) map_kind[r.map] = 2;
    for (index_t m = 0; m < maps.size(); ++m)
        if (map_kind[m] == 0 && in.has_point_values(m))
            for (const index_t pt : vertex_point)
                if (in.point_value(m, pt)) {
                    map_kind[m] = 1;
                    break;
                }
    std::vector<carried_map> vertex_maps, fvar_maps;
    int width = 3;
    for (index_t m = 0; m < maps.size(); ++m) {
        const int dim = static_cast<int>(maps[m].dim);
        if (dim < 1 || dim > int(k_max_map_dim)) continue;
        if (map_kind[m] == 1) {
            vertex_maps.push_back({m, dim, width});
            width += dim + 1;
        } else if (map_kind[m] == 2) {
            fvar_maps.push_back({m, dim, 0});
        }
    }
    // Coarse topology.
    std::vector<int> verts_per_face;
    std::vector<Far::Index> face_verts;
    verts_per_face.reserve(cage_count);
    face_verts.reserve(cage_corners);
    for (index_t p = 0; p < nf; ++p) {
        if (!is_cage[p]) continue;
        const std::span<const index_t> pts = in.polygon_points(p);
        verts_per_face.push_back(static_cast<int>(pts.size()));
        for (const index_t pt : pts) face_verts.push_back(static_cast<Far::Index>(cage_vertex[pt]));
    }

    // Level-0 rows: position, then per vertex map its values and coverage.
    std::vector<double> vdata(nv * std::size_t(width), 0.0);
    for (std::size_t v = 0; v < nv; ++v) {
        double* d = &vdata[v * std::size_t(width)];
        const double* xyz = in.point(vertex_point[v]);
        d[0] = xyz[0];
        d[1] = xyz[1];
        d[2] = xyz[2];
        for (const carried_map& c : vertex_maps) {
            const float* value = in.point_value(c.map, vertex_point[v]);
            if (!value) continue;
            for (int k = 0; k < c.dim; ++k) d[c.offset + k] = value[k];
            d[c.offset + c.dim] = 1.0;
        }
    }

    // Face-varying channels: each corner's value (the polygon's own value,
    // else the point's), one value per distinct value at a cage vertex.
    const std::size_t nc = fvar_maps.size();
    std::vector<std::vector<Far::Index>> fvar_index(nc);
    std::vector<std::vector<double>> fvar_data(nc);
    if (nc > 0) {
        std::vector<index_t> slot(maps.size(), k_none);
        for (std::size_t c = 0; c < nc; ++c) slot[fvar_maps[c].map] = static_cast<index_t>(c);
        // Per-polygon records of cages, grouped by polygon in record order.
        std::vector<index_t> start(std::size_t(nf) + 1, 0), order;
        auto usable = [&](const value_record& r) {
            return r.map < maps.size() && slot[r.map] != k_none && r.polygon < nf && is_cage[r.polygon] &&
                   r.point < np;
        };
        for (const value_record& r : vmad)
            if (usable(r)) ++start[r.polygon + 1];
        for (index_t p = 0; p < nf; ++p) start[p + 1] += start[p];
        order.resize(start[nf]);
        {
            std::vector<index_t> fill(start.begin(), start.end() - 1);
            for (std::size_t r = 0; r < vmad.size(); ++r)
                if (usable(vmad[r])) order[fill[vmad[r].polygon]++] = static_cast<index_t>(r);
        }
        std::vector<index_t> override_record(nc * std::size_t(np), k_none), stamp(nc * std::size_t(np), k_none);
        std::vector<index_t> head(nc * nv, k_none);  // per channel and vertex: first value
        std::vector<std::vector<index_t>> next(nc);   // per channel: next value of the same vertex
        std::vector<std::vector<std::uint64_t>> bits(nc);
        for (std::size_t c = 0; c < nc; ++c) fvar_index[c].reserve(cage_corners);

        for (index_t p = 0; p < nf; ++p) {
            if (!is_cage[p]) continue;
            for (index_t i = start[p]; i < start[p + 1]; ++i) {
                const value_record& r = vmad[order[i]];
                const std::size_t at = slot[r.map] * std::size_t(np) + r.point;
                override_record[at] = order[i];
                stamp[at] = p;
            }
            for (const index_t pt : in.polygon_points(p)) {
                const index_t v = cage_vertex[pt];
                for (std::size_t c = 0; c < nc; ++c) {
                    const int dim = fvar_maps[c].dim;
                    const std::size_t at = c * std::size_t(np) + pt;
                    const float* value =
                        stamp[at] == p ? vmad[override_record[at]].v : in.point_value(fvar_maps[c].map, pt);
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
                        for (int k = 0; k < dim; ++k) fvar_data[c].push_back(src[k]);
                        fvar_data[c].push_back(missing ? 0.0 : 1.0);
                    }
                    fvar_index[c].push_back(static_cast<Far::Index>(found));
                }
            }
        }
    }

    // Refinement.
    install_osd_callbacks();
    std::vector<Far::TopologyDescriptor::FVarChannel> channels(nc);
    for (std::size_t c = 0; c < nc; ++c) {
        channels[c].numValues = static_cast<int>(fvar_data[c].size() / std::size_t(fvar_maps[c].dim + 1));
        channels[c].valueIndices = fvar_index[c].data();
    }
    Far::TopologyDescriptor desc;
    desc.numVertices = static_cast<int>(nv);
    desc.numFaces = static_cast<int>(verts_per_face.size());
    desc.numVertsPerFace = verts_per_face.data();
    desc.vertIndicesPerFace = face_verts.data();
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
    std::vector<int>().swap(verts_per_face);
    std::vector<Far::Index>().swap(face_verts);
    for (auto& f : fvar_index) std::vector<Far::Index>().swap(f);
    Far::TopologyRefiner::UniformOptions uniform(levels);
    uniform.fullTopologyInLastLevel = false;
    refiner->RefineUniform(uniform);

    const Far::PrimvarRefinerReal<double> primvars(*refiner);
    {
        std::vector<double> finer;
        for (int l = 1; l <= levels; ++l) {
            finer.assign(std::size_t(refiner->GetLevel(l).GetNumVertices()) * std::size_t(width), 0.0);
            rows dst{finer.data(), width};
            primvars.Interpolate(l, rows{vdata.data(), width}, dst);
            vdata.swap(finer);
        }
        for (std::size_t c = 0; c < nc; ++c) {
            const int w = fvar_maps[c].dim + 1;
            for (int l = 1; l <= levels; ++l) {
                finer.assign(std::size_t(refiner->GetLevel(l).GetNumFVarValues(static_cast<int>(c))) * std::size_t(w),
                             0.0);
                rows dst{finer.data(), w};
                primvars.InterpolateFaceVarying(l, rows{fvar_data[c].data(), w}, dst, static_cast<int>(c));
                fvar_data[c].swap(finer);
            }
        }
    }
    const Far::TopologyLevel& last = refiner->GetLevel(levels);
    const index_t refined_points = static_cast<index_t>(last.GetNumVertices());
    const int refined_faces = last.GetNumFaces();
    {
        // Each cage's faces follow each other, cages in order: an n-gon
        // gives n quads, each further level four times as many.
        std::size_t expected = 0;
        for (index_t p = 0; p < nf; ++p)
            if (is_cage[p]) expected += in.polygon_points(p).size() << (2 * (levels - 1));
        if (expected != std::size_t(refined_faces)) throw machine_error("subdivision: unexpected face count");
    }
    if (std::size_t(kept_count) + refined_points > k_max_index)
        throw machine_error("subdivision: too many points");

    // The new layer: kept points, refined points, their values, polygons
    // in order with cages replaced, tags, per-polygon values.
    mesh_layer out;
    out.keep_history(in.keeps_history());
    for (index_t s = 0; s < in.strings().size(); ++s) out.strings().intern(in.strings().view(s));
    for (const vmap_desc& m : maps) out.find_or_add_map(m.type, in.strings().view(m.name), m.dim);
    for (index_t pt = 0; pt < np; ++pt)
        if (kept[pt] != k_none) {
            const double* xyz = in.point(pt);
            out.add_point(xyz[0], xyz[1], xyz[2]);
        }
    for (index_t v = 0; v < refined_points; ++v) {
        const double* d = &vdata[std::size_t(v) * std::size_t(width)];
        out.add_point(d[0], d[1], d[2]);
    }
    copy_point_values(in, out, kept);

    // Face-varying maps: a point takes the value of its first corner that
    // has one; corners that differ get per-polygon values below.
    std::vector<index_t> chosen(nc * std::size_t(refined_points), k_none);
    for (int f = 0; f < refined_faces; ++f) {
        const Far::ConstIndexArray fv = last.GetFaceVertices(f);
        for (std::size_t c = 0; c < nc; ++c) {
            const Far::ConstIndexArray values = last.GetFaceFVarValues(f, static_cast<int>(c));
            const int w = fvar_maps[c].dim + 1;
            for (int k = 0; k < fv.size(); ++k) {
                index_t& ch = chosen[c * refined_points + index_t(fv[k])];
                if (ch == k_none && fvar_data[c][std::size_t(values[k]) * w + w - 1] > k_covered)
                    ch = static_cast<index_t>(values[k]);
            }
        }
    }
    float value[k_max_map_dim] = {};
    for (index_t v = 0; v < refined_points; ++v) {
        const double* d = &vdata[std::size_t(v) * std::size_t(width)];
        for (const carried_map& c : vertex_maps) {
            if (!(d[c.offset + c.dim] > k_covered)) continue;
            for (int k = 0; k < c.dim; ++k) value[k] = static_cast<float>(d[c.offset + k]);
            out.add_value(kept_count + v, k_none, c.map, value);
        }
        for (std::size_t c = 0; c < nc; ++c) {
            const index_t ch = chosen[c * refined_points + v];
            if (ch == k_none) continue;
            const int w = fvar_maps[c].dim + 1;
            for (int k = 0; k < fvar_maps[c].dim; ++k) value[k] = static_cast<float>(fvar_data[c][std::size_t(ch) * w + k]);
            out.add_value(kept_count + v, k_none, fvar_maps[c].map, value);
        }
    }
    std::vector<double>().swap(vdata);

    std::vector<index_t> first(std::size_t(nf) + 1, 0);  // new polygons of each old one
    {
        std::vector<index_t> pts;
        int f = 0;
        for (index_t p = 0; p < nf; ++p) {
            first[p] = out.polygon_count();
            const index_t surface = in.polygon_surface(p);
            if (is_cage[p]) {
                const std::size_t children = in.polygon_points(p).size() << (2 * (levels - 1));
                for (std::size_t i = 0; i < children; ++i, ++f) {
                    const Far::ConstIndexArray fv = last.GetFaceVertices(f);
                    pts.resize(std::size_t(fv.size()));
                    for (int k = 0; k < fv.size(); ++k) pts[k] = kept_count + index_t(fv[k]);
                    out.add_polygon(LWPOLTYPE_FACE, surface, pts);
                }
                continue;
            }
            const std::span<const index_t> old = in.polygon_points(p);
            pts.resize(old.size());
            for (std::size_t k = 0; k < old.size(); ++k) pts[k] = old[k] < np ? kept[old[k]] : old[k];
            const LWID type = in.polygon_type(p) == LWPOLTYPE_PTCH ? LWPOLTYPE_FACE : in.polygon_type(p);
            out.add_polygon(type, surface, pts);
        }
        first[nf] = out.polygon_count();
    }
    for (const tag_record& t : in.tags()) {
        if (t.polygon >= nf) continue;
        for (index_t q = first[t.polygon]; q < first[t.polygon + 1]; ++q) out.add_tag(q, t.type, t.text);
    }
    for (const value_record& r : vmad) {
        if (r.polygon >= nf || is_cage[r.polygon] || r.point >= np || kept[r.point] == k_none) continue;
        out.add_value(kept[r.point], first[r.polygon], r.map, r.v);
    }
    if (nc > 0) {
        std::vector<index_t> face_polygon(static_cast<std::size_t>(refined_faces));
        {
            int f = 0;
            for (index_t p = 0; p < nf; ++p)
                if (is_cage[p])
                    for (index_t q = first[p]; q < first[p + 1]; ++q) face_polygon[std::size_t(f++)] = q;
        }
        for (int f = 0; f < refined_faces; ++f) {
            const Far::ConstIndexArray fv = last.GetFaceVertices(f);
            for (std::size_t c = 0; c < nc; ++c) {
                const Far::ConstIndexArray values = last.GetFaceFVarValues(f, static_cast<int>(c));
                const int dim = fvar_maps[c].dim, w = dim + 1;
                for (int k = 0; k < fv.size(); ++k) {
                    const index_t ch = chosen[c * refined_points + index_t(fv[k])];
                    const double* d = &fvar_data[c][std::size_t(values[k]) * w];
                    if (ch == k_none || index_t(values[k]) == ch || !(d[dim] > k_covered)) continue;
                    float mine[k_max_map_dim] = {}, theirs[k_max_map_dim] = {};
                    for (int i = 0; i < dim; ++i) {
                        mine[i] = static_cast<float>(d[i]);
                        theirs[i] = static_cast<float>(fvar_data[c][std::size_t(ch) * w + i]);
                    }
                    if (value_bits(mine, dim) == value_bits(theirs, dim)) continue;
                    out.add_value(kept_count + index_t(fv[k]), face_polygon[std::size_t(f)], fvar_maps[c].map, mine);
                }
            }
        }
    }
    return out;
}

}  // namespace sf::formats
