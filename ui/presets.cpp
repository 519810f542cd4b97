#include "ui/presets.h"

#include <cstdint>

#include "core/background.h"
#include "core/branch.h"
#include "sylvaform_version.h"
#include "ui/barrier.h"
#include "ui/services.h"

namespace sf {

LWShelfCltID g_shelf_client = nullptr;

namespace {

enum class item : std::uint8_t { i4, fp, flag };

struct stream_item {
    item kind;
    std::size_t offset;
};

#define SF_I4(f) {item::i4, offsetof(settings_typ, f)}
#define SF_FP(f) {item::fp, offsetof(settings_typ, f)}
#define SF_FLAG(f) {item::flag, offsetof(settings_typ, f)}

// The preset stream, in its fixed order (not the record's).
const stream_item k_stream[] = {
    SF_I4(branches),           SF_I4(segments),           SF_FP(branch_crookedness),
    SF_FP(spare_ratio),        SF_FP(branch_thickness),   SF_FP(trunk_thickness),
    SF_I4(spare_count),        SF_FP(tree_center),        SF_FP(branch_bend_end),
    SF_FP(distribution_power), SF_I4(iterations),         SF_FP(bias),
    SF_I4(random_seed),        SF_FP(branch_end_split),   SF_I4(variable_spacing),
    SF_FP(wg_range),           SF_FP(wg_hardness),        SF_FP(branch_tip_jitter),
    SF_FP(normals_influence),  SF_I4(spare_switch_a),     SF_I4(spare_switch_b),
    SF_I4(render_type),        SF_I4(refresh),            SF_FP(min_angle),
    SF_I4(optimization_passes), SF_FLAG(assign_range_weight_map), SF_FLAG(assign_thick_weight_map),
    SF_FP(wg_thick_max),       SF_I4(number_of_roots),    SF_FP(roots_gravity),
    SF_FP(roots_spread),       SF_FP(roots_crookedness),  SF_FP(trunk_crookedness),
    SF_FP(spare_factor),       SF_I4(branch_type),        SF_I4(sub_segments),
    SF_FP(tree_center_variation), SF_FP(branch_start_split), SF_I4(trunks),
    SF_FP(tips_thickness),     SF_FP(twig_proportional_length), SF_FP(twig_constant_length),
    SF_FP(twig_range),         SF_I4(twig_segments),      SF_I4(twig_type),
    SF_I4(twig_length_type),   SF_FP(twig_coverage),      SF_FP(branch_bend_start),
    SF_FP(trunk_bend),         SF_I4(trunk_thick_type),   SF_I4(trunk_influence),
    SF_FP(leaf_width),         SF_FP(leaf_length),        SF_I4(leaf_shape),
    SF_FP(leaf_out),           SF_FP(leaf_hang),          SF_FP(leaf_tip_hang),
    SF_FP(leaf_randomness),    SF_I4(leaf_growth),        SF_FP(leaf_size),
    SF_FP(leaf_size_tip),      SF_I4(leaf_density),       SF_I4(spare_count_b),
};
#undef SF_I4
#undef SF_FP
#undef SF_FLAG
static_assert(sizeof k_stream / sizeof k_stream[0] == 63);

template <class T>
T& at(settings_typ& r, std::size_t offset) {
    return *reinterpret_cast<T*>(reinterpret_cast<char*>(&r) + offset);
}

// ---- thumbnail lines ----

constexpr int k_thumb = 128;

// Plots v at (x, y) when it is brighter than the green already there.
// Pixels outside the image are skipped.
void plot(const LWImageUtil* img, LWPixmapID pix, int x, int y, float v) {
    if (x < 0 || y < 0 || x >= k_thumb || y >= k_thumb) return;
    float rgb[3];
    img->getPixel(pix, x, y, rgb);
    if (v > rgb[1]) {
        const float out[3] = {0.0f, v, 0.0f};
        img->setPixel(pix, x, y, out);
    }
}

// Anti-aliased line in 16.16 fixed point; the end row (or column) is not drawn.
void draw_line(const LWImageUtil* img, LWPixmapID pix, int x0, int y0, int x1, int y1, float intensity) {
    std::int32_t dx = x1 - x0, dy = y1 - y0;
    if (dx == 0 && dy == 0) return;
    const auto iabs = [](std::int32_t v) { return v < 0 ? -v : v; };
    if (iabs(dx) <= iabs(dy)) {
        if (dy < 0) {
            dx = -dx;
            dy = -dy;
            std::swap(x0, x1);
            std::swap(y0, y1);
        }
        std::int32_t px = x0 * 65536, py = y0 * 65536;
        const std::int32_t step = (dx * 65536) / dy;
        while ((py >> 16) < y1) {
            const std::int32_t f = px & 0xFFFF;
            plot(img, pix, px >> 16, py >> 16, static_cast<float>(f) / 65535 * intensity);
            plot(img, pix, (px >> 16) + 1, py >> 16, static_cast<float>(65535 - f) / 65535 * intensity);
            px += step;
            py += 65536;
        }
    } else {
        if (dx < 0) {
            dx = -dx;
            dy = -dy;
            std::swap(x0, x1);
            std::swap(y0, y1);
        }
        std::int32_t px = x0 * 65536, py = y0 * 65536;
        const std::int32_t step = (dy * 65536) / dx;
        while ((px >> 16) < x1) {
            const std::int32_t f = py & 0xFFFF;
            plot(img, pix, px >> 16, py >> 16, static_cast<float>(f) / 65535 * intensity);
            plot(img, pix, px >> 16, (py >> 16) + 1, static_cast<float>(65535 - f) / 65535 * intensity);
            px += 65536;
            py += step;
        }
    }
}

// Truncation toward zero of a pixel coordinate; values that no 16.16 line
// can carry come back as a sentinel the caller skips.
constexpr int k_off_image = 1 << 20;
int pixel_coordinate(double v) {
    if (!(v > -16384.0 && v < 16384.0)) return k_off_image;
    return static_cast<int>(v);
}

}  // namespace

void subscribe_shelf_client(settings_typ* r) {
    if (!g_services.shelf) return;
    g_shelf_client = g_services.shelf->subscribe("MasterHandler", "Sylvaform " SF_VERSION_SHORT, r, 4,
                                                 barrier<preset_ok, 0>, barrier<preset_load>, barrier<preset_save>);
}

void release_shelf_client() {
    if (g_shelf_client && g_services.shelf) g_services.shelf->unsubscribe(g_shelf_client);
    g_shelf_client = nullptr;
}

int preset_ok(void*) { return 1; }

void preset_save(void* userdata, const LWSaveState* save) {
    settings_typ& r = *static_cast<settings_typ*>(userdata);
    for (const stream_item& it : k_stream) {
        if (it.kind == item::fp) {
            const float v = static_cast<float>(at<double>(r, it.offset));
            save->writeFP(save->data, &v, 1);
        } else {
            const std::int32_t v =
                it.kind == item::flag ? (at<bool>(r, it.offset) ? 1 : 0) : at<std::int32_t>(r, it.offset);
            save->writeI4(save->data, &v, 1);
        }
    }
}

void preset_load(void* userdata, const LWLoadState* load) {
    settings_typ& live = *static_cast<settings_typ*>(userdata);
    settings_typ r = live;
    for (const stream_item& it : k_stream) {
        if (it.kind == item::fp) {
            float v;
            if (load->readFP(load->data, &v, 1) != 1) return;
            at<double>(r, it.offset) = static_cast<double>(v);
        } else {
            std::int32_t v;
            if (load->readI4(load->data, &v, 1) != 1) return;
            if (it.kind == item::flag)
                at<bool>(r, it.offset) = (v & 0xFF) != 0;
            else
                at<std::int32_t>(r, it.offset) = v;
        }
    }
    if (r.branch_end_split > 1.0) r.branch_end_split = 1.0;

    live = r;
    live.tool_state = TOOL_IDLE;
    live.regen_level = 0;
    if (live.refresh == 1) live.tool_state = TOOL_UPDATE;
    request_level(live, 0);
    live.redraw_needed = 1;
    live.hidden = 1;
    refresh_panel_view();
}

void presets_button(LWXPanelID, unsigned) {
    const LWShelfFuncs* shelf = g_services.shelf;
    if (!shelf || !g_shelf_client) return;
    if (shelf->isOpen(g_shelf_client))
        shelf->close(g_shelf_client);
    else
        shelf->open(g_shelf_client);
}

void add_preset_button(LWXPanelID, unsigned) {
    const LWShelfFuncs* shelf = g_services.shelf;
    if (!shelf || !g_shelf_client) return;
    if (!shelf->isOpen(g_shelf_client)) shelf->open(g_shelf_client);
    LWPixmapID thumb = make_thumbnail();
    if (!thumb) return;
    shelf->addPreset(g_shelf_client, thumb, nullptr);
    g_services.image->destroy(thumb);
}

LWPixmapID make_thumbnail() {
    const LWImageUtil* img = g_services.image;
    if (!bg_polygon_table || !branch_table || !img) return nullptr;
    LWPixmapID pix = img->create(k_thumb, k_thumb, LWIMTYP_RGBFP);
    if (!pix) return nullptr;
    const float black[3] = {0, 0, 0};
    for (int y = 0; y < k_thumb; ++y)
        for (int x = 0; x < k_thumb; ++x) img->setPixel(pix, x, y, black);

    double min_x = 0, max_x = 0, max_y = 0, min_z = 0, max_z = 0;
    for (std::int32_t i = 0; i < bg_polygon_table_size; ++i) {
        const face6_typ& f = bg_polygon_table[i];
        for (std::int32_t k = 0; k < f.point_count; ++k) {
            const vec3_typ& p = f.points[k];
            if (p.x > max_x) max_x = p.x;
            if (p.y > max_y) max_y = p.y;
            if (p.z > max_z) max_z = p.z;
            if (p.x < min_x) min_x = p.x;
            if (p.z < min_z) min_z = p.z;
        }
    }
    const double width = max_x - min_x, depth = max_z - min_z;
    const double scale = max_y > width ? 128 / max_y : 128 / width;
    const int offset_x = pixel_coordinate(-min_x * scale);
    if (offset_x == k_off_image) return pix;
    auto column = [&](const vec3_typ& p) { return pixel_coordinate(p.x * scale + offset_x); };
    auto row = [&](const vec3_typ& p) {
        const int t = pixel_coordinate(p.y * scale);
        return t == k_off_image ? t : 128 - t;
    };

    for (std::int32_t i = 0; i < branch_table_size; ++i) {
        const wezel_typ* n = branch_table[i].head;
        if (!n) continue;
        int pen_x = column(n->pos), pen_y = row(n->pos);
        for (n = n->next; n; n = n->next) {
            const int x = column(n->pos), y = row(n->pos);
            // A crown without depth draws every line at full intensity.
            const float intensity =
                depth == 0.0 ? 1.0f : static_cast<float>((max_z - n->pos.z) / depth);
            if (pen_x != k_off_image && pen_y != k_off_image && x != k_off_image && y != k_off_image)
                draw_line(img, pix, pen_x, pen_y, x, y, intensity);
            pen_x = x;
            pen_y = y;
        }
    }
    return pix;
}

}  // namespace sf
