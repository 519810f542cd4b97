#include "app/build_limits.h"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <fstream>

#include "formats/memory_budget.h"

namespace sf::app {

namespace {

std::string shortest(double v) {
    char buf[32];
    return std::string(buf, std::to_chars(buf, buf + sizeof buf, v).ptr);
}

}  // namespace

real_settings read_reals(const xpanel& panel) {
    real_settings out;
    for (const field_desc& f : field_table()) {
        if (f.id == 0 || f.kind != field_kind::real) continue;
        const void* addr = panel.value_address(f.id);
        if (!addr) continue;
        double v;
        std::memcpy(&v, addr, sizeof v);
        out.emplace_back(&f, v);
    }
    return out;
}

std::string far_settings(const real_settings& defaults, const real_settings& now) {
    std::string out;
    for (const auto& [field, v] : now) {
        double d = 0;
        for (const auto& [f, dv] : defaults)
            if (f == field) d = dv;
        const bool large = !(std::fabs(v) <= 1e6 * std::max(1.0, std::fabs(d)));
        const bool tiny = v != 0 && std::fabs(v) < 1e-6 * std::max(std::fabs(d), 1e-3);
        if (large || tiny) out += (out.empty() ? "" : ", ") + std::string(field->name) + "=" + shortest(v);
    }
    return out;
}

void require_finite(const formats::mesh_layer& layer, const std::string& far, const formats::mesh_layer& crown) {
    const std::string bad = formats::first_non_finite(layer);
    if (bad.empty()) return;
    std::string why;
    if (!far.empty()) why = "settings far from their defaults: " + far;
    double reach = 0;
    for (const double c : crown.point_coordinates()) reach = std::max(reach, std::fabs(c));
    if (reach > 1e6) why += (why.empty() ? "" : "; ") + std::string("the crown reaches ") + shortest(reach) + " from the origin";
    if (why.empty()) why = "no setting or crown extent stands out";
    throw host_error("the tree has non-finite numbers (" + bad + "), nothing written; " + why);
}

void apply_memory_budget(std::size_t budget) {
    formats::memory_budget::set_limit(budget);
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    return;
#else
    std::size_t mapped_pages = 0;
    std::ifstream("/proc/self/statm") >> mapped_pages;
    const std::size_t room = mapped_pages * std::size_t(::sysconf(_SC_PAGESIZE)) + 2 * budget + (std::size_t(2) << 30);
    rlimit lim{};
    if (::getrlimit(RLIMIT_AS, &lim) != 0) return;
    if (lim.rlim_max != RLIM_INFINITY && room > lim.rlim_max) return;
    if (lim.rlim_cur != RLIM_INFINITY && room > lim.rlim_cur) return;  // already tighter
    lim.rlim_cur = room;
    ::setrlimit(RLIMIT_AS, &lim);
#endif
}

std::string memory_error(const std::string& what) {
    const std::size_t limit = formats::memory_budget::limit();
    if (limit == 0) return what;
    return what + " (the memory budget is " + formats::format_memory_size(limit) + "; --max-memory SIZE changes it)";
}

}  // namespace sf::app
