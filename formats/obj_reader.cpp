#include "formats/obj_reader.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <vector>

#include "formats/file_io.h"

namespace sf::formats {

namespace {

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\f' || c == '\v'; }

// from_chars does not take a leading '+', which OBJ writers sometimes emit.
std::string_view drop_plus(std::string_view t) {
    if (t.size() > 1 && t[0] == '+' && t[1] != '-' && t[1] != '+') t.remove_prefix(1);
    return t;
}

class obj_parser {
public:
    obj_parser(std::string_view name, mesh_layer& layer) : name_(name), layer_(layer) {}

    void parse(std::string_view text) {
        while (!text.empty()) {
            const std::size_t nl = text.find('\n');
            std::string_view line = text.substr(0, nl);
            text = nl == std::string_view::npos ? std::string_view() : text.substr(nl + 1);
            ++line_;
            if (const std::size_t hash = line.find('#'); hash != std::string_view::npos)
                line = line.substr(0, hash);
            statement(line);
        }
    }

private:
    void statement(std::string_view line) {
        rest_ = line;
        const std::string_view word = token();
        if (word == "v")
            vertex();
        else if (word == "f")
            face();
        else if (word == "l")
            polyline();
    }

    void vertex() {
        double c[3];
        int n = 0;
        for (std::string_view t = token(); !t.empty(); t = token()) {
            const double v = coordinate(t);
            if (n < 3) c[n] = v;
            ++n;
        }
        if (n < 3) error("vertex needs 3 coordinates");
        layer_.add_point(c[0], c[1], c[2]);
    }

    void face() {
        points_.clear();
        for (std::string_view t = token(); !t.empty(); t = token()) points_.push_back(reference(t, "face"));
        if (points_.empty()) error("face without points");
        layer_.add_polygon(LWPOLTYPE_FACE, k_none, points_);
    }

    // A polyline becomes one two-point polygon per segment.
    void polyline() {
        index_t prev = k_none;
        for (std::string_view t = token(); !t.empty(); t = token()) {
            const index_t p = reference(t, "line");
            if (prev != k_none) {
                const index_t seg[2] = {prev, p};
                layer_.add_polygon(LWPOLTYPE_FACE, k_none, seg);
            }
            prev = p;
        }
    }

    std::string_view token() {
        std::size_t i = 0;
        while (i < rest_.size() && is_blank(rest_[i])) ++i;
        std::size_t j = i;
        while (j < rest_.size() && !is_blank(rest_[j])) ++j;
        const std::string_view t = rest_.substr(i, j - i);
        rest_.remove_prefix(j);
        return t;
    }

    double coordinate(std::string_view text) {
        const std::string_view t = drop_plus(text);
        double v = 0.0;
        const auto [ptr, ec] = std::from_chars(t.data(), t.data() + t.size(), v);
        if (ptr != t.data() + t.size() || (ec != std::errc() && ec != std::errc::result_out_of_range))
            error("malformed number '" + std::string(text) + "'");
        if (ec == std::errc::result_out_of_range || !std::isfinite(v))
            error("non-finite coordinate '" + std::string(text) + "'");
        return v;
    }

    static bool parse_int(std::string_view t, std::int64_t& v, bool& overflow) {
        t = drop_plus(t);
        const auto [ptr, ec] = std::from_chars(t.data(), t.data() + t.size(), v);
        overflow = ec == std::errc::result_out_of_range;
        return !t.empty() && ptr == t.data() + t.size() && (ec == std::errc() || overflow);
    }

    // "i", "i/t", "i/t/n" or "i//n"; only i is used, t and n are checked.
    index_t reference(std::string_view text, const char* what) {
        std::string_view parts[3];
        int n = 0;
        bool too_many = false;
        for (std::size_t start = 0;;) {
            if (n == 3) {
                too_many = true;
                break;
            }
            const std::size_t slash = text.find('/', start);
            parts[n++] = text.substr(start, slash == std::string_view::npos ? slash : slash - start);
            if (slash == std::string_view::npos) break;
            start = slash + 1;
        }
        std::int64_t v = 0;
        bool overflow = false;
        bool ok = !too_many && parse_int(parts[0], v, overflow);
        for (int k = 1; ok && k < n; ++k) {
            std::int64_t unused = 0;
            bool big = false;
            ok = parts[k].empty() || parse_int(parts[k], unused, big);
        }
        if (!ok) error(std::string("malformed ") + what + " index '" + std::string(text) + "'");

        const std::int64_t count = layer_.point_count();
        const std::int64_t index = v < 0 ? count + v : v - 1;
        if (overflow || v == 0 || index < 0 || index >= count)
            error(std::string(what) + " index " + std::string(parts[0]) + " out of range");
        return static_cast<index_t>(index);
    }

    [[noreturn]] void error(const std::string& what) const {
        throw io_error(std::string(name_) + ":" + std::to_string(line_) + ": " + what);
    }

    std::string_view name_;
    mesh_layer& layer_;
    std::string_view rest_;
    std::size_t line_ = 0;
    std::vector<index_t> points_;
};

}  // namespace

void read_obj_text(std::string_view text, std::string_view name, mesh_layer& layer) {
    layer.clear();
    try {
        obj_parser(name, layer).parse(text);
    } catch (...) {
        layer.clear();
        throw;
    }
}

void read_obj(const std::string& path, mesh_layer& layer) {
    layer.clear();
    const std::string text = read_file(path);
    read_obj_text(text, path, layer);
}

}  // namespace sf::formats
