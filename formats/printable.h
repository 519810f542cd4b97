// Text quoted from a user or a file, made safe to print on a terminal.
#pragma once

#include <string>
#include <string_view>

namespace sf::formats {

// The text with every control character (C0, DEL, C1) and every byte that
// is not part of valid UTF-8 written as \xNN; the rest, UTF-8 included,
// stays as it is.
std::string printable(std::string_view text);

// Whether the text is valid UTF-8 (no overlong forms, surrogates or code
// points past U+10FFFF).
bool is_utf8(std::string_view text);

}  // namespace sf::formats
