#include "formats/crown_wire.h"

#include <cmath>
#include <cstring>
#include <vector>

namespace sf::formats {

namespace {

constexpr char k_magic[8] = {'S', 'F', 'C', 'R', 'O', 'W', 'N', '1'};
constexpr std::size_t k_head = 8 + 4 + 4 + 8;
constexpr std::size_t k_reason_max = 512;

void put_u32(std::string& s, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) s += char((v >> (8 * i)) & 0xFF);
}
void put_u64(std::string& s, std::uint64_t v) {
    for (int i = 0; i < 8; ++i) s += char((v >> (8 * i)) & 0xFF);
}

std::uint32_t get_u32(const char* p) {
    std::uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(p[i]);
    return v;
}
std::uint64_t get_u64(const char* p) {
    std::uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(p[i]);
    return v;
}

std::string head(crown_answer_kind kind, std::uint64_t body) {
    std::string s(k_magic, sizeof k_magic);
    put_u32(s, k_crown_wire_version);
    put_u32(s, static_cast<std::uint32_t>(kind));
    put_u64(s, body);
    return s;
}

[[noreturn]] void bad(const std::string& what) { throw crown_wire_error("malformed answer from the reader: " + what); }

bool printable(unsigned char c) { return c >= 0x20 && c != 0x7F; }

}  // namespace

std::string encode_crown_polygons(const mesh_layer& layer) {
    const std::uint64_t points = layer.point_count(), polygons = layer.polygon_count();
    std::uint64_t corners = 0;
    for (index_t p = 0; p < layer.polygon_count(); ++p) corners += layer.polygon_points(p).size();
    std::string s = head(crown_answer_kind::polygons, 16 + 24 * points + 4 * polygons + 4 * corners);
    s.reserve(s.size() + 16 + 24 * points + 4 * (polygons + corners));
    put_u32(s, static_cast<std::uint32_t>(points));
    put_u32(s, static_cast<std::uint32_t>(polygons));
    put_u64(s, corners);
    for (const double v : layer.point_coordinates()) {
        std::uint64_t bits;
        std::memcpy(&bits, &v, 8);
        put_u64(s, bits);
    }
    for (index_t p = 0; p < layer.polygon_count(); ++p) put_u32(s, static_cast<std::uint32_t>(layer.polygon_points(p).size()));
    for (index_t p = 0; p < layer.polygon_count(); ++p)
        for (const index_t i : layer.polygon_points(p)) put_u32(s, i);
    return s;
}

std::string encode_crown_refusal(crown_answer_kind kind, std::string_view reason) {
    std::string text;
    for (const char c : reason.substr(0, k_reason_max)) text += printable(static_cast<unsigned char>(c)) ? c : ' ';
    if (text.empty()) text = "unknown error";
    std::string s = head(kind, text.size());
    return s + text;
}

crown_answer decode_crown_answer(std::string_view bytes, mesh_layer& layer) {
    layer.clear();
    if (bytes.size() < k_head) bad("shorter than its header");
    if (std::memcmp(bytes.data(), k_magic, sizeof k_magic) != 0) bad("wrong magic");
    if (get_u32(bytes.data() + 8) != k_crown_wire_version) bad("version " + std::to_string(get_u32(bytes.data() + 8)));
    const std::uint32_t kind = get_u32(bytes.data() + 12);
    const std::uint64_t body = get_u64(bytes.data() + 16);
    if (body != bytes.size() - k_head) bad("length field does not match");
    const char* p = bytes.data() + k_head;

    if (kind == std::uint32_t(crown_answer_kind::refusal) || kind == std::uint32_t(crown_answer_kind::out_of_memory)) {
        if (body == 0 || body > k_reason_max) bad("reason of " + std::to_string(body) + " bytes");
        std::string reason(p, body);
        for (const char c : reason)
            if (!printable(static_cast<unsigned char>(c))) bad("control byte in the reason");
        return {static_cast<crown_answer_kind>(kind), std::move(reason)};
    }
    if (kind != std::uint32_t(crown_answer_kind::polygons)) bad("kind " + std::to_string(kind));

    if (body < 16) bad("polygon body shorter than its counts");
    const std::uint64_t points = get_u32(p), polygons = get_u32(p + 4), corners = get_u64(p + 8);
    // Each count fits in 32 bits, so none of these sums overflows.
    if (corners > k_max_index || points > std::uint64_t(k_max_index) + 1)
        bad("counts too large");
    if (16 + 24 * points + 4 * polygons + 4 * corners != body) bad("counts do not match the length");
    const char* xyz = p + 16;
    const char* sizes = xyz + 24 * points;
    const char* ids = sizes + 4 * polygons;

    std::uint64_t total = 0;
    for (std::uint64_t f = 0; f < polygons; ++f) {
        const std::uint32_t n = get_u32(sizes + 4 * f);
        if (n == 0) bad("polygon " + std::to_string(f) + " has no points");
        total += n;
    }
    if (total != corners) bad("polygon sizes do not add up to the corner count");
    for (std::uint64_t c = 0; c < corners; ++c)
        if (get_u32(ids + 4 * c) >= points) bad("point index out of range");
    for (std::uint64_t k = 0; k < 3 * points; ++k) {
        const std::uint64_t bits = get_u64(xyz + 8 * k);
        double v;
        std::memcpy(&v, &bits, 8);
        if (!std::isfinite(v)) bad("non-finite coordinate");
        if (std::fabs(v) > k_max_crown_coordinate) bad("coordinate beyond the bound");
    }

    for (std::uint64_t i = 0; i < points; ++i) {
        double v[3];
        for (int k = 0; k < 3; ++k) {
            const std::uint64_t bits = get_u64(xyz + 8 * (3 * i + k));
            std::memcpy(&v[k], &bits, 8);
        }
        layer.add_point(v[0], v[1], v[2]);
    }
    std::vector<index_t> poly;
    const char* at = ids;
    for (std::uint64_t f = 0; f < polygons; ++f) {
        const std::uint32_t n = get_u32(sizes + 4 * f);
        poly.resize(n);
        for (std::uint32_t k = 0; k < n; ++k, at += 4) poly[k] = get_u32(at);
        layer.add_polygon(LWPOLTYPE_FACE, k_none, poly);
    }
    return {crown_answer_kind::polygons, {}};
}

}  // namespace sf::formats
