#include "formats/mesh_layer.h"

#include <link.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <iterator>
#include <limits>
#include <stdexcept>

namespace sf::formats {

namespace {

void check_room(std::size_t count) {
    if (count > k_max_index) throw std::length_error("mesh layer is full");
}

// Whether p lies in a segment of a loaded program or library that is not
// writable: a text there (a string literal) can never change, so a cache
// keyed by its address needs no comparison of the text.
bool in_read_only_image(const void* p) {
    struct query {
        std::uintptr_t address;
        bool found;
    } q{reinterpret_cast<std::uintptr_t>(p), false};
    ::dl_iterate_phdr(
        [](dl_phdr_info* info, std::size_t, void* data) {
            query& q = *static_cast<query*>(data);
            for (int i = 0; i < info->dlpi_phnum; ++i) {
                const ElfW(Phdr)& h = info->dlpi_phdr[i];
                if (h.p_type != PT_LOAD || (h.p_flags & PF_W)) continue;
                const std::uintptr_t start = info->dlpi_addr + h.p_vaddr;
                if (q.address >= start && q.address - start < h.p_memsz) {
                    q.found = true;
                    return 1;
                }
            }
            return 0;
        },
        &q);
    return q.found;
}

// A text that can never change is as good as its address; any other is
// compared.
bool same_text(bool fixed, const char* cached, const char* s) {
    return fixed || std::strcmp(cached, s) == 0;
}

}  // namespace

// string_pool

index_t string_pool::intern(std::string_view s) {
    if (last_ != k_none && *by_index_[last_] == s) return last_;
    auto it = map_.find(s);
    if (it == map_.end()) {
        check_room(by_index_.size() + 1);
        by_index_.reserve(by_index_.size() + 1);
        const index_t i = static_cast<index_t>(by_index_.size());
        it = map_.emplace(std::string(s), i).first;
        by_index_.push_back(&it->first);
    }
    last_ = it->second;
    return last_;
}

index_t string_pool::intern(const char* s) {
    for (const cached& c : by_address_)
        if (c.text == s && same_text(c.fixed, by_index_[c.index]->c_str(), s)) return c.index;
    const index_t i = intern(std::string_view(s));
    by_address_[next_cached_] = {s, i, in_read_only_image(s)};
    next_cached_ = (next_cached_ + 1) % std::size(by_address_);
    return i;
}

index_t string_pool::find(std::string_view s) const {
    auto it = map_.find(s);
    return it == map_.end() ? k_none : it->second;
}

void string_pool::clear() {
    map_.clear();
    by_index_.clear();
    last_ = k_none;
    for (cached& c : by_address_) c = {};
    next_cached_ = 0;
}

// mesh_layer

template <class F>
auto mesh_layer::append(F&& f) {
    if (failure_) std::rethrow_exception(failure_);
    try {
        return f();
    } catch (...) {
        failure_ = std::current_exception();
        throw;
    }
}

// Every append first makes room in each array it writes (which may throw and
// changes nothing), then writes without a check, so a failed append leaves
// the layer as it was.

index_t mesh_layer::add_point(double x, double y, double z) {
    return append([&] {
        const std::size_t n = xyz_.size() / 3;
        check_room(n + 1);
        xyz_.reserve_more(3);
        if (history_) journal_.reserve_more(1);
        xyz_.push_unchecked(x);
        xyz_.push_unchecked(y);
        xyz_.push_unchecked(z);
        if (history_) journal_.push_unchecked(edit_kind::point);
        return static_cast<index_t>(n);
    });
}

index_t mesh_layer::add_polygon(LWID type, index_t surface, std::span<const index_t> points) {
    return append([&] {
        const std::size_t n = poly_type_.size();
        check_room(n + 1);
        check_room(poly_points_.size() + points.size());
        poly_points_.reserve_more(points.size());
        poly_start_.reserve_more(1);
        poly_type_.reserve_more(1);
        poly_surface_.reserve_more(1);
        if (history_) journal_.reserve_more(1);
        for (const index_t p : points) poly_points_.push_unchecked(p);
        poly_start_.push_unchecked(static_cast<index_t>(poly_points_.size()));
        poly_type_.push_unchecked(type);
        poly_surface_.push_unchecked(surface);
        if (history_) journal_.push_unchecked(edit_kind::polygon);
        return static_cast<index_t>(n);
    });
}

index_t mesh_layer::add_tag(index_t polygon, LWID type, index_t text) {
    return append([&] {
        check_room(tags_.size() + 1);
        tags_.reserve_more(1);
        if (history_) journal_.reserve_more(1);
        tags_.push_unchecked({polygon, type, text});
        if (history_) journal_.push_unchecked(edit_kind::tag);
        return static_cast<index_t>(tags_.size() - 1);
    });
}

index_t mesh_layer::find_map(LWID type, std::string_view name) const {
    const index_t s = strings_.find(name);
    if (s == k_none) return k_none;
    for (std::size_t i = 0; i < maps_.size(); ++i)
        if (maps_[i].type == type && maps_[i].name == s) return static_cast<index_t>(i);
    return k_none;
}

index_t mesh_layer::find_or_add_map(LWID type, std::string_view name, std::uint32_t dim) {
    // Maps are few (a handful per build): a linear search by name, without
    // hashing.
    for (std::size_t i = 0; i < maps_.size(); ++i)
        if (maps_[i].type == type && strings_.view(maps_[i].name) == name)
            return maps_[i].dim == dim ? static_cast<index_t>(i) : k_none;
    if (dim == 0 || dim > k_max_map_dim) return k_none;
    check_room(maps_.size() + 1);
    maps_.reserve(maps_.size() + 1);
    values_.reserve(maps_.size() + 1);
    const index_t s = strings_.intern(name);
    maps_.push_back({type, s, dim});
    values_.emplace_back();
    return static_cast<index_t>(maps_.size() - 1);
}

index_t mesh_layer::find_or_add_map(LWID type, const char* name, std::uint32_t dim) {
    for (const map_cache_entry& e : map_cache_)
        if (e.name == name && e.type == type && e.dim == dim &&
            same_text(e.fixed, strings_.c_str(maps_[e.map].name), name))
            return e.map;
    const index_t m = find_or_add_map(type, std::string_view(name), dim);
    if (m != k_none) {
        map_cache_[map_cache_next_] = {name, type, dim, m, in_read_only_image(name)};
        map_cache_next_ = (map_cache_next_ + 1) % std::size(map_cache_);
    }
    return m;
}

index_t mesh_layer::add_value(index_t point, index_t polygon, index_t map, const float* v) {
    return append([&] {
        const std::uint32_t dim = maps_[map].dim;
        value_record rec{point, polygon, map, {0.0f, 0.0f}};
        for (std::uint32_t k = 0; k < dim; ++k) rec.v[k] = v[k];
        if (polygon != k_none) {
            check_room(vmad_.size() + 1);
            vmad_.reserve_more(1);
            if (history_) journal_.reserve_more(1);
            vmad_.push_unchecked(rec);
            if (history_) journal_.push_unchecked(edit_kind::vmad);
            return static_cast<index_t>(vmad_.size() - 1);
        }
        // Dense storage: a value must belong to a point the layer has.
        if (point >= point_count()) throw std::out_of_range("mesh layer: a value for a point it does not have");
        map_values& m = values_[map];
        // The history keeps the values a call replaces; the others stay in
        // the map.
        value_record old{point, k_none, map, {0.0f, 0.0f}};
        const float* was = history_ ? point_value(map, point) : nullptr;
        if (history_) {
            check_room(vmap_.size() + 1);
            vmap_.reserve_more(1);
            journal_.reserve_more(1);
            if (was) {
                std::memcpy(old.v, was, dim * sizeof(float));
                replaced_.reserve_more(1);
            }
        }
        make_room(m, point, dim);
        const std::size_t i = std::size_t(point) - m.base;
        std::memcpy(&m.v[i * dim], rec.v, dim * sizeof(float));
        m.set[i >> 6] |= std::uint64_t(1) << (i & 63);
        ++m.count;
        if (!history_) return static_cast<index_t>(m.count - 1);
        if (was) replaced_.push_unchecked(old);
        vmap_.push_unchecked(value_call{point, map});
        journal_.push_unchecked(edit_kind::vmap);
        return static_cast<index_t>(vmap_.size() - 1);
    });
}

void mesh_layer::make_room(map_values& m, index_t point, std::uint32_t dim) {
    const std::size_t start = std::size_t(point) & ~std::size_t(63);
    if (m.set.empty()) m.base = start;
    if (start < m.base) {
        // A point below the first one: everything moves up by the gap.
        const std::size_t gap = m.base - start, words = m.set.size();
        // Values first: a set bit never lacks its value, whichever resize fails.
        m.v.resize((words + gap / 64) * 64 * dim);
        m.set.resize(words + gap / 64);
        std::memmove(m.set.data() + gap / 64, m.set.data(), words * sizeof(std::uint64_t));
        std::memset(m.set.data(), 0, gap / 64 * sizeof(std::uint64_t));
        std::memmove(m.v.data() + gap * dim, m.v.data(), words * 64 * dim * sizeof(float));
        m.base = start;
    }
    const std::size_t words = ((std::size_t(point) - m.base) >> 6) + 1;
    if (m.set.size() < words) {
        // Sized to what is used (capacity grows geometrically underneath),
        // so pages are faulted in ahead of the points that use them only.
        m.v.resize(words * 64 * dim);
        m.set.resize(words);
    }
}

const float* mesh_layer::find_value(index_t map, index_t point, index_t polygon) const {
    if (polygon == k_none) return map < maps_.size() ? point_value(map, point) : nullptr;
    for (auto it = vmad_.end(); it != vmad_.begin();) {
        --it;
        if (it->map == map && it->point == point && it->polygon == polygon) return it->v;
    }
    return nullptr;
}

void mesh_layer::clear() {
    xyz_.clear();
    poly_type_.clear();
    poly_surface_.clear();
    poly_start_ = {0};
    poly_points_.clear();
    tags_.clear();
    maps_.clear();
    values_.clear();
    vmap_.clear();
    replaced_.clear();
    vmad_.clear();
    journal_.clear();
    strings_.clear();
    failure_ = nullptr;
    for (map_cache_entry& e : map_cache_) e = {};
    map_cache_next_ = 0;
}

namespace {

// Index of the first value that is not finite, or n. Whole blocks are
// tested without a branch per value (the loop vectorises); only a block
// with a hit is looked at one by one.
template <class T>
std::size_t first_not_finite(const T* v, std::size_t n) {
    constexpr std::size_t k_block = 1024;
    constexpr T k_max = std::numeric_limits<T>::max();
    for (std::size_t b = 0; b < n; b += k_block) {
        const std::size_t e = std::min(n, b + k_block);
        int bad = 0;
        for (std::size_t i = b; i < e; ++i) bad |= !(std::fabs(v[i]) <= k_max);
        if (bad)
            for (std::size_t i = b; i < e; ++i)
                if (!std::isfinite(v[i])) return i;
    }
    return n;
}

std::string non_finite_text(double v) { return std::isnan(v) ? "nan" : v > 0 ? "inf" : "-inf"; }

}  // namespace

point_value_history::point_value_history(const mesh_layer& layer) : layer_(&layer) {
    if (layer.replaced_.empty()) return;
    // The k-th replaced value of a point and map belongs to its k-th call.
    const auto key = [](index_t point, index_t map) { return std::uint64_t(point) << 32 | map; };
    std::unordered_map<std::uint64_t, std::vector<std::size_t>> by_key;
    for (std::size_t j = 0; j < layer.replaced_.size(); ++j)
        by_key[key(layer.replaced_[j].point, layer.replaced_[j].map)].push_back(j);
    std::unordered_map<std::uint64_t, std::size_t> seen;
    for (std::size_t i = 0; i < layer.vmap_.size(); ++i) {
        const value_call& c = layer.vmap_[i];
        const auto it = by_key.find(key(c.point, c.map));
        if (it == by_key.end()) continue;
        const std::size_t k = seen[it->first]++;
        if (k < it->second.size()) replaced_at_.emplace(i, it->second[k]);
    }
}

value_record point_value_history::operator[](std::size_t i) const {
    const value_call& c = layer_->vmap_[i];
    value_record r{c.point, k_none, c.map, {0.0f, 0.0f}};
    const std::uint32_t dim = layer_->maps_[c.map].dim;
    const float* v = nullptr;
    if (!replaced_at_.empty())
        if (const auto it = replaced_at_.find(i); it != replaced_at_.end()) v = layer_->replaced_[it->second].v;
    if (!v) v = layer_->point_value(c.map, c.point);
    if (v) std::memcpy(r.v, v, dim * sizeof(float));
    return r;
}

std::string first_non_finite(const mesh_layer& layer) {
    const std::span<const double> xyz = layer.point_coordinates();
    if (const std::size_t k = first_not_finite(xyz.data(), xyz.size()); k < xyz.size())
        return "point " + std::to_string(k / 3) + " has " + "xyz"[k % 3] + " = " + non_finite_text(xyz[k]);
    auto in_map = [&](index_t point, float v, index_t map) {
        return "point " + std::to_string(point) + " has " + non_finite_text(v) + " in map " +
               std::string(layer.strings().view(layer.maps()[map].name));
    };
    // In call order where the history is kept, else map by map.
    if (layer.keeps_history()) {
        for (const value_record r : layer.point_values())
            for (const float v : layer.values(r))
                if (!std::isfinite(v)) return in_map(r.point, v, r.map);
    } else {
        // The dense arrays whole: a slot no point set holds a finite number
        // or one that is not read, so only a hit needs its bit looked at.
        for (index_t m = 0; m < layer.maps().size(); ++m) {
            const mesh_layer::map_values& mv = layer.values_[m];
            const std::uint32_t dim = layer.maps_[m].dim;
            const std::size_t slots = std::min(mv.v.size(), mv.set.size() * 64 * dim);
            for (std::size_t k = 0; (k += first_not_finite(mv.v.data() + k, slots - k)) < slots; ++k) {
                const std::size_t i = k / dim;
                if (mv.set[i >> 6] >> (i & 63) & 1) return in_map(index_t(mv.base + i), mv.v[k], m);
            }
        }
    }
    for (const value_record& r : layer.polygon_point_values())
        for (const float v : layer.values(r))
            if (!std::isfinite(v)) return in_map(r.point, v, r.map);
    return {};
}

std::string_view id4_text(LWID id, char (&buf)[4]) {
    buf[0] = static_cast<char>((id >> 24) & 0xFF);
    buf[1] = static_cast<char>((id >> 16) & 0xFF);
    buf[2] = static_cast<char>((id >> 8) & 0xFF);
    buf[3] = static_cast<char>(id & 0xFF);
    return {buf, 4};
}

}  // namespace sf::formats
