#include "app/serve/tool_worker.h"

#include <chrono>
#include <optional>

#include "app/default_crown.h"
#include "app/impostor_bake.h"
#include "app/preview.h"
#include "app/textures.h"
#include "app/starter_presets.h"
#include "formats/bark_uv.h"
#include "formats/crown_reader.h"
#include "formats/lod.h"
#include "formats/obj_reader.h"
#include "formats/outputs.h"
#include "formats/memory_budget.h"
#include "formats/subdivide.h"
#include "formats/wind.h"

namespace sf::app {

using nlohmann::json;

namespace {

constexpr int k_max_builds = 4;  // a tool that never settles is stopped
constexpr int k_round_bark_levels = 2;  // as build --triangles: four-sided tubes become sixteen-sided

std::size_t patch_count(const formats::mesh_layer& layer) {
    std::size_t n = 0;
    for (formats::index_t p = 0; p < layer.polygon_count(); ++p)
        if (layer.polygon_type(p) == LWPOLTYPE_PTCH) ++n;
    return n;
}

// The tree with the drawn bark and leaves, as the page shows and downloads it.
std::shared_ptr<const std::string> glb_of(const formats::mesh_layer& layer, bool textured, bool wind = false) {
    formats::string_sink sink;
    formats::write_outputs(formats::mesh_format::glb, {layer, layer},
                           {textured ? &default_textures() : nullptr, false, wind}, formats::output_place(sink));
    return std::make_shared<const std::string>(std::move(sink.text));
}

// A copy of the tree as the files dress it: with wind data when asked, and
// the bark on world-scaled coordinates.
formats::mesh_layer dressed(const formats::mesh_layer& fg, bool wind) {
    if (!wind) return formats::with_bark_uv(fg);
    formats::mesh_layer windy = formats::copy_layer(fg);
    formats::add_wind_maps(windy);
    return formats::with_bark_uv(windy);
}

}  // namespace

call_failure describe_failure() {
    try {
        throw;
    } catch (const request_error& e) {
        return {e.status, e.what(), e.ask};
    } catch (const input_error& e) {  // a preset, say
        return {400, e.what(), {}};
    } catch (const formats::budget_error& e) {
        return {500, std::string("the tree needs ") + e.what(), {}};
    } catch (const std::bad_alloc&) {
        return {500, "Memory allocation error", {}};
    } catch (const std::exception& e) {
        return {500, e.what(), {}};
    } catch (...) {
        return {500, "the request failed", {}};
    }
}

void require_finite_download(const formats::mesh_layer& layer) {
    const std::string bad = formats::first_non_finite(layer);
    if (!bad.empty())
        throw request_error(409, "the tree has non-finite numbers (" + bad +
                                     "): a setting or the crown is out of range; nothing to download");
}

formats::mesh_layer round_bark(const formats::mesh_layer& cages, std::size_t square, int levels,
                               std::size_t triangles) {
    const formats::mesh_layer refined =
        formats::subdivide_patches(cages, levels > 0 ? levels : k_round_bark_levels);
    formats::budget_level fit = formats::fit_to_budget(refined, triangles == k_triangles_auto ? square : triangles);
    if (!fit.fits && triangles == k_triangles_auto) fit = formats::fit_to_budget(refined, fit.least);
    if (!fit.fits)
        throw request_error(422, "triangles " + std::to_string(triangles) + ": this tree needs at least " +
                                     std::to_string(fit.least) + " (" + std::to_string(fit.leaf_triangles) +
                                     " of them leaves) to keep its bark's seams and borders");
    return std::move(fit.layer);
}

tool_worker::tool_worker(const worker_setup& setup) {
    // Downloads never include an edit log: the foreground keeps no history.
    mesh_.foreground().keep_history(false);
    reset_host();
    host().shelf.dir = setup.shelf_dir;
    host().shelf.draw_picture = [this] { return preset_picture_png(mesh_.foreground()); };
    host().progress_on_terminal = false;
    host().progress_hook = [this](const std::string& caption, unsigned done, unsigned total) {
        std::lock_guard lock(mutex_);
        if (total == 0) {
            if (progress_.is_null()) return;
            progress_ = nullptr;
        } else {
            // One change a percent is enough for a progress bar.
            const auto percent = [total](unsigned n) { return std::uint64_t(std::min(n, total)) * 100 / total; };
            if (!progress_.is_null() && progress_["total"] == total &&
                percent(progress_["done"].get<unsigned>()) == percent(done))
                return;
            progress_ = {{"caption", caption}, {"done", std::min(done, total)}, {"total", total}};
        }
        bump();
    };

    if (setup.crown) {
        formats::read_crown(*setup.crown, mesh_.background(),
                            setup.crown_z_up ? formats::crown_up::z : formats::crown_up::y);
        crown_name_ = std::filesystem::path(*setup.crown).filename().string();
        crown_pinned_ = true;
    } else {
        make_default_crown(mesh_.background());
        crown_name_ = "built-in crown";
        crown_builtin_ = true;
    }
    std::optional<starter_preset> starter;
    if (!setup.opening_starter.empty()) {
        const starter_file* file = nullptr;
        for (const starter_file& f : starter_presets_files())
            if (setup.opening_starter == f.name) file = &f;
        if (!file) throw host_error("no starter preset '" + setup.opening_starter + "'");
        starter = parse_starter(file->name, file->text);
        if (!crown_pinned_ && !starter->crown.empty()) {
            formats::read_obj_text(starter_crown(starter->crown), starter->crown + ".obj", mesh_.background());
            crown_name_ = starter->crown + ".obj";
            crown_builtin_ = false;
        }
    }
    module_ = std::make_unique<plugin_module>(setup.module_path);
    session_ = std::make_unique<tool_session>(*module_);
    if (starter)
        for (const std::string& set : starter->sets) {
            panel_setting s = parse_setting(set);
            session_->apply(s);
        }
    model_ = std::make_unique<panel_model>(session_->panel());
    publish();
    thread_ = std::thread([this] { run(); });
}

void tool_worker::stop() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    work_.notify_all();
    changed_.notify_all();
}

void tool_worker::finish() {
    stop();
    if (thread_.joinable()) thread_.join();
}

std::uint64_t tool_worker::version() {
    std::lock_guard lock(mutex_);
    return version_;
}

void tool_worker::set_listener(std::function<void()> listener) {
    std::lock_guard lock(mutex_);
    listener_ = std::move(listener);
}

tool_worker::~tool_worker() {
    finish();
    session_.reset();  // end, done and the panel's destruction
    module_.reset();
    host().progress_hook = nullptr;
}

void tool_worker::bump() {
    ++version_;
    changed_.notify_all();
    if (listener_) listener_();
}

void tool_worker::post(std::function<void()> task) {
    {
        std::lock_guard lock(mutex_);
        if (stopping_) throw host_error("the server is shutting down");
        queue_.push_back(std::move(task));
        bump();
    }
    work_.notify_one();
}

std::uint64_t tool_worker::submit(panel_edit edit) {
    std::lock_guard lock(mutex_);
    if (stopping_) throw host_error("the server is shutting down");
    // The cost of the tree this edit leads to, before it is taken.
    cost_settings next = cost_;
    apply_cost_edit(next, edit.id, edit.kind == value_kind::real      ? edit.d
                                   : edit.kind == value_kind::boolean ? double(edit.b)
                                                                      : double(edit.i));
    const cost_estimate cost = estimate_build(next, crown_bytes_, {});
    const std::size_t budget = formats::memory_budget::limit();
    if (budget != 0 && cost.bytes > double(budget)) throw request_error(422, over_budget_text(cost, budget));
    cost_ = next;
    ++queued_edits_;
    queue_.push_back([this, edit]() mutable {
        session_->panel().set_value(edit.id, edit.value());
        std::lock_guard inner(mutex_);
        ++applied_edits_;
    });
    bump();
    work_.notify_one();
    return version_;
}

void tool_worker::run() {
    build_while_asked();
    publish();
    for (;;) {
        std::function<void()> task;
        {
            std::unique_lock lock(mutex_);
            work_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
            if (stopping_) {
                // Dropped calls break their promises: the callers are answered.
                std::deque<std::function<void()>> dropped;
                dropped.swap(queue_);
                lock.unlock();
                return;
            }
            task = std::move(queue_.front());
            queue_.pop_front();
        }
        try {
            task();  // calls hand their own exceptions to the caller
            bool more;
            {
                std::lock_guard lock(mutex_);
                more = !queue_.empty();
            }
            // Edits that came in together are applied together, then built once.
            if (!more) build_while_asked();
            publish();
        } catch (const std::bad_alloc&) {
            failed("Memory allocation error");
        } catch (const std::exception& e) {
            failed(e.what());
        }
    }
}

// A build or snapshot that threw: the page is told, and is not left waiting.
void tool_worker::failed(const std::string& error) {
    build_error_ = error;
    try {
        publish();
    } catch (...) {
        std::lock_guard lock(mutex_);
        building_ = false;
        queued_edits_ -= applied_edits_;
        applied_edits_ = 0;
        bump();
    }
}

void tool_worker::build_while_asked() {
    int builds = 0;
    while (session_->test() == LWT_TEST_UPDATE) {
        if (builds == k_max_builds) {
            build_error_ = "the tool still asks for a build after " + std::to_string(k_max_builds) + " builds";
            break;
        }
        // Settings that came another way (a preset, a reset) are held to
        // the budget here: the last tree stays.
        const cost_estimate cost =
            estimate_build(read_cost_settings(session_->panel()), crown_bytes(mesh_.background()), {});
        const std::size_t budget = formats::memory_budget::limit();
        if (budget != 0 && cost.bytes > double(budget)) {
            build_error_ = over_budget_text(cost, budget);
            break;
        }
        {
            std::lock_guard lock(mutex_);
            building_ = true;
            progress_ = nullptr;
            bump();
        }
        glb_cache_.clear();
        mesh_.foreground().clear();  // the host replaces the tool's previous result
        MeshEditOp op = mesh_.edit_op();
        const auto start = std::chrono::steady_clock::now();
        const char* error = session_->build(op);
        const std::chrono::duration<double, std::milli> took = std::chrono::steady_clock::now() - start;
        ++builds;
        ++build_count_;
        ++mesh_version_;
        build_ms_ = took.count();
        build_error_ = error ? error : "";
        if (const std::exception_ptr failure = mesh_.foreground().failure()) {
            // The foreground missed edits (over the memory budget): nothing
            // incomplete is shown or handed out.
            try {
                std::rethrow_exception(failure);
            } catch (...) {
                build_error_ = describe_failure().message;
            }
            mesh_.foreground() = formats::mesh_layer();  // gives its memory back
            mesh_.foreground().keep_history(false);
        }
        // The tool's information messages explain its error.
        std::string messages;
        for (const std::string& m : host().messages) messages += (messages.empty() ? "" : " ") + m;
        host().messages.clear();
        if (!build_error_.empty() && !messages.empty()) build_error_ += ": " + messages;
        std::lock_guard lock(mutex_);
        progress_ = nullptr;
        bump();
    }
}

void tool_worker::publish() {
    xpanel& panel = session_->panel();
    bool shelf_open = false;
    for (const auto& c : host().shelf.clients) shelf_open = shelf_open || c->open;
    const formats::mesh_layer& fg = mesh_.foreground();
    const formats::mesh_layer& bg = mesh_.background();
    json s = {
        {"values", model_->values(panel)},
        {"greyed", model_->greyed(panel)},
        {"inactive_text", panel.inactive_text()},
        {"shelf_open", shelf_open},
        {"build", {{"count", build_count_}, {"ms", build_ms_}, {"error", build_error_}}},
        {"mesh",
         {{"version", mesh_version_},
          {"points", fg.point_count()},
          {"polygons", fg.polygon_count()},
          {"patches", patch_count(fg)}}},
        {"crown",
         {{"version", crown_version_},
          {"name", crown_name_},
          {"points", bg.point_count()},
          {"polygons", bg.polygon_count()}}},
        {"presets", {{"version", presets_version_}}},
    };
    cost_settings cost = read_cost_settings(panel);
    const double crown = crown_bytes(bg);
    // Busy ends only with the snapshot that shows the edits and the build.
    std::lock_guard lock(mutex_);
    snapshot_ = std::move(s);
    shown_mesh_ = mesh_version_;
    // Edits still queued stay counted in the cost of the next one.
    if (queued_edits_ == applied_edits_) cost_ = cost;
    crown_bytes_ = crown;
    building_ = false;
    queued_edits_ -= applied_edits_;
    applied_edits_ = 0;
    bump();
}

json tool_worker::state(std::optional<std::uint64_t> since, std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    if (since) changed_.wait_for(lock, timeout, [&] { return version_ > *since || stopping_; });
    json out = snapshot_;
    out["version"] = version_;
    out["busy"] = building_ || queued_edits_ > 0;
    out["queued"] = queued_edits_;
    out["progress"] = progress_;
    return out;
}

void tool_worker::load_preset(const preset_data& preset) {
    if (preset.crown && !crown_pinned_) {
        formats::mesh_layer crown;
        fill_crown(*preset.crown, crown);
        replace_crown(std::move(crown), preset.crown->name.empty() ? "preset crown" : preset.crown->name);
    }
    session_->load_preset(preset);
}

std::optional<preset_crown> tool_worker::crown_for_preset() const {
    if (crown_builtin_) return std::nullopt;
    return preset_crown_of(mesh_.background(), crown_name_);
}

void tool_worker::replace_crown(formats::mesh_layer crown, std::string name, bool builtin) {
    mesh_.background() = std::move(crown);
    crown_name_ = std::move(name);
    crown_builtin_ = builtin;
    ++crown_version_;
    crown_glb_.reset();
    // As picking the tool again: the next build grows a new tree.
    session_->event(LWT_EVENT_ACTIVATE);
}

void tool_worker::presets_changed() { ++presets_version_; }

std::shared_ptr<const std::string> tool_worker::mesh_glb(int levels, bool wind) {
    if (const auto it = glb_cache_.find({levels, 0, wind}); it != glb_cache_.end()) return it->second;
    const formats::mesh_layer& fg = mesh_.foreground();
    require_finite_download(fg);
    // The bark on world-scaled coordinates, as the command line writes it.
    const formats::mesh_layer from = dressed(fg, wind);
    auto glb = levels > 0 && patch_count(from) > 0 ? glb_of(formats::subdivide_patches(from, levels), true, wind)
                                                   : glb_of(from, true, wind);
    glb_cache_[{levels, 0, wind}] = glb;
    return glb;
}

std::shared_ptr<const std::string> tool_worker::crown_glb() {
    if (!crown_glb_) crown_glb_ = glb_of(mesh_.background(), false);
    return crown_glb_;
}

namespace {

// A request thread's failure as the tool thread's would come back.
[[noreturn]] void rethrow_as_request() {
    const call_failure f = describe_failure();
    throw request_error(f.status, f.message, f.ask);
}

}  // namespace

// One rounding at a time, so rounding never starves the builds; a request
// still waiting when a newer tree is shown gives up (the page has stopped
// waiting for it) instead of holding a request thread.
tool_worker::rounding_lane::rounding_lane(tool_worker& w) : w_(w) {
    std::unique_lock lock(w_.mutex_);
    const std::uint64_t tree = w_.shown_mesh_;
    w_.changed_.wait(lock, [&] { return !w_.rounding_ || w_.shown_mesh_ != tree || w_.stopping_; });
    if (w_.stopping_) throw host_error("the server is shutting down");
    if (w_.rounding_)
        throw request_error(503, "the tree changed while its bark waited to be rounded; ask again for the new tree");
    w_.rounding_ = true;
}

tool_worker::rounding_lane::~rounding_lane() {
    {
        std::lock_guard lock(w_.mutex_);
        w_.rounding_ = false;
    }
    w_.changed_.notify_all();
}

tool_worker::round_input tool_worker::round_input_of(int levels, std::size_t triangles, bool wind) {
    require_finite_download(mesh_.foreground());
    round_input in;
    if (const auto it = glb_cache_.find({levels, triangles, wind}); it != glb_cache_.end()) {
        in.glb = it->second;
    } else if ((in.square = formats::triangle_count(mesh_.foreground())) > 0) {  // a skeleton has no tubes
        in.cages = std::make_shared<const formats::mesh_layer>(
            formats::tubes_as_cages(dressed(mesh_.foreground(), wind), false));  // as build --triangles: twigs stay
        in.version = mesh_version_;
    }
    return in;
}

std::shared_ptr<const std::string> tool_worker::shaped_glb(int levels, std::size_t triangles, bool wind) {
    if (triangles == 0) return call([&] { return mesh_glb(levels, wind); });
    const rounding_lane lane(*this);
    const round_input in = call([&] { return round_input_of(levels, triangles, wind); });
    if (in.glb) return in.glb;
    if (!in.cages) return call([&] { return mesh_glb(levels, wind); });
    std::shared_ptr<const std::string> glb;
    try {
        glb = glb_of(round_bark(*in.cages, in.square, levels, triangles), true, wind);
    } catch (...) {
        rethrow_as_request();
    }
    call([&] {
        if (mesh_version_ == in.version) glb_cache_[{levels, triangles, wind}] = glb;
    });
    return glb;
}

std::string tool_worker::impostor_glb(int levels, std::size_t triangles) {
    std::optional<rounding_lane> lane;
    if (triangles != 0) lane.emplace(*this);
    std::size_t square = 0;
    formats::mesh_layer from;
    call([&] {
        const formats::mesh_layer& fg = mesh_.foreground();
        require_finite_download(fg);
        square = formats::triangle_count(fg);
        from = dressed(fg, false);
    });
    try {
        // The tree as the .glb download has it, then drawn as build --impostor draws it.
        const formats::mesh_layer layer =
            triangles != 0 && square > 0 ? round_bark(formats::tubes_as_cages(from, false), square, levels, triangles)
            : levels > 0 && patch_count(from) > 0 ? formats::subdivide_patches(from, levels)
                                                  : std::move(from);
        const formats::impostor billboard = bake_impostor(layer, default_textures());
        formats::string_sink sink;
        formats::write_outputs(formats::mesh_format::glb, {layer, layer, {}, nullptr, &billboard},
                               {&default_textures(), false, false}, formats::output_place(sink));
        return std::move(sink.text);
    } catch (...) {
        rethrow_as_request();
    }
}

std::string tool_worker::shaped_obj(int levels, std::size_t triangles) {
    const rounding_lane lane(*this);
    const round_input in = call([&] { return round_input_of(levels, triangles, false); });
    formats::string_sink sink;
    try {
        if (in.cages) {
            const formats::mesh_layer layer = round_bark(*in.cages, in.square, levels, triangles);
            formats::write_outputs(formats::mesh_format::obj, {layer, layer}, {}, formats::output_place(sink, "tree.mtl"));
        } else {  // as the tool made it
            call([&] {
                const formats::mesh_layer& fg = mesh_.foreground();
                formats::write_outputs(formats::mesh_format::obj, {fg, fg}, {}, formats::output_place(sink, "tree.mtl"));
            });
        }
    } catch (...) {
        rethrow_as_request();
    }
    return std::move(sink.text);
}

}  // namespace sf::app
