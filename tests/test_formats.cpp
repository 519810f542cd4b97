// File formats: the OBJ crown reader, the edit-log writer and reader, and
// atomic file output.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <map>
#include <set>
#include <random>
#include <vector>

#include "formats/edit_log.h"
#include "formats/file_io.h"
#include "formats/obj_reader.h"
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

// The message of the io_error that f throws, or "no error".
template <class F>
std::string error_of(F f) {
    try {
        f();
    } catch (const io_error& e) {
        return e.what();
    }
    return "no error";
}

std::string obj_error(const std::string& text) {
    mesh_layer l;
    const std::string e = error_of([&] { read_obj_text(text, "crown.obj", l); });
    EXPECT_EQ(l.point_count(), 0u);  // a failed read leaves the layer empty
    return e;
}

TEST(ObjReader, FaceFormsNegativeIndicesAndLines) {
    const std::string text =
        "# a crown\r\n"
        "mtllib crown.mtl\n"
        "v 0 0 0\n"
        "v 1 0 0 1.0\n"
        "v\t1 1 0\r\n"
        "v +0 1e0 -0.5\n"
        "vt 0 0\n"
        "vn 0 0 1\n"
        "usemtl bark\n"
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

TEST(ObjReader, ErrorsNameFileAndLine) {
    const std::string tri = "v 0 0 0\nv 1 0 0\nv 0 1 0\n";
    const char* const cases[][2] = {
        {"f 1 2 40\n", "crown.obj:4: face index 40 out of range"},
        {"f 0 1 2\n", "crown.obj:4: face index 0 out of range"},
        {"f -4 1 2\n", "crown.obj:4: face index -4 out of range"},
        {"f 1 2 3 99999999999999999999\n", "crown.obj:4: face index 99999999999999999999 out of range"},
        {"l 1 4\n", "crown.obj:4: line index 4 out of range"},
        {"f 1 2 3/a\n", "crown.obj:4: malformed face index '3/a'"},
        {"f 1 2 3/1/1/1\n", "crown.obj:4: malformed face index '3/1/1/1'"},
        {"f\n", "crown.obj:4: face without points"},
    };
    for (const auto& c : cases) EXPECT_EQ(obj_error(tri + c[0]), c[1]);
    EXPECT_EQ(obj_error("v 0 0\n"), "crown.obj:1: vertex needs 3 coordinates");
    EXPECT_EQ(obj_error("\n\nv 0 nan 0\n"), "crown.obj:3: non-finite coordinate 'nan'");
    EXPECT_EQ(obj_error("v 0 0 1e999\n"), "crown.obj:1: non-finite coordinate '1e999'");
    EXPECT_EQ(obj_error("v 0 0 0x10\n"), "crown.obj:1: malformed number '0x10'");
    // No faces at all is not an error.
    mesh_layer l;
    read_obj_text("", "empty.obj", l);
    read_obj_text("# nothing\nv 1 2 3\n", "points.obj", l);
    EXPECT_EQ(l.point_count(), 1u);
    EXPECT_EQ(l.polygon_count(), 0u);
}

TEST(ObjReader, UnreadableFiles) {
    test::scratch_dir dir;
    mesh_layer l;
    const std::string missing = dir.file("missing.obj");
    EXPECT_EQ(error_of([&] { read_obj(missing, l); }), missing + ": cannot open: No such file or directory");
    EXPECT_THROW(read_obj(dir.path.string(), l), io_error);  // a directory

    read_obj(dir.write("tri.obj", "v 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 3\n"), l);
    EXPECT_EQ(l.polygon_count(), 1u);
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
    // Random finite bit patterns of every magnitude, written and read back.
    std::mt19937_64 rng(12345);
    mesh_layer l = sample_layer();
    const index_t map = l.find_or_add_map(LWVMAP_TXUV, "UV", 2);
    std::vector<double> d;
    std::vector<float> f;
    while (d.size() < 6000) {
        const double x = std::bit_cast<double>(rng());
        const float y = std::bit_cast<float>(static_cast<std::uint32_t>(rng()));
        if (std::isfinite(x)) d.push_back(x);
        if (std::isfinite(y) && f.size() < d.size() * 2 / 3) f.push_back(y);
    }
    for (std::size_t i = 0; i < 2000; ++i)
        l.add_value(l.add_point(d[3 * i], d[3 * i + 1], d[3 * i + 2]), k_none, map, &f[2 * i]);
    string_sink first, second;
    write_edit_log(l, first);
    mesh_layer back;
    read_edit_log(first.text, "log", back);
    const auto xyz = l.point_coordinates(), back_xyz = back.point_coordinates();
    ASSERT_EQ(back_xyz.size(), xyz.size());
    EXPECT_EQ(std::memcmp(back_xyz.data(), xyz.data(), xyz.size() * sizeof(double)), 0);
    ASSERT_EQ(back.point_values().size(), l.point_values().size());
    for (std::size_t i = 0; i < l.point_values().size(); ++i) {
        const value_record ra = l.point_values()[i], rb = back.point_values()[i];
        const auto a = l.values(ra), b = back.values(rb);
        ASSERT_EQ(std::memcmp(a.data(), b.data(), a.size() * sizeof(float)), 0) << i;
    }
    EXPECT_EQ(back.strings().view(back.polygon_surface(2)), "-");
    EXPECT_EQ(back.strings().view(back.tags()[0].text), "0.5 1 0%\n");
    write_edit_log(back, second);
    EXPECT_EQ(second.text, first.text);
}

TEST(EditLog, RejectsMalformedLogs) {
    auto error = [](const std::string& body) {
        mesh_layer l;
        return error_of([&] { read_edit_log("# sylvaform edit log 1\n" + body, "a.edits", l); });
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
    // Nor is a FIFO (or device, or socket) replaced, even when it appeared
    // after the writer's checks.
    ASSERT_EQ(::mkfifo(dir.file("pipe.obj").c_str(), 0600), 0);
    EXPECT_THROW(write_file_atomic(dir.file("pipe.obj"), "data"), io_error);
    EXPECT_EQ(std::filesystem::symlink_status(dir.file("pipe.obj")).type(), std::filesystem::file_type::fifo);
    EXPECT_EQ(dir.entries(), 3u);

    EXPECT_THROW(write_file_atomic(dir.file("no/such/dir.obj"), "data"), io_error);
    EXPECT_THROW(write_file_atomic(dir.file("") + "/", "data"), io_error);
}

// Names in the directory, sorted, with the contents of regular files.
std::map<std::string, std::string> listing(const test::scratch_dir& dir) {
    std::map<std::string, std::string> out;
    for (const auto& e : std::filesystem::directory_iterator(dir.path))
        out[e.path().filename().string()] = e.is_regular_file() ? test::slurp(e.path().string()) : "<dir>";
    return out;
}

// Both ways of holding the bytes until commit: an unnamed file, and a named
// temporary where the file system has no unnamed files.
class FileSet : public ::testing::TestWithParam<bool> {
    void SetUp() override { use_unnamed_temporaries(GetParam()); }
    void TearDown() override { use_unnamed_temporaries(true); }
};

TEST_P(FileSet, AllOrNone) {
    test::scratch_dir dir;
    dir.write("a.lwo", "old lwo");
    {
        file_set files;
        files.add(dir.file("a.lwo")).write("new lwo");
        files.add(dir.file("b.obj")).write("new obj");
        EXPECT_EQ(listing(dir).size(), GetParam() ? 1u : 3u);  // named temporaries only without O_TMPFILE
        files.commit();
    }
    EXPECT_EQ(listing(dir), (std::map<std::string, std::string>{{"a.lwo", "new lwo"}, {"b.obj", "new obj"}}));

    // The last member cannot take its place (a directory is there): the ones
    // renamed before it are undone, the old files are as they were.
    std::filesystem::create_directory(dir.file("c.glb"));
    dir.write("c.glb/inside", "x");
    const auto before = listing(dir);
    {
        file_set files;
        files.add(dir.file("a.lwo")).write("newer lwo");
        files.add(dir.file("new.edits")).write("log");
        files.add(dir.file("b.obj")).write("newer obj");
        files.add(dir.file("c.glb")).write("glb");
        EXPECT_THROW(files.commit(), io_error);
    }
    EXPECT_EQ(listing(dir), before);

    // Abandoned before commit, or refused for naming a file twice.
    {
        file_set files;
        files.add(dir.file("a.lwo")).write("abandoned");
        EXPECT_THROW(files.add(dir.file("./a.lwo")), io_error);
        EXPECT_THROW(files.add(dir.file("missing/x.obj")), io_error);
    }
    EXPECT_EQ(listing(dir), before);
}

// A writer killed before commit leaves no temporary: there is none with a
// name, or the next writer into the directory removes it.
TEST_P(FileSet, KilledWriterLeavesNothing) {
    test::scratch_dir dir;
    dir.write("tree.obj", "old");
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        file_set files;
        files.add(dir.file("tree.obj")).write(std::string(1 << 20, 'v'));
        files.add(dir.file("tree.mtl")).write("newmtl");
        ::raise(SIGKILL);
        ::_exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(listing(dir).size(), GetParam() ? 1u : 3u);

    write_file_atomic(dir.file("other.edits"), "log");
    EXPECT_EQ(listing(dir),
              (std::map<std::string, std::string>{{"other.edits", "log"}, {"tree.obj", "old"}}));
    // Only what processes that are gone left behind is removed.
    std::filesystem::create_directory(dir.file("sub"));
    const std::string dead = std::to_string(child) + "-3", live = std::to_string(::getppid()) + "-0";
    for (const std::string& name : {".x.obj.tmp" + dead, ".x.obj.old" + dead, ".x.obj.tmp" + live,
                                    ".x.obj.tmp" + dead + "z", "x.obj.tmp" + dead, ".x.obj.old" + dead + "1"})
        dir.write("sub/" + name, "?");
    dir.write("sub/x.obj", "x");
    dir.write("sub/.lost.mtl.old" + dead, "old mtl");  // moved aside; its target is gone
    write_file_atomic(dir.file("sub/y.obj"), "y");
    std::set<std::string> left;
    for (const auto& e : std::filesystem::directory_iterator(dir.file("sub"))) left.insert(e.path().filename());
    EXPECT_EQ(left, (std::set<std::string>{".x.obj.tmp" + live, ".x.obj.tmp" + dead + "z", "x.obj.tmp" + dead,
                                           "x.obj", "y.obj", "lost.mtl"}));
    EXPECT_EQ(test::slurp(dir.file("sub/lost.mtl")), "old mtl");
}

INSTANTIATE_TEST_SUITE_P(Temporaries, FileSet, ::testing::Values(true, false),
                         [](const auto& info) { return info.param ? "Unnamed" : "Named"; });

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
