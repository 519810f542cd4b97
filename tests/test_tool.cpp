// The tool as the host sees it: activation, the panel's set and get
// callbacks, the tool callbacks, presets and thumbnails.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "core/background.h"
#include "core/branch.h"
#include "plugin/build.h"
#include "plugin/tool.h"
#include "ui/panel.h"
#include "ui/presets.h"
#include "ui/services.h"

namespace sf {
namespace {

// A host whose services record what the tool asked of them.
struct fake_host {
    static inline std::vector<std::string> fetched;
    static inline std::string missing;  // service name answered with none
    static inline int shelf_open = 0, presets_added = 0, subscribed = 0;
    static inline std::vector<float> image;  // 128 × 128 RGB

    static LWXPanelID create(int, const LWXPanelControl*) { return reinterpret_cast<LWXPanelID>(1); }
    static void destroy(LWXPanelID) {}
    static void hint(LWXPanelID, unsigned, const LWXPHint*) {}
    static void describe(LWXPanelID, const LWXPanelDataDesc*, LWXPanelGetFunc*, LWXPanelSetFunc*) {}
    static void refresh(LWXPanelID) {}
    static void* get_data(LWXPanelID, unsigned) { return nullptr; }
    static void set_data(LWXPanelID, unsigned, void*) {}
    static void info(const char*, const char*) {}
    static LWShelfCltID subscribe(const char*, const char*, void*, int, LWShelfOKFunc*, LWShelfLoadFunc*,
                                  LWShelfSaveFunc*) {
        ++subscribed;
        return reinterpret_cast<LWShelfCltID>(7);
    }
    static void unsubscribe(LWShelfCltID) { --subscribed; }
    static void open(LWShelfCltID) { shelf_open = 1; }
    static int is_open(LWShelfCltID) { return shelf_open; }
    static void close(LWShelfCltID) { shelf_open = 0; }
    static int add_preset(LWShelfCltID, LWPixmapID, const char**) { return ++presets_added; }
    static LWMonitor* monitor_create(const char*, const char*) { return nullptr; }
    static void monitor_destroy(LWMonitor*) {}
    static LWPixmapID img_create(int w, int h, int type) {
        if (w != 128 || h != 128 || type != LWIMTYP_RGBFP) return nullptr;
        image.assign(128 * 128 * 3, -1.0f);
        return reinterpret_cast<LWPixmapID>(3);
    }
    static void img_destroy(LWPixmapID) {}
    static void set_pixel(LWPixmapID, int x, int y, const float* rgb) {
        ASSERT_TRUE(x >= 0 && y >= 0 && x < 128 && y < 128) << x << "," << y;
        std::memcpy(&image[(y * 128 + x) * 3], rgb, 3 * sizeof(float));
    }
    static void get_pixel(LWPixmapID, int x, int y, float* rgb) {
        ASSERT_TRUE(x >= 0 && y >= 0 && x < 128 && y < 128) << x << "," << y;
        std::memcpy(rgb, &image[(y * 128 + x) * 3], 3 * sizeof(float));
    }
    static float green(int x, int y) { return image[(y * 128 + x) * 3 + 1]; }

    static void* global(const char* name, int mode) {
        static const LWXPanelFuncs panel{create, destroy, hint, describe, refresh, get_data, set_data};
        static const LWMessageFuncs message{info};
        static const LWShelfFuncs shelf{subscribe, unsubscribe, open, is_open, close, add_preset};
        static const DynaMonitorFuncs monitor{monitor_create, monitor_destroy};
        static const LWImageUtil images{img_create, img_destroy, set_pixel, get_pixel};
        static int opaque;
        EXPECT_EQ(mode, 0);
        fetched.push_back(name);
        const std::string n = name;
        if (n == missing) return nullptr;
        if (n == "LWXPanel 2") return const_cast<LWXPanelFuncs*>(&panel);
        if (n == "Info Messages 3") return const_cast<LWMessageFuncs*>(&message);
        if (n == "LWShelfFuncs") return const_cast<LWShelfFuncs*>(&shelf);
        if (n == "LWM: Dynamic Monitor") return const_cast<DynaMonitorFuncs*>(&monitor);
        if (n == "Image Utility 5") return const_cast<LWImageUtil*>(&images);
        if (n == "Directory Info" || n == "Scene Objects 8" || n == "File IO 4") return &opaque;
        return nullptr;
    }
};

struct Tool : ::testing::Test {
    LWToolFuncs funcs{};
    LWMeshEditTool tool{nullptr, &funcs, nullptr, nullptr, nullptr};

    void SetUp() override {
        std::memset(&g_settings, 0, sizeof g_settings);
        g_defaults_copied = false;
        g_services = {};
        fake_host::fetched.clear();
        fake_host::missing.clear();
        fake_host::subscribed = 0;
    }
    void TearDown() override {
        release_branch_table();
        release_background();
        g_services = {};
        g_panel = nullptr;
        g_shelf_client = nullptr;
        build_running = 0;
    }
    int activate_now(int version = 5) { return activate(version, fake_host::global, &tool, nullptr); }
    int set_int(unsigned id, std::int32_t v) { return panel_set(&g_settings, id, &v); }
    int set_real(unsigned id, double v) { return panel_set(&g_settings, id, &v); }
};

TEST_F(Tool, ActivationVersionDefaultsAndServiceOrder) {
    EXPECT_EQ(activate_now(4), 1);
    EXPECT_TRUE(fake_host::fetched.empty());
    EXPECT_EQ(g_settings.branches, 0);  // untouched, even on the first activation

    fake_host::missing = "Info Messages 3";
    EXPECT_EQ(activate_now(), 2);
    EXPECT_EQ(fake_host::fetched, (std::vector<std::string>{"LWXPanel 2", "Info Messages 3"}));
    EXPECT_EQ(tool.instance, nullptr);
    EXPECT_EQ(g_settings.branches, 150);  // initialised before the services

    fake_host::missing.clear();
    fake_host::fetched.clear();
    EXPECT_EQ(activate_now(), 0);
    EXPECT_EQ(fake_host::fetched.size(), 8u);
    EXPECT_EQ(fake_host::fetched.back(), "Image Utility 5");
    EXPECT_EQ(tool.instance, &g_settings);
    EXPECT_EQ(g_settings.hidden, 1);
    EXPECT_EQ(g_settings.tool_state, 0);
    EXPECT_EQ(fake_host::subscribed, 1);

    // A second activation keeps the user's values but switches back to Automatic.
    g_settings.branches = 300;
    g_settings.refresh = 0;
    g_settings.regen_level = 2;
    EXPECT_EQ(activate_now(), 0);
    EXPECT_EQ(g_settings.branches, 300);
    EXPECT_EQ(g_settings.refresh, 1);
    EXPECT_EQ(g_settings.regen_level, 0);
}

TEST_F(Tool, SetCallbackClampsAndLevels) {
    ASSERT_EQ(activate_now(), 0);
    first_edit_pending = 0;
    g_settings.regen_level = 2;
    EXPECT_EQ(set_int(0x8002, 1), 2);
    EXPECT_EQ(g_settings.branches, 2);
    EXPECT_EQ(g_settings.regen_level, 0);
    EXPECT_EQ(g_settings.tool_state, TOOL_UPDATE);
    EXPECT_EQ(g_settings.redraw_needed, 1);

    // Clamps at the low and high ends; a tiny value above the minimum stays.
    const std::pair<unsigned, double> reals[] = {{0x8007, 0.0}, {0x8014, 3.0}, {0x8011, 0.0}, {0x8005, 0.0}};
    for (const auto& [id, v] : reals) set_real(id, v);
    EXPECT_EQ(g_settings.branch_thickness, 0.001);
    EXPECT_EQ(g_settings.branch_end_split, 1.0);
    EXPECT_EQ(g_settings.bias, 0.1);
    EXPECT_EQ(g_settings.spare_ratio, 0.01);
    set_real(0x8007, 1e-300);
    EXPECT_EQ(g_settings.branch_thickness, 1e-300);
    set_int(0x8030, 9);
    EXPECT_EQ(g_settings.trunks, 2);  // cut to the current branch count
    set_int(0x8002, 1000);
    EXPECT_EQ(g_settings.trunks, 2);  // raising branches does not touch trunks
    set_real(0x8019, -10.0 * 3.141592653589793 / 180);
    EXPECT_GT(g_settings.min_angle, 0);
    set_int(0x8035, 12);
    set_int(0x8021, 2);
    EXPECT_EQ(g_settings.twig_segments, 9);
    EXPECT_EQ(g_settings.number_of_roots, 5);
    unsigned char off[4] = {0, 1, 1, 1};
    panel_set(&g_settings, 0x801B, off);
    EXPECT_FALSE(g_settings.assign_range_weight_map);

    // Ids that name no field, and fields the panel may not set.
    for (unsigned id : {0x801Eu, 0x801Fu, 0x8026u, 0x8017u, 0x802Au, 0x8006u, 0x9000u})
        EXPECT_EQ(set_int(id, 1), 0) << std::hex << id;
    EXPECT_EQ(panel_get(&g_settings, 0x801E), nullptr);
    EXPECT_EQ(panel_get(&g_settings, 0x8023), &g_settings.roots_spread);
}

TEST_F(Tool, RefreshModesAndFirstEditAfterBuild) {
    ASSERT_EQ(activate_now(), 0);
    g_settings.tool_state = 0;
    EXPECT_EQ(set_int(0x8020, 0), 2);  // Automatic to Manual: no build
    EXPECT_EQ(g_settings.tool_state, 0);
    set_int(0x8003, 10);
    EXPECT_EQ(g_settings.tool_state, 0);  // Manual: edits only lower the level
    set_int(0x8018, 1);
    EXPECT_EQ(g_settings.tool_state, TOOL_UPDATE);  // Render Type always builds
    g_settings.tool_state = 0;
    set_int(0x8020, 0);  // Manual again: one build
    EXPECT_EQ(g_settings.tool_state, TOOL_UPDATE);
    g_settings.tool_state = 0;
    set_int(0x8020, 1);
    EXPECT_EQ(g_settings.tool_state, TOOL_UPDATE);

    // The first edit after a build sets its level outright.
    g_settings.regen_level = 0;
    first_edit_pending = 1;
    set_real(0x8008, 0.05);  // trunk thickness: level 2
    EXPECT_EQ(g_settings.regen_level, 2);
    set_real(0x8004, 0.3);  // crookedness: level 1
    EXPECT_EQ(g_settings.regen_level, 1);
}

TEST_F(Tool, EventsTestAndEnd) {
    ASSERT_EQ(activate_now(), 0);
    EXPECT_EQ(funcs.dirty(tool.instance), 3);
    funcs.draw(tool.instance, nullptr);
    EXPECT_EQ(funcs.dirty(tool.instance), 0);

    funcs.event(tool.instance, LWT_EVENT_ACTIVATE);
    EXPECT_EQ(tool.test(tool.instance), 1);
    build_running = 1;
    EXPECT_EQ(tool.test(tool.instance), 3);
    build_running = 0;

    funcs.event(tool.instance, LWT_EVENT_DROP);
    EXPECT_EQ(tool.test(tool.instance), 3);
    EXPECT_EQ(tool.build(tool.instance, nullptr), nullptr);  // inactive: builds nothing
    g_settings.redraw_needed = 1;
    funcs.draw(tool.instance, nullptr);
    EXPECT_EQ(funcs.dirty(tool.instance), 3);

    g_settings.branches = 999;
    funcs.event(tool.instance, LWT_EVENT_RESET);
    EXPECT_EQ(g_settings.branches, 150);
    EXPECT_EQ(g_settings.info[0], '\0');
    EXPECT_EQ(g_settings.hidden, 1);
    EXPECT_EQ(tool.test(tool.instance), 1);

    branch_table = new galaz_typ[2];
    branch_table_size = 2;
    bg_polygon_table = new face6_typ[1];
    bg_polygon_table_size = 1;
    tool.end(tool.instance, 0);
    EXPECT_EQ(branch_table, nullptr);
    EXPECT_EQ(bg_polygon_table, nullptr);
    EXPECT_EQ(tool.test(tool.instance), 0);
    EXPECT_EQ(g_settings.hidden, 0);
}

// A preset stream in memory.
struct stream {
    std::vector<std::int32_t> ints;
    std::vector<float> floats;
    std::vector<char> order;  // 'i' or 'f' per item
    std::size_t at = 0, limit = 1000;

    static int write_i4(void* d, const std::int32_t* v, int n) {
        auto* s = static_cast<stream*>(d);
        s->ints.push_back(*v);
        s->order.push_back('i');
        return n;
    }
    static int write_fp(void* d, const float* v, int n) {
        auto* s = static_cast<stream*>(d);
        s->floats.push_back(*v);
        s->order.push_back('f');
        return n;
    }
    std::size_t ni = 0, nf = 0;
    static int read_i4(void* d, std::int32_t* v, int) {
        auto* s = static_cast<stream*>(d);
        if (s->at >= s->limit || s->ni >= s->ints.size()) return -1;
        ++s->at;
        *v = s->ints[s->ni++];
        return 1;
    }
    static int read_fp(void* d, float* v, int) {
        auto* s = static_cast<stream*>(d);
        if (s->at >= s->limit || s->nf >= s->floats.size()) return -1;
        ++s->at;
        *v = s->floats[s->nf++];
        return 1;
    }
};

TEST_F(Tool, PresetRoundTripNarrowsFloatsAndRefusesShortStreams) {
    ASSERT_EQ(activate_now(), 0);
    g_settings.bias = 0.1;
    g_settings.branches = 321;
    g_settings.branch_end_split = 0.5;
    g_settings.assign_thick_weight_map = false;
    stream s;
    LWSaveState save{&s, stream::write_i4, stream::write_fp};
    preset_save(&g_settings, &save);
    ASSERT_EQ(s.order.size(), 63u);
    EXPECT_EQ(s.ints[0], 321);

    settings_typ before = g_settings;
    s.limit = 40;  // a truncated preset changes nothing
    LWLoadState load{&s, stream::read_i4, stream::read_fp};
    preset_load(&g_settings, &load);
    EXPECT_EQ(std::memcmp(&before, &g_settings, sizeof before), 0);

    reset_to_defaults(g_settings);
    g_settings.refresh = 1;
    s.at = s.ni = s.nf = 0;
    s.limit = 1000;
    s.floats[8] = 2.5f;  // branch_end_split, the ninth float of the stream
    preset_load(&g_settings, &load);
    EXPECT_EQ(g_settings.branches, 321);
    EXPECT_EQ(g_settings.bias, static_cast<double>(0.1f));
    EXPECT_NE(g_settings.bias, 0.1);
    EXPECT_EQ(g_settings.branch_end_split, 1.0);
    EXPECT_FALSE(g_settings.assign_thick_weight_map);
    EXPECT_EQ(g_settings.tool_state, TOOL_UPDATE);
    EXPECT_EQ(g_settings.hidden, 1);
    EXPECT_EQ(g_settings.regen_level, 0);
}

TEST_F(Tool, ThumbnailLinesCombineByMaximumAndClip) {
    ASSERT_EQ(activate_now(), 0);
    EXPECT_EQ(make_thumbnail(), nullptr);  // no tree

    // Crown bounds x 0..128, y 0..128, z 0..1: one pixel per unit.
    bg_polygon_table = new face6_typ[1];
    bg_polygon_table_size = 1;
    face6_typ& f = bg_polygon_table[0];
    f.point_count = 3;
    f.points = new vec3_typ[3]{{0, 0, 0}, {128, 128, 1}, {0, 128, 0}};
    branch_table = new galaz_typ[2];
    branch_table_size = 2;
    auto chain = [](galaz_typ& g, std::initializer_list<vec3_typ> pts) {
        wezel_typ* prev = nullptr;
        for (const vec3_typ& p : pts) {
            wezel_typ* n = new wezel_typ;
            n->pos = p;
            if (prev) prev->next = n; else g.head = n;
            prev = n;
        }
        g.tail = prev;
    };
    // A vertical line at x = 10 from row 118 down to row 108 (intensity 1),
    // then off the right edge; a dimmer one crossing it.
    chain(branch_table[0], {{10, 10, 0}, {10, 20, 0}, {200, 20, 0}});
    chain(branch_table[1], {{5, 15, 0.5}, {15, 15, 0.5}});
    ASSERT_NE(make_thumbnail(), nullptr);
    // Drawn upward from row 108; f = 0 puts the whole value on column x + 1.
    EXPECT_FLOAT_EQ(fake_host::green(11, 108), 1.0f);
    EXPECT_EQ(fake_host::green(10, 110), 0.0f);
    EXPECT_EQ(fake_host::green(11, 118), 0.0f);  // end row not drawn
    // The crossing keeps the brighter of the two values.
    EXPECT_FLOAT_EQ(fake_host::green(11, 114), 1.0f);
    EXPECT_FLOAT_EQ(fake_host::green(9, 114), 0.5f);
    EXPECT_FLOAT_EQ(fake_host::green(127, 109), 1.0f);  // the line leaves the image
    EXPECT_EQ(fake_host::image[0], 0.0f);  // cleared to black
}

}  // namespace
}  // namespace sf
