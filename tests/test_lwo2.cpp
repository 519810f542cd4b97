// LWO2 output: exact bytes of the chunks, big indices, runs of polygon
// types, and a real tree read back by Assimp's command-line tool.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "formats/edit_log.h"
#include "formats/lwo2_writer.h"
#include "scratch_dir.h"

namespace sf::formats {
namespace {

using bytes = std::vector<unsigned char>;

struct chunk {
    std::string id;
    bytes data;
};

std::uint32_t be32(const unsigned char* p) {
    return std::uint32_t(p[0]) << 24 | std::uint32_t(p[1]) << 16 | std::uint32_t(p[2]) << 8 | p[3];
}

// The chunks of a FORM LWO2, checking the FORM size and even lengths.
std::vector<chunk> read_chunks(const std::string& file) {
    const auto* p = reinterpret_cast<const unsigned char*>(file.data());
    EXPECT_GE(file.size(), 12u);
    EXPECT_EQ(file.substr(0, 4), "FORM");
    EXPECT_EQ(be32(p + 4), file.size() - 8);
    EXPECT_EQ(file.substr(8, 4), "LWO2");
    std::vector<chunk> out;
    for (std::size_t at = 12; at + 8 <= file.size();) {
        const std::uint32_t n = be32(p + at + 4);
        EXPECT_EQ(n % 2, 0u) << file.substr(at, 4);
        EXPECT_LE(at + 8 + n, file.size());
        out.push_back({file.substr(at, 4), bytes(p + at + 8, p + at + 8 + n)});
        at += 8 + n;
    }
    return out;
}

std::vector<std::string> ids(const std::vector<chunk>& cs) {
    std::vector<std::string> v;
    for (const chunk& c : cs) v.push_back(c.id);
    return v;
}

std::string written(const mesh_layer& l) {
    string_sink sink;
    write_lwo2(l, sink);
    return sink.text;
}

void add_polygon(mesh_layer& l, LWID type, const char* surface, std::initializer_list<index_t> pts) {
    const index_t s = surface ? l.strings().intern(surface) : k_none;
    l.add_polygon(type, s, std::span<const index_t>(pts.begin(), pts.size()));
}

void add_value(mesh_layer& l, index_t map, index_t point, index_t polygon, float u, float v) {
    const float uv[2] = {u, v};
    l.add_value(point, polygon, map, uv);
}

// One triangle with a surface, a sketch colour, a texture map and a seam.
// Its corners run the other way round in the layer (right-handed).
TEST(Lwo2, OneTriangleGivesTheReferenceBytes) {
    mesh_layer l;
    l.add_point(0, 0, 0);
    l.add_point(0, 1, 0);
    l.add_point(1, 0, 0);
    add_polygon(l, LWPOLTYPE_FACE, "SF_trunk", {2, 1, 0});
    l.add_tag(0, LWPTAG_COLR, l.strings().intern("Brown"));
    const index_t uv = l.find_or_add_map(LWVMAP_TXUV, "SF_branch", 2);
    add_value(l, uv, 2, k_none, 9, 9);  // replaced: the latest value counts
    add_value(l, uv, 0, k_none, 0, 0);
    add_value(l, uv, 1, k_none, 0, 1);
    add_value(l, uv, 2, k_none, 0.75f, 0);
    add_value(l, uv, 2, 0, 1, 0);

    const std::string file = written(l);
    // Everything up to the SURF chunk, byte for byte.
    const bytes expected = {
        0x54, 0x41, 0x47, 0x53, 0, 0, 0, 0x10, 'S', 'F', '_', 't', 'r', 'u', 'n', 'k', 0, 0,
        'B', 'r', 'o', 'w', 'n', 0,
        0x4C, 0x41, 0x59, 0x52, 0, 0, 0, 0x12, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
        0x50, 0x4E, 0x54, 0x53, 0, 0, 0, 0x24, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
        0, 0, 0, 0, 0x3F, 0x80, 0, 0, 0, 0, 0, 0, 0x3F, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
        0x42, 0x42, 0x4F, 0x58, 0, 0, 0, 0x18, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
        0x3F, 0x80, 0, 0, 0x3F, 0x80, 0, 0, 0, 0, 0, 0,
        0x56, 0x4D, 0x41, 0x50, 0, 0, 0, 0x2E, 'T', 'X', 'U', 'V', 0, 2, 'S', 'F', '_', 'b', 'r', 'a', 'n', 'c', 'h', 0,
        0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0x3F, 0x80, 0, 0, 0, 2, 0x3F, 0x40, 0, 0, 0, 0, 0, 0,
        0x50, 0x4F, 0x4C, 0x53, 0, 0, 0, 0x0C, 'F', 'A', 'C', 'E', 0, 3, 0, 0, 0, 1, 0, 2,
        0x50, 0x54, 0x41, 0x47, 0, 0, 0, 8, 'S', 'U', 'R', 'F', 0, 0, 0, 0,
        0x50, 0x54, 0x41, 0x47, 0, 0, 0, 8, 'C', 'O', 'L', 'R', 0, 0, 0, 1,
        0x56, 0x4D, 0x41, 0x44, 0, 0, 0, 0x1C, 'T', 'X', 'U', 'V', 0, 2, 'S', 'F', '_', 'b', 'r', 'a', 'n', 'c', 'h', 0,
        0, 2, 0, 0, 0x3F, 0x80, 0, 0, 0, 0, 0, 0,
    };
    ASSERT_GT(file.size(), 12 + expected.size());
    EXPECT_EQ(bytes(file.begin() + 12, file.begin() + 12 + std::ptrdiff_t(expected.size())), expected);

    const std::vector<chunk> cs = read_chunks(file);
    ASSERT_EQ(cs.back().id, "SURF");
    // Name, empty source, then the bark colour 0.4 0.27 0.16 without envelope.
    const bytes surf_start = {'S', 'F', '_', 't', 'r', 'u', 'n', 'k', 0, 0, 0, 0, 'C', 'O', 'L', 'R', 0, 14,
                              0x3E, 0xCC, 0xCC, 0xCD, 0x3E, 0x8A, 0x3D, 0x71, 0x3E, 0x23, 0xD7, 0x0A, 0, 0};
    EXPECT_EQ(bytes(cs.back().data.begin(), cs.back().data.begin() + std::ptrdiff_t(surf_start.size())), surf_start);
}

// More than 65280 points and lines, a PTCH run between FACE runs, a
// polygon without surface, an empty polygon and a weight map.
TEST(Lwo2, BigIndicesRunsAndDefaultSurface) {
    mesh_layer l;
    const index_t points = 70000;
    for (index_t i = 0; i < points; ++i) l.add_point(i, 0.5, i % 7);
    for (index_t i = 0; i + 1 < points; ++i) add_polygon(l, LWPOLTYPE_FACE, nullptr, {i, i + 1});
    add_polygon(l, LWPOLTYPE_FACE, "SF_twig", {});  // left out, the run goes on
    add_polygon(l, LWPOLTYPE_FACE, "SF_twig", {65279, 65280, 69999, 5});
    add_polygon(l, LWPOLTYPE_PTCH, "SF_branch", {0, 1, 2, 3});
    add_polygon(l, LWPOLTYPE_PTCH, "SF_branch", {3, 2, 1, 0});
    add_polygon(l, LWPOLTYPE_FACE, "LG_leaf", {7, 8, 9});
    // Polygons: lines 0..69998, the empty one, the twig quad at 70000,
    // patches 70001 and 70002, the leaf.
    l.add_tag(points, LWPTAG_COLR, l.strings().intern("Blue"));
    l.add_tag(points + 2, LWPTAG_COLR, l.strings().intern("Green"));
    const index_t seam = l.find_or_add_map(LWVMAP_TXUV, "SF_branch", 2);
    add_value(l, seam, 1, points + 2, 0.5f, 1);  // in the patch run: local polygon 1
    const index_t w = l.find_or_add_map(LWVMAP_WGHT, "SF_range", 1);
    const float one = 1.0f;
    l.add_value(69999, k_none, w, &one);

    const std::vector<chunk> cs = read_chunks(written(l));
    EXPECT_EQ(ids(cs), (std::vector<std::string>{"TAGS", "LAYR", "PNTS", "BBOX", "VMAP",
                                                 "POLS", "PTAG", "PTAG",           // FACE lines + twig
                                                 "POLS", "PTAG", "PTAG", "VMAD",  // PTCH
                                                 "POLS", "PTAG",                   // FACE leaf
                                                 "SURF", "SURF", "SURF", "SURF"}));
    // Surfaces first in order of first use, then sketch colours.
    const std::string tags(cs[0].data.begin(), cs[0].data.end());
    EXPECT_EQ(tags, std::string("Default\0SF_twig\0SF_branch\0LG_leaf\0Blue\0\0Green\0", 46));

    // Point 69999: x, y as written, z negated.
    const bytes& pnts = cs[2].data;
    ASSERT_EQ(pnts.size(), 12u * points);
    EXPECT_EQ(bytes(pnts.begin() + 12 * 69999, pnts.begin() + 12 * 70000),
              (bytes{0x47, 0x88, 0xB7, 0x80, 0x3F, 0, 0, 0, 0xC0, 0xC0, 0, 0}));  // 69999, 0.5, -6

    // VMAP WGHT: dimension 1, point 69999 as a 4-byte VX.
    EXPECT_EQ(cs[4].data, (bytes{'W', 'G', 'H', 'T', 0, 1, 'S', 'F', '_', 'r', 'a', 'n', 'g', 'e', 0, 0,
                                 0xFF, 0x01, 0x11, 0x6F, 0x3F, 0x80, 0, 0}));

    // First run: 69999 lines then the twig quad, corners reversed.
    const bytes& pols = cs[5].data;
    const bytes quad = {0, 4, 0, 5, 0xFF, 0x01, 0x11, 0x6F, 0xFF, 0, 0xFF, 0, 0xFE, 0xFF};
    EXPECT_EQ(bytes(pols.end() - std::ptrdiff_t(quad.size()), pols.end()), quad);
    EXPECT_EQ(bytes(pols.begin(), pols.begin() + 10), (bytes{'F', 'A', 'C', 'E', 0, 2, 0, 1, 0, 0}));
    // The twig quad is polygon 69999 of the run: tag 1 (SF_twig) and COLR 4 (Blue).
    const bytes& surf_tags = cs[6].data;
    EXPECT_EQ(bytes(surf_tags.end() - 6, surf_tags.end()), (bytes{0xFF, 0x01, 0x11, 0x6F, 0, 1}));
    EXPECT_EQ(bytes(surf_tags.begin() + 4, surf_tags.begin() + 8), (bytes{0, 0, 0, 0}));  // Default
    EXPECT_EQ(cs[7].data, (bytes{'C', 'O', 'L', 'R', 0xFF, 0x01, 0x11, 0x6F, 0, 4}));

    // The patch run counts its polygons from 0.
    EXPECT_EQ(cs[8].data, (bytes{'P', 'T', 'C', 'H', 0, 4, 0, 3, 0, 2, 0, 1, 0, 0, 0, 4, 0, 0, 0, 1, 0, 2, 0, 3}));
    EXPECT_EQ(cs[9].data, (bytes{'S', 'U', 'R', 'F', 0, 0, 0, 2, 0, 1, 0, 2}));
    EXPECT_EQ(cs[10].data, (bytes{'C', 'O', 'L', 'R', 0, 1, 0, 5}));
    EXPECT_EQ(cs[11].data, (bytes{'T', 'X', 'U', 'V', 0, 2, 'S', 'F', '_', 'b', 'r', 'a', 'n', 'c', 'h', 0,
                                  0, 1, 0, 1, 0x3F, 0, 0, 0, 0x3F, 0x80, 0, 0}));
    EXPECT_EQ(cs[12].data, (bytes{'F', 'A', 'C', 'E', 0, 3, 0, 9, 0, 8, 0, 7}));

    // SURF chunks name every surface; the leaf is double-sided.
    EXPECT_EQ(std::string(cs[14].data.begin(), cs[14].data.begin() + 10), std::string("Default\0\0\0", 10));
    const std::string leaf(cs[17].data.begin(), cs[17].data.end());
    EXPECT_EQ(leaf.substr(0, 8), std::string("LG_leaf\0", 8));
    EXPECT_NE(leaf.find(std::string("SIDE\0\2\0\3", 8)), std::string::npos);
}

#ifdef SF_PROGRAM
// Assimp's own reader on a real tree: one vertex per polygon corner, one
// face per polygon, one material per surface.
struct Lwo2Assimp : test::program_test {
    void check(const std::string& settings) {
        if (std::system("command -v assimp >/dev/null 2>&1") != 0) GTEST_SKIP() << "assimp is not installed";
        ASSERT_EQ(run("build " + settings + " -o tree.edits"), 0) << err();
        mesh_layer l;
        read_edit_log(file("tree.edits"), "tree.edits", l);
        ASSERT_GT(l.polygon_count(), 0u);
        std::size_t corners = 0;
        for (index_t p = 0; p < l.polygon_count(); ++p) corners += l.polygon_points(p).size();
        std::map<std::string, int> surfaces;
        for (index_t p = 0; p < l.polygon_count(); ++p) {
            const index_t s = l.polygon_surface(p);
            ++surfaces[s == k_none ? "Default" : std::string(l.strings().view(s))];
        }
        write_lwo2_file(l, dir.file("tree.lwo"));

        const std::string cmd = "assimp info '" + dir.file("tree.lwo") + "' -r > '" + dir.file("info.txt") + "' 2>&1";
        ASSERT_EQ(std::system(cmd.c_str()), 0) << file("info.txt");
        const std::string info = file("info.txt");
        auto count = [&](const std::string& label) {
            const std::size_t at = info.find(label);
            return at == std::string::npos ? -1L : std::strtol(info.c_str() + at + label.size(), nullptr, 10);
        };
        EXPECT_EQ(count("Vertices:"), long(corners)) << info;
        EXPECT_EQ(count("Faces:"), long(l.polygon_count())) << info;
        EXPECT_EQ(count("Materials:"), long(surfaces.size())) << info;
        for (const auto& [name, n] : surfaces) EXPECT_NE(info.find("'" + name + "'"), std::string::npos) << name;
    }
};

TEST_F(Lwo2Assimp, PolygonalTreeWithLeaves) {
    check("--set render_type=1 --set branches=20 --set twig_type=1 --set leaf_shape=2");
}

TEST_F(Lwo2Assimp, SkeletonLinesGetTheDefaultSurface) { check("--set render_type=0 --set branches=20"); }
#endif

}  // namespace
}  // namespace sf::formats
