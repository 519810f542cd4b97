// Load test for `sylvaform serve`, on loopback only: starts one server,
// then for a fixed time some clients wait in long-polls while others edit,
// read the state and the panel, press buttons, upload crowns and download
// results. Prints p50/p99 latency per endpoint, the errors (any is a
// failure) and the server's memory over time (it must level off), then
// stops the server with SIGTERM.
//
//   serve_load --program build/app/sylvaform [--seconds 30] [--polls 200] [--editors 20]
#include <httplib.h>
#include <nlohmann/json.hpp>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "../serve_process.h"

namespace {

using nlohmann::json;
using clock_type = std::chrono::steady_clock;
namespace fs = std::filesystem;

const char* const k_box_obj =
    "v -1 1 -1\nv 1 1 -1\nv 1 1 1\nv -1 1 1\nv -1 3 -1\nv 1 3 -1\nv 1 3 1\nv -1 3 1\n"
    "f 1 2 3 4\nf 5 8 7 6\nf 1 5 6 2\nf 2 6 7 3\nf 3 7 8 4\nf 4 8 5 1\n";

struct options {
    std::string program;
    int seconds = 30, polls = 200, editors = 20;
};

// Latencies (ms) and failures per endpoint, from every thread.
class tally {
public:
    void add(const std::string& endpoint, double ms, bool ok, const std::string& why = {}) {
        std::lock_guard lock(mutex_);
        entry& e = entries_[endpoint];
        e.ms.push_back(ms);
        if (!ok) {
            ++e.errors;
            if (e.first_error.empty()) e.first_error = why;
        }
    }
    // Prints the table; answers the number of errors.
    std::size_t print() {
        std::lock_guard lock(mutex_);
        std::size_t errors = 0;
        std::printf("%-26s %8s %9s %9s %9s %7s\n", "endpoint", "requests", "p50 ms", "p99 ms", "max ms", "errors");
        for (auto& [name, e] : entries_) {
            std::sort(e.ms.begin(), e.ms.end());
            const auto at = [&](double q) { return e.ms.empty() ? 0.0 : e.ms[std::size_t(q * double(e.ms.size() - 1))]; };
            std::printf("%-26s %8zu %9.1f %9.1f %9.1f %7zu\n", name.c_str(), e.ms.size(), at(0.5), at(0.99),
                        e.ms.empty() ? 0.0 : e.ms.back(), e.errors);
            if (e.errors) std::printf("  first error: %s\n", e.first_error.c_str());
            errors += e.errors;
        }
        return errors;
    }

private:
    struct entry {
        std::vector<double> ms;
        std::size_t errors = 0;
        std::string first_error;
    };
    std::mutex mutex_;
    std::map<std::string, entry> entries_;
};

double since_ms(clock_type::time_point t) {
    return std::chrono::duration<double, std::milli>(clock_type::now() - t).count();
}

// Times one request and counts it; answers the result.
httplib::Result timed(tally& t, const std::string& endpoint, std::initializer_list<int> expected,
                      const std::function<httplib::Result()>& request) {
    const auto start = clock_type::now();
    httplib::Result res = request();
    const double ms = since_ms(start);
    if (!res) {
        t.add(endpoint, ms, false, httplib::to_string(res.error()));
    } else {
        const bool ok = std::find(expected.begin(), expected.end(), res->status) != expected.end();
        t.add(endpoint, ms, ok, std::to_string(res->status) + " " + res->body.substr(0, 200));
    }
    return res;
}

long rss_kib(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(in, line);)
        if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
    return 0;
}

int run(const options& o) {
    const fs::path scratch = fs::temp_directory_path() / ("sylvaform-load-" + std::to_string(::getpid()));
    fs::create_directories(scratch / "tmp");
    int out[2];
    if (::pipe(out) != 0) return 2;
    const pid_t server = ::fork();
    if (server == 0) {
        ::dup2(out[1], STDOUT_FILENO);
        ::close(out[0]);
        ::close(out[1]);
        ::setenv("TMPDIR", (scratch / "tmp").c_str(), 1);
        const std::string shelf = (scratch / "shelf").string();
        ::execl(o.program.c_str(), o.program.c_str(), "serve", "--port", "0", "--shelf", shelf.c_str(),
                "--max-upload-mb", "4", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(out[1]);
    std::string line;
    const int port = sf::test::announced_port(out[0], line);
    if (port < 0) {
        std::fprintf(stderr, "serve_load: the server did not start: %s\n", line.c_str());
        return 2;
    }

    {
        // From the tool's defaults in the built-in crown, not the starter
        // tree the page opens on: the figures stay comparable.
        httplib::Client setup("127.0.0.1", port);
        setup.set_read_timeout(60);
        setup.Post("/api/event", R"({"event": "reset"})", "application/json");
        setup.Post("/api/crown/default", "", "application/json");
    }

    tally t;
    std::atomic<bool> done{false};
    const auto start = clock_type::now();
    const auto end = start + std::chrono::seconds(o.seconds);
    const auto client = [port](int timeout_s) {
        auto cl = std::make_unique<httplib::Client>("127.0.0.1", port);
        cl->set_read_timeout(timeout_s);
        cl->set_connection_timeout(5);
        cl->set_keep_alive(true);  // as a browser does
        cl->set_tcp_nodelay(true);
        return cl;
    };

    std::vector<std::thread> threads, editors;
    // Pages left open: each follows the state through its long-poll.
    for (int k = 0; k < o.polls; ++k)
        threads.emplace_back([&] {
            auto cl = client(30);
            std::uint64_t version = 0;
            while (!done) {
                const auto begin = clock_type::now();
                const auto res = cl->Get("/api/state?since=" + std::to_string(version));
                if (done) break;  // cut off by the stop at the end
                const bool ok = res && res->status == 200;
                t.add("GET /api/state?since (wait)", since_ms(begin), ok,
                      res ? std::to_string(res->status) : httplib::to_string(res.error()));
                if (!ok) break;
                version = json::parse(res->body)["version"].get<std::uint64_t>();
            }
        });
    // People at work: edits mostly, and everything else the page does.
    for (int k = 0; k < o.editors; ++k)
        editors.emplace_back([&, k] {
            auto cl = client(60);
            std::mt19937 random(unsigned(k) * 7919u + 1u);
            const auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(random); };
            while (clock_type::now() < end) {
                const int what = pick(0, 99);
                if (what < 55) {
                    static const unsigned ids[] = {0x8002, 0x8012, 0x8003, 0x8011};
                    const unsigned id = ids[pick(0, 3)];
                    const json value = id == 0x8002 ? json(pick(20, 250))
                                       : id == 0x8012 ? json(pick(-1000, 1000))
                                       : id == 0x8003 ? json(pick(4, 12))
                                                      : json(pick(0, 50) / 10.0);
                    timed(t, "POST /api/set", {202}, [&] {
                        return cl->Post("/api/set", json{{"id", id}, {"value", value}}.dump(), "application/json");
                    });
                } else if (what < 72) {
                    timed(t, "GET /api/state", {200}, [&] { return cl->Get("/api/state"); });
                } else if (what < 77) {
                    timed(t, "GET /api/panel", {200}, [&] { return cl->Get("/api/panel"); });
                } else if (what < 82) {
                    const json press = pick(0, 1) ? json{{"id", 0x801E}}
                                                  : json{{"id", 0x801F}, {"name", "load " + std::to_string(k)}};
                    timed(t, "POST /api/button", {200, 201, 409}, [&] {
                        return cl->Post("/api/button", press.dump(), "application/json");
                    });
                } else if (what < 87) {
                    timed(t, "POST /api/crown", {200}, [&] {
                        return cl->Post("/api/crown?name=box.obj", k_box_obj, "application/octet-stream");
                    });
                } else {
                    static const char* formats[] = {"glb", "obj", "lwo"};
                    const std::string format = formats[pick(0, 2)];
                    timed(t, "GET /api/download", {200}, [&] { return cl->Get("/api/download?format=" + format); });
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(pick(20, 80)));
            }
        });

    // The server's memory, every half second.
    std::vector<long> rss;
    while (clock_type::now() < end) {
        rss.push_back(rss_kib(server));
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
    }
    for (auto& th : editors) th.join();
    done = true;
    // Pollers end on their next answer, or when the server stops.
    const auto stopping = clock_type::now();
    ::kill(server, SIGTERM);
    int status = 0;
    ::waitpid(server, &status, 0);
    const double stop_ms = since_ms(stopping);
    for (auto& th : threads) th.join();

    std::printf("serve_load: %d s, %d waiting polls, %d editors, loopback port %d\n", o.seconds, o.polls, o.editors,
                port);
    const std::size_t errors = t.print();

    // Levelling off: the peak of the last third stays near the peak of the
    // middle third (trees of different sizes make memory go up and down).
    long mid = 0, last = 0;
    const std::size_t n = rss.size();
    for (std::size_t i = n / 3; i < 2 * n / 3; ++i) mid = std::max(mid, rss[i]);
    for (std::size_t i = 2 * n / 3; i < n; ++i) last = std::max(last, rss[i]);
    // A sanitizer's allocator holds freed memory back on purpose (ASan's
    // quarantine alone takes up to 256 MiB), so its growth says nothing
    // about the server's: only a plain build is judged.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    constexpr bool judged = false;
#else
    constexpr bool judged = true;
#endif
    const bool levels_off = !judged || n < 6 || last <= mid + mid / 4 + 16 * 1024;
    std::printf("server memory (RSS): first %ld MiB, peak of middle third %ld MiB, peak of last third %ld MiB: %s\n",
                n ? rss.front() / 1024 : 0, mid / 1024, last / 1024,
                !judged ? "not judged under a sanitizer" : levels_off ? "levels off" : "STILL GROWING");
    const bool clean_exit = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    std::printf("SIGTERM under load: exited %s after %.0f ms\n", clean_exit ? "cleanly" : "BADLY", stop_ms);

    std::error_code ec;
    const bool left = !fs::is_empty(scratch / "tmp", ec);
    if (left) std::printf("upload folders were left behind\n");
    fs::remove_all(scratch, ec);
    return errors == 0 && levels_off && clean_exit && !left ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    options o;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool more = i + 1 < argc;
        if (a == "--program" && more) o.program = argv[++i];
        else if (a == "--seconds" && more) o.seconds = std::atoi(argv[++i]);
        else if (a == "--polls" && more) o.polls = std::atoi(argv[++i]);
        else if (a == "--editors" && more) o.editors = std::atoi(argv[++i]);
        else {
            std::fprintf(stderr, "usage: serve_load --program PATH [--seconds N] [--polls N] [--editors N]\n");
            return 2;
        }
    }
    if (o.program.empty() || o.seconds < 1 || o.seconds > 600 || o.polls < 0 || o.polls > 1000 || o.editors < 0 ||
        o.editors > 100) {
        std::fprintf(stderr, "serve_load: give --program, 1..600 seconds, 0..1000 polls, 0..100 editors\n");
        return 2;
    }
    return run(o);
}
