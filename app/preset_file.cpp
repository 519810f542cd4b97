#include "app/preset_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cmath>
#include <cerrno>
#include <cstring>
#include <functional>

#include "formats/printable.h"

namespace sf::app {

namespace {

constexpr char k_magic[8] = {'S', 'F', 'P', 'R', 'E', 'S', 'E', 'T'};
constexpr std::size_t k_thumb_values = std::size_t(k_thumbnail_size) * k_thumbnail_size * 3;

void put_u32(std::string& out, std::uint32_t v) {
    for (int s = 0; s < 32; s += 8) out.push_back(static_cast<char>((v >> s) & 0xFF));
}

std::uint32_t get_u32(std::string_view in, std::size_t at) {
    std::uint32_t v = 0;
    for (int k = 3; k >= 0; --k) v = (v << 8) | static_cast<unsigned char>(in[at + std::size_t(k)]);
    return v;
}

void put_f8(std::string& out, double d) {
    std::uint64_t bits;
    std::memcpy(&bits, &d, sizeof bits);
    put_u32(out, static_cast<std::uint32_t>(bits));
    put_u32(out, static_cast<std::uint32_t>(bits >> 32));
}

double get_f8(std::string_view in, std::size_t at) {
    const std::uint64_t bits = get_u32(in, at) | std::uint64_t(get_u32(in, at + 4)) << 32;
    double d;
    std::memcpy(&d, &bits, sizeof d);
    return d;
}

std::array<std::uint32_t, 256> make_crc_table() {
    std::array<std::uint32_t, 256> t{};
    for (std::uint32_t n = 0; n < 256; ++n) {
        std::uint32_t c = n;
        for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        t[n] = c;
    }
    return t;
}

// A float item holding NaN or an infinity: every exponent bit set.
bool non_finite_float(const preset_item& it) {
    return it.tag == item_tag::fp && (it.bits & 0x7F800000u) == 0x7F800000u;
}

// Bytes of a file whose name is name_length long and whose panel-values
// block (none in version 1) is block_size long.
std::size_t expected_size(std::size_t name_length, std::size_t block_size) {
    return 8 + 4 + 4 + name_length + 4 + std::size_t(k_preset_items) * 5 + block_size + 8 + k_thumb_values * 4 + 4;
}

std::size_t value_size(value_tag tag) { return tag == value_tag::f8 ? 8 : 4; }

void put_panel_values(std::string& out, const std::vector<panel_value>& values) {
    put_u32(out, k_panel_values_version);
    put_u32(out, static_cast<std::uint32_t>(values.size()));
    for (const panel_value& v : values) {
        put_u32(out, v.id);
        out.push_back(static_cast<char>(v.tag));
        put_u32(out, static_cast<std::uint32_t>(v.bits));
        if (v.tag == value_tag::f8) put_u32(out, static_cast<std::uint32_t>(v.bits >> 32));
    }
}

std::size_t panel_values_size(const std::vector<panel_value>& values) {
    std::size_t n = 8;
    for (const panel_value& v : values) n += 5 + value_size(v.tag);
    return n;
}

// The panel-values block at `at`. scan() walks it within the bytes there
// are; read() takes the values from a block scan() found sound.
struct block_reader {
    std::string_view in;
    std::size_t at;
    std::size_t size = 0;  // 0 when the bytes end inside the block
    std::string problem{};  // why the block is malformed, or empty

    void scan() {
        if (in.size() < at + 8) return;
        if (get_u32(in, at) != k_panel_values_version) {
            problem = "panel values block version " + std::to_string(get_u32(in, at)) + ", expected 1";
            size = 8;
            return;
        }
        const std::uint32_t count = get_u32(in, at + 4);
        std::size_t n = 8;
        if (count > k_panel_values_max) problem = "too many panel values";
        for (std::uint32_t k = 0; k < count && problem.empty(); ++k) {
            if (in.size() < at + n + 5) return;
            const char tag = in[at + n + 4];
            if (tag != static_cast<char>(value_tag::i4) && tag != static_cast<char>(value_tag::f8))
                problem = "unknown panel value type";
            n += 5 + value_size(static_cast<value_tag>(tag));
        }
        size = n;
    }

    std::vector<panel_value> read(const std::function<preset_error(const std::string&)>& fail) const {
        std::vector<panel_value> values(get_u32(in, at + 4));
        std::size_t pos = at + 8;
        for (panel_value& v : values) {
            v.id = get_u32(in, pos);
            v.tag = static_cast<value_tag>(in[pos + 4]);
            v.bits = get_u32(in, pos + 5);
            if (v.tag == value_tag::f8) v.bits |= std::uint64_t(get_u32(in, pos + 9)) << 32;
            for (const panel_value& o : values) {
                if (&o == &v) break;
                if (o.id == v.id) throw fail("panel value " + std::to_string(v.id) + " given twice");
            }
            pos += 5 + value_size(v.tag);
        }
        return values;
    }
};

constexpr std::size_t k_crown_header = 4 + 4 + 12;  // without the name

std::size_t crown_size(const preset_crown& c) {
    return k_crown_header + c.name.size() + c.xyz.size() * 8 + (c.counts.size() + c.corners.size()) * 4;
}

void put_crown(std::string& out, const preset_crown& c) {
    put_u32(out, k_crown_block_version);
    put_u32(out, static_cast<std::uint32_t>(c.name.size()));
    out += c.name;
    put_u32(out, static_cast<std::uint32_t>(c.xyz.size() / 3));
    put_u32(out, static_cast<std::uint32_t>(c.counts.size()));
    put_u32(out, static_cast<std::uint32_t>(c.corners.size()));
    for (const double d : c.xyz) put_f8(out, d);
    for (const std::uint32_t n : c.counts) put_u32(out, n);
    for (const std::uint32_t i : c.corners) put_u32(out, i);
}

// The crown block at `at`, as block_reader: scan() sizes it from its
// header, within the bounds; read() takes it once the checksum held.
struct crown_reader {
    std::string_view in;
    std::size_t at;
    std::size_t size = 0;  // 0 when the bytes end inside the header
    std::string problem{};

    void scan() {
        if (in.size() < at + 8) return;
        if (get_u32(in, at) != k_crown_block_version) {
            problem = "crown block version " + std::to_string(get_u32(in, at)) + ", expected 1";
            size = 8;
            return;
        }
        const std::size_t name_length = get_u32(in, at + 4);
        if (name_length > k_crown_name_max) {
            problem = "crown name longer than 255 bytes";
            size = 8;
            return;
        }
        if (in.size() < at + k_crown_header + name_length) return;
        const std::size_t counts = at + 8 + name_length;
        const std::size_t points = get_u32(in, counts), polygons = get_u32(in, counts + 4),
                          corners = get_u32(in, counts + 8);
        size = k_crown_header + name_length;
        if (points == 0 || points > k_crown_points_max || polygons == 0 || polygons > k_crown_polygons_max ||
            corners == 0 || corners > k_crown_corners_max) {
            problem = "crown counts out of range";
            return;
        }
        size += points * 24 + (polygons + corners) * 4;
    }

    preset_crown read() const {
        preset_crown c;
        const std::size_t name_length = get_u32(in, at + 4);
        c.name.assign(in.substr(at + 8, name_length));
        std::size_t pos = at + 8 + name_length;
        c.xyz.resize(std::size_t(get_u32(in, pos)) * 3);
        c.counts.resize(get_u32(in, pos + 4));
        c.corners.resize(get_u32(in, pos + 8));
        pos += 12;
        for (double& d : c.xyz) d = get_f8(in, pos), pos += 8;
        for (std::uint32_t& n : c.counts) n = get_u32(in, pos), pos += 4;
        for (std::uint32_t& i : c.corners) i = get_u32(in, pos), pos += 4;
        return c;
    }
};

}  // namespace

void check_preset_crown(const preset_crown& c, const std::string& what) {
    const std::size_t points = c.xyz.size() / 3;
    auto fail = [&](const std::string& why) { return preset_error(what + " " + why); };
    if (c.name.size() > k_crown_name_max) throw fail("has a name longer than 255 bytes");
    for (const char ch : c.name)
        if (static_cast<unsigned char>(ch) < 0x20 || ch == 0x7F) throw fail("has a control character in its name");
    if (c.xyz.size() % 3 != 0 || points == 0 || c.counts.empty() || c.corners.empty())
        throw fail("has no points or no polygons");
    if (points > k_crown_points_max || c.counts.size() > k_crown_polygons_max ||
        c.corners.size() > k_crown_corners_max)
        throw fail("has " + std::to_string(points) + " points, " + std::to_string(c.counts.size()) + " polygons and " +
                   std::to_string(c.corners.size()) + " corners; a preset keeps at most " +
                   std::to_string(k_crown_points_max) + ", " + std::to_string(k_crown_polygons_max) + " and " +
                   std::to_string(k_crown_corners_max));
    for (const double d : c.xyz)
        if (!(std::abs(d) <= k_crown_coordinate_max)) throw fail("has a coordinate that is not finite or beyond 1e9");
    std::size_t total = 0;
    for (const std::uint32_t n : c.counts) {
        if (n == 0) throw fail("has a polygon without corners");
        total += n;
    }
    if (total != c.corners.size()) throw fail("has polygon corner counts that do not add up");
    for (const std::uint32_t i : c.corners)
        if (i >= points) throw fail("has a corner naming point " + std::to_string(i) + " of " + std::to_string(points));
}

std::optional<std::string> read_shelf_file(const std::string& path, std::uintmax_t max_bytes) {
    // Non-blocking, so that a FIFO planted on the shelf cannot hold the open.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        const int err = errno;
        if (err == ENOENT) return std::nullopt;
        if (err == ELOOP) throw preset_error(path + ": a symbolic link; the shelf holds regular files only");
        throw preset_error(path + ": cannot open: " + std::strerror(err));
    }
    struct closer {
        int fd;
        ~closer() { ::close(fd); }
    } guard{fd};
    struct stat st {};
    if (::fstat(fd, &st) != 0) throw preset_error(path + ": cannot read: " + std::strerror(errno));
    if (!S_ISREG(st.st_mode)) throw preset_error(path + ": not a regular file");
    const std::string too_large = path + ": larger than " + std::to_string(max_bytes >> 10) + " KiB";
    if (std::uintmax_t(st.st_size) > max_bytes) throw preset_error(too_large);
    // Read to the bound only, should the file grow meanwhile.
    std::string data(std::size_t(st.st_size) + 1, '\0');
    std::size_t got = 0;
    while (got < data.size()) {
        const ssize_t n = ::read(fd, data.data() + got, data.size() - got);
        if (n == 0) break;
        if (n < 0) {
            if (errno == EINTR) continue;
            throw preset_error(path + ": cannot read: " + std::strerror(errno));
        }
        got += std::size_t(n);
        if (got > max_bytes) throw preset_error(too_large);
        if (got == data.size()) data.resize(std::min<std::size_t>(data.size() * 2, std::size_t(max_bytes) + 1));
    }
    data.resize(got);
    return data;
}

void check_preset_name(const std::string& name) {
    if (name.empty()) throw preset_error("preset name is empty");
    const std::string quoted = "preset name '" + formats::printable(name) + "'";
    if (name.size() > k_preset_name_max) throw preset_error(quoted + " is longer than 64 bytes");
    if (name.front() == '.') throw preset_error(quoted + " starts with '.'");
    for (const char c : name) {
        if (c == '/') throw preset_error(quoted + " contains '/'");
        if (c < 0x20 || c > 0x7E)
            throw preset_error(quoted + " contains a character that is not printable ASCII");
    }
}

std::string preset_file_stem(const std::string& name) {
    static const char hex[] = "0123456789ABCDEF";
    std::string stem;
    for (const char c : name) {
        const auto u = static_cast<unsigned char>(c);
        if ((u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || (u >= '0' && u <= '9') || u == '-' ||
            u == '_' || u == '.') {
            stem.push_back(c);
        } else {
            stem.push_back('%');
            stem.push_back(hex[u >> 4]);
            stem.push_back(hex[u & 15]);
        }
    }
    return stem;
}

std::uint32_t crc32(std::string_view bytes) {
    static const std::array<std::uint32_t, 256> table = make_crc_table();
    std::uint32_t c = 0xFFFFFFFFu;
    for (const char ch : bytes) c = table[(c ^ static_cast<unsigned char>(ch)) & 0xFF] ^ (c >> 8);
    return c ^ 0xFFFFFFFFu;
}

std::string encode_preset(const preset_data& p) {
    check_preset_name(p.name);
    if (p.items.size() != k_preset_items)
        throw preset_error("the tool wrote " + std::to_string(p.items.size()) + " preset values, expected " +
                           std::to_string(k_preset_items));
    if (p.thumbnail.size() != k_thumb_values) throw preset_error("the thumbnail is not 128 x 128 RGB");
    for (std::size_t k = 0; k < p.items.size(); ++k)
        if (non_finite_float(p.items[k]))
            throw preset_error("preset value " + std::to_string(k + 1) +
                               " is not a finite 32-bit float; a preset holds finite values only");
    if (p.panel_values.size() > k_panel_values_max) throw preset_error("too many panel values for a preset");
    if (p.crown) check_preset_crown(*p.crown, "the crown");
    std::string out;
    out.reserve(expected_size(p.name.size(), panel_values_size(p.panel_values) + (p.crown ? crown_size(*p.crown) : 0)));
    out.append(k_magic, sizeof k_magic);
    // Without a crown the file is what programs before crowns wrote.
    put_u32(out, p.crown ? k_preset_version : 2);
    put_u32(out, static_cast<std::uint32_t>(p.name.size()));
    out += p.name;
    put_u32(out, k_preset_items);
    for (const preset_item& it : p.items) {
        out.push_back(static_cast<char>(it.tag));
        put_u32(out, it.bits);
    }
    put_panel_values(out, p.panel_values);
    if (p.crown) put_crown(out, *p.crown);
    put_u32(out, k_thumbnail_size);
    put_u32(out, k_thumbnail_size);
    for (const float f : p.thumbnail) {
        std::uint32_t bits;
        std::memcpy(&bits, &f, sizeof bits);
        put_u32(out, bits);
    }
    put_u32(out, crc32(out));
    return out;
}

preset_data decode_preset(std::string_view in, const std::string& where) {
    auto fail = [&](const std::string& why) -> preset_error {
        return preset_error(where + ": not a usable preset file (" + why + ")");
    };
    if (in.size() < 16 || std::memcmp(in.data(), k_magic, sizeof k_magic) != 0) {
        if (in.size() >= 8 && std::memcmp(in.data(), k_magic, sizeof k_magic) == 0)
            throw fail("truncated: " + std::to_string(in.size()) + " bytes");
        throw fail("no preset header");
    }
    const std::uint32_t version = get_u32(in, 8);
    if (version < 1 || version > k_preset_version)
        throw fail("version " + std::to_string(version) + ", expected 1, 2 or 3");
    const std::uint32_t name_length = get_u32(in, 12);
    if (name_length == 0 || name_length > k_preset_name_max) throw fail("bad name length");
    block_reader block{in, 16 + std::size_t(name_length) + 4 + std::size_t(k_preset_items) * 5};
    if (version >= 2) {
        block.scan();
        if (block.size == 0) throw fail("truncated: " + std::to_string(in.size()) + " bytes");
    }
    crown_reader crown{in, block.at + block.size};
    if (version >= 3 && block.problem.empty()) {
        crown.scan();
        if (crown.size == 0) throw fail("truncated: " + std::to_string(in.size()) + " bytes");
    }
    const std::string& problem = block.problem.empty() ? crown.problem : block.problem;
    const std::size_t want = expected_size(name_length, block.size + crown.size);
    if (in.size() < want)
        throw fail("truncated: " + std::to_string(in.size()) + " of " + std::to_string(want) + " bytes");
    if (in.size() > want) {
        // A damaged block also makes the file look too long; the checksum at
        // the file's end tells damage from a block that was written wrong.
        if (version >= 2 && crc32(in.substr(0, in.size() - 4)) != get_u32(in, in.size() - 4))
            throw fail("checksum mismatch");
        throw fail(problem.empty() ? "trailing bytes after the checksum" : problem);
    }
    if (crc32(in.substr(0, want - 4)) != get_u32(in, want - 4)) throw fail("checksum mismatch");
    if (!problem.empty()) throw fail(problem);

    preset_data p;
    std::size_t at = 16;
    p.name.assign(in.substr(at, name_length));
    at += name_length;
    try {
        check_preset_name(p.name);
    } catch (const preset_error& e) {
        throw fail(e.what());
    }
    if (get_u32(in, at) != k_preset_items) throw fail("item count is not 63");
    at += 4;
    p.items.resize(k_preset_items);
    for (preset_item& it : p.items) {
        const char tag = in[at];
        if (tag != static_cast<char>(item_tag::i4) && tag != static_cast<char>(item_tag::fp))
            throw fail("unknown item type");
        it.tag = static_cast<item_tag>(tag);
        it.bits = get_u32(in, at + 1);
        if (non_finite_float(it))
            throw fail("item " + std::to_string(&it - p.items.data() + 1) + " is not a finite number");
        at += 5;
    }
    if (version >= 2) p.panel_values = block.read(fail);
    at += block.size;
    if (version >= 3) {
        p.crown = crown.read();
        try {
            check_preset_crown(*p.crown, "its crown");
        } catch (const preset_error& e) {
            throw fail(e.what());
        }
    }
    at += crown.size;
    if (get_u32(in, at) != k_thumbnail_size || get_u32(in, at + 4) != k_thumbnail_size)
        throw fail("thumbnail is not 128 x 128");
    at += 8;
    p.thumbnail.resize(k_thumb_values);
    for (float& f : p.thumbnail) {
        const std::uint32_t bits = get_u32(in, at);
        std::memcpy(&f, &bits, sizeof f);
        at += 4;
    }
    return p;
}

}  // namespace sf::app
