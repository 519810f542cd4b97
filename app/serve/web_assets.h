// The page, bundled from web/ at build time and compiled into the program,
// so that serving it needs neither the network nor the file system.
#pragma once

#include <optional>
#include <string_view>

namespace sf::app {

struct web_asset {
    std::string_view content_type;
    std::string_view body;
};

// "/" (the page), "/app.js" and "/app.css"; none for anything else. When the
// program was built without npm, "/" is a short page saying so.
std::optional<web_asset> find_web_asset(std::string_view path);

// A page file's body compressed as "br" or "gzip": compressed once, on first
// use, and kept. path must name a page file.
std::string_view encoded_web_asset(std::string_view path, std::string_view encoding);

}  // namespace sf::app
