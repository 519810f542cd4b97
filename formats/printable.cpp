#include "formats/printable.h"

namespace sf::formats {

namespace {

// The length of the valid UTF-8 sequence starting at text[at], 0 if none
// (overlong forms, surrogates and code points past U+10FFFF included).
std::size_t utf8_length(std::string_view text, std::size_t at, char32_t& code) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[at + k]); };
    const unsigned char lead = byte(0);
    std::size_t n = 0;
    char32_t min = 0;
    if (lead >= 0xC2 && lead <= 0xDF) n = 2, code = lead & 0x1F, min = 0x80;
    else if (lead >= 0xE0 && lead <= 0xEF) n = 3, code = lead & 0x0F, min = 0x800;
    else if (lead >= 0xF0 && lead <= 0xF4) n = 4, code = lead & 0x07, min = 0x10000;
    else return 0;
    if (text.size() - at < n) return 0;
    for (std::size_t k = 1; k < n; ++k) {
        if ((byte(k) & 0xC0) != 0x80) return 0;
        code = (code << 6) | (byte(k) & 0x3F);
    }
    if (code < min || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0;
    return n;
}

void put_escaped(std::string& out, unsigned char c) {
    static const char hex[] = "0123456789abcdef";
    out += "\\x";
    out += hex[c >> 4];
    out += hex[c & 15];
}

}  // namespace

std::string printable(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t at = 0; at < text.size();) {
        const auto c = static_cast<unsigned char>(text[at]);
        if (c < 0x80) {
            if (c < 0x20 || c == 0x7F) put_escaped(out, c);
            else out += char(c);
            ++at;
            continue;
        }
        char32_t code = 0;
        const std::size_t n = utf8_length(text, at, code);
        if (n == 0 || (code >= 0x80 && code <= 0x9F)) {
            // A C1 control is escaped whole, byte by byte.
            for (std::size_t k = 0; k < (n == 0 ? 1 : n); ++k) put_escaped(out, static_cast<unsigned char>(text[at + k]));
            at += n == 0 ? 1 : n;
            continue;
        }
        out.append(text.substr(at, n));
        at += n;
    }
    return out;
}

bool is_utf8(std::string_view text) {
    char32_t code = 0;
    for (std::size_t at = 0, n; at < text.size(); at += n) {
        n = static_cast<unsigned char>(text[at]) < 0x80 ? 1 : utf8_length(text, at, code);
        if (n == 0) return false;
    }
    return true;
}

}  // namespace sf::formats
