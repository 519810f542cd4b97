#include "formats/obj_writer.h"

#include "formats/normals.h"

#include <bit>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <unordered_map>
#include <vector>

#include "formats/bark_uv.h"
#include "formats/cluster_cards.h"
#include "formats/materials.h"

namespace sf::formats {

namespace {

using material_kind = surface_look;

struct material {
    std::string name;  // as written after "usemtl"
    material_kind kind;
    bool cards = false;  // cluster cards (formats/cluster_cards.h)
};

// A name OBJ and MTL read as one field.
std::string material_name(std::string_view surface) {
    std::string s(surface);
    for (char& c : s) {
        const auto b = static_cast<unsigned char>(c);
        if (b <= ' ' || b == 0x7F || c == '#') c = '_';
    }
    return s;
}

constexpr index_t k_unset = k_max_index;  // no material looked up yet

// The materials of a layer's written polygons, in the order of their first
// polygon; polygons without a surface (or with an empty name) have none.
class material_table {
public:
    explicit material_table(const mesh_layer& layer, std::string_view prefix = {})
        : layer_(layer), by_string_(layer.strings().size(), k_unset) {
        std::unordered_map<std::string, index_t> ids;
        for (index_t p = 0; p < layer.polygon_count(); ++p) {
            const index_t s = layer.polygon_surface(p);
            if (s == k_none || by_string_[s] != k_unset || layer.polygon_points(p).empty()) continue;
            const std::string_view surface = layer.strings().view(s);
            if (surface.empty()) {
                by_string_[s] = k_none;
                continue;
            }
            std::string name = material_name(std::string(prefix) + std::string(surface));
            const auto [it, added] = ids.emplace(name, static_cast<index_t>(list_.size()));
            if (added) list_.push_back({std::move(name), look_of(surface), surface == k_surface_leaf_cards});
            by_string_[s] = it->second;
        }
    }

    // k_none for none; only for polygons with points.
    index_t of_polygon(index_t p) const {
        const index_t s = layer_.polygon_surface(p);
        return s == k_none ? k_none : by_string_[s];
    }
    const std::vector<material>& list() const { return list_; }

private:
    const mesh_layer& layer_;
    std::vector<index_t> by_string_;  // string-pool index -> material
    std::vector<material> list_;
};

// Texture coordinates by their float bits, numbered in order of addition.
// The table holds numbers and a few bits of each key's hash (the keys are
// kept once, in order), and a small cache of recent keys in front of it
// answers most repeats: the corners of neighbouring faces share points.
class uv_index {
public:
    uv_index() : slots_(std::size_t(1) << 10, slot{k_none, 0}), shift_(64 - 10), recent_(k_recent, recent{0, k_none}) {}

    // The keys by number; the index is empty afterwards.
    std::vector<std::uint64_t> take_keys() {
        slots_ = {};
        return std::move(keys_);
    }
    // The coordinate's number.
    index_t find_or_add(std::uint64_t key) {
        recent& r = recent_[mix(key) >> (64 - k_recent_bits)];
        if (r.value != k_none && r.key == key) return r.value;
        if ((keys_.size() + 1) * 2 > slots_.size()) grow();
        const std::uint64_t h = mix(key);
        const auto tag = static_cast<std::uint32_t>(h);
        std::size_t i = static_cast<std::size_t>(h >> shift_);
        const std::size_t mask = slots_.size() - 1;
        while (slots_[i].value != k_none) {
            if (slots_[i].tag == tag && keys_[slots_[i].value] == key) {
                r = {key, slots_[i].value};
                return slots_[i].value;
            }
            i = (i + 1) & mask;
        }
        slots_[i] = {static_cast<index_t>(keys_.size()), tag};
        keys_.push_back(key);
        r = {key, slots_[i].value};
        return slots_[i].value;
    }

private:
    struct slot {
        index_t value;  // k_none: empty
        std::uint32_t tag;  // low bits of the key's hash
    };
    struct recent {
        std::uint64_t key;
        index_t value;  // k_none: empty
    };
    static constexpr unsigned k_recent_bits = 14;
    static constexpr std::size_t k_recent = std::size_t(1) << k_recent_bits;

    static std::uint64_t mix(std::uint64_t key) {
        key ^= key >> 29;
        return key * 0x9E3779B97F4A7C15ull;
    }
    void grow() {
        slots_.assign(slots_.size() * 2, slot{k_none, 0});
        --shift_;
        const std::size_t mask = slots_.size() - 1;
        for (std::size_t v = 0; v < keys_.size(); ++v) {
            const std::uint64_t h = mix(keys_[v]);
            std::size_t i = static_cast<std::size_t>(h >> shift_);
            while (slots_[i].value != k_none) i = (i + 1) & mask;
            slots_[i] = {static_cast<index_t>(v), static_cast<std::uint32_t>(h)};
        }
    }

    std::vector<slot> slots_;
    unsigned shift_;
    std::vector<std::uint64_t> keys_;  // by number
    std::vector<recent> recent_;
};

// The texture coordinate of every face corner, found in time linear in the
// points, polygons and map values: the latest per-point value of each of
// the two maps is indexed by point once, and the per-polygon values by
// polygon once.
class corner_uvs {
public:
    corner_uvs(const mesh_layer& layer, bool leaf_atlas) : layer_(layer) {
        // One set only: the tubes' world-scaled bark coordinates win over
        // "SF_branch" when the layer has them.
        const bool world = has_bark_uv(layer);
        const char* names[3] = {world ? k_map_bark_uv : k_map_branch_uv,
                                leaf_atlas ? k_map_leaf_atlas_uv : k_map_leaf_uv, k_map_cards_uv};
        const index_t points = layer.point_count();
        for (int k = 0; k < 3; ++k) {
            const index_t m = layer.find_map(LWVMAP_TXUV, names[k]);
            if (m != k_none && layer.maps()[m].dim >= 2) map_[k] = m;
        }
        if (!any()) return;

        // Per-polygon values grouped by polygon, keeping their order (a
        // counting sort), so the latest one for a corner is applied last.
        const std::span<const value_record> vmad = layer.polygon_point_values();
        const index_t polygons = layer.polygon_count();
        auto usable = [&](const value_record& v) {
            return slot_of(v.map) >= 0 && v.point < points && v.polygon < polygons;
        };
        std::size_t used = 0;
        for (const value_record& v : vmad) used += usable(v);
        if (used == 0) return;
        group_values_by_polygon(layer_, usable, used, vmad_start_, vmad_by_polygon_);
    }

    bool any() const { return map_[0] != k_none || map_[1] != k_none || map_[2] != k_none; }

    // Fills uv (2 floats per corner) for face p of the given material;
    // false when its kind has no map or a corner has no finite value.
    bool find(index_t p, const material& m, std::vector<float>& uv) {
        const material_kind kind = m.kind;
        const int k = m.cards                                                     ? 2
                      : kind == material_kind::bark || kind == material_kind::twig ? 0
                      : kind == material_kind::leaf                               ? 1
                                                                                  : -1;
        if (k < 0 || map_[k] == k_none) return false;
        // The polygon's own values, latest first, before the points' values.
        const std::span<const value_record> vmad = layer_.polygon_point_values();
        const index_t first = vmad_start_.empty() ? 0 : vmad_start_[p];
        const index_t last = vmad_start_.empty() ? 0 : vmad_start_[p + 1];
        const std::span<const index_t> pts = layer_.polygon_points(p);
        uv.resize(pts.size() * 2);
        for (std::size_t c = 0; c < pts.size(); ++c) {
            const index_t pt = pts[c];
            const float* v = nullptr;
            for (index_t i = last; i > first && !v; --i) {
                const value_record& r = vmad[vmad_by_polygon_[i - 1]];
                if (r.map == map_[k] && r.point == pt) v = r.v;
            }
            if (!v) v = layer_.point_value(map_[k], pt);
            if (!v) return false;
            if (!std::isfinite(v[0]) || !std::isfinite(v[1])) return false;
            uv[2 * c] = v[0];
            uv[2 * c + 1] = v[1];
        }
        return true;
    }

private:
    int slot_of(index_t map) const {
        return map == k_none ? -1 : map == map_[0] ? 0 : map == map_[1] ? 1 : map == map_[2] ? 2 : -1;
    }

    const mesh_layer& layer_;
    index_t map_[3] = {k_none, k_none, k_none};  // "SF_branch", the leaves' map, the cards
    std::vector<index_t> vmad_start_;      // per polygon: first entry in vmad_by_polygon_
    std::vector<index_t> vmad_by_polygon_;  // per-polygon record numbers
};

// Lines formatted together on one core: a few MiB of text.
constexpr std::size_t k_lines_per_chunk = 1 << 16;

// Each point's "vn" number in the group being written: the group's normals
// are numbered in order of first use of their points, after those of the
// groups before.
class normal_numbers {
public:
    explicit normal_numbers(const mesh_layer& layer) : layer_(layer), of_(layer.point_count(), k_none) {}

    // Groups are numbered in order; the points of each in order of first use.
    void start_group(std::size_t g) {
        base_.push_back(written_);
        current_ = g;
    }
    index_t base() const { return static_cast<index_t>(base_.back()); }
    // Numbers pt in the current group unless it has its number already.
    bool number(index_t pt) {
        if (of_[pt] != k_none && of_[pt] >= base_.back()) return false;
        shared_ |= of_[pt] != k_none;
        of_[pt] = static_cast<index_t>(written_++);
        return true;
    }
    // Makes of() answer for group g, numbering its points again when a later
    // group took some of them over.
    void select(std::size_t g, std::span<const index_t> polygons) {
        if (g == current_ || (!shared_ && g < base_.size())) return;
        // [base, next) marks points numbered in this pass: the numbers of
        // earlier groups lie below base, those of later ones beyond g's.
        const index_t base = static_cast<index_t>(base_[g]);
        index_t next = base;
        for (const index_t p : polygons) {
            const std::span<const index_t> pts = layer_.polygon_points(p);
            if (pts.size() < 3) continue;
            for (const index_t pt : pts)
                if (of_[pt] == k_none || of_[pt] < base || of_[pt] >= next) of_[pt] = next++;
        }
        current_ = g;
    }
    index_t of(index_t pt) const { return of_[pt]; }

private:
    const mesh_layer& layer_;
    std::vector<index_t> of_;          // per point
    std::vector<std::size_t> base_;    // per group: number of its first normal
    std::size_t written_ = 0;
    std::size_t current_ = 0;          // the group of()'s numbers are those of
    bool shared_ = false;              // a point is in more than one group
};

// Per point, the area-weighted normal of a group's faces around it, summed
// and normalised exactly as the glTF writer does (float positions, Newell
// normals summed in float in polygon order), so both files shade alike;
// (0, 1, 0) where the normals cancel.
class smooth_normals {
public:
    explicit smooth_normals(const mesh_layer& layer) : layer_(layer) {}

    // The normals of the group's points in order of first use, as
    // numbers.number() tells (true the first time); answers their count.
    std::size_t compute(std::span<const index_t> polygons, normal_numbers& numbers) {
        sum_.clear();
        const index_t base = numbers.base();
        for (const index_t p : polygons) {
            const std::span<const index_t> pts = layer_.polygon_points(p);
            if (pts.size() < 3) continue;
            double nx = 0, ny = 0, nz = 0;
            for (std::size_t i = 0; i < pts.size(); ++i) {
                float a[3], b[3];
                position(pts[i], a);
                position(pts[i + 1 == pts.size() ? 0 : i + 1], b);
                add_newell_term(a, b, nx, ny, nz);
            }
            for (const index_t pt : pts) {
                if (numbers.number(pt)) sum_.insert(sum_.end(), 3, 0.0f);
                float* acc = &sum_[std::size_t(numbers.of(pt) - base) * 3];
                acc[0] += static_cast<float>(nx);
                acc[1] += static_cast<float>(ny);
                acc[2] += static_cast<float>(nz);
            }
        }
        for (std::size_t i = 0; i < sum_.size(); i += 3) normalise_or_up(&sum_[i]);
        return sum_.size() / 3;
    }
    // The i-th normal of the group.
    const float* at(std::size_t i) const { return &sum_[i * 3]; }

private:
    void position(index_t pt, float (&out)[3]) const {
        const double* p = layer_.point(pt);
        for (int k = 0; k < 3; ++k) {
            const float f = static_cast<float>(p[k]);
            out[k] = std::isfinite(f) ? f : 0.0f;
        }
    }

    const mesh_layer& layer_;
    std::vector<float> sum_;  // 3 per point of the group, in order of first use
};

}  // namespace

namespace {

// Corner k of polygon p is entry corner_offset(p) + k of a per-corner array.
struct corners {
    explicit corners(const mesh_layer& layer) : layer_(layer) {
        const index_t n = layer.polygon_count();
        first_ = n > 0 ? layer.polygon_points(0).data() : nullptr;
        count_ = n > 0 ? offset(n - 1) + layer.polygon_points(n - 1).size() : 0;
    }
    std::size_t offset(index_t p) const { return static_cast<std::size_t>(layer_.polygon_points(p).data() - first_); }
    std::size_t count() const { return count_; }

private:
    const mesh_layer& layer_;
    const index_t* first_;
    std::size_t count_;
};

void write_positions(const mesh_layer& layer, text_buffer& out) {
    const std::span<const double> xyz = layer.point_coordinates();
    out.put_in_parallel(layer.point_count(), k_lines_per_chunk, [&](std::size_t begin, std::size_t end, text_buffer& o) {
        for (std::size_t i = begin * 3; i < end * 3; i += 3) {
            o.put("v ");
            o.put_double(xyz[i]);
            o.put(' ');
            o.put_double(xyz[i + 1]);
            o.put(' ');
            o.put_double(xyz[i + 2]);
            o.put('\n');
        }
    });
}

// Texture coordinates of every face corner, numbered in order of first use:
// each corner's number (k_none: the face has none; empty when no face has
// coordinates) and the coordinates by number.
struct corner_numbers {
    std::vector<index_t> corner_vt;
    std::vector<std::uint64_t> keys;  // the float bits of u and v
};

corner_numbers number_texture_coordinates(const mesh_layer& layer, const material_table& materials,
                                          const corners& at, bool leaf_atlas) {
    corner_numbers n;
    corner_uvs uvs(layer, leaf_atlas);
    if (!uvs.any()) return n;
    n.corner_vt.assign(at.count(), k_none);
    uv_index seen;
    std::vector<float> uv;
    for (index_t p = 0; p < layer.polygon_count(); ++p) {
        const std::span<const index_t> pts = layer.polygon_points(p);
        if (pts.size() < 3) continue;
        const index_t m = materials.of_polygon(p);
        if (m == k_none || !uvs.find(p, materials.list()[m], uv)) continue;
        index_t* vt = n.corner_vt.data() + at.offset(p);
        for (std::size_t c = 0; c < pts.size(); ++c)
            vt[c] = seen.find_or_add(std::uint64_t(std::bit_cast<std::uint32_t>(uv[2 * c])) << 32 |
                                     std::bit_cast<std::uint32_t>(uv[2 * c + 1]));
    }
    n.keys = seen.take_keys();
    return n;
}

void write_texture_coordinates(const std::vector<std::uint64_t>& keys, text_buffer& out) {
    out.put_in_parallel(keys.size(), k_lines_per_chunk, [&](std::size_t begin, std::size_t end, text_buffer& o) {
        for (std::size_t i = begin; i < end; ++i) {
            o.put("vt ");
            o.put_float(std::bit_cast<float>(static_cast<std::uint32_t>(keys[i] >> 32)));
            o.put(' ');
            o.put_float(std::bit_cast<float>(static_cast<std::uint32_t>(keys[i])));
            o.put('\n');
        }
    });
}

// Polygons grouped by material, those without one first (group 0), creation
// order kept within a group (a counting sort).
class material_groups {
public:
    material_groups(const mesh_layer& layer, const material_table& materials)
        : start_(materials.list().size() + 2, 0) {
        const std::size_t groups = materials.list().size() + 1;
        auto group_of = [&](index_t p) {
            const index_t m = materials.of_polygon(p);
            return m == k_none ? std::size_t(0) : std::size_t(m) + 1;
        };
        const index_t n = layer.polygon_count();
        for (index_t p = 0; p < n; ++p)
            if (!layer.polygon_points(p).empty()) ++start_[group_of(p) + 1];
        for (std::size_t g = 0; g < groups; ++g) start_[g + 1] += start_[g];
        order_.resize(start_.back());
        std::vector<index_t> fill(start_.begin(), start_.end() - 1);
        for (index_t p = 0; p < n; ++p)
            if (!layer.polygon_points(p).empty()) order_[fill[group_of(p)]++] = p;
    }
    std::size_t size() const { return start_.size() - 1; }
    std::span<const index_t> operator[](std::size_t g) const {
        return {order_.data() + start_[g], start_[g + 1] - start_[g]};
    }

private:
    std::vector<index_t> start_;
    std::vector<index_t> order_;
};

void put_element(text_buffer& out, std::span<const index_t> pts, const index_t* vt, const normal_numbers* vn) {
    out.put(pts.size() == 1 ? "p" : pts.size() == 2 ? "l" : "f");
    for (std::size_t c = 0; c < pts.size(); ++c) {
        out.put(' ');
        out.put_uint(std::uint64_t(pts[c]) + 1);
        if (vt || vn) out.put('/');
        if (vt) out.put_uint(std::uint64_t(vt[c]) + 1);
        if (vn) {
            out.put('/');
            out.put_uint(std::uint64_t(vn->of(pts[c])) + 1);
        }
    }
    out.put('\n');
}

// Smooth normals per group: one "vn" per point of its faces, numbered in
// order of first use.
void write_normals(const mesh_layer& layer, const material_groups& groups, normal_numbers& numbers,
                   text_buffer& out) {
    smooth_normals normals(layer);
    for (std::size_t g = 0; g < groups.size(); ++g) {
        numbers.start_group(g);
        const std::size_t count = normals.compute(groups[g], numbers);
        out.put_in_parallel(count, k_lines_per_chunk, [&](std::size_t begin, std::size_t end, text_buffer& o) {
            for (std::size_t i = begin; i < end; ++i) {
                const float* v = normals.at(i);
                o.put("vn ");
                o.put_float(v[0]);
                o.put(' ');
                o.put_float(v[1]);
                o.put(' ');
                o.put_float(v[2]);
                o.put('\n');
            }
        });
    }
}

void write_faces(const mesh_layer& layer, const material_table& materials, const material_groups& groups,
                 const corners& at, const std::vector<index_t>& corner_vt, normal_numbers& vn_of,
                 text_buffer& out) {
    for (std::size_t g = 0; g < groups.size(); ++g) {
        const std::span<const index_t> faces = groups[g];
        if (faces.empty()) continue;
        if (g > 0) {
            out.put("usemtl ");
            out.put(materials.list()[g - 1].name);
            out.put('\n');
        }
        vn_of.select(g, faces);
        out.put_in_parallel(faces.size(), k_lines_per_chunk, [&](std::size_t begin, std::size_t end, text_buffer& o) {
            for (std::size_t i = begin; i < end; ++i) {
                const index_t p = faces[i];
                const std::span<const index_t> pts = layer.polygon_points(p);
                const index_t* vt = nullptr;
                if (pts.size() >= 3 && !corner_vt.empty() && corner_vt[at.offset(p)] != k_none)
                    vt = corner_vt.data() + at.offset(p);
                put_element(o, pts, vt, pts.size() >= 3 ? &vn_of : nullptr);
            }
        });
    }
}

}  // namespace

void write_obj(const mesh_layer& layer, byte_sink& sink, std::string_view mtllib, bool leaf_atlas,
               std::string_view material_prefix) {
    const material_table materials(layer, material_prefix);
    text_buffer out(sink);
    out.put("# sylvaform\n");
    if (!mtllib.empty()) {
        out.put("mtllib ");
        out.put(mtllib);
        out.put('\n');
    }
    write_positions(layer, out);
    const corners at(layer);
    corner_numbers uv = number_texture_coordinates(layer, materials, at, leaf_atlas);
    write_texture_coordinates(uv.keys, out);
    uv.keys = {};
    const std::vector<index_t>& corner_vt = uv.corner_vt;
    const material_groups groups(layer, materials);
    normal_numbers vn_of(layer);
    write_normals(layer, groups, vn_of, out);
    write_faces(layer, materials, groups, at, corner_vt, vn_of, out);
    out.flush();
}

namespace {

void put_colour(text_buffer& out, const char* key, rgb c) {
    out.put(key);
    for (const double v : {c.r, c.g, c.b}) {
        out.put(' ');
        out.put_double(std::round(v * 1e4) / 1e4);
    }
    out.put('\n');
}

}  // namespace

void write_mtl(const mesh_layer& layer, byte_sink& sink, const mtl_images& images, std::string_view material_prefix) {
    const material_table materials(layer, material_prefix);
    text_buffer out(sink);
    out.put("# sylvaform materials\n");
    for (const material& m : materials.list()) {
        out.put("\nnewmtl ");
        out.put(m.name);
        out.put('\n');
        const std::string& image = m.cards                         ? images.cards
                                   : m.kind == material_kind::leaf  ? images.leaves
                                   : m.kind == material_kind::other ? std::string()
                                                                    : images.bark;
        const bool leaf = m.kind == material_kind::leaf || m.cards;
        put_colour(out, "Kd",
                   !image.empty() ? rgb{1, 1, 1} : linear_colour(m.cards ? material_kind::leaf : m.kind));
        if (leaf)
            out.put("Ka 0 0 0\nKs 0.04 0.04 0.04\nNs 30\nd 1\nillum 2\n");
        else
            out.put("Ka 0 0 0\nKs 0 0 0\nNs 10\nd 1\nillum 1\n");
        if (image.empty()) continue;
        out.put("map_Kd ");
        out.put(image);
        out.put('\n');
        if (!leaf) {
            // The relief: a normal map, and roughness from the G channel of
            // the occlusion/roughness image.
            if (!images.bark_normal.empty()) {
                out.put("norm ");
                out.put(images.bark_normal);
                out.put('\n');
            }
            if (!images.bark_orm.empty()) {
                out.put("map_Pr -imfchan g ");
                out.put(images.bark_orm);
                out.put('\n');
            }
            continue;
        }
        out.put("map_d ");
        out.put(image);
        out.put('\n');
        if (m.cards || images.leaf_normals.empty()) continue;
        out.put("norm ");
        out.put(images.leaf_normals);
        out.put('\n');
    }
    out.flush();
}

std::string mtl_path_for(const std::string& obj_path) {
    const std::size_t slash = obj_path.rfind('/');
    const std::size_t base = slash == std::string::npos ? 0 : slash + 1;
    const std::size_t dot = obj_path.rfind('.');
    std::string mtl = dot != std::string::npos && dot > base ? obj_path.substr(0, dot) : obj_path;
    mtl += ".mtl";
    return mtl == obj_path ? mtl + ".mtl" : mtl;
}

std::string image_path_for(const std::string& obj_path, std::string_view what) {
    const std::string mtl = mtl_path_for(obj_path);
    return mtl.substr(0, mtl.size() - 4) + "_" + std::string(what) + ".png";
}

void write_obj_files(const mesh_layer& layer, const std::string& obj_path, file_set& files,
                     const texture_set* textures, const std::string& level0_path, const std::string* cards_png) {
    const std::string mtl_path = mtl_path_for(obj_path);
    auto base_name = [](const std::string& path) {
        const std::size_t slash = path.rfind('/');
        return slash == std::string::npos ? path : path.substr(slash + 1);
    };
    // A coarser level names the images and materials of level 0.
    const std::string& owner = level0_path.empty() ? obj_path : level0_path;
    const std::string owner_mtl = base_name(mtl_path_for(owner));
    const std::string prefix = owner_mtl.substr(0, owner_mtl.size() - 4) + "_";

    // The images the library names: only those its materials use.
    struct side_file {
        std::string path;
        const std::string* bytes;
    };
    std::vector<side_file> images;
    mtl_images names;
    {
        const material_table materials(layer);
        bool bark = false, leaves = false, cards = false;
        for (const material& m : materials.list()) {
            cards |= m.cards && cards_png && !cards_png->empty();
            bark |= texture_for(textures, m.kind) && m.kind != material_kind::leaf;
            leaves |= texture_for(textures, m.kind) && m.kind == material_kind::leaf;
        }
        if (bark) {
            images.push_back({image_path_for(owner, k_bark_image), &textures->bark_png});
            names.bark = base_name(images.back().path);
            // The relief only on the world-scaled coordinates it was drawn for.
            if (has_bark_uv(layer) && !textures->bark_normal_png.empty()) {
                images.push_back({image_path_for(owner, k_bark_normal_image), &textures->bark_normal_png});
                names.bark_normal = base_name(images.back().path);
            }
            if (has_bark_uv(layer) && !textures->bark_orm_png.empty()) {
                images.push_back({image_path_for(owner, k_bark_orm_image), &textures->bark_orm_png});
                names.bark_orm = base_name(images.back().path);
            }
        }
        if (cards) {
            images.push_back({image_path_for(owner, k_leaf_cards_image), cards_png});
            names.cards = base_name(images.back().path);
        }
        if (leaves) {
            images.push_back({image_path_for(owner, k_leaf_image), &textures->leaf_png});
            names.leaves = base_name(images.back().path);
            if (!textures->leaf_normal_png.empty()) {
                images.push_back({image_path_for(owner, k_leaf_normal_image), &textures->leaf_normal_png});
                names.leaf_normals = base_name(images.back().path);
            }
        }
    }

    write_obj(layer, files.add(obj_path), base_name(mtl_path), !names.leaves.empty(), prefix);
    if (level0_path.empty())
        for (const side_file& f : images) files.add(f.path).write(*f.bytes);
    write_mtl(layer, files.add(mtl_path), names, prefix);
}

void write_obj_files(const mesh_layer& layer, const std::string& obj_path, const texture_set* textures) {
    file_set files;
    write_obj_files(layer, obj_path, files, textures);
    files.commit();
}

}  // namespace sf::formats
