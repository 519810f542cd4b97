#include "standin_services.h"

#include <cstdio>
#include <new>

#include "ui/services.h"

namespace sf::app {

namespace {

void info(const char* line1, const char* line2) {
    if (line1) std::fprintf(stderr, "%s\n", line1);
    if (line2) std::fprintf(stderr, "%s\n", line2);
}

void monitor_init(void*, unsigned) {}
int monitor_step(void*, unsigned) { return 0; }
void monitor_done(void*) {}

LWMonitor* monitor_create(const char*, const char*) {
    return new (std::nothrow) LWMonitor{nullptr, monitor_init, monitor_step, monitor_done};
}

void monitor_destroy(LWMonitor* m) { delete m; }

const LWMessageFuncs k_message_funcs{info};
const DynaMonitorFuncs k_monitor_funcs{monitor_create, monitor_destroy};

}  // namespace

const LWMessageFuncs* standin_message_funcs() { return &k_message_funcs; }
const DynaMonitorFuncs* standin_monitor_funcs() { return &k_monitor_funcs; }

void install_standin_services() {
    g_services.message = &k_message_funcs;
    g_services.monitor = &k_monitor_funcs;
}

}  // namespace sf::app
