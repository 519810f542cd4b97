#include "formats/glb_container.h"

#include <cstdint>
#include <cstring>

#include "formats/file_io.h"

namespace sf::formats {

namespace {

std::uint32_t get_u32(const std::string& s, std::size_t at) {
    std::uint32_t v;
    std::memcpy(&v, s.data() + at, 4);
    return v;
}

void put_u32(std::string& s, std::uint32_t v) { s.append(reinterpret_cast<const char*>(&v), 4); }

}  // namespace

glb_chunks unpack_glb(const std::string& g, const std::string& not_glb) {
    if (g.size() < 20 || get_u32(g, 0) != 0x46546C67u) throw io_error(not_glb);
    const std::uint32_t json_len = get_u32(g, 12);
    if (g.size() < 20 + std::size_t(json_len)) throw io_error(not_glb);
    glb_chunks out{nlohmann::json::parse(g.substr(20, json_len)), {}};
    const std::size_t at = 20 + std::size_t(json_len);
    if (g.size() >= at + 8) out.bin = g.substr(at + 8, get_u32(g, at));
    return out;
}

std::string pack_glb(const nlohmann::json& doc, std::string& bin) {
    std::string text = doc.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
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

}  // namespace sf::formats
