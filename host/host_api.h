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

// ---- "LWXPanel 2": a panel described by tables and hints ----

typedef struct lw_xpanel_* LWXPanelID;
constexpr int LWXP_VIEW = 1;

// One control: id, label and control class ("integer", "float", "percent",
// "distance", "angle", "iPopChoice", "iBoolean", "vButton", "sInfo").
struct LWXPanelControl {
    unsigned id;
    const char* label;
    const char* control_class;
};

// One data description: id, data name and data type.
struct LWXPanelDataDesc {
    unsigned id;
    const char* name;
    const char* data_type;
};

// Layout and behaviour hints, a list ended by XPH_END. Which fields a hint
// uses depends on its tag.
enum LWXPHintTag : unsigned {
    XPH_END = 0,
    XPH_TITLE,         // text: the panel's title
    XPH_TABS,          // id: tab container; ids: its groups, in order
    XPH_GROUP,         // id: group; text: label; ids: members, in order
    XPH_DIVIDER,       // id: control a divider follows
    XPH_RANGE,         // id: control; min, max, step
    XPH_STRLIST,       // id: control; strings: choices, null-ended
    XPH_BUTTON,        // id: button; button: its action
    XPH_ENABLE,        // id: controlling integer; ids: controls it enables; text: shown while off
    XPH_DESTROYNOTIFY, // destroy: called when the host destroys the panel
    XPH_HOSTHINT,      // id: control; min: tag, max: value (host-defined)
};

typedef void LWXPanelBtnFunc(LWXPanelID panel, unsigned id);
typedef void LWXPanelDestroyNotifyFunc(void* data);

struct LWXPHint {
    unsigned tag;
    unsigned id;
    const char* text;
    const unsigned* ids;          // zero-ended
    const char* const* strings;   // null-ended
    int min, max, step;
    LWXPanelBtnFunc* button;
    LWXPanelDestroyNotifyFunc* destroy;
};

// Get: address of the value behind an id, or null. Set: stores a value and
// answers a refresh code (0 unhandled, 2 redraw the panel).
typedef void* LWXPanelGetFunc(void* inst, unsigned long id);
typedef int LWXPanelSetFunc(void* inst, unsigned long id, void* value);

struct LWXPanelFuncs {
    LWXPanelID (*create)(int kind, const LWXPanelControl* controls);
    void (*destroy)(LWXPanelID);
    void (*hint)(LWXPanelID, unsigned id, const LWXPHint* hints);
    void (*describe)(LWXPanelID, const LWXPanelDataDesc* data, LWXPanelGetFunc* get,
                     LWXPanelSetFunc* set);
    void (*viewRefresh)(LWXPanelID);
    // Data attached to the panel: id 0 answers the instance it edits.
    void* (*getData)(LWXPanelID, unsigned id);
    void (*setData)(LWXPanelID, unsigned id, void* data);
};

// ---- "LWShelfFuncs": the presets shelf ----

typedef struct lw_shelf_client_* LWShelfCltID;
typedef struct lw_pixmap_* LWPixmapID;

struct LWLoadState {
    void* data;
    int (*readI4)(void* data, std::int32_t* values, int count);  // items read, -1 on error
    int (*readFP)(void* data, float* values, int count);
};

struct LWSaveState {
    void* data;
    int (*writeI4)(void* data, const std::int32_t* values, int count);
    int (*writeFP)(void* data, const float* values, int count);
};

typedef int LWShelfOKFunc(void* userdata);
typedef void LWShelfLoadFunc(void* userdata, const LWLoadState* load);
typedef void LWShelfSaveFunc(void* userdata, const LWSaveState* save);

struct LWShelfFuncs {
    LWShelfCltID (*subscribe)(const char* client_class, const char* title, void* userdata, int flags,
                              LWShelfOKFunc* ok, LWShelfLoadFunc* load, LWShelfSaveFunc* save);
    void (*unsubscribe)(LWShelfCltID);
    void (*open)(LWShelfCltID);
    int (*isOpen)(LWShelfCltID);
    void (*close)(LWShelfCltID);
    // Adds a preset of the client's current state with a thumbnail; the host
    // calls the client's save function to fill it.
    int (*addPreset)(LWShelfCltID, LWPixmapID thumbnail, const char** parameters);
};

// ---- "Image Utility 5" ----

constexpr int LWIMTYP_RGBFP = 4;  // three float channels

struct LWImageUtil {
    LWPixmapID (*create)(int width, int height, int type);
    void (*destroy)(LWPixmapID);
    void (*setPixel)(LWPixmapID, int x, int y, const float* rgb);
    void (*getPixel)(LWPixmapID, int x, int y, float* rgb);
};

// ---- The tool record filled at activation ----

typedef void* LWInstance;

struct LWToolFuncs {
    void (*done)(LWInstance);
    void (*draw)(LWInstance, void* access);
    const char* (*help)(LWInstance, void* event);
    int (*dirty)(LWInstance);
    int (*count)(LWInstance, void* event);
    int (*handle)(LWInstance, void* event, int index, double pos[3]);
    int (*start)(LWInstance, void* event);
    int (*adjust)(LWInstance, void* event, int index);
    int (*down)(LWInstance, void* event);
    void (*move)(LWInstance, void* event);
    void (*up)(LWInstance, void* event);
    void (*event)(LWInstance, int code);
    LWXPanelID (*panel)(LWInstance);
};

// Tool events.
constexpr int LWT_EVENT_DROP = 0;
constexpr int LWT_EVENT_RESET = 1;
constexpr int LWT_EVENT_ACTIVATE = 2;

// Dirty flags.
constexpr int LWT_DIRTY_WIREFRAME = 1;
constexpr int LWT_DIRTY_HELPTEXT = 2;

struct LWMeshEditTool {
    LWInstance instance;
    LWToolFuncs* tool;
    int (*test)(LWInstance);
    const char* (*build)(LWInstance, MeshEditOp*);
    void (*end)(LWInstance, int keep);
};

// Test answers.
constexpr int LWT_TEST_NOTHING = 0;
constexpr int LWT_TEST_UPDATE = 1;
constexpr int LWT_TEST_REJECT = 3;

// ---- The module descriptor ----

typedef void* GlobalFunc(const char* service, int use_mode);
typedef int ActivateFunc(int version, GlobalFunc* global, void* local, void* server_data);

constexpr unsigned SRVTAG_USERNAME = 0x409;
constexpr unsigned SRVTAG_CMDGROUP = 0x20000;

struct ServerTagInfo {
    const char* string;
    unsigned tag;
};

struct ServerRecord {
    const char* class_name;
    const char* name;
    ActivateFunc* activate;
    const ServerTagInfo* tag_info;
};

struct ModuleDescriptor {
    std::uint32_t sys_sync;
    std::uint32_t sys_version;
    std::uint32_t sys_machine;
    void* (*startup)(void);
    void (*shutdown)(void* server_data);
    const ServerRecord* server_defs;
};

constexpr std::uint32_t MOD_SYSSYNC = 0x04121994;
constexpr int LWMESHEDITTOOL_VERSION = 5;

}  // extern "C"
