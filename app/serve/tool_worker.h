// One activated tool driven by its own thread, as the host application
// drives it: every call into the module happens there, one at a time. Web
// requests hand edits and commands to it through a queue; edits that
// arrive while a build runs wait until it ends. After every change the
// thread rebuilds while the tool's test asks for it and publishes a
// snapshot of the panel and the result for the page.
#pragma once

#include <nlohmann/json.hpp>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <tuple>
#include <map>
#include <type_traits>
#include <variant>

#include "app/build_cost.h"
#include "app/panel_model.h"
#include "app/standin_host.h"
#include "app/tool_host.h"
#include "formats/mesh_layer.h"

namespace sf::app {

struct worker_setup {
    std::string module_path;
    std::filesystem::path shelf_dir;
    std::optional<std::string> crown;  // none: the built-in crown; given, presets' crowns are not used
    bool crown_z_up = false;
    // The starter preset the page opens on (its settings, and its crown
    // unless one is given); empty: the tool's defaults.
    std::string opening_starter;
};

// The starter the page opens on: a leafy tree in its crown.
inline constexpr const char* k_opening_starter = "round-broadleaf";

// What went wrong in a call on the tool thread, as the answer gives it.
struct call_failure {
    int status = 500;
    std::string message, ask;
};

// The exception being handled, described; only inside a catch block.
call_failure describe_failure();

// Refuses (409) to hand out a layer with a number that is not finite.
void require_finite_download(const formats::mesh_layer& layer);

// The triangle budget of a download or the view: 0 keeps the tubes as the
// tool made them; k_triangles_auto rounds them within the square tree's own
// count (or the least its seams allow, when that is more).
constexpr std::size_t k_triangles_auto = static_cast<std::size_t>(-1);

// Round bark: the tool's tubes as cages (`square` the triangles they have),
// refined `levels` times (2 when 0) and simplified within `triangles`. A
// budget below what the tree needs is refused (422) naming the least.
formats::mesh_layer round_bark(const formats::mesh_layer& cages, std::size_t square, int levels,
                               std::size_t triangles);

class tool_worker {
public:
    // Loads the crown and the module and activates the tool; throws
    // host_error (or the crown reader's error) when any of it fails. The
    // first build starts at once.
    explicit tool_worker(const worker_setup& setup);
    ~tool_worker();
    tool_worker(const tool_worker&) = delete;
    tool_worker& operator=(const tool_worker&) = delete;

    const panel_model& panel() const { return *model_; }

    // Stops taking work and wakes every waiting state request; queued calls
    // are dropped (their callers get an error).
    void stop();
    // stop(), then waits for the tool thread (for as long as a build runs).
    void finish();

    // The current state version, and a function called (with a lock held:
    // it must not block or call back) whenever it changes.
    std::uint64_t version();
    void set_listener(std::function<void()> listener);

    // Queues a checked edit; answers the state version it will be part of.
    // An edit that would make a tree past the memory budget is refused
    // (request_error 422, the estimate in its words) and not queued.
    std::uint64_t submit(panel_edit edit);

    // Runs f on the tool thread after the edits queued before it and waits
    // for its result. The state the page reads already shows what f did when
    // it returns. A failure comes back as a request_error with the status
    // its kind maps to; only values cross between the threads.
    template <class F>
    auto call(F&& f) -> decltype(f()) {
        using R = decltype(f());
        using V = std::conditional_t<std::is_void_v<R>, std::monostate, R>;
        using outcome = std::variant<V, call_failure>;
        auto promise = std::make_shared<std::promise<outcome>>();
        std::future<outcome> result = promise->get_future();
        post([this, promise, fn = std::forward<F>(f)]() mutable {
            outcome out;
            try {
                if constexpr (std::is_void_v<R>)
                    fn();
                else
                    out.template emplace<0>(fn());
            } catch (...) {
                out = describe_failure();
            }
            try {
                publish();
            } catch (...) {
            }
            promise->set_value(std::move(out));
        });
        outcome out = result.get();
        if (const call_failure* failure = std::get_if<call_failure>(&out))
            throw request_error(failure->status, failure->message, failure->ask);
        if constexpr (!std::is_void_v<R>) return std::get<0>(std::move(out));
    }

    // The state as the page reads it; with since, waits (up to timeout)
    // until the version passes it.
    nlohmann::json state(std::optional<std::uint64_t> since, std::chrono::milliseconds timeout);

    // ---- on a request thread (never through call) ----
    // mesh_glb, and with a triangle budget the .glb or .obj as downloaded:
    // rounding takes seconds, so it works on a copy of the tree off the tool
    // thread and edits go on meanwhile. The .glb is cached as mesh_glb's.
    std::shared_ptr<const std::string> shaped_glb(int levels, std::size_t triangles, bool wind = false);
    std::string shaped_obj(int levels, std::size_t triangles);
    // The .glb as downloaded with its impostor as the last level (build
    // --impostor), drawn off the tool thread, not cached. Refused (400)
    // for a tree with no faces.
    std::string impostor_glb(int levels, std::size_t triangles);

    // ---- on the tool thread only (through call) ----
    tool_session& session() { return *session_; }
    standin_host& mesh() { return mesh_; }
    // The background crown replaced; the tool regrows on it.
    void replace_crown(formats::mesh_layer crown, std::string name, bool builtin = false);
    // Marks the presets list as changed.
    void presets_changed();
    // A checked preset loaded, in its crown unless one was given to serve.
    void load_preset(const preset_data& preset);
    // The crown a preset saved now keeps: none for the built-in crown.
    std::optional<preset_crown> crown_for_preset() const;

    // The result as .glb with its cages refined `levels` times, with wind
    // data when asked, kept until the next build. Refused (409) when it
    // holds a non-finite number.
    std::shared_ptr<const std::string> mesh_glb(int levels, bool wind = false);
    std::shared_ptr<const std::string> crown_glb();

private:
    // What shaped_glb and shaped_obj take from the tool thread: the cached
    // .glb, or the tubes as cages with the tree's triangles and version
    // (neither for a tree without tubes).
    struct round_input {
        std::shared_ptr<const std::string> glb;
        std::shared_ptr<const formats::mesh_layer> cages;
        std::size_t square = 0;
        std::uint64_t version = 0;
    };
    round_input round_input_of(int levels, std::size_t triangles, bool wind);
    // Held by the one request that rounds bark at a time (see the .cpp).
    class rounding_lane {
    public:
        explicit rounding_lane(tool_worker& w);
        ~rounding_lane();
        rounding_lane(const rounding_lane&) = delete;
        rounding_lane& operator=(const rounding_lane&) = delete;

    private:
        tool_worker& w_;
    };

    void post(std::function<void()> task);
    void run();
    void build_while_asked();
    void publish();  // new snapshot from the tool's current state
    void failed(const std::string& error);
    void bump();     // lock held

    std::unique_ptr<plugin_module> module_;
    std::unique_ptr<tool_session> session_;
    std::unique_ptr<panel_model> model_;
    standin_host mesh_;

    // Tool thread only.
    std::uint64_t mesh_version_ = 0, crown_version_ = 1, presets_version_ = 0, build_count_ = 0;
    double build_ms_ = 0.0;
    std::string build_error_, crown_name_;
    bool crown_pinned_ = false;   // given to serve: presets' crowns are not used
    bool crown_builtin_ = false;  // the built-in crown is in
    // By refinement levels, triangle budget (0: as built) and wind data.
    std::map<std::tuple<int, std::size_t, bool>, std::shared_ptr<const std::string>> glb_cache_;
    std::shared_ptr<const std::string> crown_glb_;

    std::mutex mutex_;
    std::condition_variable changed_;
    std::condition_variable work_;
    std::deque<std::function<void()>> queue_;
    std::size_t queued_edits_ = 0;   // submitted and not yet shown in a snapshot
    std::size_t applied_edits_ = 0;  // applied since the last snapshot
    bool building_ = false, stopping_ = false;
    bool rounding_ = false;        // a request is rounding bark
    std::uint64_t shown_mesh_ = 0;  // the tree of the last snapshot
    std::uint64_t version_ = 1;
    std::function<void()> listener_;
    nlohmann::json snapshot_;
    cost_settings cost_;        // the settings with the queued edits, for the cost of the next one
    double crown_bytes_ = 0;
    nlohmann::json progress_;  // null, or {"caption", "done", "total"}
    std::thread thread_;
};

}  // namespace sf::app
