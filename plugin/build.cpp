// The host's build callback.
#include "plugin/build.h"

#include <cstdint>

#include "core/background.h"
#include "core/branch.h"
#include "core/build.h"
#include "core/node_index.h"
#include "mesh/output.h"
#include "ui/services.h"

namespace sf {

const char* const k_error_need_bg = "Need something in BG Layer";
const char* const k_error_allocation = "Memory allocation error";

int build_running = 0;

namespace {

std::int32_t counted_polygons = 0;
LWMonitor* build_monitor = nullptr;  // of the build under way

int count_callback(void*, const EDPolygonInfo* info) {
    if (!usable_polygon(info)) --counted_polygons;
    return 0;
}

void end_monitor(LWMonitor* mon) {
    if (mon) mon->done(mon->data);
    if (g_services.monitor && mon) g_services.monitor->destroy(mon);
}

}  // namespace

const char* build_callback(settings_typ* r, MeshEditOp* op) {
    if (r->hidden == 0) return nullptr;
    build_running = 1;
    first_edit_pending = 1;

    build_monitor = nullptr;
    if (g_services.monitor) build_monitor = g_services.monitor->create("", "Randomising positions...");
    LWMonitor* const mon = build_monitor;
    if (mon) mon->init(mon->data, static_cast<unsigned>(r->branches > 0 ? r->branches : 0) + 4u);

    counted_polygons = op->polyCount(op->state, OPLYR_BG, EDCOUNT_ALL);
    op->polyScan(op->state, count_callback, op, OPLYR_BG);
    if (mon) mon->step(mon->data, 1);

    if (counted_polygons <= 0) {
        r->tool_state = TOOL_REJECT;
        if (g_services.message)
            g_services.message->info("Need some polygons in the background layer.",
                                     "SubD needs to be converted to polygons.");
        end_monitor(mon);
        build_monitor = nullptr;
        build_running = 0;
        return k_error_need_bg;
    }

    r->bg_polygon_count = counted_polygons;
    capture_background(counted_polygons, op);

    if (generate(*r, mon, r->regen_level) == 1) {
        r->tool_state = TOOL_REJECT;
        end_monitor(mon);
        build_monitor = nullptr;
        build_running = 0;
        return k_error_allocation;
    }

    mesh_output(op, *r);
    if (mon) mon->step(mon->data, 1);

    r->tool_state = TOOL_IDLE;
    end_monitor(mon);
    build_monitor = nullptr;
    build_running = 0;
    return nullptr;
}

void abandon_build(settings_typ& r) noexcept {
    g_growth_index = nullptr;
    release_branch_table();  // never reused by a level-2 build
    r.tool_state = TOOL_REJECT;
    end_monitor(build_monitor);
    build_monitor = nullptr;
    build_running = 0;
}

}  // namespace sf
