#include "app/serve/web_assets.h"

#include <brotli/encode.h>
#include <zlib.h>

#include <map>
#include <mutex>
#include <string>

#include "formats/errors.h"

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

namespace {

std::string brotli(std::string_view in) {
    std::size_t size = BrotliEncoderMaxCompressedSize(in.size());
    std::string out(size, '\0');
    if (size == 0 || !BrotliEncoderCompress(BROTLI_MAX_QUALITY, BROTLI_DEFAULT_WINDOW, BROTLI_MODE_TEXT, in.size(),
                                            reinterpret_cast<const std::uint8_t*>(in.data()), &size,
                                            reinterpret_cast<std::uint8_t*>(out.data())))
        throw machine_error("cannot compress the page");
    out.resize(size);
    return out;
}

std::string gzip(std::string_view in) {
    z_stream z{};
    if (deflateInit2(&z, Z_BEST_COMPRESSION, Z_DEFLATED, 15 + 16, 9, Z_DEFAULT_STRATEGY) != Z_OK)
        throw machine_error("cannot compress the page");
    std::string out(deflateBound(&z, uLong(in.size())), '\0');
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
    z.avail_in = uInt(in.size());
    z.next_out = reinterpret_cast<Bytef*>(out.data());
    z.avail_out = uInt(out.size());
    const int done = deflate(&z, Z_FINISH);
    out.resize(z.total_out);
    deflateEnd(&z);
    if (done != Z_STREAM_END) throw machine_error("cannot compress the page");
    return out;
}

}  // namespace

std::string_view encoded_web_asset(std::string_view path, std::string_view encoding) {
    static std::mutex mutex;
    static std::map<std::pair<std::string, std::string>, std::string> made;  // never shrinks: three files, two ways
    const std::optional<web_asset> asset = find_web_asset(path);
    if (!asset) throw machine_error("no such page file");
    // Keyed by the body, so that "/" and "/index.html" share one.
    std::pair<std::string, std::string> key{std::to_string(reinterpret_cast<std::uintptr_t>(asset->body.data())),
                                            std::string(encoding)};
    std::lock_guard lock(mutex);
    auto it = made.find(key);
    if (it == made.end())
        it = made.emplace(std::move(key), encoding == "br" ? brotli(asset->body) : gzip(asset->body)).first;
    return it->second;
}

}  // namespace sf::app
