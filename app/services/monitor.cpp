// The "LWM: Dynamic Monitor" service: a progress bar on standard error when
// it is a terminal, and every change told to the host's progress hook.
#include "app/services/services.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>

namespace sf::app {

namespace services {

namespace {

struct progress_monitor {
    LWMonitor mon{};
    std::string caption;
    bool visible = false;
    unsigned total = 0, count = 0;
    int shown = -1;  // percent last drawn
};

void draw_progress(progress_monitor& m) {
    if (host().progress_hook) host().progress_hook(m.caption, m.count, m.total);
    if (!m.visible || m.total == 0) return;
    const unsigned done = std::min(m.count, m.total);
    const int percent = static_cast<int>(100.0 * done / m.total);
    if (percent == m.shown) return;
    m.shown = percent;
    constexpr int width = 30;
    char bar[width + 1];
    const int filled = percent * width / 100;
    for (int k = 0; k < width; ++k) bar[k] = k < filled ? '#' : '.';
    bar[width] = '\0';
    std::fprintf(stderr, "\r%s [%s] %3d%%", m.caption.c_str(), bar, percent);
    std::fflush(stderr);
}

void monitor_init(void* data, unsigned total) {
    auto& m = *static_cast<progress_monitor*>(data);
    m.total = total;
    m.count = 0;
    m.shown = -1;
    draw_progress(m);
}

int monitor_step(void* data, unsigned increment) {
    auto& m = *static_cast<progress_monitor*>(data);
    m.count += increment;
    draw_progress(m);
    return 0;
}

void monitor_done(void* data) {
    auto& m = *static_cast<progress_monitor*>(data);
    if (host().progress_hook) host().progress_hook(m.caption, m.count, 0);
    if (m.visible && m.shown >= 0) {
        std::fputs("\r\033[K", stderr);  // clear the bar's line
        std::fflush(stderr);
    }
    m.shown = -1;
}

LWMonitor* monitor_create(const char* title, const char* caption) {
    try {
        auto m = std::make_unique<progress_monitor>();
        m->mon = {m.get(), monitor_init, monitor_step, monitor_done};
        const std::string t = text_of(title), c = text_of(caption);
        m->caption = t.empty() ? c : c.empty() ? t : t + ": " + c;
        m->visible = host().progress_on_terminal && ::isatty(STDERR_FILENO);
        return &m.release()->mon;
    } catch (...) {
        return nullptr;
    }
}

void monitor_destroy(LWMonitor* mon) {
    if (mon) delete static_cast<progress_monitor*>(mon->data);
}

}  // namespace

const DynaMonitorFuncs k_monitor_funcs{monitor_create, monitor_destroy};

}  // namespace services

}  // namespace sf::app
