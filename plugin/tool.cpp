#include "plugin/tool.h"

#include <cstring>

#include "core/background.h"
#include "core/branch.h"
#include "core/settings.h"
#include "mesh/model.h"
#include "plugin/build.h"
#include "ui/services.h"

namespace sf {

namespace {

settings_typ& record(LWInstance inst) { return *static_cast<settings_typ*>(inst); }

void release_tables() {
    release_branch_table();
    release_background();
    model_typ::release_pools();
}

}  // namespace

int tool_test(LWInstance inst) {
    if (build_running == 1) return LWT_TEST_REJECT;
    return record(inst).tool_state;
}

void tool_end(LWInstance inst, int) {
    release_tables();
    record(inst).tool_state = TOOL_IDLE;
    record(inst).hidden = 0;
}

void tool_done(LWInstance) { release_tables(); }

const char* tool_help(LWInstance, void*) { return k_help_text; }

void tool_draw(LWInstance inst, void*) {
    if (record(inst).hidden != 0) record(inst).redraw_needed = 0;
}

int tool_dirty(LWInstance inst) {
    return record(inst).redraw_needed != 0 ? LWT_DIRTY_WIREFRAME | LWT_DIRTY_HELPTEXT : 0;
}

int tool_count(LWInstance, void*) { return 0; }
int tool_handle(LWInstance, void*, int, double[3]) { return 0; }

int tool_start(LWInstance inst, void*) {
    record(inst).hidden = 1;
    return 1;
}

int tool_adjust(LWInstance, void*, int) { return 0; }

void tool_event(LWInstance inst, int code) {
    settings_typ& r = record(inst);
    switch (code) {
        case LWT_EVENT_DROP:
            r.hidden = 0;
            r.tool_state = TOOL_REJECT;
            break;
        case LWT_EVENT_RESET:
            reset_to_defaults(r);
            r.hidden = 1;
            r.tool_state = TOOL_UPDATE;
            r.redraw_needed = 1;
            r.regen_level = 0;
            break;
        case LWT_EVENT_ACTIVATE:
            r.tool_state = TOOL_UPDATE;
            r.regen_level = 0;
            r.hidden = 1;
            r.redraw_needed = 1;
            refresh_panel_view();
            break;
        default:
            break;
    }
}

}  // namespace sf
