#include "app/serve/web_server.h"

#include <fcntl.h>
#include <httplib.h>
#include <malloc.h>
#include <pthread.h>
#include <sys/stat.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <set>

#include "app/command.h"
#include "app/default_crown.h"
#include "app/serve/http_front.h"
#include "app/serve/web_assets.h"
#include "formats/printable.h"
#include "formats/crown_reader.h"
#include "formats/file_io.h"
#include "formats/outputs.h"
#include "formats/subdivide.h"

namespace sf::app {

using nlohmann::json;
namespace fs = std::filesystem;

namespace {

constexpr auto k_long_poll = std::chrono::seconds(20);
// After SIGTERM the server waits this long for running requests, then
// exits without them (a build cannot be interrupted).
constexpr auto k_exit_grace = std::chrono::milliseconds(700);
constexpr std::size_t k_crown_name_max = 128;
constexpr std::size_t k_extension_max = 10;
constexpr int k_own_mapping = 1 << 20;

void send_json(httplib::Response& res, int status, const json& body) {
    res.status = status;
    // Text that is not UTF-8 cannot fail the answer.
    res.set_content(body.dump(-1, ' ', false, json::error_handler_t::replace), "application/json");
}

void send_error(httplib::Response& res, int status, const std::string& message, const std::string& ask = {}) {
    json body = {{"error", formats::printable(message)}};
    if (!ask.empty()) body["ask"] = ask;
    send_json(res, status, body);
}

// Every handler's failures become one JSON error; nothing escapes.
template <class F>
httplib::Server::Handler guarded(F handler) {
    return [handler](const httplib::Request& req, httplib::Response& res) {
        try {
            handler(req, res);
        } catch (const request_error& e) {
            send_error(res, e.status, e.what(), e.ask);
        } catch (const input_error& e) {  // a preset, say
            send_error(res, 400, e.what());
        } catch (const std::bad_alloc&) {
            send_error(res, 500, "Memory allocation error");
        } catch (const std::exception& e) {
            send_error(res, 500, e.what());
        }
    };
}

bool starts_with(const std::string& s, std::string_view prefix) { return s.compare(0, prefix.size(), prefix) == 0; }

json json_body(const httplib::Request& req) {
    if (!starts_with(req.get_header_value("Content-Type"), "application/json"))
        throw request_error(415, "send the request body as application/json");
    json body = parse_request_json(req.body);
    if (!body.is_object()) throw request_error(400, "the request body is not a JSON object");
    return body;
}

std::string preset_name(const json& body) {
    if (!body.contains("name") || !body["name"].is_string())
        throw request_error(400, "give the preset's name as \"name\"");
    std::string name = body["name"].get<std::string>();
    check_preset_name(name);  // preset_error: 400
    return name;
}

int subdivide_levels(const httplib::Request& req) {
    if (!req.has_param("subdivide")) return 0;
    const std::string v = req.get_param_value("subdivide");
    if (v.size() != 1 || v[0] < '0' || v[0] - '0' > formats::k_max_subdivision_levels)
        throw request_error(400, "subdivide is a level from 0 to " +
                                     std::to_string(formats::k_max_subdivision_levels));
    return v[0] - '0';
}

// triangles=N (1 to 4e9) or triangles=auto: round bark within a budget.
std::size_t triangle_budget(const httplib::Request& req) {
    if (!req.has_param("triangles")) return 0;
    const std::string v = req.get_param_value("triangles");
    if (v == "auto") return k_triangles_auto;
    std::uint64_t n = 0;
    const bool digits = !v.empty() && v.size() <= 10 && v.find_first_not_of("0123456789") == std::string::npos;
    if (digits) n = std::stoull(v);
    if (!digits || n < 1 || n > 4000000000u)
        throw request_error(400, "triangles is auto or a whole number from 1 to 4000000000");
    return static_cast<std::size_t>(n);
}

// A file name as the page may show it: its last component, without control
// characters, short (cut between characters). A name that is not UTF-8 is
// refused: the page could not show it.
std::string display_name(const std::string& name) {
    if (!formats::is_utf8(name)) throw request_error(400, "the crown's file name is not UTF-8 text");
    const std::string base = name.substr(name.find_last_of("/\\") == std::string::npos ? 0 : name.find_last_of("/\\") + 1);
    std::string out;
    for (std::size_t at = 0, n; at < base.size(); at += n) {
        const auto c = static_cast<unsigned char>(base[at]);
        n = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;  // valid UTF-8, checked above
        if (n == 1 && (c < 0x20 || c == 0x7F)) continue;
        if (n == 2 && c == 0xC2 && static_cast<unsigned char>(base[at + 1]) < 0xA0) continue;
        if (out.size() + n > k_crown_name_max) break;
        out.append(base, at, n);
    }
    return out.empty() ? "crown" : out;
}

// The lower-case extension that tells the readers the format.
std::string crown_extension(const std::string& name) {
    const std::size_t dot = name.rfind('.');
    std::string ext = dot == std::string::npos ? std::string() : name.substr(dot + 1);
    std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    const bool plain = !ext.empty() && ext.size() <= k_extension_max &&
                       std::all_of(ext.begin(), ext.end(), [](unsigned char c) { return std::isalnum(c); });
    if (!plain)
        throw request_error(400, "the crown's file name needs an extension that names its format (.obj, .ply, .glb, ...)");
    return ext;
}

// The upload folders that exist now, so that every way out removes them.
// Never destroyed: the exit path may use it while other threads still run.
struct upload_registry {
    std::mutex mutex;
    std::set<std::string> dirs;
};
upload_registry& uploads() {
    static upload_registry* registry = new upload_registry;
    return *registry;
}

void remove_upload_dirs() {
    upload_registry& r = uploads();
    std::lock_guard lock(r.mutex);
    for (const std::string& dir : r.dirs) {
        std::error_code ec;
        fs::remove_all(dir, ec);
    }
    r.dirs.clear();
}

constexpr std::string_view k_upload_prefix = "sylvaform-upload-";

// Upload folders left by servers that were killed: their names carry the
// process id, and a folder whose process is gone is removed.
void remove_stale_upload_dirs() try {
    std::error_code ec;
    for (const fs::directory_entry& e : fs::directory_iterator(fs::temp_directory_path(ec), ec)) {
        const std::string name = e.path().filename().string();
        if (name.compare(0, k_upload_prefix.size(), k_upload_prefix) != 0) continue;
        const std::string rest = name.substr(k_upload_prefix.size());
        const std::size_t dash = rest.find('-');
        if (dash == 0 || dash == std::string::npos || dash > 9 ||
            !std::all_of(rest.begin(), rest.begin() + long(dash), [](unsigned char c) { return std::isdigit(c); }))
            continue;
        const pid_t pid = pid_t(std::stol(rest.substr(0, dash)));
        if (pid != ::getpid() && ::kill(pid, 0) != 0 && errno == ESRCH) {
            std::error_code ignored;
            fs::remove_all(e.path(), ignored);
        }
    }
} catch (const std::exception&) {
    // A folder that cannot be listed keeps what is in it.
}

// A private directory for one upload, removed with everything in it.
class upload_dir {
public:
    upload_dir() {
        std::string pattern = (fs::temp_directory_path() / (std::string(k_upload_prefix) +
                                                            std::to_string(::getpid()) + "-XXXXXX"))
                                  .string();
        upload_registry& r = uploads();
        std::lock_guard lock(r.mutex);
        if (!::mkdtemp(pattern.data())) throw machine_error("cannot make a directory for the upload");
        path_ = pattern;
        r.dirs.insert(pattern);
    }
    ~upload_dir() {
        upload_registry& r = uploads();
        std::lock_guard lock(r.mutex);
        if (r.dirs.erase(path_.string()) == 0) return;  // already removed on the way out
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    upload_dir(const upload_dir&) = delete;
    upload_dir& operator=(const upload_dir&) = delete;
    const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

// Reads an uploaded crown with the command line's readers and limits. The
// readers' messages name the temporary file; they are given the upload's name.
formats::mesh_layer read_uploaded_crown(const std::string& bytes, const std::string& name, formats::crown_up up) {
    if (bytes.empty()) throw request_error(400, "the crown file is empty");
    const std::string ext = crown_extension(name);
    upload_dir dir;
    const std::string path = (dir.path() / ("crown." + ext)).string();
    {
        formats::atomic_file file(path);
        file.write(bytes);
        file.commit();
    }
    formats::mesh_layer layer;
    try {
        formats::read_crown(path, layer, up, formats::crown_source::upload);
    } catch (const std::bad_alloc&) {
        throw;
    } catch (const std::exception& e) {
        std::string message = e.what();
        for (std::size_t at; (at = message.find(path)) != std::string::npos;) message.replace(at, path.size(), name);
        throw request_error(400, message);
    }
    // The tool could do nothing with it; the current crown stays.
    bool usable = false;
    for (formats::index_t p = 0; p < layer.polygon_count() && !usable; ++p)
        usable = layer.polygon_type(p) == LWPOLTYPE_FACE && layer.polygon_points(p).size() >= 3;
    if (!usable) throw request_error(400, name + ": no polygon of three or more points to grow a tree in");
    return layer;
}

constexpr const char* k_asset_encoding = "Sylvaform-Asset-Encoding";

// The encoding of a static file's answer for an Accept-Encoding value:
// "br", "gzip" or "" (none).
std::string pick_encoding(std::string_view accepts) {
    bool br = false, gzip = false;
    while (!accepts.empty()) {
        const std::size_t comma = accepts.find(',');
        std::string item(accepts.substr(0, comma));
        accepts = comma == std::string_view::npos ? std::string_view() : accepts.substr(comma + 1);
        item.erase(std::remove_if(item.begin(), item.end(), [](unsigned char c) { return std::isspace(c); }), item.end());
        std::transform(item.begin(), item.end(), item.begin(), [](unsigned char c) { return char(std::tolower(c)); });
        const std::size_t semi = item.find(';');
        const std::string name = item.substr(0, semi);
        const bool refused = semi != std::string::npos && item.compare(semi, std::string::npos, ";q=0") == 0;
        if (refused) continue;
        br = br || name == "br";
        gzip = gzip || name == "gzip";
    }
    return br ? "br" : gzip ? "gzip" : "";
}

// A Host header's name and port: "name", "name:port", "[v6]:port".
bool split_host(std::string_view host, std::string_view& name, std::string_view& port) {
    std::size_t colon;
    if (!host.empty() && host.front() == '[') {
        const std::size_t close = host.find(']');
        if (close == std::string_view::npos) return false;
        colon = close + 1 < host.size() ? close + 1 : std::string_view::npos;
        if (colon != std::string_view::npos && host[colon] != ':') return false;
    } else {
        colon = host.find(':');
    }
    name = host.substr(0, colon);
    port = colon == std::string_view::npos ? std::string_view() : host.substr(colon + 1);
    return !name.empty();
}

}  // namespace

std::string check_host_name(const std::string& given) {
    std::string name = given;
    std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    if (name.find(':') != std::string::npos && name.front() != '[') name = "[" + name + "]";
    const bool v6 = name.front() == '[';
    const std::string_view inner = v6 ? std::string_view(name).substr(1, name.size() - 2) : std::string_view(name);
    const bool fine = !inner.empty() && inner.size() <= 253 && (!v6 || name.back() == ']') &&
                      std::all_of(inner.begin(), inner.end(), [v6](unsigned char c) {
                          return std::isalnum(c) || c == '.' || c == '-' || (v6 ? c == ':' : c == '_');
                      });
    if (!fine)
        throw usage_error("--allow-host takes a host name or address as the browser's address bar shows it, not '" +
                          formats::printable(given) + "'");
    return name;
}

namespace {

class web_server {
public:
    web_server(tool_worker& worker, const serve_options& options)
        : worker_(worker), options_(options), server_(limits(options), [&worker] { return worker.version(); }) {
        shelf_.dir = options.setup.shelf_dir;
        worker.set_listener([this] { server_.wake(); });
        server_.set_payload_max_length(options.max_upload);
        server_.set_pre_routing_handler(
            [this](const httplib::Request& req, httplib::Response& res) { return screen(req, res); });
        server_.set_error_handler([limit = options.max_upload](const httplib::Request& req, httplib::Response& res) {
            if (!res.body.empty()) return;
            if (res.status == 413) return send_error(res, 413, too_large_text(limit));
            if (starts_with(req.path, "/api/"))
                return send_error(res, res.status, res.status == 404 ? "no such request" : "bad request");
            res.set_content("Not found", "text/plain");
        });
        server_.set_exception_handler([](const httplib::Request&, httplib::Response& res, std::exception_ptr) {
            send_error(res, 500, "the request failed");
        });
        routes();
    }

    ~web_server() { worker_.set_listener(nullptr); }

    http_front& server() { return server_; }
    void set_port(int port) { port_ = port; }

private:
    static std::string too_large_text(std::size_t limit) {
        return "the upload is larger than the server takes (" + std::to_string(limit >> 20) +
               " MiB; see --max-upload-mb)";
    }
    static front_limits limits(const serve_options& options) {
        front_limits l;
        l.max_body = options.max_upload;
        l.poll_wait = k_long_poll;
        l.too_large = json{{"error", too_large_text(options.max_upload)}}.dump();
        // Nothing is compressed per answer (brotli at the library's level
        // costs a second per megabyte: a download would be a cheap stall).
        // The page's files are compressed once (get_asset): their accepted
        // encoding is moved aside for it.
        l.prepare = [](httplib::Request& req) {
            const std::string accepts = req.get_header_value("Accept-Encoding");
            req.headers.erase("Accept-Encoding");
            req.headers.erase(k_asset_encoding);
            if ((req.method == "GET" || req.method == "HEAD") && find_web_asset(req.path))
                req.headers.emplace(k_asset_encoding, pick_encoding(accepts));
        };
        return l;
    }

    // A request must name this server as its host: a loopback name or one
    // given with --allow-host, and its port (so a page elsewhere cannot reach
    // it through its own host name, whatever address it listens on).
    bool host_allowed(std::string host) const {
        std::transform(host.begin(), host.end(), host.begin(), [](unsigned char c) { return char(std::tolower(c)); });
        std::string_view name, port;
        if (!split_host(host, name, port)) return false;
        if (port.empty() ? port_ != 80 : port != std::to_string(port_)) return false;
        return name == "127.0.0.1" || name == "localhost" || name == "[::1]" ||
               std::find(options_.allow_hosts.begin(), options_.allow_hosts.end(), name) != options_.allow_hosts.end();
    }

    // Requests must be addressed to this server (host_allowed) and may not
    // come from another origin.
    httplib::Server::HandlerResponse screen(const httplib::Request& req, httplib::Response& res) {
        res.set_header("X-Content-Type-Options", "nosniff");
        res.set_header("Cache-Control", "no-store");
        if (!host_allowed(req.get_header_value("Host"))) {
            send_error(res, 403,
                       "this server answers only requests for 127.0.0.1 or localhost (start it with --allow-host NAME "
                       "to answer requests for NAME)");
            return httplib::Server::HandlerResponse::Handled;
        }
        // Bodies are taken as sent: nothing is inflated.
        if (req.has_header("Content-Encoding")) {
            send_error(res, 415, "compressed request bodies are refused; send the body without Content-Encoding");
            return httplib::Server::HandlerResponse::Handled;
        }
        const std::string origin = req.get_header_value("Origin");
        if (req.method != "GET" && !origin.empty() && origin != "http://" + req.get_header_value("Host")) {
            send_error(res, 403, "requests from other sites are refused");
            return httplib::Server::HandlerResponse::Handled;
        }
        return httplib::Server::HandlerResponse::Unhandled;
    }

    // A member handler, behind the guard that turns errors into answers.
    auto handler(void (web_server::*fn)(const httplib::Request&, httplib::Response&)) {
        return guarded([this, fn](const httplib::Request& req, httplib::Response& res) { (this->*fn)(req, res); });
    }

    void routes() {
        for (const char* path : {"/", "/index.html", "/app.js", "/app.css"}) server_.Get(path, get_asset);

        server_.Get("/api/panel", handler(&web_server::get_panel));
        server_.Get("/api/state", handler(&web_server::get_state));
        server_.Post("/api/set", handler(&web_server::post_set));
        server_.Post("/api/button", handler(&web_server::post_button));
        server_.Post("/api/event", handler(&web_server::post_event));

        server_.Get("/api/presets", handler(&web_server::get_presets));
        server_.Get("/api/presets/thumbnail", handler(&web_server::get_preset_thumbnail));
        server_.Get("/api/presets/picture", handler(&web_server::get_preset_picture));
        server_.Post("/api/presets", handler(&web_server::post_presets));
        server_.Post("/api/presets/load", handler(&web_server::post_preset_load));
        server_.Post("/api/presets/remove", handler(&web_server::post_preset_remove));

        server_.Post("/api/crown", handler(&web_server::post_crown));
        server_.Post("/api/crown/default", handler(&web_server::post_default_crown));

        server_.Get("/api/mesh.glb", handler(&web_server::get_mesh_glb));
        server_.Get("/api/crown.glb", handler(&web_server::get_crown_glb));
        server_.Get("/api/download", handler(&web_server::get_download));
        server_.Get("/api/formats", handler(&web_server::get_formats));
    }

    // One handler per endpoint.

    static void get_asset(const httplib::Request& req, httplib::Response& res) {
        const auto asset = find_web_asset(req.path);
        if (!asset) return send_error(res, 404, "no such page");
        res.set_header("Content-Security-Policy",
                       "default-src 'self'; img-src 'self' data: blob:; connect-src 'self' data: blob:; "
                       "style-src 'self' 'unsafe-inline'; object-src 'none'; frame-ancestors 'none'");
        res.set_header("Vary", "Accept-Encoding");
        const std::string encoding = req.get_header_value(k_asset_encoding);
        if (!encoding.empty()) {
            res.set_header("Content-Encoding", encoding);
            res.set_content(std::string(encoded_web_asset(req.path, encoding)), std::string(asset->content_type).c_str());
        } else {
            res.set_content(std::string(asset->body), std::string(asset->content_type).c_str());
        }
    }

    void get_panel(const httplib::Request&, httplib::Response& res) {
        send_json(res, 200, worker_.panel().description());
    }

    void get_state(const httplib::Request& req, httplib::Response& res) {
        // The connection loop holds a poll until the version passes since
        // (or the wait ends); here it is answered at once.
        if (req.has_param("since")) {
            const std::string v = req.get_param_value("since");
            if (v.empty() || v.size() > 19 || !std::all_of(v.begin(), v.end(), [](unsigned char c) { return std::isdigit(c); }))
                throw request_error(400, "since is a state version");
        }
        res.status = 200;
        res.set_content(state_text(), "application/json");
    }

    void post_set(const httplib::Request& req, httplib::Response& res) {
        const panel_edit edit = worker_.panel().check_edit(json_body(req));
        refuse_greyed(edit.id);
        json answer = {{"version", worker_.submit(edit)}};
        if (!edit.note.empty()) answer["note"] = edit.note;
        send_json(res, 202, answer);
    }

    void post_button(const httplib::Request& req, httplib::Response& res) {
        const json body = json_body(req);
        const unsigned id = body.contains("id") ? json_id(body["id"]) : 0;
        if (!worker_.panel().is_button(id)) throw request_error(400, "the panel has no button " + std::to_string(id));
        refuse_greyed(id);
        const std::string name = body.contains("name") ? preset_name(body) : std::string();
        const json saved = press(id, name);
        send_json(res, saved.is_null() ? 200 : 201, {{"preset", saved}});
    }

    // The host's tool events: dropping the tool, picking it again, and the
    // reset that restores every default.
    void post_event(const httplib::Request& req, httplib::Response& res) {
        const json body = json_body(req);
        const std::string name = body.contains("event") && body["event"].is_string() ? body["event"].get<std::string>() : "";
        int code;
        if (name == "drop") code = LWT_EVENT_DROP;
        else if (name == "activate") code = LWT_EVENT_ACTIVATE;
        else if (name == "reset") code = LWT_EVENT_RESET;
        else throw request_error(400, "event is one of drop, activate, reset");
        worker_.call([&] { worker_.session().event(code); });
        send_json(res, 200, {{"event", name}});
    }

    void get_presets(const httplib::Request&, httplib::Response& res) {
        std::vector<std::string> warnings;
        json list = json::array();
        for (const std::string& name : shelf_.list(warnings)) list.push_back({{"name", name}});
        send_json(res, 200, {{"presets", list}, {"warnings", warnings}});
    }

    void get_preset_thumbnail(const httplib::Request& req, httplib::Response& res) {
        const std::string name = req.get_param_value("name");
        check_preset_name(name);
        // A link, a FIFO or an oversized file on the shelf is no thumbnail.
        std::optional<std::string> png;
        try {
            png = shelf_.read_thumbnail(name);
        } catch (const preset_error&) {
        }
        if (!png) throw request_error(404, "no thumbnail for the preset '" + name + "'");
        res.set_content(std::move(*png), "image/png");
    }

    // The preset's picture, drawn when it was saved: the same shelf rules.
    void get_preset_picture(const httplib::Request& req, httplib::Response& res) {
        const std::string name = req.get_param_value("name");
        check_preset_name(name);
        std::optional<std::string> png;
        try {
            png = shelf_.read_picture(name);
        } catch (const preset_error&) {
        }
        if (!png) throw request_error(404, "no picture for the preset '" + name + "'");
        res.set_content(std::move(*png), "image/png");
    }

    void post_presets(const httplib::Request& req, httplib::Response& res) {
        const json saved = press(k_add_preset_button, preset_name(json_body(req)));
        send_json(res, 201, saved);
    }

    void post_preset_load(const httplib::Request& req, httplib::Response& res) {
        const std::string name = existing_preset(json_body(req));
        worker_.call([&] { worker_.load_preset(host().shelf.read(name)); });
        send_json(res, 200, {{"name", name}});
    }

    void post_preset_remove(const httplib::Request& req, httplib::Response& res) {
        const std::string name = existing_preset(json_body(req));
        worker_.call([&] {
            host().shelf.remove(name);
            worker_.presets_changed();
        });
        send_json(res, 200, {{"name", name}});
    }

    void post_crown(const httplib::Request& req, httplib::Response& res) {
        if (!starts_with(req.get_header_value("Content-Type"), "application/octet-stream"))
            throw request_error(415, "send the crown file's bytes as application/octet-stream");
        const std::string up = req.has_param("up") ? req.get_param_value("up") : "y";
        if (up != "y" && up != "z") throw request_error(400, "up is y or z");
        const std::string name = display_name(req.get_param_value("name"));
        formats::mesh_layer crown = read_uploaded_crown(req.body, name, up == "z" ? formats::crown_up::z
                                                                                    : formats::crown_up::y);
        const json counts = {{"name", name}, {"points", crown.point_count()}, {"polygons", crown.polygon_count()}};
        worker_.call([&] { worker_.replace_crown(std::move(crown), name); });
        send_json(res, 200, counts);
    }

    void post_default_crown(const httplib::Request&, httplib::Response& res) {
        formats::mesh_layer crown;
        make_default_crown(crown);
        worker_.call([&] { worker_.replace_crown(std::move(crown), "built-in crown", true); });
        send_json(res, 200, {{"name", "built-in crown"}});
    }

    void get_mesh_glb(const httplib::Request& req, httplib::Response& res) {
        const int levels = subdivide_levels(req);
        const std::size_t triangles = triangle_budget(req);
        const bool wind = req.has_param("wind") && req.get_param_value("wind") == "1";
        const auto glb = worker_.shaped_glb(levels, triangles, wind);
        res.set_content(*glb, "model/gltf-binary");
    }

    void get_crown_glb(const httplib::Request&, httplib::Response& res) {
        const auto glb = worker_.call([&] { return worker_.crown_glb(); });
        res.set_content(*glb, "model/gltf-binary");
    }

    // The formats the page offers: every one but the edit log.
    void get_formats(const httplib::Request&, httplib::Response& res) {
        json list = json::array();
        for (const formats::format_info& f : formats::output_formats())
            if (!f.history)
                list.push_back({{"name", f.name}, {"refined", f.refined}, {"impostor", f.impostor}});
        res.set_content(list.dump(), "application/json");
    }

    void get_download(const httplib::Request& req, httplib::Response& res) {
        const std::string format = req.get_param_value("format");
        // The page's tree keeps no history: every format but the edit log.
        const formats::format_info* f = formats::format_named(format);
        if (!f || f->history) {
            std::string known;
            for (const formats::format_info& g : formats::output_formats())
                if (!g.history) known += (known.empty() ? "" : ", ") + std::string(g.name);
            throw request_error(400, "format is one of " + known);
        }
        const int levels = subdivide_levels(req);
        const std::size_t triangles = triangle_budget(req);
        const bool impostor = req.has_param("impostor") && req.get_param_value("impostor") == "1";
        if (impostor && !f->impostor)
            throw request_error(400, "impostor=1: the impostor is a level of a .glb (format=glb)");
        std::string bytes;
        if (f->format == formats::mesh_format::glb) {
            bytes = impostor ? worker_.impostor_glb(levels, triangles) : *worker_.shaped_glb(levels, triangles);
        } else if (f->format == formats::mesh_format::obj && triangles != 0) {
            bytes = worker_.shaped_obj(levels, triangles);
        } else {
            bytes = worker_.call([&] {
                const formats::mesh_layer& fg = worker_.mesh().foreground();
                require_finite_download(fg);
                std::optional<formats::mesh_layer> refined;
                if (levels > 0 && f->refined) refined = formats::subdivide_patches(fg, levels);
                const formats::mesh_layer& layer = refined ? *refined : fg;
                formats::string_sink sink;
                formats::write_outputs(f->format, {fg, layer}, {}, formats::output_place(sink, "tree.mtl"));
                return std::move(sink.text);
            });
        }
        res.set_header("Content-Disposition", "attachment; filename=\"tree." + format + "\"");
        res.set_content(std::move(bytes), std::string(f->media_type));
    }


    // Presses a button as a person would. A button whose action saves a
    // preset (the shelf's addPreset) saves it under name; without one the
    // request is refused asking for a name, as the shelf would ask. Answers
    // the saved preset, or null when none was saved.
    json press(unsigned id, const std::string& name) {
        return worker_.call([&] {
            preset_shelf& shelf = host().shelf;
            // The crown first: one beyond a preset's bounds refuses the save.
            shelf.pending_crown = name.empty() ? std::nullopt : worker_.crown_for_preset();
            shelf.pending_name = name;
            shelf.last_saved.reset();
            shelf.last_error.clear();
            shelf.name_wanted = false;
            worker_.session().press(id);
            shelf.pending_name.clear();
            shelf.pending_crown.reset();
            if (shelf.last_saved) {
                worker_.presets_changed();
                return json{{"name", shelf.last_saved->name}, {"replaced", shelf.last_saved->replaced}};
            }
            if (shelf.name_wanted) throw request_error(400, "the preset needs a name", "name");
            if (!shelf.last_error.empty()) throw machine_error(shelf.last_error);
            if (!name.empty()) throw request_error(409, "the tool saved no preset (it has no tree to draw yet)");
            return json();
        });
    }

    // The state as JSON text, made once per version: every open page asks
    // for it after each change.
    std::string state_text() {
        const std::uint64_t version = worker_.version();
        {
            std::lock_guard lock(state_mutex_);
            if (state_version_ == version) return state_text_;
        }
        const json s = worker_.state(std::nullopt, {});
        std::string text = s.dump(-1, ' ', false, json::error_handler_t::replace);
        std::lock_guard lock(state_mutex_);
        state_version_ = s["version"].get<std::uint64_t>();
        state_text_ = text;
        return text;
    }

    // Controls the panel shows disabled cannot be edited.
    void refuse_greyed(unsigned id) {
        const json s = worker_.state(std::nullopt, {});
        for (const json& g : s["greyed"])
            if (g == id) {
                const std::string why = s["inactive_text"].get<std::string>();
                throw request_error(409, why.empty() ? "the control is disabled" : why);
            }
    }

    std::string existing_preset(const json& body) {
        const std::string name = preset_name(body);
        std::error_code ec;
        if (!fs::is_regular_file(shelf_.preset_path(name), ec))
            throw request_error(404, "no preset named '" + name + "'");
        return name;
    }

    tool_worker& worker_;
    const serve_options& options_;
    preset_shelf shelf_;  // the directory only: listing and thumbnails
    http_front server_;
    int port_ = 0;
    std::mutex state_mutex_;
    std::uint64_t state_version_ = 0;
    std::string state_text_;
};

}  // namespace

int run_serve(const serve_options& options) {
    // Signals are taken by one thread; every other thread starts with them blocked.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    remove_stale_upload_dirs();
    // Request bodies and answers of megabytes go back to the system when
    // released, rather than staying with the allocator (whose threshold
    // would otherwise rise to the largest block freed).
    ::mallopt(M_MMAP_THRESHOLD, k_own_mapping);

    tool_worker worker(options.setup);
    web_server web(worker, options);
    http_front& server = web.server();
    const int port = server.bind_to(options.host, options.port);
    if (port <= 0 && options.port == 0) throw host_error("cannot listen on " + options.host);
    if (port <= 0)
        throw host_error("cannot listen on " + options.host + ":" + std::to_string(options.port) +
                         " (in use? pick another with --port)");
    web.set_port(port);
    const std::string shown = options.host.find(':') != std::string::npos ? "[" + options.host + "]" : options.host;
    std::printf("Sylvaform is running at http://%s:%d/\n", shown == "0.0.0.0" ? "127.0.0.1" : shown.c_str(), port);
    std::fflush(stdout);

    std::mutex mutex;
    std::condition_variable done_cv;
    bool done = false;
    std::thread waiter([&] {
        int sig = 0;
        sigwait(&signals, &sig);
        worker.stop();  // queued calls are dropped, so their requests end
        server.stop_all();
        // A build or a crown read that is still running is abandoned: the
        // upload folders go, and the process ends without waiting for it.
        std::unique_lock lock(mutex);
        if (!done_cv.wait_for(lock, k_exit_grace, [&] { return done; })) {
            remove_upload_dirs();
            std::fflush(stdout);
            std::_Exit(k_exit_ok);
        }
    });
    const bool ok = server.run();
    pthread_kill(waiter.native_handle(), SIGTERM);  // wakes the waiter if the server stopped by itself
    server.finish();
    worker.finish();
    remove_upload_dirs();
    {
        std::lock_guard lock(mutex);
        done = true;
    }
    done_cv.notify_all();
    waiter.join();
    if (!ok) throw host_error("the server stopped unexpectedly");
    return k_exit_ok;
}

}  // namespace sf::app
