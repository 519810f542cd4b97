// OBJ output with materials and texture coordinates, its .mtl, and the
// pair written whole or not at all.
#include <gtest/gtest.h>

#include <filesystem>
#include <limits>
#include <string>

#include "formats/file_io.h"
#include "formats/obj_reader.h"
#include "formats/obj_writer.h"
#include "scratch_dir.h"

namespace sf::formats {
namespace {

// Two tube surfaces with a seam, a leaf, a root face with a corner lacking
// its value, a surface of another name, a polygon without surface, a line,
// a single point and an empty polygon.
mesh_layer hand_made_layer() {
    mesh_layer l;
    const double xyz[9][3] = {{0, 0, 0}, {1, 0, 0}, {1, 1, 0},   {0, 1, 0}, {-1, 0.5, 0},
                              {0, 2, 0}, {1, 2, 0}, {0.5, 3, 0}, {2, 0, 0}};
    for (const auto& p : xyz) l.add_point(p[0], p[1], p[2]);
    const index_t branch = l.find_or_add_map(LWVMAP_TXUV, "SF_branch", 2);
    const index_t range_thick = l.find_or_add_map(LWVMAP_TXUV, "SF_range_thick", 2);
    const index_t leaf = l.find_or_add_map(LWVMAP_TXUV, "SF_leaf", 2);
    auto value = [&](index_t map, index_t point, index_t polygon, float u, float v) {
        const float uv[2] = {u, v};
        l.add_value(point, polygon, map, uv);
    };
    value(branch, 0, k_none, 9, 9);  // replaced below: the latest value counts
    const float per_point[][3] = {{0, 0, 0.5f}, {1, 0.25f, 0.5f}, {2, 0.25f, 1},
                                  {3, 0, 1},    {4, 0.5f, 0.5f}, {8, 0.75f, 0.5f}};
    for (const auto& v : per_point) value(branch, index_t(v[0]), k_none, v[1], v[2]);
    value(range_thick, 0, k_none, 0.3f, 0.7f);
    for (index_t p = 5; p < 8; ++p) value(leaf, p, k_none, p == 7 ? 0.5f : float(p - 5), p == 7 ? 1 : 0);

    auto poly = [&](LWID type, const char* surface, std::initializer_list<index_t> pts) {
        const index_t s = surface ? l.strings().intern(surface) : k_none;
        return l.add_polygon(type, s, std::span<const index_t>(pts.begin(), pts.size()));
    };
    const index_t p0 = poly(LWPOLTYPE_PTCH, "SF_trunk", {0, 1, 2, 3});
    const index_t p1 = poly(LWPOLTYPE_FACE, "SF_branch", {0, 4, 3});
    poly(LWPOLTYPE_FACE, "SF_branch", {0, 4});
    poly(LWPOLTYPE_FACE, nullptr, {0, 1, 4});
    const index_t p4 = poly(LWPOLTYPE_FACE, "LG_leaf", {5, 6, 7});
    poly(LWPOLTYPE_FACE, "SF_root", {8, 5, 1});
    poly(LWPOLTYPE_FACE, "Bark #2", {0, 1, 2});
    poly(LWPOLTYPE_FACE, "SF_trunk", {1, 2, 8});
    poly(LWPOLTYPE_FACE, "SF_twig", {});
    const index_t p9 = poly(LWPOLTYPE_FACE, "SF_twig", {3, 0, 4});
    poly(LWPOLTYPE_FACE, "SF_branch", {4});
    poly(LWPOLTYPE_FACE, "", {5, 6, 7});

    value(branch, 0, p0, 1, 0.5f);  // the seam
    value(branch, 3, p0, 7, 7);
    value(branch, 3, p0, 1, 1);
    value(range_thick, 1, p0, 5, 5);  // another map: no effect
    value(branch, 1, p1, 3, 3);       // a point not in the polygon: no effect
    value(branch, 5, p4, 4, 4);       // leaves read "SF_leaf"
    value(leaf, 7, p4, 0.5f, 0.75f);
    value(branch, 0, p9, 1, 0.5f);  // same value as the seam above: shared
    return l;
}

const std::string k_hand_made_obj =
    "# sylvaform\n"
    "mtllib tree.mtl\n"
    "v 0 0 0\nv 1 0 0\nv 1 1 0\nv 0 1 0\nv -1 0.5 0\nv 0 2 0\nv 1 2 0\nv 0.5 3 0\nv 2 0 0\n"
    // Shared texture coordinates in order of first use.
    "vt 1 0.5\nvt 0.25 0.5\nvt 0.25 1\nvt 1 1\nvt 0 0.5\nvt 0.5 0.5\nvt 0 1\n"
    "vt 0 0\nvt 1 0\nvt 0.5 0.75\nvt 0.75 0.5\n"
    // One normal per point of each run, shared by its faces: no surface
    // (points 1 2 5 6 7 8), SF_trunk (1 2 3 4, and 9 only on the clockwise
    // triangle), SF_branch (clockwise), LG_leaf, SF_root, Bark__2, SF_twig.
    "vn 0 0 1\nvn 0 0 1\nvn 0 0 1\nvn 0 0 1\nvn 0 0 1\nvn 0 0 1\n"
    "vn 0 0 1\nvn 0 0 1\nvn 0 0 1\nvn 0 0 1\nvn 0 0 -1\n"
    "vn 0 0 -1\nvn 0 0 -1\nvn 0 0 -1\n"
    "vn 0 0 1\nvn 0 0 1\nvn 0 0 1\n"
    "vn 0 0 1\nvn 0 0 1\nvn 0 0 1\n"
    "vn 0 0 1\nvn 0 0 1\nvn 0 0 1\n"
    "vn 0 0 -1\nvn 0 0 -1\nvn 0 0 -1\n"
    // One run per surface, creation order within it.
    "f 1//1 2//2 5//3\n"
    "f 6//4 7//5 8//6\n"
    "usemtl SF_trunk\n"
    "f 1/1/7 2/2/8 3/3/9 4/4/10\n"
    "f 2/2/8 3/3/9 9/11/11\n"
    "usemtl SF_branch\n"
    "f 1/5/12 5/6/13 4/7/14\n"
    "l 1 5\n"
    "p 5\n"
    "usemtl LG_leaf\n"
    "f 6/8/15 7/9/16 8/10/17\n"
    "usemtl SF_root\n"
    "f 9//18 6//19 2//20\n"
    "usemtl Bark__2\n"
    "f 1//21 2//22 3//23\n"
    "usemtl SF_twig\n"
    "f 4/7/24 1/1/25 5/6/26\n";

// Plain colours in linear light (the sRGB bark brown 0.4 0.27 0.16).
const std::string k_hand_made_mtl =
    "# sylvaform materials\n"
    "\nnewmtl SF_trunk\nKd 0.1329 0.0593 0.022\nKa 0 0 0\nKs 0 0 0\nNs 10\nd 1\nillum 1\n"
    "\nnewmtl SF_branch\nKd 0.1329 0.0593 0.022\nKa 0 0 0\nKs 0 0 0\nNs 10\nd 1\nillum 1\n"
    "\nnewmtl LG_leaf\nKd 0.0397 0.214 0.0174\nKa 0 0 0\nKs 0.04 0.04 0.04\nNs 30\nd 1\nillum 2\n"
    "\nnewmtl SF_root\nKd 0.1329 0.0593 0.022\nKa 0 0 0\nKs 0 0 0\nNs 10\nd 1\nillum 1\n"
    "\nnewmtl Bark__2\nKd 0.3185 0.3185 0.3185\nKa 0 0 0\nKs 0 0 0\nNs 10\nd 1\nillum 1\n"
    "\nnewmtl SF_twig\nKd 0.2957 0.1706 0.0732\nKa 0 0 0\nKs 0 0 0\nNs 10\nd 1\nillum 1\n";

TEST(ObjMaterials, HandMadeLayerGivesTheExpectedText) {
    const mesh_layer l = hand_made_layer();
    string_sink obj, mtl;
    write_obj(l, obj, "tree.mtl");
    write_mtl(l, mtl);
    EXPECT_EQ(obj.text, k_hand_made_obj);
    EXPECT_EQ(mtl.text, k_hand_made_mtl);

    mesh_layer back;
    read_obj_text(obj.text, "tree.obj", back);
    EXPECT_EQ(back.point_count(), l.point_count());
    EXPECT_EQ(back.polygon_count(), 10u);  // "p" is not read back; the empty one is not written

    // A skeleton has no surfaces: an empty library.
    mesh_layer skeleton;
    skeleton.add_point(0, 0, 0);
    skeleton.add_point(0, 1, 0);
    const index_t edge[2] = {0, 1};
    skeleton.add_polygon(LWPOLTYPE_FACE, k_none, edge);
    string_sink empty;
    write_mtl(skeleton, empty);
    EXPECT_EQ(empty.text, "# sylvaform materials\n");
}

TEST(ObjMaterials, NonFiniteOrTooShortMapsGiveNoCoordinates) {
    mesh_layer l;
    for (int i = 0; i < 3; ++i) l.add_point(i, 0, 0);
    const index_t f[3] = {0, 1, 2};
    const index_t leaf = l.add_polygon(LWPOLTYPE_FACE, l.strings().intern("LG_leaf"), f);
    l.add_polygon(LWPOLTYPE_FACE, l.strings().intern("SF_branch"), f);
    const index_t leaf_map = l.find_or_add_map(LWVMAP_TXUV, "SF_leaf", 2);
    const index_t branch_map = l.find_or_add_map(LWVMAP_TXUV, "SF_branch", 1);  // one value only
    const float ok[2] = {0.5f, 0.5f}, bad[2] = {0.5f, std::numeric_limits<float>::infinity()};
    for (index_t p = 0; p < 3; ++p) {
        l.add_value(p, k_none, leaf_map, ok);
        l.add_value(p, k_none, branch_map, ok);
    }
    l.add_value(2, leaf, leaf_map, bad);
    string_sink obj;
    write_obj(l, obj);
    EXPECT_EQ(obj.text.find("vt"), std::string::npos) << obj.text;
    EXPECT_NE(obj.text.find("f 1//1 2//2 3//3\n"), std::string::npos) << obj.text;
}

TEST(ObjMaterials, MtlPathReplacesTheExtension) {
    EXPECT_EQ(mtl_path_for("tree.obj"), "tree.mtl");
    EXPECT_EQ(mtl_path_for("out/TREE.OBJ"), "out/TREE.mtl");
    EXPECT_EQ(mtl_path_for("a.b/tree"), "a.b/tree.mtl");
    EXPECT_EQ(mtl_path_for("dir/.obj"), "dir/.obj.mtl");
    EXPECT_EQ(mtl_path_for("x.mtl"), "x.mtl.mtl");  // never the OBJ's own name
}

// The pair is written whole, replaces an old pair, and on a failure of
// either file leaves both paths as they were.
TEST(ObjFiles, WholePairOrNothing) {
    test::scratch_dir dir;
    const mesh_layer l = hand_made_layer();
    write_obj_files(l, dir.file("tree.obj"));
    string_sink expected, expected_mtl;  // materials named after the file
    write_obj(l, expected, "tree.mtl", false, "tree_");
    write_mtl(l, expected_mtl, {}, "tree_");
    EXPECT_EQ(test::slurp(dir.file("tree.obj")), expected.text);
    EXPECT_EQ(test::slurp(dir.file("tree.mtl")), expected_mtl.text);
    EXPECT_EQ(dir.entries(), 2u);

    dir.write("tree.obj", "old obj");
    dir.write("tree.mtl", "old mtl");
    write_obj_files(l, dir.file("tree.obj"));
    EXPECT_EQ(test::slurp(dir.file("tree.obj")), expected.text);
    EXPECT_EQ(test::slurp(dir.file("tree.mtl")), expected_mtl.text);
    EXPECT_EQ(dir.entries(), 2u);

    // The OBJ cannot replace a non-empty directory: the new
    // library is taken back out.
    std::filesystem::create_directory(dir.file("dir.obj"));
    dir.write("dir.obj/inside", "x");
    EXPECT_THROW(write_obj_files(l, dir.file("dir.obj")), io_error);
    EXPECT_FALSE(std::filesystem::exists(dir.file("dir.mtl")));
    EXPECT_EQ(dir.entries(), 3u);

    // ... and an old library is put back as it was.
    dir.write("dir.mtl", "old mtl");
    EXPECT_THROW(write_obj_files(l, dir.file("dir.obj")), io_error);
    EXPECT_EQ(test::slurp(dir.file("dir.mtl")), "old mtl");
    EXPECT_EQ(dir.entries(), 4u);

    // The library fails: the OBJ is not written, an old one stays.
    std::filesystem::create_directory(dir.file("lib.mtl"));
    dir.write("lib.mtl/inside", "x");
    EXPECT_THROW(write_obj_files(l, dir.file("lib.obj")), io_error);
    EXPECT_FALSE(std::filesystem::exists(dir.file("lib.obj")));
    dir.write("lib.obj", "old obj");
    EXPECT_THROW(write_obj_files(l, dir.file("lib.obj")), io_error);
    EXPECT_EQ(test::slurp(dir.file("lib.obj")), "old obj");
    EXPECT_EQ(dir.entries(), 6u);  // tree pair, dir.obj, dir.mtl, lib.mtl, lib.obj
}

}  // namespace
}  // namespace sf::formats
