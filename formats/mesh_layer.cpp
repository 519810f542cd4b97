#include "formats/mesh_layer.h"

#include <cmath>
#include <stdexcept>
#include <tuple>
#include <utility>

namespace sf::formats {

namespace {

void check_room(std::size_t count) {
    if (count > k_max_index) throw std::length_error("mesh layer is full");
}

// Restores every array to its size at construction unless dismissed, so a
// failed append (bad_alloc half way) leaves the layer as it was.
template <class... V>
class rollback {
public:
    explicit rollback(V&... v) : vecs_(&v...), sizes_(v.size()...) {}
    ~rollback() {
        if (armed_) undo(std::index_sequence_for<V...>{});
    }
    void dismiss() { armed_ = false; }

private:
    template <std::size_t... I>
    void undo(std::index_sequence<I...>) {
        (std::get<I>(vecs_)->resize(std::get<I>(sizes_)), ...);
    }
    std::tuple<V*...> vecs_;
    std::tuple<decltype(std::declval<V&>().size())...> sizes_;
    bool armed_ = true;
};

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

index_t string_pool::find(std::string_view s) const {
    auto it = map_.find(s);
    return it == map_.end() ? k_none : it->second;
}

void string_pool::clear() {
    map_.clear();
    by_index_.clear();
    last_ = k_none;
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

index_t mesh_layer::add_point(double x, double y, double z) {
    return append([&] {
        const std::size_t n = xyz_.size() / 3;
        check_room(n + 1);
        rollback guard(xyz_, journal_);
        xyz_.push_back(x);
        xyz_.push_back(y);
        xyz_.push_back(z);
        journal_.push_back(edit_kind::point);
        guard.dismiss();
        return static_cast<index_t>(n);
    });
}

index_t mesh_layer::add_polygon(LWID type, index_t surface, std::span<const index_t> points) {
    return append([&] {
        const std::size_t n = poly_type_.size();
        check_room(n + 1);
        check_room(poly_points_.size() + points.size());
        rollback guard(poly_type_, poly_surface_, poly_start_, poly_points_, journal_);
        poly_points_.insert(poly_points_.end(), points.begin(), points.end());
        poly_start_.push_back(static_cast<index_t>(poly_points_.size()));
        poly_type_.push_back(type);
        poly_surface_.push_back(surface);
        journal_.push_back(edit_kind::polygon);
        guard.dismiss();
        return static_cast<index_t>(n);
    });
}

index_t mesh_layer::add_tag(index_t polygon, LWID type, index_t text) {
    return append([&] {
        check_room(tags_.size() + 1);
        rollback guard(tags_, journal_);
        tags_.push_back({polygon, type, text});
        journal_.push_back(edit_kind::tag);
        guard.dismiss();
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
    // hashing, is the fastest lookup for the millions of values a tree sets.
    for (std::size_t i = 0; i < maps_.size(); ++i)
        if (maps_[i].type == type && strings_.view(maps_[i].name) == name)
            return maps_[i].dim == dim ? static_cast<index_t>(i) : k_none;
    if (dim == 0 || dim > k_max_map_dim) return k_none;
    const index_t s = strings_.intern(name);
    check_room(maps_.size() + 1);
    maps_.push_back({type, s, dim});
    return static_cast<index_t>(maps_.size() - 1);
}

index_t mesh_layer::add_value(index_t point, index_t polygon, index_t map, const float* v) {
    return append([&] {
        big_vector<value_record>& recs = polygon == k_none ? vmap_ : vmad_;
        check_room(recs.size() + 1);
        value_record rec{point, polygon, map, {0.0f, 0.0f}};
        for (std::uint32_t k = 0; k < maps_[map].dim; ++k) rec.v[k] = v[k];
        rollback guard(recs, journal_);
        recs.push_back(rec);
        journal_.push_back(polygon == k_none ? edit_kind::vmap : edit_kind::vmad);
        guard.dismiss();
        return static_cast<index_t>(recs.size() - 1);
    });
}

const float* mesh_layer::find_value(index_t map, index_t point, index_t polygon) const {
    const big_vector<value_record>& recs = polygon == k_none ? vmap_ : vmad_;
    for (auto it = recs.rbegin(); it != recs.rend(); ++it)
        if (it->map == map && it->point == point && it->polygon == polygon)
            return it->v;
    return nullptr;
}

void mesh_layer::clear() {
    xyz_.clear();
    poly_type_.clear();
    poly_surface_.clear();
    poly_start_.assign(1, 0);
    poly_points_.clear();
    tags_.clear();
    maps_.clear();
    vmap_.clear();
    vmad_.clear();
    journal_.clear();
    strings_.clear();
    failure_ = nullptr;
}

namespace {

std::string non_finite_text(double v) { return std::isnan(v) ? "nan" : v > 0 ? "inf" : "-inf"; }

}  // namespace

std::string first_non_finite(const mesh_layer& layer) {
    const std::span<const double> xyz = layer.point_coordinates();
    for (std::size_t k = 0; k < xyz.size(); ++k)
        if (!std::isfinite(xyz[k]))
            return "point " + std::to_string(k / 3) + " has " + "xyz"[k % 3] + " = " + non_finite_text(xyz[k]);
    for (const auto values : {layer.point_values(), layer.polygon_point_values()})
        for (const value_record& r : values)
            for (const float v : layer.values(r))
                if (!std::isfinite(v))
                    return "point " + std::to_string(r.point) + " has " + non_finite_text(v) + " in map " +
                           std::string(layer.strings().view(layer.maps()[r.map].name));
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
