#include "formats/lod.h"

#include <meshoptimizer.h>

#include <algorithm>
#include <bit>
#include <chrono>
#include <cmath>
#include <cstring>
#include <nlohmann/json.hpp>

#include "formats/file_io.h"
#include "formats/materials.h"

namespace sf::formats {

namespace {

using json = nlohmann::json;

// The bark's allowed shape error at level 1, relative to the tree's size;
// it doubles with every level.
constexpr float k_first_error = 0.01f;

// Every map value a corner carries: per map, the polygon's own value if it
// has one, else the point's.
class corner_lookup {
public:
    explicit corner_lookup(const mesh_layer& layer) : layer_(layer) {
        const std::size_t maps = layer.maps().size();
        const auto vmad = layer.polygon_point_values();
        auto keep = [&](const value_record& v) {
            return v.polygon < layer.polygon_count() && v.point < layer.point_count() && v.map < maps;
        };
        const std::size_t used = std::size_t(std::count_if(vmad.begin(), vmad.end(), keep));
        group_values_by_polygon(layer, keep, used, start_, order_);
    }

    std::size_t stride() const { return layer_.maps().size() * (k_max_map_dim + 1); }

    // out: per map a presence flag and the values.
    void fill(index_t polygon, index_t point, float* out) const {
        const auto maps = layer_.maps();
        std::fill(out, out + stride(), 0.0f);
        for (std::size_t m = 0; m < maps.size(); ++m) {
            const float* v = nullptr;
            for (index_t k = start_[polygon]; k < start_[polygon + 1]; ++k) {
                const value_record& r = layer_.polygon_point_values()[order_[k]];
                if (r.map == m && r.point == point) v = r.v;  // the latest wins
            }
            if (!v) v = layer_.point_value(index_t(m), point);
            if (!v) continue;
            float* slot = out + m * (k_max_map_dim + 1);
            slot[0] = 1.0f;
            std::memcpy(slot + 1, v, sizeof(float) * maps[m].dim);
        }
    }

private:
    const mesh_layer& layer_;
    std::vector<index_t> start_, order_;
};

// Corners turned into vertices: one per (point, surface, map values).
struct vertex_table {
    std::vector<index_t> point, surface, next;
    std::vector<float> values;   // stride per vertex
    std::vector<index_t> head;   // per source point: its first vertex
    std::size_t stride = 0;

    index_t find_or_add(index_t pt, index_t surf, const float* v) {
        for (index_t x = head[pt]; x != k_none; x = next[x])
            if (surface[x] == surf && std::memcmp(&values[std::size_t(x) * stride], v, stride * sizeof(float)) == 0)
                return x;
        const index_t x = index_t(point.size());
        point.push_back(pt);
        surface.push_back(surf);
        next.push_back(head[pt]);
        head[pt] = x;
        values.insert(values.end(), v, v + stride);
        return x;
    }
};

struct leaf_group {
    std::vector<index_t> polygons;
    double centre[3] = {0, 0, 0};
};

std::uint64_t mix(std::uint64_t x) {
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

// Leaves as groups of polygons: a leaf's polygons come one after another
// and share its points, and no two leaves share a point.
std::vector<leaf_group> leaf_groups(const mesh_layer& layer, index_t leaf_surface) {
    std::vector<leaf_group> groups;
    std::vector<index_t> last_points;
    for (index_t p = 0; p < layer.polygon_count(); ++p) {
        const auto pts = layer.polygon_points(p);
        if (layer.polygon_surface(p) != leaf_surface || pts.size() < 3) continue;
        const bool joins = !groups.empty() && std::any_of(pts.begin(), pts.end(), [&](index_t q) {
            return std::find(last_points.begin(), last_points.end(), q) != last_points.end();
        });
        if (!joins) {
            groups.emplace_back();
            last_points.clear();
        }
        groups.back().polygons.push_back(p);
        for (index_t q : pts)
            if (std::find(last_points.begin(), last_points.end(), q) == last_points.end()) last_points.push_back(q);
    }
    // Each leaf's centre, the mean of its distinct points.
    for (leaf_group& g : groups) {
        std::vector<index_t> pts;
        for (index_t p : g.polygons)
            for (index_t q : layer.polygon_points(p))
                if (std::find(pts.begin(), pts.end(), q) == pts.end()) pts.push_back(q);
        for (index_t q : pts)
            for (int k = 0; k < 3; ++k) g.centre[k] += layer.point(q)[k] / double(pts.size());
    }
    return groups;
}

// A new layer with the level's polygons, each vertex a point of its own
// with its map values as per-point values.
class level_writer {
public:
    level_writer(const mesh_layer& source, const vertex_table& vt) : src_(source), vt_(vt) {
        for (const vmap_desc& m : source.maps())
            map_.push_back(out_.find_or_add_map(m.type, source.strings().view(m.name), m.dim));
        point_of_.assign(vt.point.size(), k_none);
    }

    // A vertex, moved by scale about centre (scale 1 for bark).
    index_t point(index_t v, double scale, const double* centre) {
        if (scale == 1.0 && point_of_[v] != k_none) return point_of_[v];
        const double* p = src_.point(vt_.point[v]);
        double q[3];
        for (int k = 0; k < 3; ++k) q[k] = scale == 1.0 ? p[k] : centre[k] + (p[k] - centre[k]) * scale;
        const index_t id = out_.add_point(q[0], q[1], q[2]);
        const float* vals = &vt_.values[std::size_t(v) * vt_.stride];
        for (std::size_t m = 0; m < map_.size(); ++m) {
            const float* slot = vals + m * (k_max_map_dim + 1);
            if (slot[0] != 0.0f && map_[m] != k_none) out_.add_value(id, k_none, map_[m], slot + 1);
        }
        if (scale == 1.0) point_of_[v] = id;
        return id;
    }

    void polygon(index_t surface, std::span<const index_t> pts) {
        const index_t s = surface == k_none ? k_none : out_.strings().intern(src_.strings().view(surface));
        out_.add_polygon(LWPOLTYPE_FACE, s, pts);
    }

    mesh_layer take() { return std::move(out_); }

private:
    const mesh_layer& src_;
    const vertex_table& vt_;
    mesh_layer out_;
    std::vector<index_t> map_;
    std::vector<index_t> point_of_;
};

}  // namespace

std::size_t triangle_count(const mesh_layer& layer) {
    std::size_t n = 0;
    for (index_t p = 0; p < layer.polygon_count(); ++p) {
        const std::size_t c = layer.polygon_points(p).size();
        if (c >= 3) n += c - 2;
    }
    return n;
}

namespace {

// What every level is made from: the corners as vertices, the bark as
// triangles over them, each polygon's vertices, and the leaves.
struct lod_source {
    vertex_table vt;
    std::vector<unsigned> bark;
    std::vector<index_t> first_vertex;  // per polygon: its first entry of vertex_of
    std::vector<index_t> vertex_of;     // per polygon corner, in polygon order
    std::vector<float> positions;       // per vertex
    std::vector<leaf_group> leaves;
};

// Every corner as a vertex; the bark as triangles fanned from each
// polygon's first corner, keeping the winding.
lod_source gather_lod_source(const mesh_layer& layer, index_t leaf_surface) {
    lod_source src;
    corner_lookup corners(layer);
    vertex_table& vt = src.vt;
    vt.stride = corners.stride();
    vt.head.assign(layer.point_count(), k_none);
    std::vector<float> scratch(vt.stride);
    std::vector<unsigned>& bark = src.bark;
    std::vector<index_t>& first_vertex = src.first_vertex;
    std::vector<index_t>& vertex_of = src.vertex_of;
    first_vertex.assign(std::size_t(layer.polygon_count()) + 1, 0);
    for (index_t p = 0; p < layer.polygon_count(); ++p) {
        const auto pts = layer.polygon_points(p);
        first_vertex[p] = index_t(vertex_of.size());
        if (pts.size() < 3) continue;
        const index_t s = layer.polygon_surface(p);
        for (index_t q : pts) {
            corners.fill(p, q, scratch.data());
            vertex_of.push_back(vt.find_or_add(q, s, scratch.data()));
        }
        if (s == leaf_surface && s != k_none) continue;
        const index_t* v = &vertex_of[first_vertex[p]];
        for (std::size_t k = 1; k + 1 < pts.size(); ++k) {
            if (v[0] == v[k] || v[k] == v[k + 1] || v[0] == v[k + 1]) continue;
            bark.insert(bark.end(), {unsigned(v[0]), unsigned(v[k]), unsigned(v[k + 1])});
        }
    }
    first_vertex[layer.polygon_count()] = index_t(vertex_of.size());
    src.positions.resize(vt.point.size() * 3);
    for (std::size_t v = 0; v < vt.point.size(); ++v)
        for (int k = 0; k < 3; ++k) src.positions[v * 3 + std::size_t(k)] = float(layer.point(vt.point[v])[k]);
    src.leaves = leaf_groups(layer, leaf_surface);
    return src;
}

// Leaves in a fixed random order: each level keeps a prefix of it, so a
// leaf kept at one level is kept at every level above.
struct leaf_order {
    std::vector<std::size_t> order;
    std::vector<std::size_t> triangles;  // per leaf
    std::size_t total = 0;               // triangles of all leaves
};

leaf_order order_leaves(const mesh_layer& layer, const std::vector<leaf_group>& leaves) {
    leaf_order o;
    o.order.resize(leaves.size());
    o.triangles.assign(leaves.size(), 0);
    for (std::size_t g = 0; g < leaves.size(); ++g) {
        o.order[g] = g;
        for (index_t p : leaves[g].polygons) o.triangles[g] += layer.polygon_points(p).size() - 2;
        o.total += o.triangles[g];
    }
    std::sort(o.order.begin(), o.order.end(),
              [](std::size_t a, std::size_t b) { return mix(a) < mix(b) || (mix(a) == mix(b) && a < b); });
    return o;
}

// The bark of the next level, in place of `current`: halved as far as its
// seams allow; bark that leaves the leaves less than their least share of
// `total` triangles is cut further regardless of seams.
void simplify_bark(std::vector<unsigned>& current, std::vector<unsigned>& simplified, const lod_source& src,
                   std::size_t total, std::size_t leaves_before, float error) {
    const vertex_table& vt = src.vt;
    std::size_t n = current.empty()
                        ? 0
                        : meshopt_simplify(simplified.data(), current.data(), current.size(), src.positions.data(),
                                           vt.point.size(), sizeof(float) * 3, current.size() / 6 * 3, error, 0,
                                           nullptr);
    const std::size_t least_leaves = leaves_before / 4;
    if (n / 3 + least_leaves > total && n > 0) {
        const std::size_t goal = total > least_leaves ? (total - least_leaves) * 3 : 3;
        std::vector<unsigned> again(simplified.begin(), simplified.begin() + std::ptrdiff_t(n));
        n = meshopt_simplifySloppy(simplified.data(), again.data(), again.size(), src.positions.data(),
                                   vt.point.size(), sizeof(float) * 3, goal, 1.0f, nullptr);
    }
    current.assign(simplified.begin(), simplified.begin() + std::ptrdiff_t(n));
}

// A level's layer: the bark triangles, then the first `count` leaves of the
// order, each grown by `scale` about its centre.
mesh_layer write_level(const mesh_layer& layer, const lod_source& src, const std::vector<unsigned>& current,
                       const leaf_order& order, std::size_t count, double scale) {
    const vertex_table& vt = src.vt;
    level_writer w(layer, vt);
    for (std::size_t t = 0; t < current.size(); t += 3) {
        const index_t tri[3] = {w.point(current[t], 1.0, nullptr), w.point(current[t + 1], 1.0, nullptr),
                                w.point(current[t + 2], 1.0, nullptr)};
        w.polygon(vt.surface[current[t]], tri);
    }
    std::vector<index_t> pts;
    for (std::size_t i = 0; i < count; ++i) {
        const leaf_group& leaf = src.leaves[order.order[i]];
        std::vector<std::pair<index_t, index_t>> moved;  // vertex -> its point in this leaf
        for (index_t p : leaf.polygons) {
            pts.clear();
            for (index_t c = src.first_vertex[p]; c < src.first_vertex[p + 1]; ++c) {
                const index_t v = src.vertex_of[c];
                const auto it = std::find_if(moved.begin(), moved.end(), [&](auto& e) { return e.first == v; });
                if (it != moved.end()) {
                    pts.push_back(it->second);
                } else {
                    moved.emplace_back(v, w.point(v, scale, leaf.centre));
                    pts.push_back(moved.back().second);
                }
            }
            w.polygon(layer.polygon_surface(p), pts);
        }
    }
    return w.take();
}

}  // namespace

std::vector<lod_level> make_lod_chain(const mesh_layer& layer, int levels) {
    std::vector<lod_level> out;
    if (levels <= 1) return out;
    const auto started = std::chrono::steady_clock::now();
    const index_t leaf_surface = layer.strings().find(k_surface_leaf);
    const lod_source src = gather_lod_source(layer, leaf_surface);
    const double setup = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();

    const leaf_order leaves = order_leaves(layer, src.leaves);
    std::size_t leaves_before = leaves.total;
    std::vector<unsigned> current = src.bark, simplified(src.bark.size());
    std::size_t kept_leaves = src.leaves.size();
    float error = k_first_error;
    for (int level = 1; level < levels; ++level, error *= 2.0f) {
        const auto start = std::chrono::steady_clock::now();
        // Half the triangles of the level before: the bark halved, the
        // leaves taking up the rest.
        const std::size_t total = (current.size() / 3 + leaves_before) / 2;
        simplify_bark(current, simplified, src, total, leaves_before, error);
        const std::size_t leaf_budget = total > current.size() / 3 ? total - current.size() / 3 : 0;

        std::size_t count = 0, leaf_tris = 0;
        while (count < kept_leaves && leaf_tris + leaves.triangles[leaves.order[count]] <= leaf_budget)
            leaf_tris += leaves.triangles[leaves.order[count++]];
        kept_leaves = count;
        leaves_before = leaf_tris;
        // Each kept leaf grows so that together they cover what all did.
        const double scale = count ? std::sqrt(double(src.leaves.size()) / double(count)) : 1.0;
        lod_level l;
        l.layer = write_level(layer, src, current, leaves, count, scale);
        l.triangles = triangle_count(l.layer);
        l.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() +
                    (level == 1 ? setup : 0.0);
        out.push_back(std::move(l));
    }
    return out;
}

budget_level fit_to_budget(const mesh_layer& layer, std::size_t max_triangles) {
    const index_t leaf_surface = layer.strings().find(k_surface_leaf);
    const lod_source src = gather_lod_source(layer, leaf_surface);
    leaf_order leaves;  // every leaf, in creation order
    for (std::size_t g = 0; g < src.leaves.size(); ++g) {
        leaves.order.push_back(g);
        for (index_t p : src.leaves[g].polygons) leaves.total += layer.polygon_points(p).size() - 2;
    }
    budget_level out;
    out.leaf_triangles = leaves.total;
    const std::size_t bark_budget = max_triangles > leaves.total ? max_triangles - leaves.total : 0;
    std::vector<unsigned> current = src.bark;
    if (current.size() / 3 > bark_budget) {
        // No bound on the shape error: the count decides, seams and borders
        // only move along themselves.
        std::vector<unsigned> simplified(current.size());
        const std::size_t n =
            meshopt_simplify(simplified.data(), current.data(), current.size(), src.positions.data(),
                             src.vt.point.size(), sizeof(float) * 3, bark_budget * 3, 1e6f, 0, nullptr);
        current.assign(simplified.begin(), simplified.begin() + std::ptrdiff_t(n));
    }
    out.bark_triangles = current.size() / 3;
    if (out.bark_triangles > bark_budget) {
        out.least = out.bark_triangles + leaves.total;
        return out;
    }
    out.layer = write_level(layer, src, current, leaves, src.leaves.size(), 1.0);
    out.fits = true;
    return out;
}

namespace {

std::uint32_t get_u32(const std::string& s, std::size_t at) {
    std::uint32_t v;
    std::memcpy(&v, s.data() + at, 4);
    return v;
}

void put_u32(std::string& s, std::uint32_t v) { s.append(reinterpret_cast<const char*>(&v), 4); }

// Replaces the integer at j[key] by its entry in map, when there is one.
void remap(json& j, const char* key, const std::vector<std::size_t>& map) {
    if (j.is_object() && j.contains(key) && j[key].is_number_integer()) j[key] = map.at(j[key].get<std::size_t>());
}

// Texture references anywhere inside a material: objects with "index" under
// a key ending in "Texture".
void remap_textures(json& j, const std::vector<std::size_t>& map) {
    if (!j.is_object()) return;
    for (auto it = j.begin(); it != j.end(); ++it) {
        const std::string& k = it.key();
        if (k.size() >= 7 && k.compare(k.size() - 7, 7, "Texture") == 0) remap(*it, "index", map);
        remap_textures(*it, map);
    }
}

}  // namespace

namespace {

constexpr const char* k_merged_arrays[] = {"accessors", "bufferViews", "materials", "meshes",
                                           "images",    "textures",    "samplers"};

// The index of an element equal to e in array a, appending it when there is none.
std::size_t shared(json& a, json e) {
    for (std::size_t i = 0; i < a.size(); ++i)
        if (a[i] == e) return i;
    a.push_back(std::move(e));
    return a.size() - 1;
}

// Appends one level's GLB to the merged document: its buffer views' bytes
// to `bin`, its arrays with their references renumbered, its mesh as node
// NAME_LOD<level> under the root node, its extensions to `used`. Images,
// samplers, textures and materials equal to those of a level before are
// shared, image bytes too: every level uses one bark and one leaf image.
void append_glb_level(const std::string& g, std::size_t level, const std::string& name, json& doc, json& nodes,
                      std::string& bin, std::vector<std::string>& used) {
    if (g.size() < 20 || get_u32(g, 0) != 0x46546C67u) throw io_error("a level of detail is not a GLB");
    const std::uint32_t json_len = get_u32(g, 12);
    if (g.size() < 20 + std::size_t(json_len)) throw io_error("a level of detail is not a GLB");
    json d = json::parse(g.substr(20, json_len));
    std::string level_bin;
    const std::size_t bin_at = 20 + std::size_t(json_len);
    if (g.size() >= bin_at + 8) level_bin = g.substr(bin_at + 8, get_u32(g, bin_at));
    json views = d.value("bufferViews", json::array()), images = d.value("images", json::array());
    std::vector<std::uint8_t> image_view(views.size(), 0);
    for (const json& i : images)
        if (i.contains("bufferView")) image_view.at(i["bufferView"].get<std::size_t>()) = 1;
    std::vector<std::size_t> view_map(views.size()), accessor_map, image_map, sampler_map, texture_map, material_map;
    for (std::size_t k = 0; k < views.size(); ++k) {
        json v = views[k];
        const std::size_t at = v.value("byteOffset", std::size_t(0)), len = v["byteLength"].get<std::size_t>();
        if (at > level_bin.size() || len > level_bin.size() - at) throw io_error("a level of detail is not a GLB");
        const std::string_view bytes(level_bin.data() + at, len);
        if (image_view[k]) {  // an image seen before keeps its view
            bool found = false;
            for (const json& i : doc["images"]) {
                const json& w = doc["bufferViews"][i["bufferView"].get<std::size_t>()];
                const std::size_t wa = w.value("byteOffset", std::size_t(0));
                if (w["byteLength"].get<std::size_t>() == len && bin.compare(wa, len, bytes) == 0) {
                    view_map[k] = i["bufferView"].get<std::size_t>();
                    found = true;
                    break;
                }
            }
            if (found) continue;
        }
        bin.append((4 - bin.size() % 4) % 4, '\0');
        v["buffer"] = 0;
        v["byteOffset"] = bin.size();
        bin.append(bytes);
        view_map[k] = doc["bufferViews"].size();
        doc["bufferViews"].push_back(std::move(v));
    }
    for (json& a : d.value("accessors", json::array())) {
        remap(a, "bufferView", view_map);
        accessor_map.push_back(doc["accessors"].size());
        doc["accessors"].push_back(std::move(a));
    }
    for (json& i : images) {
        remap(i, "bufferView", view_map);
        image_map.push_back(shared(doc["images"], std::move(i)));
    }
    for (json& s : d.value("samplers", json::array())) sampler_map.push_back(shared(doc["samplers"], std::move(s)));
    for (json& t : d.value("textures", json::array())) {
        remap(t, "source", image_map);
        remap(t, "sampler", sampler_map);
        texture_map.push_back(shared(doc["textures"], std::move(t)));
    }
    for (json& m : d.value("materials", json::array())) {
        remap_textures(m, texture_map);
        material_map.push_back(shared(doc["materials"], std::move(m)));
    }
    const std::string node_name = name + "_LOD" + std::to_string(level);
    json node = {{"name", node_name}};
    if (d.contains("meshes") && !d["meshes"].empty()) {
        json mesh = d["meshes"][0];
        mesh["name"] = node_name;
        for (json& p : mesh["primitives"]) {
            remap(p, "indices", accessor_map);
            remap(p, "material", material_map);
            for (auto& [k, v] : p["attributes"].items()) v = accessor_map.at(v.get<std::size_t>());
        }
        node["mesh"] = doc["meshes"].size();
        doc["meshes"].push_back(std::move(mesh));
    }
    for (const json& e : d.value("extensionsUsed", json::array()))
        if (std::find(used.begin(), used.end(), e.get<std::string>()) == used.end()) used.push_back(e);
    nodes[0]["children"].push_back(nodes.size());
    nodes.push_back(std::move(node));
}

// The GLB container: header, the JSON chunk padded with spaces, the binary
// chunk (when there is one) padded with zeros.
std::string pack_glb(const json& doc, std::string& bin) {
    std::string text = doc.dump(-1, ' ', false, json::error_handler_t::replace);
    text.append((4 - text.size() % 4) % 4, ' ');
    bin.append((4 - bin.size() % 4) % 4, '\0');
    const std::uint64_t total = 12 + 8 + text.size() + (bin.empty() ? 0 : 8 + bin.size());
    if (total > 0xFFFFFFFFull) throw io_error("glTF binary file would exceed 4 GiB");
    std::string out;
    out.reserve(std::size_t(total));
    put_u32(out, 0x46546C67u);  // "glTF"
    put_u32(out, 2);
    put_u32(out, std::uint32_t(total));
    put_u32(out, std::uint32_t(text.size()));
    put_u32(out, 0x4E4F534Au);  // "JSON"
    out += text;
    if (!bin.empty()) {
        put_u32(out, std::uint32_t(bin.size()));
        put_u32(out, 0x004E4942u);  // "BIN\0"
        out += bin;
    }
    return out;
}

}  // namespace

std::string merge_glb_levels(const std::vector<std::string>& glbs, const std::string& name,
                             const std::vector<double>& coverage) {
    json doc = {{"asset", {{"version", "2.0"}, {"generator", "Sylvaform"}}}, {"scene", 0}};
    for (const char* key : k_merged_arrays) doc[key] = json::array();
    json nodes = json::array({json{{"name", name}, {"children", json::array()}}});
    std::string bin;
    std::vector<std::string> used;
    for (std::size_t level = 0; level < glbs.size(); ++level)
        append_glb_level(glbs[level], level, name, doc, nodes, bin, used);
    if (glbs.size() > 1 && coverage.size() == glbs.size()) {
        // Level 0 stays in the scene; a viewer without the extension shows it alone.
        json& root = nodes[0];
        json ids = root["children"];
        ids.erase(ids.begin());
        root["children"] = json::array({1});
        root["extensions"] = {{"MSFT_lod", {{"ids", std::move(ids)}}}};
        root["extras"] = {{"MSFT_screencoverage", coverage}};
        used.insert(used.begin(), "MSFT_lod");
    }
    doc["nodes"] = std::move(nodes);
    doc["scenes"] = json::array({json{{"nodes", json::array({0})}}});
    for (const char* key : k_merged_arrays)
        if (doc[key].empty()) doc.erase(key);
    if (!used.empty()) doc["extensionsUsed"] = used;
    if (!bin.empty()) doc["buffers"] = json::array({json{{"byteLength", bin.size()}}});
    return pack_glb(doc, bin);
}

std::vector<double> lod_coverages(const std::vector<std::size_t>& triangles) {
    std::vector<double> c;
    for (std::size_t k = 0; k < triangles.size(); ++k)
        c.push_back(k + 1 == triangles.size() || triangles[0] == 0
                        ? 0.0
                        : 0.25 * double(triangles[k]) / double(triangles[0]));
    return c;
}

std::string lod_path(const std::string& path, int level) {
    const std::size_t slash = path.rfind('/');
    const std::size_t dot = path.rfind('.');
    const std::size_t at = dot == std::string::npos || (slash != std::string::npos && dot < slash) ? path.size() : dot;
    return path.substr(0, at) + "_LOD" + std::to_string(level) + path.substr(at);
}

}  // namespace sf::formats
