#include "formats/edit_log.h"

#include <array>
#include <charconv>
#include <stdexcept>
#include <string>
#include <vector>

namespace sf::formats {

namespace {

constexpr char k_hex[] = "0123456789ABCDEF";

bool escaped_in_name(unsigned char c) { return c <= 0x20 || c == 0x7F || c == '%'; }
bool escaped_in_text(unsigned char c) { return c < 0x20 || c == 0x7F || c == '%'; }

template <class Pred>
void put_escaped(text_buffer& out, std::string_view s, Pred escaped) {
    for (const char ch : s) {
        const auto c = static_cast<unsigned char>(ch);
        if (escaped(c)) {
            out.put('%');
            out.put(k_hex[c >> 4]);
            out.put(k_hex[c & 15]);
        } else {
            out.put(ch);
        }
    }
}

void put_code(text_buffer& out, LWID id) {
    char buf[4];
    out.put(id4_text(id, buf));
}

void put_values(text_buffer& out, std::span<const float> v) {
    for (const float f : v) {
        out.put(' ');
        out.put_float(f);
    }
}

// One journal entry as a line; the counters say which record of each kind is next.
void put_entry(const mesh_layer& layer, const point_value_history& calls, edit_kind k, index_t& point, index_t& poly,
               index_t& tag, index_t& vmap, index_t& vmad, text_buffer& out) {
    const string_pool& names = layer.strings();
    switch (k) {
    case edit_kind::point: {
        const double* p = layer.point(point);
        out.put("point ");
        out.put_uint(point++);
        for (int i = 0; i < 3; ++i) {
            out.put(' ');
            out.put_double(p[i]);
        }
        break;
    }
    case edit_kind::polygon: {
        out.put("poly ");
        out.put_uint(poly);
        out.put(' ');
        put_code(out, layer.polygon_type(poly));
        out.put(' ');
        const index_t s = layer.polygon_surface(poly);
        if (s == k_none)
            out.put('-');
        else if (names.view(s) == "-")
            out.put("%2D");
        else
            put_escaped(out, names.view(s), escaped_in_name);
        for (const index_t i : layer.polygon_points(poly)) {
            out.put(' ');
            out.put_uint(i);
        }
        ++poly;
        break;
    }
    case edit_kind::tag: {
        const tag_record& t = layer.tags()[tag++];
        out.put("tag ");
        out.put_uint(t.polygon);
        out.put(' ');
        put_code(out, t.type);
        out.put(' ');
        put_escaped(out, names.view(t.text), escaped_in_text);
        break;
    }
    case edit_kind::vmap:
    case edit_kind::vmad: {
        const bool per_poly = k == edit_kind::vmad;
        const value_record r = per_poly ? layer.polygon_point_values()[vmad++] : calls[vmap++];
        const vmap_desc& m = layer.maps()[r.map];
        out.put(per_poly ? "vmad " : "vmap ");
        out.put_uint(r.point);
        if (per_poly) {
            out.put(' ');
            out.put_uint(r.polygon);
        }
        out.put(' ');
        put_code(out, m.type);
        out.put(' ');
        put_escaped(out, names.view(m.name), escaped_in_name);
        put_values(out, layer.values(r));
        break;
    }
    }
    out.put('\n');
}

}  // namespace

void write_edit_log(const mesh_layer& layer, byte_sink& sink) {
    if (!layer.keeps_history()) throw std::logic_error("edit log of a layer that keeps no history");
    text_buffer out(sink);
    out.put(k_edit_log_header);
    out.put('\n');
    // Where each chunk of the journal starts in the five record arrays, so
    // that chunks can be formatted at the same time.
    const std::span<const edit_kind> journal = layer.journal();
    constexpr std::size_t k_per_chunk = 1 << 17;
    std::vector<std::array<index_t, 5>> starts;
    {
        std::array<index_t, 5> at{};
        for (std::size_t i = 0; i < journal.size(); ++i) {
            if (i % k_per_chunk == 0) starts.push_back(at);
            ++at[static_cast<int>(journal[i])];
        }
    }
    const point_value_history calls = layer.point_values();
    out.put_in_parallel(journal.size(), k_per_chunk, [&](std::size_t begin, std::size_t end, text_buffer& o) {
        const std::array<index_t, 5>& at = starts[begin / k_per_chunk];
        index_t point = at[0], poly = at[1], tag = at[2], vmap = at[3], vmad = at[4];
        for (std::size_t i = begin; i < end; ++i) put_entry(layer, calls, journal[i], point, poly, tag, vmap, vmad, o);
    });
    out.flush();
}

// Reading

namespace {

class log_parser {
public:
    log_parser(std::string_view name, mesh_layer& layer) : name_(name), layer_(layer) {}

    void line(std::string_view text, std::size_t number) {
        rest_ = text;
        number_ = number;
        const std::string_view word = token();
        if (word == "point") {
            const index_t id = uint_field("point id");
            if (id != layer_.point_count()) error("point id out of order");
            const double x = double_field(), y = double_field(), z = double_field();
            end();
            layer_.add_point(x, y, z);
        } else if (word == "poly") {
            const index_t id = uint_field("polygon id");
            if (id != layer_.polygon_count()) error("polygon id out of order");
            const LWID type = code();
            const std::string_view s = token();
            const index_t surface = s == "-" ? k_none : layer_.strings().intern(unescape(s));
            points_.clear();
            while (!rest_.empty()) points_.push_back(point_ref());
            if (points_.empty()) error("polygon without points");
            layer_.add_polygon(type, surface, points_);
        } else if (word == "tag") {
            const index_t poly = polygon_ref();
            const LWID type = code();
            const std::string_view text = rest_;
            rest_ = {};
            layer_.add_tag(poly, type, layer_.strings().intern(unescape(text)));
        } else if (word == "vmap" || word == "vmad") {
            const index_t point = point_ref();
            const index_t poly = word == "vmad" ? polygon_ref() : k_none;
            const LWID type = code();
            const std::string name = unescape(token());
            values_.clear();
            while (!rest_.empty()) values_.push_back(float_field());
            if (values_.empty()) error("map entry without values");
            const index_t map = layer_.find_or_add_map(type, name, static_cast<std::uint32_t>(values_.size()));
            if (map == k_none) error("map entry with a different number of values");
            layer_.add_value(point, poly, map, values_.data());
        } else {
            error("unknown entry '" + std::string(word) + "'");
        }
    }

private:
    [[noreturn]] void error(const std::string& what) const {
        throw io_error(std::string(name_) + ":" + std::to_string(number_) + ": " + what);
    }

    // Next field up to a single space, which is consumed.
    std::string_view token() {
        const std::size_t sp = rest_.find(' ');
        const std::string_view t = rest_.substr(0, sp);
        rest_ = sp == std::string_view::npos ? std::string_view() : rest_.substr(sp + 1);
        return t;
    }

    void end() const {
        if (!rest_.empty()) error("unexpected text '" + std::string(rest_) + "'");
    }

    // Codes are four characters, spaces included.
    LWID code() {
        if (rest_.size() < 4 || (rest_.size() > 4 && rest_[4] != ' ')) error("malformed four-character code");
        LWID id = 0;
        for (int i = 0; i < 4; ++i) id = (id << 8) | static_cast<unsigned char>(rest_[i]);
        rest_ = rest_.size() > 4 ? rest_.substr(5) : std::string_view();
        return id;
    }

    template <class T>
    T number(const char* what) {
        const std::string_view t = token();
        T v{};
        const auto [ptr, ec] = std::from_chars(t.data(), t.data() + t.size(), v);
        if (t.empty() || ec != std::errc() || ptr != t.data() + t.size())
            error(std::string("malformed ") + what + " '" + std::string(t) + "'");
        return v;
    }
    index_t uint_field(const char* what) { return number<index_t>(what); }
    double double_field() { return number<double>("number"); }
    float float_field() { return number<float>("number"); }

    index_t point_ref() {
        const index_t i = uint_field("point id");
        if (i >= layer_.point_count()) error("unknown point " + std::to_string(i));
        return i;
    }
    index_t polygon_ref() {
        const index_t i = uint_field("polygon id");
        if (i >= layer_.polygon_count()) error("unknown polygon " + std::to_string(i));
        return i;
    }

    std::string unescape(std::string_view s) const {
        std::string out;
        out.reserve(s.size());
        for (std::size_t i = 0; i < s.size(); ++i) {
            if (s[i] != '%') {
                out.push_back(s[i]);
                continue;
            }
            unsigned v = 0;
            if (i + 2 >= s.size()) error("malformed escape");
            const auto r = std::from_chars(s.data() + i + 1, s.data() + i + 3, v, 16);
            if (r.ec != std::errc() || r.ptr != s.data() + i + 3) error("malformed escape");
            out.push_back(static_cast<char>(v));
            i += 2;
        }
        return out;
    }

    std::string_view name_;
    mesh_layer& layer_;
    std::string_view rest_;
    std::size_t number_ = 0;
    std::vector<index_t> points_;
    std::vector<float> values_;
};

}  // namespace

void read_edit_log(std::string_view text, std::string_view name, mesh_layer& layer) {
    layer.clear();
    log_parser parser(name, layer);
    std::size_t number = 0;
    bool header = false;
    while (!text.empty()) {
        const std::size_t nl = text.find('\n');
        if (nl == std::string_view::npos)
            throw io_error(std::string(name) + ":" + std::to_string(number + 1) + ": missing end of line");
        const std::string_view line = text.substr(0, nl);
        text.remove_prefix(nl + 1);
        ++number;
        if (!header) {
            if (line != k_edit_log_header)
                throw io_error(std::string(name) + ":1: not a sylvaform edit log");
            header = true;
            continue;
        }
        parser.line(line, number);
    }
    if (!header) throw io_error(std::string(name) + ": empty edit log");
}

}  // namespace sf::formats
