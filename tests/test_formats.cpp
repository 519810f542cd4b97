// File formats: the OBJ crown reader, the OBJ and edit-log writers, and
// atomic file output.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "formats/edit_log.h"
#include "formats/file_io.h"
#include "formats/obj_reader.h"
#include "formats/obj_writer.h"
#include "scratch_dir.h"

namespace sf::formats {
namespace {

std::vector<std::vector<index_t>> polygons(const mesh_layer& l) {
    std::vector<std::vector<index_t>> out;
    for (index_t p = 0; p < l.polygon_count(); ++p) {
        const auto pts = l.polygon_points(p);
        out.emplace_back(pts.begin(), pts.end());
    }
    return out;
}

std::string obj_error(const std::string& text) {
    mesh_layer l;
    try {
        read_obj_text(text, "crown.obj", l);
    } catch (const io_error& e) {
        EXPECT_EQ(l.point_count(), 0u);
        return e.what();
    }
    return "no error";
}

TEST(ObjReader, FaceFormsNegativeIndicesAndLines) {
    const std::string text =
        "# a crown\r\n"
        "mtllib crown.mtl\n"
        "o crown\n"
        "v 0 0 0\n"
        "v 1 0 0 1.0\n"
        "v\t1 1 0\r\n"
        "v +0 1e0 -0.5\n"
        "vt 0 0\n"
        "vn 0 0 1\n"
        "g side\n"
        "usemtl bark\n"
        "s off\n"
        "\n"
        "f 1 2 3\n"
        "f 1/1 2/1 3/1 4/1   # textured\n"
        "f 4/1/1 3/1/1 2/1/1\n"
        "f 1//1 3//1 4//1\n"
        "f -4 -3 -1\n"
        "v 2 2 2\n"
        "f -1 1\n"
        "l 1 2 3 5\n"
        "f 5\n";
    mesh_layer l;
    read_obj_text(text, "crown.obj", l);
    ASSERT_EQ(l.point_count(), 5u);
    EXPECT_EQ(l.point(3)[1], 1.0);
    EXPECT_EQ(l.point(3)[2], -0.5);
    const std::vector<std::vector<index_t>> expected{
        {0, 1, 2}, {0, 1, 2, 3}, {3, 2, 1}, {0, 2, 3}, {0, 1, 3}, {4, 0},
        {0, 1},    {1, 2},       {2, 4},    {4}};
    EXPECT_EQ(polygons(l), expected);
    for (index_t p = 0; p < l.polygon_count(); ++p) {
        EXPECT_EQ(l.polygon_type(p), LWPOLTYPE_FACE);
        EXPECT_EQ(l.polygon_surface(p), k_none);
    }
}

TEST(ObjReader, NoFacesIsNotAnError) {
    mesh_layer l;
    read_obj_text("", "empty.obj", l);
    read_obj_text("# nothing\nv 1 2 3\n", "points.obj", l);
    EXPECT_EQ(l.point_count(), 1u);
    EXPECT_EQ(l.polygon_count(), 0u);
}

TEST(ObjReader, ErrorsNameFileAndLine) {
    const std::string tri = "v 0 0 0\nv 1 0 0\nv 0 1 0\n";
    EXPECT_EQ(obj_error(tri + "f 1 2 40\n"), "crown.obj:4: face index 40 out of range");
    EXPECT_EQ(obj_error(tri + "f 0 1 2\n"), "crown.obj:4: face index 0 out of range");
    EXPECT_EQ(obj_error(tri + "f -4 1 2\n"), "crown.obj:4: face index -4 out of range");
    EXPECT_EQ(obj_error(tri + "f 1 2 3 99999999999999999999\n"),
              "crown.obj:4: face index 99999999999999999999 out of range");
    EXPECT_EQ(obj_error(tri + "l 1 4\n"), "crown.obj:4: line index 4 out of range");
    EXPECT_EQ(obj_error("f 1 2 3\n"), "crown.obj:1: face index 1 out of range");
    EXPECT_EQ(obj_error(tri + "f 1 2 x\n"), "crown.obj:4: malformed face index 'x'");
    EXPECT_EQ(obj_error(tri + "f 1 2 3/a\n"), "crown.obj:4: malformed face index '3/a'");
    EXPECT_EQ(obj_error(tri + "f 1 2 3/1/1/1\n"), "crown.obj:4: malformed face index '3/1/1/1'");
    EXPECT_EQ(obj_error(tri + "f 1 2 3.0\n"), "crown.obj:4: malformed face index '3.0'");
    EXPECT_EQ(obj_error(tri + "f\n"), "crown.obj:4: face without points");
    EXPECT_EQ(obj_error("v 0 0\n"), "crown.obj:1: vertex needs 3 coordinates");
    EXPECT_EQ(obj_error("\n\nv 0 nan 0\n"), "crown.obj:3: non-finite coordinate 'nan'");
    EXPECT_EQ(obj_error("v 0 0 -inf\n"), "crown.obj:1: non-finite coordinate '-inf'");
    EXPECT_EQ(obj_error("v 0 0 1e999\n"), "crown.obj:1: non-finite coordinate '1e999'");
    EXPECT_EQ(obj_error("v 0 0 1.0.0\n"), "crown.obj:1: malformed number '1.0.0'");
    EXPECT_EQ(obj_error("v 0 0 0x10\n"), "crown.obj:1: malformed number '0x10'");
    EXPECT_EQ(obj_error("v 0 0 --1\n"), "crown.obj:1: malformed number '--1'");
}

TEST(ObjReader, UnreadableFiles) {
    test::scratch_dir dir;
    mesh_layer l;
    const std::string missing = dir.file("missing.obj");
    EXPECT_THROW(
        try { read_obj(missing, l); } catch (const io_error& e) {
            EXPECT_EQ(std::string(e.what()), missing + ": cannot open: No such file or directory");
            throw;
        },
        io_error);
    EXPECT_THROW(read_obj(dir.path.string(), l), io_error);  // a directory

    read_obj(dir.write("tri.obj", "v 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 3\n"), l);
    EXPECT_EQ(l.polygon_count(), 1u);
}

TEST(ObjWriter, PointsThenPolygonsOneBased) {
    mesh_layer l;
    l.add_point(0.1, -2, 1e-300);
    l.add_point(1, 2, 3);
    l.add_point(0.5, 0.25, 1.0 / 3.0);
    const index_t f[3] = {2, 1, 0}, s[2] = {0, 2}, p[1] = {1};
    l.add_polygon(LWPOLTYPE_FACE, k_none, f);
    l.add_polygon(LWPOLTYPE_FACE, k_none, s);
    l.add_polygon(LWPOLTYPE_PTCH, k_none, p);
    string_sink out;
    write_obj(l, out);
    EXPECT_EQ(out.text,
              "# sylvaform\n"
              "v 0.1 -2 1e-300\n"
              "v 1 2 3\n"
              "v 0.5 0.25 0.3333333333333333\n"
              "f 3 2 1\n"
              "l 1 3\n"
              "p 2\n");

    mesh_layer back;
    read_obj_text(out.text, "out.obj", back);
    EXPECT_EQ(back.point(2)[2], 1.0 / 3.0);
    EXPECT_EQ(polygons(back), (std::vector<std::vector<index_t>>{{2, 1, 0}, {0, 2}}));
}

// A layer with every kind of record, including names that need escapes.
mesh_layer sample_layer() {
    mesh_layer l;
    l.add_point(0.1, 1.0 / 3.0, -0.0);
    l.add_point(1e300, 5e-324, 2);
    const index_t f[2] = {0, 1};
    l.add_polygon(LWPOLTYPE_FACE, l.strings().intern("Bark"), f);
    l.add_polygon(LWPOLTYPE_PTCH, k_none, f);
    l.add_polygon(LWPOLTYPE_FACE, l.strings().intern("-"), f);
    l.add_polygon(LWPOLTYPE_FACE, l.strings().intern("Leaf 50%"), f);
    l.add_tag(1, LWPTAG_COLR, l.strings().intern("0.5 1 0%\n"));
    const float w = 0.1f, uv[2] = {1.0f / 3.0f, 16777216.0f};
    l.add_value(1, k_none, l.find_or_add_map(LWVMAP_WGHT, "Thick ness", 1), &w);
    l.add_value(0, 1, l.find_or_add_map(LWVMAP_TXUV, "UV", 2), uv);
    l.add_point(-1, -2, -3);
    return l;
}

TEST(EditLog, FormatsEveryRecordInCallOrder) {
    string_sink out;
    write_edit_log(sample_layer(), out);
    EXPECT_EQ(out.text,
              "# sylvaform edit log 1\n"
              "point 0 0.1 0.3333333333333333 -0\n"
              "point 1 1e+300 5e-324 2\n"
              "poly 0 FACE Bark 0 1\n"
              "poly 1 PTCH - 0 1\n"
              "poly 2 FACE %2D 0 1\n"
              "poly 3 FACE Leaf%2050%25 0 1\n"
              "tag 1 COLR 0.5 1 0%25%0A\n"
              "vmap 1 WGHT Thick%20ness 0.1\n"
              "vmad 0 1 TXUV UV 0.33333334 16777216\n"
              "point 2 -1 -2 -3\n");
}

TEST(EditLog, ReadsBackToTheExactBits) {
    // Random bit patterns of every magnitude, written and read back.
    std::mt19937_64 rng(12345);
    mesh_layer l = sample_layer();
    const index_t map = l.find_or_add_map(LWVMAP_TXUV, "UV", 2);
    for (int i = 0; i < 2000; ++i) {
        double d[3];
        for (double& x : d) {
            do x = std::bit_cast<double>(rng());
            while (!std::isfinite(x));
        }
        const index_t p = l.add_point(d[0], d[1], d[2]);
        float v[2];
        for (float& x : v) {
            do x = std::bit_cast<float>(static_cast<std::uint32_t>(rng()));
            while (!std::isfinite(x));
        }
        l.add_value(p, k_none, map, v);
    }
    string_sink first;
    write_edit_log(l, first);

    mesh_layer back;
    read_edit_log(first.text, "log", back);
    ASSERT_EQ(back.point_count(), l.point_count());
    for (index_t i = 0; i < l.point_count(); ++i)
        for (int k = 0; k < 3; ++k)
            ASSERT_EQ(std::bit_cast<std::uint64_t>(back.point(i)[k]), std::bit_cast<std::uint64_t>(l.point(i)[k]));
    ASSERT_EQ(back.point_values().size(), l.point_values().size());
    for (std::size_t i = 0; i < l.point_values().size(); ++i)
        for (std::size_t k = 0; k < 2 && k < l.values(l.point_values()[i]).size(); ++k)
            ASSERT_EQ(std::bit_cast<std::uint32_t>(back.values(back.point_values()[i])[k]),
                      std::bit_cast<std::uint32_t>(l.values(l.point_values()[i])[k]));
    EXPECT_EQ(back.strings().view(back.polygon_surface(2)), "-");
    EXPECT_EQ(back.strings().view(back.tags()[0].text), "0.5 1 0%\n");

    string_sink second;
    write_edit_log(back, second);
    EXPECT_EQ(second.text, first.text);
}

TEST(EditLog, RejectsMalformedLogs) {
    auto error = [](const std::string& body) -> std::string {
        mesh_layer l;
        try {
            read_edit_log("# sylvaform edit log 1\n" + body, "a.edits", l);
        } catch (const io_error& e) {
            return e.what();
        }
        return "no error";
    };
    EXPECT_EQ(error("point 0 1 2 3\n"), "no error");
    EXPECT_EQ(error("point 1 1 2 3\n"), "a.edits:2: point id out of order");
    EXPECT_EQ(error("point 0 1 2\n"), "a.edits:2: malformed number ''");
    EXPECT_EQ(error("point 0 1 2 3\npoly 0 FACE - 0 1\n"), "a.edits:3: unknown point 1");
    EXPECT_EQ(error("point 0 1 2 3\nvmap 0 WGHT w 0.5\nvmap 0 WGHT w 1 2\n"),
              "a.edits:4: map entry with a different number of values");
    EXPECT_EQ(error("point 0 1 2 3"), "a.edits:2: missing end of line");
    EXPECT_EQ(error("pt 0\n"), "a.edits:2: unknown entry 'pt'");
}

TEST(AtomicFile, WholeOrNothing) {
    test::scratch_dir dir;
    const std::string target = dir.write("out.obj", "old");

    {  // abandoned half way: the old file stays, no temporary is left
        atomic_file f(target);
        f.write("new, but never committed");
    }
    EXPECT_EQ(test::slurp(target), "old");
    EXPECT_EQ(dir.entries(), 1u);

    write_file_atomic(target, "new");
    EXPECT_EQ(test::slurp(target), "new");
    EXPECT_EQ(dir.entries(), 1u);

    // The rename fails onto a non-empty directory: reported, nothing left behind.
    std::filesystem::create_directory(dir.file("taken.obj"));
    dir.write("taken.obj/inside", "x");
    EXPECT_THROW(write_file_atomic(dir.file("taken.obj"), "data"), io_error);
    EXPECT_TRUE(std::filesystem::is_directory(dir.file("taken.obj")));
    EXPECT_EQ(dir.entries(), 2u);

    EXPECT_THROW(write_file_atomic(dir.file("no/such/dir.obj"), "data"), io_error);
    EXPECT_THROW(write_file_atomic(dir.file("") + "/", "data"), io_error);
}

TEST(TextBuffer, SmallBlocksGiveTheSameText) {
    string_sink big, small;
    const mesh_layer l = sample_layer();
    write_edit_log(l, big);
    text_buffer out(small, 1);  // rounded up to the smallest block
    for (int i = 0; i < 20; ++i) {
        out.put(big.text);
        out.put_double(-1.5e-7);
        out.put(' ');
        out.put_float(3.0e38f);
        out.put_int(-42);
        out.put_uint(18446744073709551615u);
    }
    out.flush();
    std::string expected;
    for (int i = 0; i < 20; ++i) expected += big.text + "-1.5e-07 3e+38-4218446744073709551615";
    EXPECT_EQ(small.text, expected);
}

}  // namespace
}  // namespace sf::formats
