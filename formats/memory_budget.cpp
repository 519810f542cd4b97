#include "formats/memory_budget.h"

#include <unistd.h>

#include <atomic>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdio>

namespace sf::formats {

namespace {

std::atomic<std::size_t> g_limit{0};
std::atomic<std::size_t> g_held{0};
std::atomic<std::size_t> g_peak{0};

}  // namespace

budget_error::budget_error(std::size_t limit)
    : limit_(limit), message_("more memory than the budget of " + format_memory_size(limit)) {}

namespace memory_budget {

void set_limit(std::size_t bytes) { g_limit.store(bytes); }
std::size_t limit() { return g_limit.load(); }
std::size_t held() { return g_held.load(); }
std::size_t peak() { return g_peak.load(); }
void reset_peak() { g_peak.store(g_held.load()); }

void take(std::size_t bytes) {
    const std::size_t before = g_held.fetch_add(bytes);
    const std::size_t cap = g_limit.load();
    if (cap != 0 && (before + bytes < before || before + bytes > cap)) {
        g_held.fetch_sub(bytes);
        throw budget_error(cap);
    }
    const std::size_t now = before + bytes;
    for (std::size_t top = g_peak.load(); now > top && !g_peak.compare_exchange_weak(top, now);) {
    }
}

void give(std::size_t bytes) noexcept { g_held.fetch_sub(bytes); }

}  // namespace memory_budget

std::size_t default_memory_budget() {
    const long pages = ::sysconf(_SC_PHYS_PAGES), page = ::sysconf(_SC_PAGESIZE);
    if (pages <= 0 || page <= 0) return std::size_t(1) << 30;
    return std::size_t(pages) / 2 * std::size_t(page);
}

std::size_t parse_memory_size(std::string_view text) {
    double value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end == text.data() || !(value > 0)) return 0;
    std::string_view unit(end, text.size() - std::size_t(end - text.data()));
    double scale = 1;
    if (!unit.empty()) {
        const char u = static_cast<char>(std::toupper(static_cast<unsigned char>(unit[0])));
        const std::string_view units = "KMGT";
        const std::size_t at = units.find(u);
        if (at != std::string_view::npos) {
            scale = std::ldexp(1.0, 10 * int(at + 1));
            unit.remove_prefix(1);
        }
        if (unit == "iB" || unit == "ib") unit = {};
        if (unit == "B" || unit == "b") unit = {};
        if (!unit.empty()) return 0;
    }
    const double bytes = value * scale;
    if (!(bytes >= double(1 << 20)) || bytes >= 0x1p62) return 0;
    return static_cast<std::size_t>(bytes);
}

std::string format_memory_size(std::size_t bytes) {
    const char* units[] = {"bytes", "KiB", "MiB", "GiB", "TiB"};
    double v = double(bytes);
    int u = 0;
    while (v >= 1024 && u < 4) {
        v /= 1024;
        ++u;
    }
    char buf[32];
    if (v == std::floor(v))
        std::snprintf(buf, sizeof buf, "%.0f %s", v, units[u]);
    else
        std::snprintf(buf, sizeof buf, "%.1f %s", v, units[u]);
    return buf;
}

}  // namespace sf::formats
