#include "app/batch.h"

#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <charconv>
#include <cstdint>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <set>

#include "app/child_process.h"
#include "app/settings_args.h"
#include "formats/printable.h"

namespace sf::app {

namespace {

constexpr std::size_t k_max_seeds = 1'000'000;

bool parse_number(std::string_view t, std::int64_t& v) {
    const auto [p, ec] = std::from_chars(t.data(), t.data() + t.size(), v);
    return !t.empty() && ec == std::errc() && p == t.data() + t.size();
}

void say(const std::string& line) { std::fprintf(stderr, "sylvaform: %s\n", formats::printable(line).c_str()); }

// Seeds as a short list: "1-8,12".
std::string seed_ranges(std::vector<std::int32_t> seeds) {
    std::string out;
    for (std::size_t i = 0; i < seeds.size();) {
        std::size_t j = i;
        while (j + 1 < seeds.size() && seeds[j + 1] == seeds[j] + 1) ++j;
        if (!out.empty()) out += ",";
        out += std::to_string(seeds[i]);
        if (j > i) {
            out += '-';
            out += std::to_string(seeds[j]);
        }
        i = j + 1;
    }
    return out;
}

}  // namespace

std::vector<std::int32_t> parse_seed_list(const std::string& text) {
    const std::string where = "--seeds " + text;
    std::vector<std::int32_t> seeds;
    std::set<std::int32_t> seen;
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find(',', start);
        if (end == std::string::npos) end = text.size();
        const std::string_view item = std::string_view(text).substr(start, end - start);
        const std::size_t dash = item.find('-', 1);
        std::int64_t a = 0, b = 0;
        const bool ok = dash == std::string_view::npos
                            ? parse_number(item, a) && (b = a, true)
                            : parse_number(item.substr(0, dash), a) && parse_number(item.substr(dash + 1), b);
        if (!ok || a < INT32_MIN || a > INT32_MAX || b < INT32_MIN || b > INT32_MAX)
            throw usage_error(where + ": expected seeds like 1-50, 1,4,9-12 or -5--1 (whole numbers from -2147483648 "
                                      "to 2147483647)");
        if (b < a) throw usage_error(where + ": the range " + std::string(item) + " runs backwards");
        if (std::size_t(b - a) >= k_max_seeds || seeds.size() + std::size_t(b - a) >= k_max_seeds)
            throw usage_error(where + ": more than " + std::to_string(k_max_seeds) + " seeds");
        for (std::int64_t s = a; s <= b; ++s) {
            if (!seen.insert(std::int32_t(s)).second)
                throw usage_error(where + ": seed " + std::to_string(s) + " is listed twice");
            seeds.push_back(std::int32_t(s));
        }
        start = end + 1;
    }
    return seeds;
}

shard parse_shard(const std::string& text) {
    const std::size_t slash = text.find('/');
    std::int64_t k = 0, n = 0;
    if (slash == std::string::npos || !parse_number(std::string_view(text).substr(0, slash), k) ||
        !parse_number(std::string_view(text).substr(slash + 1), n) || n < 1 || n > 1'000'000 || k < 1 || k > n)
        throw usage_error("--shard " + text + ": expected K/N with 1 <= K <= N, e.g. 3/10");
    return {int(k), int(n)};
}

std::vector<std::int32_t> shard_slice(const std::vector<std::int32_t>& seeds, shard s) {
    const std::size_t count = seeds.size();
    const std::size_t from = count * std::size_t(s.k - 1) / std::size_t(s.n);
    const std::size_t to = count * std::size_t(s.k) / std::size_t(s.n);
    return {seeds.begin() + std::ptrdiff_t(from), seeds.begin() + std::ptrdiff_t(to)};
}

std::string with_seed(const std::string& text, std::int32_t seed) {
    static constexpr std::string_view mark = "{seed}";
    std::string out;
    std::size_t start = 0;
    for (std::size_t at; (at = text.find(mark, start)) != std::string::npos; start = at + mark.size())
        out += text.substr(start, at - start) + std::to_string(seed);
    return out + text.substr(start);
}

int usable_cores() {
    cpu_set_t set;
    if (::sched_getaffinity(0, sizeof set, &set) == 0) {
        const int n = CPU_COUNT(&set);
        if (n > 0) return n;
    }
    const long n = ::sysconf(_SC_NPROCESSORS_ONLN);
    return n > 0 ? int(n) : 1;
}

batch_plan plan_batch(const build_request& request) {
    batch_plan plan;
    plan.all = parse_seed_list(*request.seeds);
    plan.seeds = request.shard ? shard_slice(plan.all, parse_shard(*request.shard)) : plan.all;
    if (request.outputs.empty() && !request.preview)
        throw usage_error("--seeds: nothing to write; give -o 'NAME-{seed}.glb'");
    for (const std::string& o : request.outputs)
        if (o == "-") throw usage_error("-o -: a batch cannot write its trees to standard output");
    if (plan.all.size() > 1) {
        for (const std::string& o : request.outputs) {
            if (o.find("{seed}") == std::string::npos)
                throw usage_error("-o " + o + ": name the file with {seed}, e.g. 'tree-{seed}.glb', so variants do "
                                  "not overwrite each other");
        }
        if (request.preview && request.preview->find("{seed}") == std::string::npos)
            throw usage_error("--preview " + *request.preview + ": name the file with {seed}");
    }
    if (request.jobs < 0 || request.jobs > 1024) throw usage_error("--jobs: expected 1 to 1024 workers");
    plan.jobs = request.jobs > 0 ? request.jobs : usable_cores();
    plan.jobs = int(std::max<std::size_t>(1, std::min<std::size_t>(std::size_t(plan.jobs), plan.seeds.size())));
    return plan;
}

build_request variant(const build_request& request, std::int32_t seed) {
    build_request one = request;
    one.seeds.reset();
    one.shard.reset();
    one.sets.push_back("random_seed=" + std::to_string(seed));
    for (std::string& o : one.outputs) o = with_seed(o, seed);
    if (one.preview) one.preview = with_seed(*one.preview, seed);
    return one;
}

namespace {

// A directory named in the output pattern is made for it.
void make_output_dirs(const build_request& one) {
    for (const std::string& o : one.outputs) {
        const std::filesystem::path parent = std::filesystem::path(o).parent_path();
        std::error_code ec;
        if (!parent.empty()) std::filesystem::create_directories(parent, ec);
    }
}

// "built N of M trees (seeds ...) in S s with J workers; failed seeds: ...";
// sorts `failed`.
std::string batch_summary(const batch_plan& plan, std::vector<std::int32_t>& failed, double seconds,
                          const char* failed_label = "failed seeds") {
    const std::size_t total = plan.seeds.size();
    char took[32];
    std::snprintf(took, sizeof took, "%.2f s", seconds);
    std::string summary = "built " + std::to_string(total - failed.size()) + " of " + std::to_string(total) +
                          " trees" + (total ? " (seeds " + seed_ranges(plan.seeds) + ")" : std::string()) + " in " +
                          took + " with " + std::to_string(plan.jobs) + (plan.jobs == 1 ? " worker" : " workers");
    std::sort(failed.begin(), failed.end());
    if (!failed.empty()) summary += std::string("; ") + failed_label + ": " + seed_ranges(failed);
    return summary;
}

}  // namespace

int run_batch(const batch_plan& plan, const build_request& request,
              const std::function<int(const build_request&)>& build_one) {
    const auto start = std::chrono::steady_clock::now();
    const stop_signals stop;
    const bool terminal = ::isatty(STDERR_FILENO) != 0;
    const std::size_t total = plan.seeds.size();
    std::size_t next = 0, done = 0;
    std::vector<std::int32_t> failed;
    std::vector<child_process> slots(std::size_t(plan.jobs));
    std::vector<std::int32_t> slot_seed(slots.size());
    std::vector<child_process*> running;

    auto elapsed = [&] { return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(); };
    auto progress = [&] {
        if (!terminal) return;
        std::fprintf(stderr, "\r\033[Ksylvaform: %zu of %zu trees built, %zu failed, %.1f s", done - failed.size(),
                     total, failed.size(), elapsed());
        std::fflush(stderr);
    };
    auto launch = [&](std::size_t slot) {
        const std::int32_t seed = plan.seeds[next++];
        const build_request one = variant(request, seed);
        slot_seed[slot] = seed;
        try {
            slots[slot] = start_child([&] {
                make_output_dirs(one);
                return build_one(one);
            });
        } catch (const std::exception& e) {
            // No process for it (the system's limit): this seed fails, the
            // running ones go on.
            slots[slot] = child_process();
            slots[slot].err = e.what();
            return false;
        }
        running.push_back(&slots[slot]);
        return true;
    };
    auto refused = [&](std::size_t slot) {
        ++done;
        failed.push_back(slot_seed[slot]);
        say("seed " + std::to_string(slot_seed[slot]) + " failed: " + slots[slot].err);
    };

    progress();
    for (std::size_t s = 0; s < slots.size() && next < total; ++s)
        while (next < total && !launch(s)) refused(s);
    while (!running.empty()) {
        const int k = wait_any(running);
        if (k < 0) break;
        child_process* finished = running[std::size_t(k)];
        running.erase(running.begin() + k);
        const std::size_t slot = std::size_t(finished - slots.data());
        ++done;
        if (finished->status != 0) {
            failed.push_back(slot_seed[slot]);
            if (terminal) std::fprintf(stderr, "\r\033[K");
            say("seed " + std::to_string(slot_seed[slot]) + " failed: " + last_line(finished->err));
        }
        while (next < total && !launch(slot)) refused(slot);
        progress();
    }
    if (terminal) std::fprintf(stderr, "\r\033[K");

    if (const int sig = stop.caught(); sig != 0) {
        // Stopped: the running workers go too; what was not built is named.
        for (child_process* c : running) failed.push_back(slot_seed[std::size_t(c - slots.data())]);
        stop_all(running);
        failed.insert(failed.end(), plan.seeds.begin() + std::ptrdiff_t(next), plan.seeds.end());
        say(std::string("stopped by ") + (sig == SIGINT ? "SIGINT" : "SIGTERM") + ": " +
            batch_summary(plan, failed, elapsed(), "seeds not built"));
        return 128 + sig;
    }
    say(batch_summary(plan, failed, elapsed()));
    return failed.empty() ? k_exit_ok : k_exit_error;
}

}  // namespace sf::app
