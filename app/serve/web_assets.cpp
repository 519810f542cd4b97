#include "app/serve/web_assets.h"

namespace sf::app {

#ifdef SF_WEB_BUNDLE_DIR

#define SF_EMBED(symbol, file)                                   \
    ".global " #symbol "\n.hidden " #symbol "\n.balign 16\n" #symbol ":\n" \
    ".incbin \"" SF_WEB_BUNDLE_DIR "/" file "\"\n"                \
    ".global " #symbol "_end\n.hidden " #symbol "_end\n" #symbol "_end:\n.byte 0\n"

asm(".section .rodata\n" SF_EMBED(sf_web_index_html, "index.html") SF_EMBED(sf_web_app_js, "app.js")
        SF_EMBED(sf_web_app_css, "app.css") ".previous\n");

extern "C" const char sf_web_index_html[], sf_web_index_html_end[];
extern "C" const char sf_web_app_js[], sf_web_app_js_end[];
extern "C" const char sf_web_app_css[], sf_web_app_css_end[];

std::optional<web_asset> find_web_asset(std::string_view path) {
    const auto view = [](const char* begin, const char* end) {
        return std::string_view(begin, std::size_t(end - begin));
    };
    if (path == "/" || path == "/index.html")
        return web_asset{"text/html; charset=utf-8", view(sf_web_index_html, sf_web_index_html_end)};
    if (path == "/app.js")
        return web_asset{"text/javascript; charset=utf-8", view(sf_web_app_js, sf_web_app_js_end)};
    if (path == "/app.css") return web_asset{"text/css; charset=utf-8", view(sf_web_app_css, sf_web_app_css_end)};
    return std::nullopt;
}

#else

std::optional<web_asset> find_web_asset(std::string_view path) {
    if (path != "/" && path != "/index.html") return std::nullopt;
    return web_asset{"text/html; charset=utf-8",
                     "<!doctype html><meta charset=utf-8><title>Sylvaform</title>"
                     "<p>This sylvaform was built without its page (npm was not found at build time). "
                     "The API under /api/ works; rebuild with npm installed for the page.</p>"};
}

#endif

}  // namespace sf::app
