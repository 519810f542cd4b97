// The preview picture (views, depth order, PNG on disk) and Catmull-Clark
// refinement of patch cages with their maps, seams and tags.
#include <gtest/gtest.h>
#include <png.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "app/default_crown.h"
#include "app/preview.h"
#include "formats/edit_log.h"
#include "formats/file_io.h"
#include "formats/subdivide.h"
#include "scratch_dir.h"

namespace sf {
namespace {

using formats::index_t;
using formats::k_none;
using formats::mesh_layer;

formats::mesh_layer read_tree(const char* name) {
    mesh_layer l;
    const std::string path = std::string(SF_TEST_DATA_DIR) + "/" + name;
    formats::read_edit_log(formats::read_file(path), path, l);
    return l;
}

index_t add_poly(mesh_layer& l, LWID type, const char* surface, std::initializer_list<index_t> pts) {
    const index_t s = surface ? l.strings().intern(surface) : k_none;
    return l.add_polygon(type, s, std::span<const index_t>(pts.begin(), pts.size()));
}

// ---------------------------------------------------------------- preview

enum class tint { white, bark, leaf, crown, other };

tint classify(const float* c) {
    if (c[0] > 0.97f && c[1] > 0.97f && c[2] > 0.97f) return tint::white;
    if (c[1] > c[0] + 0.08f && c[1] > c[2] + 0.08f) return tint::leaf;
    if (c[0] > c[2] + 0.08f && c[0] >= c[1]) return tint::bark;
    if (c[2] > c[0] + 0.02f) return tint::crown;
    return tint::other;
}

struct preview_image {
    std::vector<float> rgb = std::vector<float>(std::size_t(app::k_preview_width) * app::k_preview_height * 3);
    const float* at(int x, int y) const { return &rgb[(std::size_t(y) * app::k_preview_width + x) * 3]; }
    // Pixels of a tint in columns [x0, x1).
    int count(tint t, int x0, int x1) const {
        int n = 0;
        for (int y = 0; y < app::k_preview_height; ++y)
            for (int x = x0; x < x1; ++x) n += classify(at(x, y)) == t;
        return n;
    }
    // Mean column and row of a tint in one half.
    std::pair<double, double> centre(tint t, int half) const {
        double sx = 0, sy = 0;
        int n = 0;
        for (int y = 0; y < app::k_preview_height; ++y)
            for (int x = half * 512; x < half * 512 + 512; ++x)
                if (classify(at(x, y)) == t) sx += x - half * 512, sy += y, ++n;
        return n ? std::pair{sx / n, sy / n} : std::pair{-1.0, -1.0};
    }
};

TEST(Preview, ViewsAxesAndDepthOrder) {
    mesh_layer fg, bg;
    // A leaf square high at +x and +z in front of a bark square at the
    // centre of the z = 0 plane; a bark line low at -x, -z.
    const double leaf[4][3] = {{0.5, 1.5, 0.5}, {1, 1.5, 1}, {1, 2, 1}, {0.5, 2, 0.5}};
    const double bark[4][3] = {{-0.2, 0.8, 0}, {1.2, 0.8, 0}, {1.2, 2.2, 0}, {-0.2, 2.2, 0}};
    for (auto& p : leaf) fg.add_point(p[0], p[1], p[2]);
    for (auto& p : bark) fg.add_point(p[0], p[1], p[2]);
    fg.add_point(-1, 0, -1);
    fg.add_point(-1, 0.3, -1);
    add_poly(fg, LWPOLTYPE_FACE, "LG_leaf", {0, 1, 2, 3});
    add_poly(fg, LWPOLTYPE_FACE, "SF_trunk", {4, 5, 6, 7});
    add_poly(fg, LWPOLTYPE_FACE, nullptr, {8, 9});

    preview_image img;
    img.rgb = app::render_preview(fg, bg);
    ASSERT_EQ(img.rgb.size(), std::size_t(1024) * 512 * 3);
    // Front: the leaf square lies over the bark one (nearer), up and right.
    const auto [lx, ly] = img.centre(tint::leaf, 0);
    const auto [bx, by] = img.centre(tint::bark, 0);
    EXPECT_GT(img.count(tint::leaf, 0, 512), 1000);
    EXPECT_GT(lx, bx);
    EXPECT_LT(ly, by);
    // The bark square is edge-on from the side: only the line shows there,
    // to the left of and below the leaf.
    const auto [slx, sly] = img.centre(tint::leaf, 1);
    const auto [sbx, sby] = img.centre(tint::bark, 1);
    EXPECT_LT(img.count(tint::bark, 512, 1024), 100);
    EXPECT_GT(img.count(tint::bark, 512, 1024), 5);
    EXPECT_GT(slx, sbx);
    EXPECT_LT(sly, sby);
    // Nothing outside the drawn objects.
    EXPECT_EQ(img.count(tint::crown, 0, 1024), 0);
    EXPECT_EQ(classify(img.at(5, 5)), tint::white);
}

TEST(Preview, RealTreeAsPng) {
    const mesh_layer fg = read_tree("subd_up_twigs.edits");
    mesh_layer bg;
    app::make_default_crown(bg);
    test::scratch_dir dir;
    const std::string path = dir.file("tree.png");
    app::write_preview(fg, bg, path);
    EXPECT_EQ(dir.entries(), 1u);  // no temporary left

    png_image png{};
    png.version = PNG_IMAGE_VERSION;
    ASSERT_TRUE(png_image_begin_read_from_file(&png, path.c_str())) << png.message;
    png.format = PNG_FORMAT_RGB;
    std::vector<unsigned char> px(PNG_IMAGE_SIZE(png));
    ASSERT_TRUE(png_image_finish_read(&png, nullptr, px.data(), 0, nullptr)) << png.message;
    ASSERT_EQ(png.width, 1024u);
    ASSERT_EQ(png.height, 512u);
    preview_image img;
    for (std::size_t i = 0; i < px.size(); ++i) img.rgb[i] = px[i] / 255.0f;
    for (int half = 0; half < 2; ++half) {
        const int x0 = half * 512, x1 = x0 + 512;
        EXPECT_GT(img.count(tint::bark, x0, x1), 500) << half;
        EXPECT_GT(img.count(tint::leaf, x0, x1), 100) << half;
        EXPECT_GT(img.count(tint::crown, x0, x1), 1000) << half;
        EXPECT_GT(img.count(tint::white, x0, x1), 50000) << half;
    }
    // The trunk stands in the lower middle of both views.
    for (int half = 0; half < 2; ++half) {
        int bark = 0;
        for (int y = 390; y < 410; ++y)
            for (int x = half * 512 + 236; x < half * 512 + 276; ++x) bark += classify(img.at(x, y)) == tint::bark;
        EXPECT_GT(bark, 100) << half;
    }

    // A failed write leaves nothing behind.
    EXPECT_THROW(app::write_preview(fg, bg, dir.file("missing/tree.png")), formats::io_error);
    EXPECT_EQ(dir.entries(), 1u);
}

// ---------------------------------------------------------- subdivision

// Undirected edges of the layer's polygons with their use counts, and
// whether each directed edge is used once (consistent winding).
struct edge_census {
    std::map<std::pair<index_t, index_t>, int> undirected, directed;
    explicit edge_census(const mesh_layer& l) {
        for (index_t p = 0; p < l.polygon_count(); ++p) {
            const auto pts = l.polygon_points(p);
            for (std::size_t i = 0; i < pts.size(); ++i) {
                const index_t a = pts[i], b = pts[(i + 1) % pts.size()];
                ++undirected[{std::min(a, b), std::max(a, b)}];
                ++directed[{a, b}];
            }
        }
    }
    bool closed() const {
        for (auto& [e, n] : undirected)
            if (n != 2) return false;
        for (auto& [e, n] : directed)
            if (n != 1) return false;
        return true;
    }
};

int count_type(const mesh_layer& l, LWID type) {
    int n = 0;
    for (index_t p = 0; p < l.polygon_count(); ++p) n += l.polygon_type(p) == type;
    return n;
}

bool has_point(const mesh_layer& l, double x, double y, double z) {
    for (index_t i = 0; i < l.point_count(); ++i) {
        const double* p = l.point(i);
        if (std::fabs(p[0] - x) < 1e-12 && std::fabs(p[1] - y) < 1e-12 && std::fabs(p[2] - z) < 1e-12) return true;
    }
    return false;
}

TEST(Subdivide, SingleQuadCountsAndCorners) {
    mesh_layer l;
    for (auto [x, y] : {std::pair{0, 0}, {1, 0}, {1, 1}, {0, 1}}) l.add_point(x, y, 0);
    add_poly(l, LWPOLTYPE_PTCH, "SF_trunk", {0, 1, 2, 3});
    const int expect_points[4] = {4, 9, 25, 81};
    for (int level = 0; level <= 3; ++level) {
        const mesh_layer s = formats::subdivide_patches(l, level);
        EXPECT_EQ(s.point_count(), index_t(expect_points[level])) << level;
        EXPECT_EQ(s.polygon_count(), index_t(1) << (2 * level)) << level;
        EXPECT_EQ(count_type(s, level == 0 ? LWPOLTYPE_PTCH : LWPOLTYPE_FACE), int(s.polygon_count()));
        // Corners stay where they are; the centre appears from level 1.
        EXPECT_TRUE(has_point(s, 1, 1, 0));
        EXPECT_EQ(has_point(s, 0.5, 0.5, 0), level > 0);
        for (index_t p = 0; p < s.polygon_count(); ++p) {
            EXPECT_EQ(s.strings().view(s.polygon_surface(p)), "SF_trunk");
            EXPECT_EQ(s.polygon_points(p).size(), 4u);
        }
    }
    EXPECT_THROW(formats::subdivide_patches(l, 4), std::invalid_argument);
    EXPECT_THROW(formats::subdivide_patches(l, -1), std::invalid_argument);
}

TEST(Subdivide, ClosedCubeStaysClosed) {
    mesh_layer l;
    for (int i = 0; i < 8; ++i) l.add_point(i & 1, (i >> 1) & 1, (i >> 2) & 1);
    const index_t faces[6][4] = {{0, 2, 3, 1}, {4, 5, 7, 6}, {0, 1, 5, 4}, {2, 6, 7, 3}, {0, 4, 6, 2}, {1, 3, 7, 5}};
    for (auto& f : faces) l.add_polygon(LWPOLTYPE_PTCH, k_none, f);
    ASSERT_TRUE(edge_census(l).closed());
    for (int level = 1; level <= 2; ++level) {
        const mesh_layer s = formats::subdivide_patches(l, level);
        // V - E + F = 2 at every level.
        EXPECT_EQ(s.point_count(), level == 1 ? 26u : 98u);
        EXPECT_EQ(s.polygon_count(), level == 1 ? 24u : 96u);
        EXPECT_TRUE(edge_census(s).closed());
        // A closed cage shrinks: no point stays at a corner.
        for (index_t i = 0; i < s.point_count(); ++i) {
            int on_side = 0;
            for (int k = 0; k < 3; ++k) {
                EXPECT_GE(s.point(i)[k], 0.0);
                EXPECT_LE(s.point(i)[k], 1.0);
                on_side += s.point(i)[k] == 0.0 || s.point(i)[k] == 1.0;
            }
            EXPECT_LT(on_side, 3);
        }
    }
}

// Two cages side by side, 0-1-2 along x at y 0 and 3-4-5 at y 1, with a
// texture seam on their shared edge (u 1 on the left cage, 5 on the right)
// and weights equal to x, but none at points 2 and 5 for "SF_thick".
struct SubdivideStrip : ::testing::Test {
    mesh_layer l;
    index_t uv, range, thick;
    void SetUp() override {
        for (int i = 0; i < 6; ++i) l.add_point(i % 3, i / 3, 0);
        uv = l.find_or_add_map(LWVMAP_TXUV, "SF_branch", 2);
        range = l.find_or_add_map(LWVMAP_WGHT, "SF_range", 1);
        thick = l.find_or_add_map(LWVMAP_WGHT, "SF_thick", 1);
        for (index_t i = 0; i < 6; ++i) {
            const float u[2] = {float(i % 3), float(i / 3)}, w = float(i % 3);
            l.add_value(i, k_none, uv, u);
            l.add_value(i, k_none, range, &w);
            if (i % 3 != 2) l.add_value(i, k_none, thick, &w);
        }
        const index_t left = add_poly(l, LWPOLTYPE_PTCH, "SF_branch", {0, 1, 4, 3});
        const index_t right = add_poly(l, LWPOLTYPE_PTCH, "SF_branch", {1, 2, 5, 4});
        for (index_t i : {1u, 4u}) {
            const float seam[2] = {5, float(i / 3)};
            l.add_value(i, right, uv, seam);
        }
        l.add_tag(left, LWPTAG_COLR, l.strings().intern("Brown"));
    }
    // The texture coordinate of a corner as readers resolve it.
    static const float* corner_uv(const mesh_layer& s, index_t map, index_t point, index_t polygon) {
        const float* v = s.find_value(map, point, polygon);
        return v ? v : s.find_value(map, point);
    }
};

TEST_F(SubdivideStrip, SeamsStayAndWeightsFollowThePositions) {
    const mesh_layer s = formats::subdivide_patches(l, 2);
    ASSERT_EQ(s.polygon_count(), 32u);
    ASSERT_EQ(s.maps().size(), 3u);
    for (index_t p = 0; p < s.polygon_count(); ++p) {
        double cx = 0;
        for (index_t pt : s.polygon_points(p)) cx += s.point(pt)[0] / 4;
        const bool on_left = cx < 1;
        EXPECT_EQ(on_left, p < 16);  // children follow their cage's order
        for (index_t pt : s.polygon_points(p)) {
            const double x = s.point(pt)[0], y = s.point(pt)[1];
            const float* t = corner_uv(s, uv, pt, p);
            ASSERT_NE(t, nullptr);
            // A flat grid: u runs 0..1 on the left cage and 5..2 on the
            // right one, so the seam column carries both 1 and 5.
            EXPECT_NEAR(t[0], on_left ? x : 8 - 3 * x, 1e-6) << x;
            EXPECT_NEAR(t[1], y, 1e-6);
        }
    }
    // Weights like positions; "SF_thick" only away from points 2 and 5.
    for (index_t pt = 0; pt < s.point_count(); ++pt) {
        const double x = s.point(pt)[0];
        const float* w = s.find_value(range, pt);
        ASSERT_NE(w, nullptr);
        EXPECT_NEAR(*w, x, 1e-6);
        EXPECT_EQ(s.find_value(thick, pt) != nullptr, x < 0.4) << x;
    }
    // The cage's tag on each of its faces.
    ASSERT_EQ(s.tags().size(), 16u);
    for (const auto& t : s.tags()) EXPECT_LT(t.polygon, 16u);
}

TEST_F(SubdivideStrip, PlainFacesAndLeavesUntouched) {
    // A leaf with its own points and a face sharing a cage point.
    const index_t leaf_map = l.find_or_add_map(LWVMAP_TXUV, "SF_leaf", 2);
    const index_t a = l.add_point(3, 0, 0), b = l.add_point(4, 0, 0), c = l.add_point(3.5, 1, 0);
    for (index_t i : {a, b, c}) {
        const float v[2] = {float(i), 0.5f};
        l.add_value(i, k_none, leaf_map, v);
    }
    const index_t leaf = add_poly(l, LWPOLTYPE_FACE, "LG_leaf", {a, b, c});
    const float over[2] = {9, 9};
    l.add_value(b, leaf, leaf_map, over);
    l.add_tag(leaf, LWPTAG_COLR, l.strings().intern("Green"));
    add_poly(l, LWPOLTYPE_FACE, "SF_branch", {2, a, c, 5});
    add_poly(l, LWPOLTYPE_FACE, nullptr, {a, c});

    const mesh_layer s = formats::subdivide_patches(l, 1);
    ASSERT_EQ(s.polygon_count(), 8u + 3u);
    EXPECT_EQ(count_type(s, LWPOLTYPE_PTCH), 0);
    // Kept points first, in order: 2, 5 (used by the face), a, b, c.
    ASSERT_EQ(s.point_count(), 5u + 15u);
    const index_t leaf_out = 8, face_out = 9, line_out = 10;
    EXPECT_EQ(s.strings().view(s.polygon_surface(leaf_out)), "LG_leaf");
    const auto lp = s.polygon_points(leaf_out);
    ASSERT_EQ(lp.size(), 3u);
    EXPECT_EQ(lp[0], 2u);
    for (index_t k = 0; k < 3; ++k) {
        const double* p = s.point(lp[k]);
        const double* q = l.point(k == 0 ? a : k == 1 ? b : c);
        EXPECT_EQ(p[0], q[0]);
        EXPECT_EQ(p[1], q[1]);
        EXPECT_EQ(s.find_value(leaf_map, lp[k])[0], float(k == 0 ? a : k == 1 ? b : c));
    }
    EXPECT_EQ(s.find_value(leaf_map, lp[1], leaf_out)[0], 9.0f);
    const auto fp = s.polygon_points(face_out);
    EXPECT_EQ(s.point(fp[0])[0], 2.0);  // the shared cage point, unmoved
    EXPECT_EQ(s.point(fp[3])[1], 1.0);
    EXPECT_EQ(s.polygon_points(line_out).size(), 2u);
    EXPECT_EQ(s.polygon_surface(line_out), k_none);
    // Tags: four refined faces, then the leaf.
    ASSERT_EQ(s.tags().size(), 5u);
    EXPECT_EQ(s.tags()[4].polygon, leaf_out);
    EXPECT_EQ(s.strings().view(s.tags()[4].text), "Green");
}

TEST(Subdivide, LevelZeroCopiesAndRealTree) {
    const mesh_layer tree = read_tree("subd_up_twigs.edits");
    const mesh_layer same = formats::subdivide_patches(tree, 0);
    formats::string_sink a, b;
    formats::write_edit_log(tree, a);
    formats::write_edit_log(same, b);
    EXPECT_EQ(a.text, b.text);

    std::size_t cage_sides = 0;
    int leaves = 0;
    for (index_t p = 0; p < tree.polygon_count(); ++p) {
        if (tree.polygon_type(p) == LWPOLTYPE_PTCH) cage_sides += tree.polygon_points(p).size();
        else ++leaves;
    }
    const mesh_layer s = formats::subdivide_patches(tree, 1);
    EXPECT_EQ(s.polygon_count(), cage_sides + leaves);
    EXPECT_EQ(count_type(s, LWPOLTYPE_PTCH), 0);
    std::size_t tags = 0;
    for (const auto& t : tree.tags())
        tags += tree.polygon_type(t.polygon) == LWPOLTYPE_PTCH ? tree.polygon_points(t.polygon).size() : 1;
    EXPECT_EQ(s.tags().size(), tags);
    // Seams survive as per-polygon values; every refined point has weights.
    EXPECT_GT(s.polygon_point_values().size(), tree.polygon_point_values().size());
    const index_t range = s.find_map(LWVMAP_WGHT, "SF_range");
    std::vector<bool> weighted(s.point_count());
    for (const auto& r : s.point_values())
        if (r.map == range) weighted[r.point] = true;
    EXPECT_EQ(std::count(weighted.begin(), weighted.end(), false), 0);
}

}  // namespace
}  // namespace sf
