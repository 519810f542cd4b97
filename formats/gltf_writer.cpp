#include "formats/gltf_writer.h"

#include "formats/normals.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <nlohmann/json.hpp>
#include <unordered_map>
#include <vector>


#include "formats/big_buffer.h"
#include "formats/cluster_cards.h"
#include "formats/leaf_tint.h"
#include "formats/bark_uv.h"
#include "formats/materials.h"
#include "formats/wind.h"

namespace sf::formats {

static_assert(std::endian::native == std::endian::little, "GLB data is written as it lies in memory");

namespace {

using json = nlohmann::json;

// Large arrays on huge pages where the system allows it: a primitive's
// arrays are filled once, and page by page the faults cost more than the
// filling. Not counted against the memory budget, as before.
template <class T>
struct huge_pages {
    using value_type = T;
    huge_pages() = default;
    template <class U>
    huge_pages(const huge_pages<U>&) {}
    T* allocate(std::size_t n) {
        const std::size_t bytes = n * sizeof(T);
        if (bytes < k_mapped_from) return static_cast<T*>(::operator new(bytes));
        const std::size_t rounded = (bytes + k_huge_page - 1) / k_huge_page * k_huge_page;
        void* p = ::operator new(rounded, std::align_val_t(k_huge_page));
        ::madvise(p, rounded, MADV_HUGEPAGE);
        return static_cast<T*>(p);
    }
    void deallocate(T* p, std::size_t n) {
        if (n * sizeof(T) < k_mapped_from) ::operator delete(p);
        else ::operator delete(p, std::align_val_t(k_huge_page));
    }
    template <class U>
    bool operator==(const huge_pages<U>&) const { return true; }
};
template <class T>
using page_vector = std::vector<T, huge_pages<T>>;

// The maps a corner's attributes come from.
enum slot : int {
    s_branch, s_leaf, s_all_leaves, s_range, s_thick, s_range_thick, s_bark, s_wind, s_cards = s_wind + 4, s_count
};

constexpr struct {
    LWID type;
    const char* name;
    std::uint32_t dim;
} k_slot_maps[s_count] = {
    {LWVMAP_TXUV, k_map_branch_uv, 2}, {LWVMAP_TXUV, k_map_leaf_uv, 2},     {LWVMAP_TXUV, k_map_leaf_atlas_uv, 2},
    {LWVMAP_WGHT, k_map_range, 1},     {LWVMAP_WGHT, k_map_thick, 1},       {LWVMAP_TXUV, k_map_range_thick, 2},
    {LWVMAP_TXUV, k_map_bark_uv, 2},
    {LWVMAP_TXUV, k_wind_maps[0], 2},  {LWVMAP_TXUV, k_wind_maps[1], 2},    {LWVMAP_TXUV, k_wind_maps[2], 2},
    {LWVMAP_TXUV, k_wind_maps[3], 2},  {LWVMAP_TXUV, k_map_cards_uv, 2},
};

// The values of the slot maps at each corner, in time linear in the points,
// polygons and map values: the latest per-point record of each map is
// indexed by point once, the per-polygon records by polygon once (a
// counting sort that keeps their order, so the latest applies). A corner
// looks its value up among the few records of its polygon; begin(p) marks
// the records of a polygon with many on its points instead.
class corner_values {
public:
    explicit corner_values(const mesh_layer& layer) : layer_(layer) {
        const index_t points = layer.point_count();
        const index_t polygons = layer.polygon_count();
        slot_of_.assign(layer.maps().size(), -1);
        for (int k = 0; k < s_count; ++k) {
            const index_t m = layer.find_map(k_slot_maps[k].type, k_slot_maps[k].name);
            if (m == k_none || layer.maps()[m].dim < k_slot_maps[k].dim) continue;
            map_[k] = m;
            slot_of_[m] = k;
        }

        const std::span<const value_record> vmad = layer.polygon_point_values();
        auto usable = [&](const value_record& v) {
            return slot(v.map) >= 0 && v.point < points && v.polygon < polygons;
        };
        std::size_t used = 0;
        for (const value_record& v : vmad) used += usable(v);
        if (used == 0) return;
        group_values_by_polygon(layer_, usable, used, vmad_start_, vmad_by_polygon_);
    }

    bool has(int k) const { return map_[k] != k_none; }

    void begin(index_t p) {
        polygon_ = p;
        if (vmad_start_.empty()) return;
        first_ = vmad_start_[p];
        end_ = vmad_start_[p + 1];
        if (end_ - first_ <= k_scan) return;
        const std::span<const value_record> vmad = layer_.polygon_point_values();
        for (index_t i = first_; i < end_; ++i) {
            const value_record& v = vmad[vmad_by_polygon_[i]];
            const int k = slot(v.map);
            if (stamp_[k].empty()) {
                stamp_[k].assign(layer_.point_count(), k_none);
                override_[k].assign(layer_.point_count(), k_none);
            }
            override_[k][v.point] = vmad_by_polygon_[i];
            stamp_[k][v.point] = p;
        }
    }

    // The value of slot k at point pt of the current polygon; null when
    // there is none or it is not finite.
    const float* get(int k, index_t pt) const {
        if (map_[k] == k_none) return nullptr;
        const std::span<const value_record> vmad = layer_.polygon_point_values();
        const float* v = nullptr;
        if (end_ - first_ <= k_scan) {
            for (index_t i = end_; i-- > first_;) {
                const value_record& r = vmad[vmad_by_polygon_[i]];
                if (r.point == pt && slot(r.map) == k) {
                    v = r.v;
                    break;
                }
            }
        } else if (!stamp_[k].empty() && stamp_[k][pt] == polygon_) {
            v = vmad[override_[k][pt]].v;
        }
        if (!v) v = layer_.point_value(map_[k], pt);
        if (!v) return nullptr;
        for (std::uint32_t d = 0; d < k_slot_maps[k].dim; ++d)
            if (!std::isfinite(v[d])) return nullptr;
        return v;
    }

private:
    int slot(index_t map) const { return map < slot_of_.size() ? slot_of_[map] : -1; }

    const mesh_layer& layer_;
    index_t map_[s_count] = {k_none, k_none, k_none, k_none, k_none, k_none,
                             k_none, k_none, k_none, k_none, k_none, k_none};
    std::vector<int> slot_of_;                 // map index -> slot, -1 for others
    std::vector<index_t> vmad_start_;          // per polygon: first entry in vmad_by_polygon_
    std::vector<index_t> vmad_by_polygon_;     // per-polygon record numbers
    static constexpr index_t k_scan = 32;     // records of a polygon searched one by one
    index_t first_ = 0, end_ = 0;             // the current polygon's records
    std::vector<index_t> override_[s_count];   // per point: record of polygon stamp_
    std::vector<index_t> stamp_[s_count];
    index_t polygon_ = k_none;
};

// One primitive's vertex and index data, ready to be written.
struct primitive {
    index_t surface = k_none;  // string-pool index, k_none: no surface
    bool lines = false;
    int uv_count = 0;  // sets in uv[], each written as the attribute uv_name
    int uv_slot[6] = {-1, -1, -1, -1, -1, -1};  // -1: zeros
    std::string uv_name[6];
    bool uv_raw[6] = {};  // written as they are (wind data), else v as 1 - v
    bool weights = false;
    bool colours = false;
    const std::uint8_t* tint = nullptr;  // per point, three bytes: COLOR_0 of a leaf
    bool tangents = false;        // TANGENT, for a normal map on TEXCOORD_0
    std::size_t corners = 0;  // bounds for reserving the arrays
    std::size_t indices = 0;

    index_t vertices = 0;
    page_vector<float> pos, nrm, uv[6], range, thick, color;
    page_vector<std::uint8_t> tint_rgba;  // the tint, as normalised bytes
    page_vector<index_t> idx;
};

// Scratch arrays shared by the primitives: per point, its first vertex in
// the current primitive (k_none again once the primitive is made).
struct vertex_index {
    page_vector<index_t> head;
    page_vector<index_t> next;    // per vertex: next copy of the same point
    page_vector<index_t> origin;  // per vertex: the point's first copy
    std::vector<index_t> corner;  // the current polygon's vertices
};

constexpr int k_max_keys = 14;

float finite_or_zero(double v) {
    const float f = static_cast<float>(v);
    return std::isfinite(f) ? f : 0.0f;
}

float unit_clamp(float v) { return v < 0.0f ? 0.0f : v > 1.0f ? 1.0f : v; }

// The corner's values in written form: texture sets (v flipped), then
// range and thickness.
int corner_key(const primitive& pr, corner_values& cv, index_t pt, float (&key)[k_max_keys]) {
    int n = 0;
    for (int s = 0; s < pr.uv_count; ++s) {
        const float* v = pr.uv_slot[s] < 0 ? nullptr : cv.get(pr.uv_slot[s], pt);
        key[n++] = v ? v[0] : 0.0f;
        key[n++] = pr.uv_raw[s] ? (v ? v[1] : 0.0f) : 1.0f - (v ? v[1] : 0.0f);
    }
    if (pr.weights) {
        const float* rt = cv.get(s_range_thick, pt);
        const float* r = cv.get(s_range, pt);
        const float* t = cv.get(s_thick, pt);
        key[n++] = r ? r[0] : rt ? rt[0] : 0.0f;
        key[n++] = t ? t[0] : rt ? rt[1] : 0.0f;
    }
    return n;
}

bool same_vertex(const primitive& pr, index_t v, const float* key) {
    int n = 0;
    auto eq = [](float a, float b) { return std::bit_cast<std::uint32_t>(a) == std::bit_cast<std::uint32_t>(b); };
    for (int s = 0; s < pr.uv_count; ++s) {
        if (!eq(pr.uv[s][2 * std::size_t(v)], key[n]) || !eq(pr.uv[s][2 * std::size_t(v) + 1], key[n + 1]))
            return false;
        n += 2;
    }
    if (pr.weights && (!eq(pr.range[v], key[n]) || !eq(pr.thick[v], key[n + 1]))) return false;
    return true;
}

// The vertex for point pt with the given values: an existing copy of the
// point with equal values, else a new one.
index_t vertex_for(const mesh_layer& layer, primitive& pr, vertex_index& vx, index_t pt, const float* key) {
    index_t last = k_none;
    for (index_t v = vx.head[pt]; v != k_none; v = vx.next[v]) {
        if (same_vertex(pr, v, key)) return v;
        last = v;
    }
    const index_t v = pr.vertices++;
    if (last == k_none) {
        vx.head[pt] = v;
        vx.origin.push_back(v);
    } else {
        vx.next[last] = v;
        vx.origin.push_back(vx.origin[vx.head[pt]]);
    }
    vx.next.push_back(k_none);
    if (!pr.lines) pr.nrm.insert(pr.nrm.end(), {0.0f, 0.0f, 0.0f});
    const double* p = layer.point(pt);
    pr.pos.insert(pr.pos.end(), {finite_or_zero(p[0]), finite_or_zero(p[1]), finite_or_zero(p[2])});
    int n = 0;
    for (int s = 0; s < pr.uv_count; ++s, n += 2) pr.uv[s].insert(pr.uv[s].end(), {key[n], key[n + 1]});
    if (pr.weights) {
        pr.range.push_back(key[n]);
        pr.thick.push_back(key[n + 1]);
        if (pr.colours)
            pr.color.insert(pr.color.end(), {unit_clamp((key[n] + 1.0f) * 0.5f), unit_clamp(key[n + 1]), 0.0f});
    }
    if (pr.tint) {
        const std::uint8_t* t = pr.tint + std::size_t(pt) * 3;
        pr.tint_rgba.insert(pr.tint_rgba.end(), {t[0], t[1], t[2], std::uint8_t(255)});
    }
    return v;
}

// Fills one primitive from its polygons (creation order): its vertices,
// indices and normals.
void build_primitive(const mesh_layer& layer, corner_values& cv, vertex_index& vx, primitive& pr,
                     std::span<const index_t> polygons) {
    vx.next.clear();
    vx.origin.clear();
    const bool normals = !pr.lines;
    // Reserved, not touched: growth would copy the arrays again and again.
    vx.next.reserve(pr.corners);
    vx.origin.reserve(pr.corners);
    if (normals) pr.nrm.reserve(pr.corners * 3);
    pr.pos.reserve(pr.corners * 3);
    for (int s = 0; s < pr.uv_count; ++s) pr.uv[s].reserve(pr.corners * 2);
    if (pr.weights) {
        pr.range.reserve(pr.corners);
        pr.thick.reserve(pr.corners);
        if (pr.colours) pr.color.reserve(pr.corners * 3);
    }
    if (pr.tint) pr.tint_rgba.reserve(pr.corners * 4);
    pr.idx.reserve(pr.indices);
    float key[k_max_keys];
    for (const index_t p : polygons) {
        cv.begin(p);
        const std::span<const index_t> pts = layer.polygon_points(p);
        vx.corner.resize(pts.size());
        for (std::size_t c = 0; c < pts.size(); ++c) {
            corner_key(pr, cv, pts[c], key);
            vx.corner[c] = vertex_for(layer, pr, vx, pts[c], key);
        }
        const index_t* cn = vx.corner.data();
        if (pr.lines) {
            if (cn[0] != cn[1]) pr.idx.insert(pr.idx.end(), {cn[0], cn[1]});
            continue;
        }
        for (std::size_t i = 1; i + 1 < pts.size(); ++i) {
            if (cn[0] == cn[i] || cn[0] == cn[i + 1] || cn[i] == cn[i + 1]) continue;
            pr.idx.insert(pr.idx.end(), {cn[0], cn[i], cn[i + 1]});
        }
        // Newell's normal of the polygon as written: area-weighted, exact
        // for planar polygons and stable for slightly bent ones. Summed on
        // the point's first copy.
        double nx = 0, ny = 0, nz = 0;
        for (std::size_t i = 0; i < pts.size(); ++i) {
            const float* a = &pr.pos[std::size_t(cn[i]) * 3];
            const float* b = &pr.pos[std::size_t(cn[i + 1 == pts.size() ? 0 : i + 1]) * 3];
            add_newell_term(a, b, nx, ny, nz);
        }
        for (std::size_t i = 0; i < pts.size(); ++i) {
            float* acc = &pr.nrm[std::size_t(vx.origin[cn[i]]) * 3];
            acc[0] += static_cast<float>(nx);
            acc[1] += static_cast<float>(ny);
            acc[2] += static_cast<float>(nz);
        }
    }
    // First copies come before the others: normalise them, then copy.
    for (index_t v = 0; normals && v < pr.vertices; ++v) {
        float* out = &pr.nrm[std::size_t(v) * 3];
        const index_t o = vx.origin[v];
        if (o != v) {
            std::memcpy(out, &pr.nrm[std::size_t(o) * 3], 3 * sizeof(float));
            continue;
        }
        normalise_or_up(out);
    }
    for (const index_t p : polygons)
        for (const index_t pt : layer.polygon_points(p)) vx.head[pt] = k_none;
}

// The GLB's binary chunk, set aside in an unnamed file (the JSON before it
// needs every view), with the JSON that describes it. A view is placed
// first, in the order of the JSON, so that its offset is known, and its
// data are written there in pieces, in any order between views.
class bin_builder {
public:
    bin_builder(json& doc, const std::string& spill_dir) : doc_(doc), spill_(spill_dir) {
        doc_["accessors"] = json::array();
        doc_["bufferViews"] = json::array();
    }
    bin_builder(const bin_builder&) = delete;
    bin_builder& operator=(const bin_builder&) = delete;

    // Places a view of `bytes` bytes; returns its offset. Every view
    // starts 4-byte aligned; the gaps read as zeros.
    std::uint64_t place(std::size_t bytes, int target) {
        json view = {{"buffer", 0}, {"byteOffset", size_}, {"byteLength", bytes}};
        if (target) view["target"] = target;
        doc_["bufferViews"].push_back(std::move(view));
        const std::uint64_t at = size_;
        size_ += bytes;
        end_ = size_;
        size_ = (size_ + 3) & ~std::size_t(3);
        // The file's headers take 28 bytes besides the chunks: past the
        // limit already, nothing more is made.
        if (std::uint64_t(size_) + 28 > 0xFFFFFFFFull) throw io_error("glTF binary file would exceed 4 GiB");
        return at;
    }
    index_t views() const { return static_cast<index_t>(doc_["bufferViews"].size()); }
    json& accessors() { return doc_["accessors"]; }

    void put(std::uint64_t at, const void* data, std::size_t bytes) {
        spill_.write_at(at, {static_cast<const char*>(data), bytes});
    }

    // Adds a view of raw bytes (an embedded image); returns the view number.
    index_t add_bytes(const std::string& bytes) {
        const index_t view_no = views();
        put(place(bytes.size(), 0), bytes.data(), bytes.size());
        return view_no;
    }

    std::size_t data_size() const { return end_; }   // buffers[0].byteLength
    std::size_t chunk_size() const { return size_; }  // with the final padding

    // The chunk, padded, into the sink.
    void write(byte_sink& sink) {
        spill_.resize(size_);
        spill_.copy_to(sink);
    }

private:
    json& doc_;
    spill_file spill_;
    std::size_t size_ = 0;
    std::size_t end_ = 0;
};

// One accessor and its view, filled in pieces of whole elements in order;
// min and max are folded as they come, in the order of the values.
template <class T>
class view_writer {
public:
    view_writer() = default;
    view_writer(bin_builder& bin, std::size_t values, int components, const char* type, bool indices)
        : bin_(&bin), components_(components), at_(bin.place(values * sizeof(T), indices ? 34963 : 34962)) {
        const int component_type = std::is_same_v<T, float> ? 5126 : sizeof(T) == 1 ? 5121 : sizeof(T) == 2 ? 5123 : 5125;
        json a = {{"bufferView", bin.views() - 1},
                  {"componentType", component_type},
                  {"count", values / std::size_t(components)},
                  {"type", type}};
        if (sizeof(T) == 1) a["normalized"] = true;  // bytes are colours, 0..1
        accessor_ = static_cast<index_t>(bin.accessors().size());
        bin.accessors().push_back(std::move(a));
    }
    index_t accessor() const { return accessor_; }

    void put(const T* data, std::size_t n) {
        for (std::size_t i = 0; i < n; i += std::size_t(components_)) {
            for (int c = 0; c < components_; ++c) {
                const T v = data[i + std::size_t(c)];
                if (!started_) lo_[c] = hi_[c] = v;
                lo_[c] = std::min(lo_[c], v);
                hi_[c] = std::max(hi_[c], v);
            }
            started_ = true;
        }
        bin_->put(at_ + written_, data, n * sizeof(T));
        written_ += n * sizeof(T);
    }
    template <class A>
    void put_all(std::vector<T, A>& data) {
        put(data.data(), data.size());
        data = std::vector<T, A>();
    }

    // Writes min and max into the accessor.
    void finish() {
        json min = json::array(), max = json::array();
        for (int c = 0; c < components_; ++c) {
            min.push_back(lo_[c]);
            max.push_back(hi_[c]);
        }
        json& a = bin_->accessors()[accessor_];
        a["min"] = std::move(min);
        a["max"] = std::move(max);
    }

private:
    bin_builder* bin_ = nullptr;
    int components_ = 1;
    std::uint64_t at_ = 0, written_ = 0;
    index_t accessor_ = k_none;
    bool started_ = false;
    T lo_[4] = {}, hi_[4] = {};
};

// Per-vertex tangents for a normal map on the first texture set: the
// direction of growing u, summed over the vertex's triangles, made
// perpendicular to the normal; w is -1 where growing v (up in the image)
// runs against normal x tangent. Any perpendicular where u does not change.
// Written to out in pieces.
void add_tangents(const primitive& pr, view_writer<float>& out_view) {
    // The sums are held only for the vertices between the first not yet
    // written and the highest met so far, in a ring that grows when that
    // window does; a vertex is written once its last triangle is summed.
    // Every sum still takes its terms in triangle order.
    const std::size_t triangles = pr.idx.size() / 3;
    std::vector<index_t> last(pr.vertices, k_none);  // per vertex: its last triangle
    for (std::size_t i = 0; i < triangles * 3; ++i) last[pr.idx[i]] = static_cast<index_t>(i / 3);
    std::vector<double> ring(std::size_t(1024) * 6);  // per vertex: t, then b
    std::size_t mask = 1023;
    index_t done = 0, met = 0;  // written below done; summed below met

    constexpr index_t k_piece = 16384;
    std::vector<float> piece(std::size_t(k_piece) * 4);
    const auto finish = [&](index_t v) {
        const float* n = &pr.nrm[std::size_t(v) * 3];
        const double* tv = &ring[(v & mask) * 6];
        const double d = tv[0] * n[0] + tv[1] * n[1] + tv[2] * n[2];
        double x = tv[0] - d * n[0], y = tv[1] - d * n[1], z = tv[2] - d * n[2];
        double len = std::sqrt(x * x + y * y + z * z);
        if (!(len > 1e-12) || !std::isfinite(len)) {
            // X, or Y where the normal is near X, made perpendicular to it.
            const bool near_x = std::fabs(n[0]) > 0.9f;
            const double ax = near_x ? 0.0 : 1.0, ay = near_x ? 1.0 : 0.0;
            const double an = ax * n[0] + ay * n[1];
            x = ax - an * n[0], y = ay - an * n[1], z = -an * n[2];
            len = std::sqrt(x * x + y * y + z * z);
        }
        x /= len, y /= len, z /= len;
        const double* bv = tv + 3;
        const double cx = n[1] * z - n[2] * y, cy = n[2] * x - n[0] * z, cz = n[0] * y - n[1] * x;
        float* out = &piece[std::size_t(v % k_piece) * 4];
        out[0] = static_cast<float>(x);
        out[1] = static_cast<float>(y);
        out[2] = static_cast<float>(z);
        out[3] = cx * bv[0] + cy * bv[1] + cz * bv[2] < 0.0 ? -1.0f : 1.0f;
        if (v % k_piece == k_piece - 1 || v + 1 == pr.vertices) out_view.put(piece.data(), std::size_t(v % k_piece + 1) * 4);
    };
    // Brings vertex v into the window with zero sums.
    const auto meet = [&](index_t v) {
        for (; met <= v; ++met) {
            if (met - done > mask) {
                std::vector<double> wider(ring.size() * 2);
                const std::size_t wider_mask = mask * 2 + 1;
                for (index_t u = done; u < met; ++u) std::copy_n(&ring[(u & mask) * 6], 6, &wider[(u & wider_mask) * 6]);
                ring.swap(wider);
                mask = wider_mask;
            }
            std::fill_n(&ring[(met & mask) * 6], 6, 0.0);
        }
    };

    const page_vector<float>& uv = pr.uv[0];
    for (std::size_t tri = 0; tri < triangles; ++tri) {
        const std::size_t i = tri * 3;
        const index_t c[3] = {pr.idx[i], pr.idx[i + 1], pr.idx[i + 2]};
        for (const index_t v : c)
            if (v >= met) meet(v);
        double e1[3], e2[3];
        for (int k = 0; k < 3; ++k) {
            e1[k] = double(pr.pos[c[1] * 3 + k]) - pr.pos[c[0] * 3 + k];
            e2[k] = double(pr.pos[c[2] * 3 + k]) - pr.pos[c[0] * 3 + k];
        }
        // Stored v is flipped; the layer's v runs up the image.
        const double du1 = double(uv[c[1] * 2]) - uv[c[0] * 2], dv1 = -(double(uv[c[1] * 2 + 1]) - uv[c[0] * 2 + 1]);
        const double du2 = double(uv[c[2] * 2]) - uv[c[0] * 2], dv2 = -(double(uv[c[2] * 2 + 1]) - uv[c[0] * 2 + 1]);
        const double det = du1 * dv2 - du2 * dv1;
        if (det != 0.0 && std::isfinite(det)) {
            const double r = 1.0 / det;
            for (int k = 0; k < 3; ++k) {
                const double tk = (e1[k] * dv2 - e2[k] * dv1) * r, bk = (e2[k] * du1 - e1[k] * du2) * r;
                for (const index_t v : c) {
                    double* sums = &ring[(v & mask) * 6];
                    sums[k] += tk;
                    sums[3 + k] += bk;
                }
            }
        }
        while (done < met && (last[done] == k_none || last[done] <= tri)) finish(done++);
    }
    // Vertices of no triangle keep zero sums.
    for (; done < pr.vertices; ++done) {
        if (done >= met) meet(done);
        finish(done);
    }
    out_view.finish();
}

// Images, samplers and textures, added when a material first needs them.
class texture_table {
public:
    texture_table(bin_builder& bin, std::string prefix) : bin_(bin), prefix_(std::move(prefix)) {}

    enum image : int { bark_color, leaf_atlas, bark_normal, bark_orm, leaf_normal, leaf_cards, image_count };

    // The texture of one image; bark repeats along and around the tubes,
    // the leaf atlas and its normal map are clamped at their edges.
    index_t texture(const std::string& png, surface_look look) {
        return texture(png, look == surface_look::leaf ? leaf_atlas : bark_color);
    }
    index_t texture(const std::string& png, image k) {
        static constexpr const char* names[image_count] = {"bark_color", "leaf_atlas", "bark_normal", "bark_orm",
                                                           "leaf_normal", "leaf_cards"};
        if (texture_[k] != k_none) return texture_[k];
        const index_t view = bin_.add_bytes(png);
        images_.push_back({{"bufferView", view}, {"mimeType", "image/png"}, {"name", prefix_ + names[k]}});
        const int wrap = k == leaf_atlas || k == leaf_normal || k == leaf_cards ? 33071 : 10497;  // CLAMP_TO_EDGE, REPEAT
        samplers_.push_back({{"magFilter", 9729}, {"minFilter", 9987}, {"wrapS", wrap}, {"wrapT", wrap}});
        texture_[k] = static_cast<index_t>(textures_.size());
        textures_.push_back({{"sampler", samplers_.size() - 1}, {"source", images_.size() - 1}});
        return texture_[k];
    }

    void put(json& doc) {
        if (textures_.empty()) return;
        doc["images"] = std::move(images_);
        doc["samplers"] = std::move(samplers_);
        doc["textures"] = std::move(textures_);
    }

private:
    bin_builder& bin_;
    std::string prefix_;
    json images_ = json::array(), samplers_ = json::array(), textures_ = json::array();
    index_t texture_[image_count] = {k_none, k_none, k_none, k_none, k_none, k_none};
};

// The bark's relief that goes with its colour image: the normal map and
// the occlusion/roughness image, both on the colour's coordinates.
struct bark_relief {
    const std::string* normal = nullptr;
    const std::string* orm = nullptr;
};

// Plain materials carry their colour in linear light; textured ones a white
// factor, the image (sRGB) giving the colour. Leaves are cut out of the
// atlas by its alpha, seen from both sides, and given the atlas' normal
// map (with the primitive's tangents) when there is one. The bark's
// occlusion/roughness image serves as both occlusionTexture (R) and
// metallicRoughnessTexture (G; B, metalness, is 0).
json material_for(std::string_view name, surface_look look, bool named, const std::string* png,
                  const bark_relief& relief, const std::string* leaf_normal_png, texture_table& table,
                  const std::string& prefix) {
    const rgb c = linear_colour(named ? look : surface_look::other);
    const bool orm = png && relief.orm;
    json pbr = {{"baseColorFactor", png ? json::array({1.0, 1.0, 1.0, 1.0}) : json::array({c.r, c.g, c.b, 1.0})},
                {"metallicFactor", 0.0},
                {"roughnessFactor", orm ? 1.0 : look == surface_look::leaf ? 0.6 : look == surface_look::other ? 1.0 : 0.9}};
    if (png) pbr["baseColorTexture"] = {{"index", table.texture(*png, look)}, {"texCoord", 0}};
    if (orm) pbr["metallicRoughnessTexture"] = {{"index", table.texture(*relief.orm, texture_table::bark_orm)}, {"texCoord", 0}};
    json m = {{"name", prefix + (named ? std::string(name) : std::string("Default"))},
              {"pbrMetallicRoughness", std::move(pbr)}};
    if (png && relief.normal)
        m["normalTexture"] = {{"index", table.texture(*relief.normal, texture_table::bark_normal)}, {"texCoord", 0}};
    if (orm) m["occlusionTexture"] = {{"index", table.texture(*relief.orm, texture_table::bark_orm)}, {"texCoord", 0}};
    if (named && look == surface_look::leaf) {
        m["doubleSided"] = true;
        if (png) m["alphaMode"] = "MASK";
        if (png && leaf_normal_png && !leaf_normal_png->empty())
            m["normalTexture"] = {{"index", table.texture(*leaf_normal_png, texture_table::leaf_normal)}, {"texCoord", 0}};
    }
    return m;
}

// Cluster cards: the cards image cut out by its alpha, seen from both sides.
json cards_material(const std::string* png, texture_table& table, const std::string& prefix) {
    const rgb c = linear_colour(surface_look::leaf);
    json pbr = {{"baseColorFactor", png ? json::array({1.0, 1.0, 1.0, 1.0}) : json::array({c.r, c.g, c.b, 1.0})},
                {"metallicFactor", 0.0},
                {"roughnessFactor", 0.6}};
    json m = {{"name", prefix + k_surface_leaf_cards}, {"doubleSided", true}};
    if (png) {
        pbr["baseColorTexture"] = {{"index", table.texture(*png, texture_table::leaf_cards)}, {"texCoord", 0}};
        m["alphaMode"] = "MASK";
    }
    m["pbrMetallicRoughness"] = std::move(pbr);
    return m;
}

void put_u32(char* at, std::uint32_t v) { std::memcpy(at, &v, 4); }

}  // namespace

namespace {

// A surface is textured when there is an image for it and the layer has the
// coordinates it is read through.
const std::string* image_for(const corner_values& cv, const glb_options& options, surface_look look) {
    return cv.has(look == surface_look::leaf ? s_all_leaves : s_branch) ? texture_for(options.textures, look) : nullptr;
}

// The relief goes with a bark image read through the bark coordinates
// (on "SF_branch" alone it would be stretched as they are).
bark_relief relief_for(const corner_values& cv, const glb_options& options, surface_look look) {
    if (!cv.has(s_bark) || !image_for(cv, options, look)) return {};
    return {normal_map_for(options.textures, look), orm_map_for(options.textures, look)};
}

// Primitives by (surface, topology) in order of first appearance, and each
// primitive's polygons in creation order (a counting sort): those of
// primitive i are order[start[i]] .. order[start[i + 1] - 1].
struct primitive_plan {
    std::vector<primitive> prims;
    std::vector<index_t> start, order;
};

primitive_plan plan_primitives(const mesh_layer& layer, const corner_values& cv, const glb_options& options,
                               const std::vector<std::uint8_t>& tints) {
    const bool weights = cv.has(s_range) || cv.has(s_thick) || cv.has(s_range_thick);
    const index_t polygons = layer.polygon_count();
    primitive_plan plan;
    std::vector<primitive>& prims = plan.prims;
    std::vector<index_t> prim_of(polygons, k_none);
    {
        std::unordered_map<std::uint64_t, index_t> by_key;
        std::uint64_t last_key = ~std::uint64_t(0);
        index_t last_prim = k_none;
        for (index_t p = 0; p < polygons; ++p) {
            const std::size_t n = layer.polygon_points(p).size();
            if (n < 2) continue;
            index_t s = layer.polygon_surface(p);
            if (s != k_none && (s >= layer.strings().size() || layer.strings().view(s).empty())) s = k_none;
            const std::uint64_t key = std::uint64_t(s) << 1 | (n == 2);
            if (key != last_key) {
                const auto [it, added] = by_key.emplace(key, static_cast<index_t>(prims.size()));
                if (added) {
                    primitive& pr = prims.emplace_back();
                    pr.surface = s;
                    pr.lines = n == 2;
                    pr.weights = weights;
                    pr.colours = weights && options.wind_colours;
                    const surface_look look = s == k_none ? surface_look::other : look_of(layer.strings().view(s));
                    const bool tube = look == surface_look::bark || look == surface_look::twig;
                    const bool leaf = look == surface_look::leaf;
                    const bool cards = s != k_none && layer.strings().view(s) == k_surface_leaf_cards;
                    // A textured leaf reads the atlas through its first set;
                    // its own coordinates follow as "_SF_LEAF", which no
                    // material uses.
                    const bool atlas = leaf && image_for(cv, options, look);
                    // Tubes read the bark through the world-scaled coordinates
                    // when there are any; "SF_branch" follows them.
                    const bool world = tube && cv.has(s_bark);
                    const int sets[2] = {cards  ? int(s_cards)
                                         : world  ? int(s_bark)
                                         : tube ? int(s_branch)
                                         : leaf ? int(atlas ? s_all_leaves : s_leaf)
                                                : -1,
                                         world ? int(s_branch) : leaf ? int(atlas ? s_leaf : s_all_leaves) : -1};
                    for (int k : sets) {
                        if (pr.lines || k < 0 || !cv.has(k)) break;  // sets are numbered without gaps
                        pr.uv_slot[pr.uv_count++] = k;
                    }
                    // A set no material reads goes as a named attribute.
                    const int texcoords = atlas || world || cards ? 1 : pr.uv_count;
                    const auto named = [](int slot) {
                        return std::string(slot == s_branch ? "_SF_BRANCH" : slot == s_leaf ? "_SF_LEAF" : "_SF_ALL_LEAVES");
                    };
                    for (int k = 0; k < pr.uv_count; ++k)
                        pr.uv_name[k] = k < texcoords ? "TEXCOORD_" + std::to_string(k) : named(pr.uv_slot[k]);
                    if (leaf && !pr.lines && !pr.colours && !tints.empty()) pr.tint = tints.data();
                    pr.tangents = (world && !pr.lines && relief_for(cv, options, look).normal) ||
                                  (atlas && !pr.lines && pr.uv_count > 0 && !options.textures->leaf_normal_png.empty());
                    if (options.wind && !pr.lines && cv.has(s_wind)) {
                        // Wind data in TEXCOORD_1..4 after a first set (zeros
                        // when there is none); a second set of the surface's
                        // own moves to a named attribute.
                        const int second = pr.uv_count > 1 ? pr.uv_slot[1] : -1;
                        pr.uv_count = 5;
                        for (int k = 1; k < 5; ++k) {
                            pr.uv_slot[k] = s_wind + k - 1;
                            pr.uv_raw[k] = true;
                            pr.uv_name[k] = "TEXCOORD_" + std::to_string(k);
                        }
                        pr.uv_name[0] = "TEXCOORD_0";
                        pr.uv_raw[0] = pr.uv_slot[0] < 0;  // zeros
                        if (second >= 0) {
                            pr.uv_slot[5] = second;
                            pr.uv_name[5] = named(second);
                            pr.uv_count = 6;
                        }
                    }
                }
                last_key = key;
                last_prim = it->second;
            }
            prim_of[p] = last_prim;
            prims[last_prim].corners += n;
            prims[last_prim].indices += n == 2 ? 2 : 3 * (n - 2);
        }
    }
    plan.start.assign(prims.size() + 1, 0);
    for (index_t p = 0; p < polygons; ++p)
        if (prim_of[p] != k_none) ++plan.start[prim_of[p] + 1];
    for (std::size_t i = 0; i < prims.size(); ++i) plan.start[i + 1] += plan.start[i];
    plan.order.resize(plan.start.back());
    std::vector<index_t> fill(plan.start.begin(), plan.start.end() - 1);
    for (index_t p = 0; p < polygons; ++p)
        if (prim_of[p] != k_none) plan.order[fill[prim_of[p]]++] = p;
    return plan;
}

// The primitives, their materials and textures into doc (which bin writes
// its views and accessors into); the binary chunk collects in bin. Each
// primitive is made by build just before it is added and dropped after, so
// that one primitive's arrays are held at a time; release frees build's
// scratch once the vertices are made.
void add_meshes(const mesh_layer& layer, const corner_values& cv, const glb_options& options,
                std::vector<primitive>& prims, const std::function<void(std::size_t)>& build,
                const std::function<void()>& release, bin_builder& bin, json& doc) {
    json gl_prims = json::array();
    json materials = json::array();
    const std::string prefix = options.name.empty() ? std::string() : options.name + "_";
    texture_table textures(bin, prefix);
    std::unordered_map<index_t, index_t> material_of;
    for (std::size_t i = 0; i < prims.size(); ++i) {
        build(i);
        primitive& pr = prims[i];
        struct drop {
            primitive& pr;
            ~drop() { pr = primitive(); }
        } dropped{pr};
        if (pr.idx.empty()) continue;  // only degenerate polygons
        const auto [mat, added] = material_of.emplace(pr.surface, static_cast<index_t>(materials.size()));
        if (added) {
            const bool named = pr.surface != k_none;
            const std::string_view name = named ? layer.strings().view(pr.surface) : std::string_view();
            const surface_look look = named ? look_of(name) : surface_look::other;
            materials.push_back(
                named && name == k_surface_leaf_cards
                    ? cards_material(cv.has(s_cards) ? options.cards_png : nullptr, textures, prefix)
                    : material_for(name, look, named, named ? image_for(cv, options, look) : nullptr,
                                   named ? relief_for(cv, options, look) : bark_relief{},
                                   options.textures ? &options.textures->leaf_normal_png : nullptr, textures, prefix));
        }
        json g = {{"mode", pr.lines ? 1 : 4}, {"material", mat->second}};
        // Views in the order of the JSON, each written as soon as its data
        // are final and freed: the tangents need the positions, normals,
        // indices and first set to the end.
        const bool short_idx = pr.vertices <= 0xFFFFu;
        view_writer<index_t> idx32;
        view_writer<std::uint16_t> idx16;
        if (short_idx) idx16 = view_writer<std::uint16_t>(bin, pr.idx.size(), 1, "SCALAR", true);
        else idx32 = view_writer<index_t>(bin, pr.idx.size(), 1, "SCALAR", true);
        g["indices"] = short_idx ? idx16.accessor() : idx32.accessor();
        json& attr = g["attributes"];
        view_writer<float> pos(bin, pr.pos.size(), 3, "VEC3", false);
        attr["POSITION"] = pos.accessor();
        view_writer<float> nrm, tan, uv[6], range, thick, color;
        view_writer<std::uint8_t> tint;
        if (!pr.nrm.empty()) {
            nrm = view_writer<float>(bin, pr.nrm.size(), 3, "VEC3", false);
            attr["NORMAL"] = nrm.accessor();
        }
        if (pr.tangents) {
            tan = view_writer<float>(bin, std::size_t(pr.vertices) * 4, 4, "VEC4", false);
            attr["TANGENT"] = tan.accessor();
        }
        json names = json::array();
        for (int s = 0; s < pr.uv_count; ++s) {
            uv[s] = view_writer<float>(bin, pr.uv[s].size(), 2, "VEC2", false);
            attr[pr.uv_name[s]] = uv[s].accessor();
            if (pr.uv_name[s][0] != '_') names.push_back(pr.uv_slot[s] < 0 ? "" : k_slot_maps[pr.uv_slot[s]].name);
        }
        if (pr.weights) {
            range = view_writer<float>(bin, pr.range.size(), 1, "SCALAR", false);
            attr["_SF_RANGE"] = range.accessor();
            thick = view_writer<float>(bin, pr.thick.size(), 1, "SCALAR", false);
            attr["_SF_THICK"] = thick.accessor();
            if (pr.colours) {
                color = view_writer<float>(bin, pr.color.size(), 3, "VEC3", false);
                attr["COLOR_0"] = color.accessor();
            }
        }
        if (pr.tint) {
            tint = view_writer<std::uint8_t>(bin, pr.tint_rgba.size(), 4, "VEC4", false);
            attr["COLOR_0"] = tint.accessor();
        }
        for (int s = pr.tangents ? 1 : 0; s < pr.uv_count; ++s) uv[s].put_all(pr.uv[s]), uv[s].finish();
        if (pr.weights) {
            range.put_all(pr.range), range.finish();
            thick.put_all(pr.thick), thick.finish();
            if (pr.colours) color.put_all(pr.color), color.finish();
        }
        if (pr.tint) tint.put_all(pr.tint_rgba), tint.finish();
        release();
        pos.put(pr.pos.data(), pr.pos.size()), pos.finish();
        if (!pr.nrm.empty()) nrm.put(pr.nrm.data(), pr.nrm.size()), nrm.finish();
        if (short_idx) {
            std::uint16_t piece[8192];
            for (std::size_t i = 0; i < pr.idx.size(); i += 8192) {
                const std::size_t n = std::min<std::size_t>(8192, pr.idx.size() - i);
                std::copy_n(pr.idx.begin() + std::ptrdiff_t(i), n, piece);
                idx16.put(piece, n);
            }
            idx16.finish();
        } else {
            idx32.put(pr.idx.data(), pr.idx.size()), idx32.finish();
        }
        if (pr.tangents) {
            add_tangents(pr, tan);
            uv[0].put_all(pr.uv[0]), uv[0].finish();
        }
        if (!names.empty()) g["extras"] = {{"texcoords", std::move(names)}};
        gl_prims.push_back(std::move(g));
    }
    if (!gl_prims.empty()) {
        doc["nodes"][0]["mesh"] = 0;
        doc["meshes"] = json::array(
            {json{{"name", options.name.empty() ? "tree" : options.name}, {"primitives", std::move(gl_prims)}}});
        doc["materials"] = std::move(materials);
        textures.put(doc);
        doc["buffers"] = json::array({json{{"byteLength", bin.data_size()}}});
    } else {
        doc.erase("accessors");
        doc.erase("bufferViews");
    }
}

// The container: header, JSON chunk, binary chunk.
void write_container(const json& doc, bin_builder& bin, byte_sink& sink) {
    std::string text = doc.dump(-1, ' ', false, json::error_handler_t::replace);
    text.append((4 - text.size() % 4) % 4, ' ');
    const bool has_bin = bin.chunk_size() > 0;
    const std::uint64_t total = 12 + 8 + std::uint64_t(text.size()) + (has_bin ? 8 + bin.chunk_size() : 0);
    if (total > 0xFFFFFFFFull) throw io_error("glTF binary file would exceed 4 GiB");

    char head[20];
    put_u32(head, 0x46546C67u);  // "glTF"
    put_u32(head + 4, 2);
    put_u32(head + 8, static_cast<std::uint32_t>(total));
    put_u32(head + 12, static_cast<std::uint32_t>(text.size()));
    put_u32(head + 16, 0x4E4F534Au);  // "JSON"
    sink.write({head, 20});
    sink.write(text);
    if (has_bin) {
        put_u32(head, static_cast<std::uint32_t>(bin.chunk_size()));
        put_u32(head + 4, 0x004E4942u);  // "BIN\0"
        sink.write({head, 8});
        bin.write(sink);
    }
}

}  // namespace

void write_glb(const mesh_layer& layer, byte_sink& sink, const glb_options& options) {
    corner_values cv(layer);
    // Wind colours take COLOR_0 of every primitive; leaves are tinted only without them.
    const std::vector<std::uint8_t> tints =
        options.leaf_tint && !options.wind_colours ? leaf_tint_bytes(layer) : std::vector<std::uint8_t>();
    primitive_plan plan = plan_primitives(layer, cv, options, tints);
    vertex_index vx;
    vx.head.assign(layer.point_count(), k_none);
    const auto build = [&](std::size_t i) {
        build_primitive(layer, cv, vx, plan.prims[i],
                        std::span<const index_t>(plan.order.data() + plan.start[i], plan.start[i + 1] - plan.start[i]));
    };

    json doc = json::object();
    doc["asset"] = {{"version", "2.0"}, {"generator", "Sylvaform"}};
    doc["scene"] = 0;
    doc["scenes"] = json::array({json{{"nodes", json::array({0})}}});
    doc["nodes"] = json::array({json{{"name", options.name.empty() ? "tree" : options.name}}});
    bin_builder bin(doc, sink.spill_dir());
    const auto release = [&] {
        vx.next = {};
        vx.origin = {};
    };
    add_meshes(layer, cv, options, plan.prims, build, release, bin, doc);
    vx = {};
    plan = {};
    write_container(doc, bin, sink);
}

namespace {

// Errors of the side file name the output too.
void write_glb_named(const mesh_layer& layer, const std::string& path, byte_sink& sink, const glb_options& options) {
    try {
        write_glb(layer, sink, options);
    } catch (const io_error& e) {
        if (std::string_view(e.what()).find(path) != std::string_view::npos) throw;
        throw io_error("cannot write " + path + ": " + e.what());
    }
}

}  // namespace

void write_glb_file(const mesh_layer& layer, const std::string& path, file_set& files,
                    const glb_options& options) {
    write_glb_named(layer, path, files.add(path), options);
}

void write_glb_file(const mesh_layer& layer, const std::string& path, const glb_options& options) {
    atomic_file file(path);
    write_glb_named(layer, path, file, options);
    file.commit();
}

}  // namespace sf::formats
