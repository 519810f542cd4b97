// One layer of an in-memory object: points, polygons, polygon tags and
// vertex-map values, stored in flat arrays so that millions of elements cost
// a few bytes each and appending is amortised constant time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "formats/big_buffer.h"
#include "host/host_api.h"

namespace sf::formats {

using index_t = std::uint32_t;
constexpr index_t k_none = 0xFFFFFFFFu;     // "no surface", "not found"
constexpr index_t k_max_index = 0xFFFFFFFEu;  // largest element index handed out

// Interned strings: each distinct text gets a small index and one
// null-terminated copy whose address stays valid for the pool's life.
class string_pool {
public:
    string_pool() = default;
    string_pool(const string_pool&) = delete;
    string_pool& operator=(const string_pool&) = delete;
    string_pool(string_pool&&) = default;
    string_pool& operator=(string_pool&&) = default;

    index_t intern(std::string_view s);
    // The same for texts that callers pass again and again from the same
    // address (surface names, tags): a hit costs one comparison.
    index_t intern(const char* s);
    index_t find(std::string_view s) const;  // k_none when absent
    std::string_view view(index_t i) const { return *by_index_[i]; }
    const char* c_str(index_t i) const { return by_index_[i]->c_str(); }
    std::size_t size() const { return by_index_.size(); }
    void clear();

private:
    struct hash {
        using is_transparent = void;
        std::size_t operator()(std::string_view s) const noexcept {
            return std::hash<std::string_view>{}(s);
        }
    };
    std::unordered_map<std::string, index_t, hash, std::equal_to<>> map_;
    std::vector<const std::string*> by_index_;
    index_t last_ = k_none;  // most recent hit: callers repeat the same names
    struct cached {
        const char* text = nullptr;
        index_t index = k_none;
        bool fixed = false;  // the text lies in read-only memory
    };
    cached by_address_[8];
    unsigned next_cached_ = 0;
};

// Which record array an edit appended to, in call order.
enum class edit_kind : std::uint8_t { point, polygon, tag, vmap, vmad };

struct tag_record {
    index_t polygon;
    LWID type;
    index_t text;  // string-pool index
};

struct vmap_desc {
    LWID type;
    index_t name;  // string-pool index
    std::uint32_t dim;
};

// A per-point value (vmap) or per-polygon-point value (vmad, polygon set).
// Maps hold one or two values per point (weights and texture coordinates).
constexpr std::uint32_t k_max_map_dim = 2;

struct value_record {
    index_t point;
    index_t polygon;  // k_none for a per-point value
    index_t map;      // index into maps()
    float v[k_max_map_dim];  // the first map.dim are used
};

// A per-point value call of the history: which point, which map. Its
// values are the map's current ones unless a later call replaced them.
struct value_call {
    index_t point;
    index_t map;
};

class point_value_history;

class mesh_layer {
public:
    // Points.
    index_t point_count() const { return static_cast<index_t>(xyz_.size() / 3); }
    const double* point(index_t i) const { return &xyz_[std::size_t(i) * 3]; }
    std::span<const double> point_coordinates() const { return xyz_; }
    index_t add_point(double x, double y, double z);

    // Polygons. Point lists refer to this layer's point indices; the caller
    // checks them.
    index_t polygon_count() const { return static_cast<index_t>(poly_type_.size()); }
    LWID polygon_type(index_t p) const { return poly_type_[p]; }
    index_t polygon_surface(index_t p) const { return poly_surface_[p]; }
    std::span<const index_t> polygon_points(index_t p) const {
        return {poly_points_.data() + poly_start_[p], poly_points_.data() + poly_start_[p + 1]};
    }
    index_t add_polygon(LWID type, index_t surface, std::span<const index_t> points);

    // Tags.
    std::span<const tag_record> tags() const { return tags_; }
    index_t add_tag(index_t polygon, LWID type, index_t text);

    // Vertex maps. A map is named by (type, name) and keeps the dimension it
    // was first given; find_or_add_map answers k_none for a clashing dim or
    // one above k_max_map_dim.
    std::span<const vmap_desc> maps() const { return maps_; }
    index_t find_map(LWID type, std::string_view name) const;
    index_t find_or_add_map(LWID type, std::string_view name, std::uint32_t dim);
    // The same for a name that callers pass again and again from the same
    // address: a hit costs one comparison of the text.
    index_t find_or_add_map(LWID type, const char* name, std::uint32_t dim);

    // polygon k_none sets a per-point value, else a per-polygon-point one.
    index_t add_value(index_t point, index_t polygon, index_t map, const float* v);
    // Latest value set for a point (polygon k_none) or polygon point; null if unset.
    const float* find_value(index_t map, index_t point, index_t polygon = k_none) const;

    // Per-point values as they stand: the latest one of each map at each
    // point, null where none was set.
    const float* point_value(index_t map, index_t point) const {
        const map_values& m = values_[map];
        const std::size_t i = std::size_t(point) - m.base;  // wraps below the base
        if (i >= m.set.size() * 64 || !(m.set[i >> 6] >> (i & 63) & 1)) return nullptr;
        return &m.v[i * maps_[map].dim];
    }
    // Whether any point has a value in the map, and how many values were
    // set in it (repeats for a point included).
    bool has_point_values(index_t map) const { return values_[map].count != 0; }
    std::size_t point_value_calls(index_t map) const { return values_[map].count; }
    // Every per-polygon-point value in call order (the latest of a corner wins).
    std::span<const value_record> polygon_point_values() const { return vmad_; }
    // The values of a record, as long as the record lives.
    std::span<const float> values(const value_record& r) const { return {r.v, maps_[r.map].dim}; }

    // Names: surfaces, map names and tag texts.
    string_pool& strings() { return strings_; }
    const string_pool& strings() const { return strings_; }

    // The history of the layer: every append in order, and every per-point
    // value call with the values it set; the edit log replays it. Kept
    // unless turned off (before the first edit) by a host that will not
    // write an edit log: it costs more than the layer itself.
    bool keeps_history() const { return history_; }
    void keep_history(bool on) { history_ = on; }
    std::span<const edit_kind> journal() const { return journal_; }
    // The per-point value calls in call order, each with the values it set
    // (made once per use: it indexes the replaced values, if any).
    point_value_history point_values() const;

    // The first failure of an append (over the memory budget, out of
    // memory, too many elements), or null. From then on every append throws
    // it again at once, so a layer that missed an edit never carries on as
    // if it were whole. fail() records one that happened outside the layer;
    // clear() forgets it.
    std::exception_ptr failure() const { return failure_; }
    void fail(std::exception_ptr e) {
        if (!failure_) failure_ = e;
    }

    // Empties the layer and gives its memory back; the history setting stays.
    void clear();

private:
    // One map's per-point values, dense by point from the first point that
    // has one (maps of leaves start late), with a bit per point that says
    // whether it was set.
    struct map_values {
        std::size_t base = 0;  // point of v[0] and bit 0, a multiple of 64
        big_array<float> v;
        big_array<std::uint64_t> set;
        std::size_t count = 0;  // values set, repeats included
    };
    // Room in m for point's value; may throw and then changes nothing that is read.
    static void make_room(map_values& m, index_t point, std::uint32_t dim);
    struct map_cache_entry {
        const char* name;
        LWID type;
        std::uint32_t dim;
        index_t map;
        bool fixed;  // the name lies in read-only memory
    };

    big_array<double> xyz_;
    big_array<LWID> poly_type_;
    big_array<index_t> poly_surface_;
    big_array<index_t> poly_start_{0};
    big_array<index_t> poly_points_;
    big_array<tag_record> tags_;
    std::vector<vmap_desc> maps_;
    std::vector<map_values> values_;  // by map
    big_array<value_record> vmad_;
    // History only: the per-point value calls, and the values a later call
    // replaced, in the order they were replaced (rare: the tool sets a
    // point's value once).
    big_array<value_call> vmap_;
    big_array<value_record> replaced_;
    big_array<edit_kind> journal_;      // history only
    string_pool strings_;
    std::exception_ptr failure_;
    bool history_ = true;
    map_cache_entry map_cache_[8] = {};
    unsigned map_cache_next_ = 0;

    template <class F>
    auto append(F&& f);

    friend std::string first_non_finite(const mesh_layer& layer);
    friend class point_value_history;
};

// The history's per-point value calls as records (polygon k_none): a call
// that a later one for the same point and map replaced has the values it
// set then, the others the map's current values.
class point_value_history {
public:
    explicit point_value_history(const mesh_layer& layer);
    std::size_t size() const { return layer_->vmap_.size(); }
    value_record operator[](std::size_t i) const;

    class iterator {
    public:
        iterator(const point_value_history* h, std::size_t i) : h_(h), i_(i) {}
        value_record operator*() const { return (*h_)[i_]; }
        iterator& operator++() {
            ++i_;
            return *this;
        }
        bool operator!=(const iterator& o) const { return i_ != o.i_; }

    private:
        const point_value_history* h_;
        std::size_t i_;
    };
    iterator begin() const { return {this, 0}; }
    iterator end() const { return {this, size()}; }

private:
    const mesh_layer* layer_;
    std::unordered_map<std::size_t, std::size_t> replaced_at_;  // call -> replaced_ index
};

inline point_value_history mesh_layer::point_values() const { return point_value_history(*this); }

// The first point coordinate or map value that is not a finite number,
// described as "point 12 has y = nan" or "point 3 has inf in map
// SF_branch"; empty when every number is finite.
std::string first_non_finite(const mesh_layer& layer);

// Groups the per-polygon values that keep accepts (used of them) by polygon,
// keeping their order within a polygon: the records of polygon p are
// order[start[p]] .. order[start[p + 1] - 1], as indices into
// layer.polygon_point_values(). A counting sort, linear in the values.
template <class Keep>
void group_values_by_polygon(const mesh_layer& layer, Keep keep, std::size_t used,
                             std::vector<index_t>& start, std::vector<index_t>& order) {
    const std::span<const value_record> values = layer.polygon_point_values();
    const index_t polygons = layer.polygon_count();
    start.assign(std::size_t(polygons) + 1, 0);
    for (const value_record& v : values)
        if (keep(v)) ++start[v.polygon + 1];
    for (index_t p = 0; p < polygons; ++p) start[p + 1] += start[p];
    order.resize(used);
    std::vector<index_t> fill(start.begin(), start.end() - 1);
    for (std::size_t r = 0; r < values.size(); ++r)
        if (keep(values[r])) order[fill[values[r].polygon]++] = static_cast<index_t>(r);
}

// Four-character code as text.
std::string_view id4_text(LWID id, char (&buf)[4]);

}  // namespace sf::formats
