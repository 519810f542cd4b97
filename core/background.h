// Captured background polygons: the crown outline the tree grows inside.
#pragma once

#include <cstdint>

#include "core/vec3.h"
#include "host/host_api.h"

namespace sf {

struct face6_typ {
    std::int32_t point_count = 0;
    vec3_typ* points = nullptr;  // owned, point_count entries
    vec3_typ normal;
    LWPolID polygon = nullptr;  // host reference, not owned

    face6_typ() = default;
    face6_typ(const face6_typ&) = delete;
    face6_typ& operator=(const face6_typ&) = delete;
    virtual ~face6_typ() { delete[] points; }
};

extern face6_typ* bg_polygon_table;       // absent (null) before the first build
extern std::int32_t bg_polygon_table_size;  // records allocated in the table

// True for a polygon the tool can use: a 'FACE' with at least 3 points.
bool usable_polygon(const EDPolygonInfo* info);

// Replaces the table by the n usable background polygons of op. Throws
// std::bad_alloc, after the scan, when a polygon could not be stored.
void capture_background(std::int32_t n, MeshEditOp* op);
void release_background();

}  // namespace sf
