// The host's plug-in interface as the tool uses it: a small C-style record of
// mesh-edit operations plus the global services fetched by name.
#pragma once

#include <cstdint>

extern "C" {

typedef std::uint32_t LWID;

// Four-character type codes, packed big-endian ('FACE' = 0x46414345).
constexpr LWID lw_id4(const char (&s)[5]) {
    return (LWID(std::uint8_t(s[0])) << 24) | (LWID(std::uint8_t(s[1])) << 16) |
           (LWID(std::uint8_t(s[2])) << 8) | LWID(std::uint8_t(s[3]));
}

constexpr LWID LWPOLTYPE_FACE = lw_id4("FACE");
constexpr LWID LWPOLTYPE_PTCH = lw_id4("PTCH");
constexpr LWID LWPTAG_COLR = lw_id4("COLR");
constexpr LWID LWVMAP_WGHT = lw_id4("WGHT");
constexpr LWID LWVMAP_TXUV = lw_id4("TXUV");

// Layer selectors and count modes of the mesh-edit operation.
constexpr int OPLYR_FG = 1;
constexpr int OPLYR_BG = 2;
constexpr int EDCOUNT_ALL = 0;

// Opaque identifiers handed out by the host; never null for a valid element.
typedef struct lw_point_* LWPntID;
typedef struct lw_polygon_* LWPolID;
typedef struct ed_state_* EDStateRef;

struct EDPointInfo {
    LWPntID pnt;
    int layer;
    double position[3];
};

struct EDPolygonInfo {
    LWPolID pol;
    int layer;
    LWID type;
    int numPnts;
    const LWPntID* points;
    const char* surface;  // null when the polygon has none
};

// Polygon-scan callback: a non-zero answer stops the scan.
typedef int EDPolyScanFunc(void* data, const EDPolygonInfo* info);

struct MeshEditOp {
    EDStateRef state;
    int (*polyCount)(EDStateRef, int layer, int mode);
    int (*polyScan)(EDStateRef, EDPolyScanFunc* fn, void* data, int layer);
    EDPointInfo* (*pointInfo)(EDStateRef, LWPntID);
    // Writes the unit normal; answers 0 when none can be computed.
    int (*polyNormal)(EDStateRef, LWPolID, double normal[3]);
    LWPntID (*addPoint)(EDStateRef, const double* xyz);
    LWPolID (*addFace)(EDStateRef, const char* surface, int numPnts, const LWPntID* points);
    LWPolID (*addPoly)(EDStateRef, LWID type, LWPolID templ, const char* surface, int numPnts,
                       const LWPntID* points);
    int (*polTag)(EDStateRef, LWPolID, LWID tagType, const char* tag);
    int (*pntVMap)(EDStateRef, LWPntID, LWID type, const char* name, int dim, const float* value);
    int (*pntVPMap)(EDStateRef, LWPntID, LWPolID, LWID type, const char* name, int dim,
                    const float* value);
};

// "LWM: Dynamic Monitor"
struct LWMonitor {
    void* data;
    void (*init)(void* data, unsigned total);
    int (*step)(void* data, unsigned increment);  // non-zero asks to abort
    void (*done)(void* data);
};

struct DynaMonitorFuncs {
    LWMonitor* (*create)(const char* title, const char* caption);
    void (*destroy)(LWMonitor*);
};

// "Info Messages 3"
struct LWMessageFuncs {
    void (*info)(const char* line1, const char* line2);
};

}  // extern "C"
