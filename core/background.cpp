#include "core/background.h"

#include <new>

namespace sf {

face6_typ* bg_polygon_table = nullptr;
std::int32_t bg_polygon_table_size = 0;

namespace {

std::int32_t capture_index = 0;
bool capture_failed = false;

int capture_polygon(void* data, const EDPolygonInfo* info) {
    if (!usable_polygon(info)) return 0;
    // The scan may not report more usable polygons than were counted.
    if (capture_index >= bg_polygon_table_size) return 0;
    MeshEditOp* op = static_cast<MeshEditOp*>(data);
    face6_typ& rec = bg_polygon_table[capture_index];

    double n[3] = {0.0, 0.0, 0.0};
    if (!op->polyNormal(op->state, info->pol, n)) n[0] = n[1] = n[2] = 0.0;
    rec.normal = vec3_typ(n[0], n[1], n[2]);
    rec.polygon = info->pol;
    rec.point_count = info->numPnts;

    delete[] rec.points;
    rec.points = nullptr;
    rec.points = new vec3_typ[static_cast<std::size_t>(rec.point_count)];
    for (int i = 0; i < rec.point_count; ++i) {
        const EDPointInfo* p = op->pointInfo(op->state, info->points[i]);
        if (p) rec.points[i] = vec3_typ(p->position[0], p->position[1], p->position[2]);
    }
    ++capture_index;
    return 0;
}

// Called by the host's scan: an exception must not pass through the host,
// so a failed allocation stops the scan and is thrown again after it.
int capture_callback(void* data, const EDPolygonInfo* info) noexcept {
    try {
        return capture_polygon(data, info);
    } catch (...) {
        capture_failed = true;
        return 1;
    }
}

}  // namespace

bool usable_polygon(const EDPolygonInfo* info) {
    return info->type == LWPOLTYPE_FACE && info->numPnts >= 3;
}

void capture_background(std::int32_t n, MeshEditOp* op) {
    release_background();
    bg_polygon_table = new face6_typ[static_cast<std::size_t>(n)];
    bg_polygon_table_size = n;
    capture_index = 0;
    capture_failed = false;
    op->polyScan(op->state, capture_callback, op, OPLYR_BG);
    // Records the scan did not reach are not offered to growth.
    bg_polygon_table_size = capture_index;
    if (capture_failed) throw std::bad_alloc();
}

void release_background() {
    delete[] bg_polygon_table;
    bg_polygon_table = nullptr;
    bg_polygon_table_size = 0;
}

}  // namespace sf
