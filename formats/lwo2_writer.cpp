#include "formats/lwo2_writer.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <string_view>
#include <vector>

#include "formats/materials.h"

namespace sf::formats {

namespace {

constexpr LWID k_form = lw_id4("FORM");
constexpr LWID k_lwo2 = lw_id4("LWO2");
constexpr LWID k_tags = lw_id4("TAGS");
constexpr LWID k_layr = lw_id4("LAYR");
constexpr LWID k_pnts = lw_id4("PNTS");
constexpr LWID k_bbox = lw_id4("BBOX");
constexpr LWID k_vmap = lw_id4("VMAP");
constexpr LWID k_pols = lw_id4("POLS");
constexpr LWID k_ptag = lw_id4("PTAG");
constexpr LWID k_vmad = lw_id4("VMAD");
constexpr LWID k_surf = lw_id4("SURF");
constexpr LWID k_colr = lw_id4("COLR");
constexpr LWID k_diff = lw_id4("DIFF");
constexpr LWID k_sman = lw_id4("SMAN");
constexpr LWID k_side = lw_id4("SIDE");

constexpr std::size_t k_vx_limit = std::size_t(1) << 24;  // VX holds indices below this
constexpr std::size_t k_max_corners = 1023;               // 10 bits of the POLS count word
constexpr std::size_t k_max_tags = 0xFF00;                // PTAG tag field read as U2 or VX

// Surface looks by name (formats/materials.h); anything else gets
// LightWave's default grey, flat. Colours are display (sRGB) values, the
// same browns and green the other formats start from: LightWave's colour
// picker and the LWO readers that show a surface's COLR as it is (Assimp,
// OpenSceneGraph) take them so.
struct surface_style {
    float rgb[3];
    float smoothing;      // SMAN radians; 0: flat, not written
    std::uint16_t sides;  // SIDE: 1 front only (not written), 3 both
};

constexpr float k_smooth = static_cast<float>(89.5 * 3.1415926535898 / 180.0);  // LightWave's usual
constexpr float k_grey = 200.0f / 255.0f;
constexpr std::string_view k_default_surface = "Default";  // polygons without a surface

surface_style style_of(std::string_view name) {
    if (!is_named_surface(name)) return {{k_grey, k_grey, k_grey}, 0.0f, 1};
    const surface_look look = look_of(name);
    const rgb c = display_colour(look);
    return {{static_cast<float>(c.r), static_cast<float>(c.g), static_cast<float>(c.b)}, k_smooth,
            std::uint16_t(two_sided(look) ? 3 : 1)};
}

// Map chunks in this order, then any other map in creation order. Texture
// maps lead with the surfaces' own maps so that readers which number UV
// channels by first appearance make those channel 0.
struct map_rank {
    LWID type;
    std::string_view name;
};
constexpr map_rank k_map_order[] = {
    {LWVMAP_WGHT, k_map_range},  {LWVMAP_WGHT, k_map_thick},         {LWVMAP_TXUV, k_map_branch_uv},
    {LWVMAP_TXUV, k_map_leaf_uv}, {LWVMAP_TXUV, k_map_leaf_atlas_uv}, {LWVMAP_TXUV, k_map_range_thick},
};

// Big-endian stores in two passes over the same calls: the first only
// counts, and records each chunk's length (or that it was dropped empty);
// the second writes the lengths up front and streams the bytes through one
// block buffer into the sink.
class be_buffer {
public:
    be_buffer() = default;  // counting
    be_buffer(byte_sink& sink, std::vector<std::uint32_t> lengths)
        : sink_(&sink), lengths_(std::move(lengths)), block_(std::max<std::size_t>(stream_block(), 16)) {}
    be_buffer(const be_buffer&) = delete;
    be_buffer& operator=(const be_buffer&) = delete;

    std::size_t size() const { return size_; }
    std::vector<std::uint32_t>& lengths() { return lengths_; }

    void u2(std::uint16_t v) {
        v = static_cast<std::uint16_t>(v << 8 | v >> 8);
        put(&v, 2);
    }
    void u4(std::uint32_t v) {
        v = __builtin_bswap32(v);
        put(&v, 4);
    }
    void f4(float v) { u4(std::bit_cast<std::uint32_t>(v)); }
    void vx(index_t i) {
        if (i < 0xFF00)
            u2(static_cast<std::uint16_t>(i));
        else
            u4(i | 0xFF000000u);
    }
    // Text up to its first NUL, then one or two NULs: an even length.
    void s0(std::string_view s) {
        static const char zeros[2] = {};
        s = s.substr(0, s.find('\0'));
        put(s.data(), s.size());
        put(zeros, s.size() % 2 == 0 ? 2 : 1);
    }
    static std::size_t s0_size(std::string_view s) {
        s = s.substr(0, s.find('\0'));
        return s.size() + 2 - s.size() % 2;
    }

    // A chunk header whose length end_chunk finds when counting; a
    // sub-chunk has a U2 length. Every chunk written here has an even
    // length. drop_chunk leaves out one that stayed empty.
    std::size_t begin_chunk(LWID id) { return begin(id, 4); }
    void end_chunk(std::size_t start) {
        const std::size_t length = size_ - start;
        if (length > 0xFFFFFFFFu) throw io_error("LWO2 output: a file of 4 GiB or more");
        end(length);
    }
    std::size_t begin_sub(LWID id) { return begin(id, 2); }
    void end_sub(std::size_t start) { end(size_ - start); }
    void drop_chunk(std::size_t start) {
        size_ = start - k_head;
        if (!sink_) lengths_[open_.back()] = k_dropped;
        if (!sink_) open_.pop_back();
        muted_ = false;
    }

    void flush() {
        if (sink_ && pos_ > 0) sink_->write({block_.data(), pos_});
        pos_ = 0;
    }

private:
    static constexpr std::size_t k_head = 8;  // ID4 + U4 length
    static constexpr std::uint32_t k_dropped = 0xFFFFFFFFu;  // never an even length

    void put(const void* p, std::size_t n) {
        size_ += n;
        if (!sink_ || muted_ || n == 0) return;  // an empty array may have no data pointer
        if (block_.size() - pos_ < n) flush();
        if (n > block_.size()) {  // larger than the block: straight through
            sink_->write({static_cast<const char*>(p), n});
            return;
        }
        std::memcpy(block_.data() + pos_, p, n);
        pos_ += n;
    }
    std::size_t begin(LWID id, int length_bytes) {
        if (!sink_) {
            open_.push_back(lengths_.size());
            lengths_.push_back(0);
        } else if (lengths_[next_] == k_dropped) {
            ++next_;
            size_ += 4 + std::size_t(length_bytes);
            muted_ = true;
            return size_;
        }
        u4(id);
        const std::uint32_t length = sink_ ? lengths_[next_++] : 0;
        if (length_bytes == 4) u4(length);
        else u2(static_cast<std::uint16_t>(length));
        return size_;
    }
    void end(std::size_t length) {
        if (sink_) return;
        lengths_[open_.back()] = static_cast<std::uint32_t>(length);
        open_.pop_back();
    }

    byte_sink* sink_ = nullptr;            // null: counting
    std::vector<std::uint32_t> lengths_;  // per chunk in begin order
    std::vector<std::size_t> open_;       // counting: chunks begun, not ended
    std::size_t next_ = 0;                // writing: the next chunk's entry
    std::vector<char> block_;
    std::size_t pos_ = 0;
    std::size_t size_ = 0;  // bytes of the file so far
    bool muted_ = false;    // inside a dropped chunk
};

// The TAGS list: surfaces in order of first use, then tag texts. Keys are
// string-pool indices; the pool's size stands for "Default" when the pool
// has no such string.
class tag_table {
public:
    explicit tag_table(const string_pool& pool)
        : pool_(pool), of_key_(pool.size() + 1, k_none), is_surface_(pool.size() + 1, false) {
        default_key_ = pool.find(k_default_surface);
        if (default_key_ == k_none) default_key_ = static_cast<index_t>(pool.size());
    }

    index_t surface_key(index_t s) const {
        return s == k_none || s >= pool_.size() || pool_.view(s).empty() ? default_key_ : s;
    }
    // The TAGS index of a key, added on first use.
    index_t add(index_t key, bool surface) {
        if (of_key_[key] == k_none) {
            if (list_.size() >= k_max_tags) throw io_error("LWO2 output: more than 65280 tag strings");
            of_key_[key] = static_cast<index_t>(list_.size());
            list_.push_back(key);
        }
        if (surface && !is_surface_[key]) {
            is_surface_[key] = true;
            surfaces_.push_back(key);
        }
        return of_key_[key];
    }
    index_t index(index_t key) const { return of_key_[key]; }
    std::string_view text(index_t key) const {
        return key == pool_.size() ? k_default_surface : pool_.view(key);
    }
    const std::vector<index_t>& keys() const { return list_; }
    const std::vector<index_t>& surfaces() const { return surfaces_; }

private:
    const string_pool& pool_;
    std::vector<index_t> of_key_;
    std::vector<index_t> list_;
    std::vector<index_t> surfaces_;
    std::vector<bool> is_surface_;
    index_t default_key_;
};

// Per polygon, the TAGS index of its latest tag of one type.
struct polygon_tags {
    LWID type;
    std::vector<index_t> of_polygon;  // k_none: untagged
};

class lwo2_builder {
public:
    explicit lwo2_builder(const mesh_layer& layer)
        : layer_(layer), points_(layer.point_count()), polygons_(layer.polygon_count()),
          tags_(layer.strings()) {
        if (points_ > k_vx_limit) throw io_error("LWO2 output: more than 16777216 points");
    }

    void write(byte_sink& sink) {
        collect_tags();
        order_maps();
        group_polygon_values();

        be_buffer counted;
        emit(counted);  // every length, and the size limits, before a byte goes out
        std::fill(stamp_.begin(), stamp_.end(), k_none);
        be_buffer streamed(sink, std::move(counted.lengths()));
        emit(streamed);
        streamed.flush();
    }

private:
    void emit(be_buffer& out) {
        out_ = &out;
        const std::size_t form = out_->begin_chunk(k_form);
        out_->u4(k_lwo2);
        write_tags();
        write_layer();
        write_points();
        for (index_t m : map_order_) write_vmap(m);
        for (index_t p = 0; p < polygons_;) p = write_run(p);
        for (index_t key : tags_.surfaces()) write_surface(tags_.text(key));
        out_->end_chunk(form);
    }

    bool written(index_t p) const { return !layer_.polygon_points(p).empty(); }

    void collect_tags() {
        for (index_t p = 0; p < polygons_; ++p)
            if (written(p)) tags_.add(tags_.surface_key(layer_.polygon_surface(p)), true);
        const string_pool& pool = layer_.strings();
        for (const tag_record& t : layer_.tags()) {
            if (t.type == k_surf || t.polygon >= polygons_ || !written(t.polygon) || t.text >= pool.size())
                continue;
            auto it = std::find_if(ptags_.begin(), ptags_.end(), [&](const polygon_tags& pt) { return pt.type == t.type; });
            if (it == ptags_.end()) {
                ptags_.push_back({t.type, std::vector<index_t>(polygons_, k_none)});
                it = ptags_.end() - 1;
            }
            it->of_polygon[t.polygon] = tags_.add(t.text, false);
        }
    }

    // Maps in chunk order.
    void order_maps() {
        const std::span<const vmap_desc> maps = layer_.maps();
        const string_pool& pool = layer_.strings();
        auto rank = [&](index_t m) {
            std::size_t r = 0;
            for (; r < std::size(k_map_order); ++r)
                if (k_map_order[r].type == maps[m].type && k_map_order[r].name == pool.view(maps[m].name)) break;
            return r;
        };
        for (index_t m = 0; m < maps.size(); ++m) map_order_.push_back(m);
        std::stable_sort(map_order_.begin(), map_order_.end(), [&](index_t a, index_t b) { return rank(a) < rank(b); });

    }

    // Per-polygon values grouped by polygon in record order (a counting
    // sort), so the latest one for a corner is applied last.
    void group_polygon_values() {
        const std::span<const value_record> vmad = layer_.polygon_point_values();
        const std::size_t maps = layer_.maps().size();
        auto usable = [&](const value_record& v) {
            return v.point < points_ && v.polygon < polygons_ && v.map < maps;
        };
        std::size_t used = 0;
        for (const value_record& v : vmad) used += usable(v);
        if (used == 0) return;
        group_values_by_polygon(layer_, usable, used, vmad_start_, vmad_by_polygon_);
        map_has_vmad_.assign(maps, false);
        for (index_t r : vmad_by_polygon_) map_has_vmad_[vmad[r].map] = true;
        stamp_.assign(points_, k_none);
        override_.assign(points_, k_none);
    }

    void write_tags() {
        if (tags_.keys().empty()) return;
        std::size_t length = 0;
        for (index_t key : tags_.keys()) length += be_buffer::s0_size(tags_.text(key));
        const std::size_t c = out_->begin_chunk(k_tags);
        for (index_t key : tags_.keys()) out_->s0(tags_.text(key));
        out_->end_chunk(c);
    }

    void write_layer() {
        const std::size_t c = out_->begin_chunk(k_layr);
        out_->u2(0);  // layer number
        out_->u2(0);  // flags
        for (int k = 0; k < 3; ++k) out_->f4(0.0f);  // pivot
        out_->s0({});
        out_->end_chunk(c);
    }

    void write_points() {
        const std::size_t c = out_->begin_chunk(k_pnts);
        float lo[3] = {0, 0, 0}, hi[3] = {0, 0, 0};
        const double* xyz = layer_.point_coordinates().data();
        for (index_t i = 0; i < points_; ++i, xyz += 3) {
            float z = -static_cast<float>(xyz[2]);
            if (z == 0.0f) z = 0.0f;  // no negative zero from a zero z
            const float f[3] = {static_cast<float>(xyz[0]), static_cast<float>(xyz[1]), z};
            for (int k = 0; k < 3; ++k) {
                out_->f4(f[k]);
                if (i == 0 || f[k] < lo[k]) lo[k] = f[k];
                if (i == 0 || f[k] > hi[k]) hi[k] = f[k];
            }
        }
        out_->end_chunk(c);
        if (points_ == 0) return;
        const std::size_t b = out_->begin_chunk(k_bbox);
        for (float v : lo) out_->f4(v);
        for (float v : hi) out_->f4(v);
        out_->end_chunk(b);
    }

    // Map type, dimension and name: the start of VMAP and VMAD chunks.
    std::size_t begin_map_chunk(LWID id, const vmap_desc& map) {
        const std::string_view name = layer_.strings().view(map.name);
        const std::size_t c = out_->begin_chunk(id);
        out_->u4(map.type);
        out_->u2(static_cast<std::uint16_t>(map.dim));
        out_->s0(name);
        return c;
    }

    void write_vmap(index_t m) {
        if (!layer_.has_point_values(m)) return;  // no per-point values: no chunk
        const vmap_desc& map = layer_.maps()[m];
        const std::size_t c = begin_map_chunk(k_vmap, map);
        for (index_t pt = 0; pt < points_; ++pt) {
            const float* v = layer_.point_value(m, pt);
            if (!v) continue;
            out_->vx(pt);
            for (std::uint32_t k = 0; k < map.dim; ++k) out_->f4(v[k]);
        }
        out_->end_chunk(c);
    }

    // One POLS chunk for the run of polygons of p's type starting at p (and
    // the chunks that index it); answers the polygon after the run.
    index_t write_run(index_t p) {
        while (p < polygons_ && !written(p)) ++p;
        if (p == polygons_) return p;
        const LWID type = layer_.polygon_type(p);
        const index_t first = p;
        std::size_t count = 0, corners = 0;
        for (; p < polygons_; ++p) {
            const std::size_t n = layer_.polygon_points(p).size();
            if (n == 0) continue;
            if (layer_.polygon_type(p) != type) break;
            if (n > k_max_corners) throw io_error("LWO2 output: a polygon of more than 1023 points");
            ++count;
            corners += n;
        }
        const index_t end = p;
        if (count > k_vx_limit) throw io_error("LWO2 output: more than 16777216 polygons of one type in a row");

        std::size_t c = out_->begin_chunk(k_pols);
        out_->u4(type);
        for (index_t q = first; q < end; ++q) {
            const std::span<const index_t> pts = layer_.polygon_points(q);
            if (pts.empty()) continue;
            out_->u2(static_cast<std::uint16_t>(pts.size()));
            for (std::size_t k = pts.size(); k-- > 0;) out_->vx(pts[k]);  // reversed: left-handed
        }
        out_->end_chunk(c);

        c = out_->begin_chunk(k_ptag);
        out_->u4(k_surf);
        index_t local = 0;
        for (index_t q = first; q < end; ++q) {
            if (!written(q)) continue;
            out_->vx(local++);
            out_->u2(static_cast<std::uint16_t>(tags_.index(tags_.surface_key(layer_.polygon_surface(q)))));
        }
        out_->end_chunk(c);

        for (const polygon_tags& pt : ptags_) {
            c = out_->begin_chunk(k_ptag);
            out_->u4(pt.type);
            local = 0;
            bool any = false;
            for (index_t q = first; q < end; ++q) {
                if (!written(q)) continue;
                if (pt.of_polygon[q] != k_none) {
                    out_->vx(local);
                    out_->u2(static_cast<std::uint16_t>(pt.of_polygon[q]));
                    any = true;
                }
                ++local;
            }
            if (any)
                out_->end_chunk(c);
            else
                out_->drop_chunk(c);
        }

        if (!vmad_start_.empty())
            for (index_t m : map_order_)
                if (map_has_vmad_[m]) write_vmad(m, first, end);
        return end;
    }

    // Per-polygon values of map m in polygons [first, end): per polygon the
    // latest value of each corner, in the order the corners are written.
    void write_vmad(index_t m, index_t first, index_t end) {
        const std::span<const value_record> vmad = layer_.polygon_point_values();
        if (vmad_start_[end] == vmad_start_[first]) return;
        const vmap_desc& map = layer_.maps()[m];
        const std::size_t c = begin_map_chunk(k_vmad, map);
        index_t local = 0;
        bool any = false;
        for (index_t q = first; q < end; ++q) {
            if (!written(q)) continue;
            if (vmad_start_[q] != vmad_start_[q + 1]) {
                bool here = false;
                for (index_t i = vmad_start_[q]; i < vmad_start_[q + 1]; ++i) {
                    const value_record& v = vmad[vmad_by_polygon_[i]];
                    if (v.map != m) continue;
                    stamp_[v.point] = q;
                    override_[v.point] = vmad_by_polygon_[i];
                    here = true;
                }
                const std::span<const index_t> pts = layer_.polygon_points(q);
                for (std::size_t k = pts.size(); here && k-- > 0;) {
                    const index_t pt = pts[k];
                    if (stamp_[pt] != q) continue;
                    stamp_[pt] = k_none;  // once per point, also if it repeats
                    out_->vx(pt);
                    out_->vx(local);
                    const float* v = vmad[override_[pt]].v;
                    for (std::uint32_t d = 0; d < map.dim; ++d) out_->f4(v[d]);
                    any = true;
                }
            }
            ++local;
        }
        if (any)
            out_->end_chunk(c);
        else
            out_->drop_chunk(c);
    }

    void write_surface(std::string_view name) {
        const surface_style style = style_of(name);
        const std::size_t c = out_->begin_chunk(k_surf);
        out_->s0(name);
        out_->s0({});  // source: not derived from another surface
        std::size_t s = out_->begin_sub(k_colr);
        for (float v : style.rgb) out_->f4(v);
        out_->vx(0);  // no envelope
        out_->end_sub(s);
        s = out_->begin_sub(k_diff);
        out_->f4(1.0f);
        out_->vx(0);
        out_->end_sub(s);
        if (style.smoothing > 0.0f) {
            s = out_->begin_sub(k_sman);
            out_->f4(style.smoothing);
            out_->end_sub(s);
        }
        if (style.sides != 1) {
            s = out_->begin_sub(k_side);
            out_->u2(style.sides);
            out_->end_sub(s);
        }
        out_->end_chunk(c);
    }

    const mesh_layer& layer_;
    const index_t points_;
    const index_t polygons_;
    tag_table tags_;
    std::vector<polygon_tags> ptags_;
    std::vector<index_t> map_order_;
    std::vector<index_t> vmad_start_;           // per polygon: first entry in vmad_by_polygon_
    std::vector<index_t> vmad_by_polygon_;
    std::vector<bool> map_has_vmad_;
    std::vector<index_t> stamp_;     // per point: polygon whose value override_ holds
    std::vector<index_t> override_;  // per point: per-polygon record
    be_buffer* out_ = nullptr;
};

}  // namespace

void write_lwo2(const mesh_layer& layer, byte_sink& sink) {
    lwo2_builder(layer).write(sink);
}

void write_lwo2_file(const mesh_layer& layer, const std::string& path, file_set& files) {
    atomic_file& file = files.add(path);
    try {
        write_lwo2(layer, file);
    } catch (const io_error& e) {
        const std::string what = e.what();
        if (what.find(path) != std::string::npos) throw;
        throw io_error(path + ": " + what);
    }
}

void write_lwo2_file(const mesh_layer& layer, const std::string& path) {
    file_set files;
    write_lwo2_file(layer, path, files);
    files.commit();
}

}  // namespace sf::formats
