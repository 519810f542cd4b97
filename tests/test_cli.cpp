// The sylvaform command: --set values, output names, and whole runs of the
// program.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <numbers>
#include <string>

#include "app/command.h"
#include "app/settings_args.h"
#include "formats/edit_log.h"
#include "formats/obj_reader.h"
#include "formats/printable.h"
#include "scratch_dir.h"

namespace sf::app {
namespace {

// Each assignment becomes the value the panel's set callback reads: int32,
// double in the record's units, or one byte.
TEST(SetArgs, ValuesAsThePanelTypesThem) {
    EXPECT_EQ(parse_setting("branches=300").i, 300);
    EXPECT_EQ(parse_setting("random_seed=-2147483648").i, INT32_MIN);
    EXPECT_EQ(parse_setting("render_type=2").i, 2);
    EXPECT_EQ(parse_setting("min_angle=0.25").d, 0.25);
    const panel_setting deg = parse_setting("branch_crookedness=12deg");
    EXPECT_EQ(deg.d, 12.0 * std::numbers::pi / 180.0);
    EXPECT_EQ(deg.form, value_form::degrees);
    EXPECT_EQ(parse_setting("tree_center=40%").d, 0.4);
    EXPECT_EQ(parse_setting("branch_thickness=1e-2").d, 0.01);
    panel_setting off = parse_setting("assign_range_weight_map=false");
    EXPECT_EQ(*static_cast<unsigned char*>(off.value()), 0);
    panel_setting on = parse_setting("assign_thick_weight_map=1");
    EXPECT_EQ(*static_cast<unsigned char*>(on.value()), 1);
    EXPECT_EQ(on.field->id, 0x801Cu);
}

TEST(SetArgs, RejectsBadValues) {
    for (const char* bad :
         {"branches", "branches=", "branches=1.5", "branches=2147483648", "branches= 3", "branches=3 ",
          "branches=+3", "branches=0x10", "bias=nan", "bias=inf", "bias=1e999", "bias=1,5", "bias=12deg",
          "tree_center=40%%", "min_angle=40%", "min_angle=deg", "min_angle=1e308deg",
          "assign_range_weight_map=yes", "assign_range_weight_map=2", "hidden=1", "=3"}) {
        EXPECT_THROW(parse_setting(bad), usage_error) << bad;
    }
    // Fields no panel id names are stored only by presets.
    for (const char* preset_only :
         {"spare_count=1", "variable_spacing=1", "spare_switch_a=1", "spare_switch_b=0", "spare_count_b=2"}) {
        try {
            parse_setting(preset_only);
            ADD_FAILURE() << "accepted " << preset_only;
        } catch (const usage_error& e) {
            EXPECT_NE(std::string(e.what()).find("only presets set it"), std::string::npos) << e.what();
        }
    }
}

TEST(SetArgs, UnknownFieldListsTheValidNames) {
    try {
        parse_setting("brnaches=3");
        FAIL() << "accepted an unknown field";
    } catch (const usage_error& e) {
        const std::string m = e.what();
        EXPECT_NE(m.find("'brnaches'"), std::string::npos);
        for (const field_desc& f : field_table())
            EXPECT_EQ(m.find(std::string(f.name) + ",") != std::string::npos || m.ends_with(f.name), f.id != 0)
                << f.name;
        EXPECT_EQ(m.find('\n'), std::string::npos);
    }
}

// A stored value is shown in the form it was asked for.
TEST(SetArgs, StoredValueInTheAskedForm) {
    const panel_setting angle = parse_setting("min_angle=-10deg");
    const double stored_angle = 10.0 * std::numbers::pi / 180.0;
    EXPECT_TRUE(stored_differs(angle, &stored_angle));
    EXPECT_EQ(format_stored(angle, &stored_angle), "10deg");
    const panel_setting bias = parse_setting("bias=0");
    const double stored_bias = 0.1;
    EXPECT_EQ(format_stored(bias, &stored_bias), "0.1");
    const panel_setting pct = parse_setting("branch_end_split=150%");
    const double one = 1.0;
    EXPECT_EQ(format_stored(pct, &one), "100%");
    const panel_setting n = parse_setting("branches=7");
    const std::int32_t seven = 7;
    EXPECT_FALSE(stored_differs(n, &seven));
}

TEST(Outputs, KindByExtension) {
    EXPECT_EQ(classify_output("-").kind, output_kind::edit_log_stdout);
    EXPECT_EQ(classify_output("tree.obj").kind, output_kind::obj);
    EXPECT_EQ(classify_output("dir.x/TREE.OBJ").kind, output_kind::obj);
    EXPECT_EQ(classify_output("a.b.edits").kind, output_kind::edit_log);
    for (const char* bad : {"tree", "tree.txt", ".obj", "dir/.edits", "tree.obj.bak", "--"})
        EXPECT_THROW(classify_output(bad), usage_error) << bad;
}

using Program = test::program_test;

TEST_F(Program, DefaultCrownBuildsTheSameFilesEveryTime) {
    ASSERT_EQ(run("build -o a.edits -o a.obj"), 0) << err();
    ASSERT_EQ(run("build -o b.edits --set random_seed=30 -o -"), 0) << err();
    const std::string log = test::slurp(dir.file("a.edits"));
    EXPECT_EQ(test::slurp(dir.file("b.edits")), log);
    EXPECT_EQ(out(), log);  // stdout carries the log and nothing else

    formats::mesh_layer from_log, from_obj;
    formats::read_edit_log(log, "a.edits", from_log);
    formats::read_obj(dir.file("a.obj"), from_obj);
    EXPECT_GT(from_log.point_count(), 0u);
    EXPECT_EQ(from_obj.point_count(), from_log.point_count());
    EXPECT_EQ(from_obj.polygon_count(), from_log.polygon_count());

    ASSERT_EQ(run("build -o c.edits --set random_seed=7"), 0) << err();
    EXPECT_NE(test::slurp(dir.file("c.edits")), log);
}

// Several outputs are one set: a failure in any of them (here the file size
// limit, as a full disk would) leaves none of them and the old files as
// they were; a writer killed half way leaves no temporary behind.
TEST_F(Program, OutputsAreWrittenAllOrNone) {
    dir.write("t.obj", "old obj");
    // The .lwo fits in the limit, the .obj after it does not.
    EXPECT_EQ(run("build -o t.lwo -o t.obj", "ulimit -f 100; trap '' XFSZ; "), 2);
    EXPECT_TRUE(err_has("cannot write t.obj")) << err();
    EXPECT_FALSE(exists("t.lwo"));
    EXPECT_FALSE(exists("t.mtl"));
    EXPECT_EQ(file("t.obj"), "old obj");
    EXPECT_EQ(dir.entries(), 3u);  // t.obj, out.txt, err.txt

    EXPECT_NE(run("build -o t.lwo -o t.obj", "ulimit -f 100; "), 0);  // killed by SIGXFSZ
    EXPECT_EQ(file("t.obj"), "old obj");
    EXPECT_EQ(dir.entries(), 3u);

    ASSERT_EQ(run("build -o t.lwo -o t.obj -o t.edits"), 0) << err();
    EXPECT_NE(file("t.obj"), "old obj");
    EXPECT_EQ(dir.entries(), 6u);
}

// Every file a build would write is checked before it is built: a target
// that is not a regular file (a FIFO would block, a device be replaced)
// and two outputs that are one file, by any spelling or link,
// are refused in one line and nothing is written.
TEST_F(Program, OutputTargetsAreCheckedBeforeBuilding) {
    namespace fs = std::filesystem;
    ASSERT_EQ(::mkfifo(dir.file("fifo.obj").c_str(), 0600), 0);
    ASSERT_EQ(::mkfifo(dir.file("side.mtl").c_str(), 0600), 0);
    fs::create_directories(dir.path / "folder.edits");
    fs::create_directories(dir.path / "real");
    fs::create_symlink("real", dir.path / "linkdir");
    fs::create_symlink("fifo.obj", dir.path / "to_fifo.obj");
    const std::size_t before = dir.entries();
    struct case_typ {
        std::string args, message;
    };
    const case_typ cases[] = {
        {"-o fifo.obj", "-o fifo.obj: exists and is a FIFO"},
        {"-o to_fifo.obj", "-o to_fifo.obj: exists and is a FIFO"},
        {"-o side.obj", "-o side.obj: side.mtl exists and is a FIFO"},
        {"-o t.edits --preview t.jpg", "--preview t.jpg: the picture is a PNG file"},
        {"-o folder.edits", "-o folder.edits: exists and is a directory"},
        {"-o u.obj -o ./u.obj", "-o ./u.obj and -o u.obj would write the same file"},
        {"-o u.edits -o x/../u.edits", "would write the same file"},
        {"-o real/z.obj --preview linkdir/z_bark_color.png", "--preview linkdir/z_bark_color.png and -o real/z.obj would write"},
        {"--lod 2 -o l.obj -o l_LOD1.obj", "-o l_LOD1.obj and -o l.obj would write the same file l_LOD1.obj"},
        {"--lod 3 -o l.obj --preview l_leaf_atlas.png", "would write the same file l_leaf_atlas.png"},
    };
    for (const case_typ& c : cases) {
        EXPECT_EQ(run("build " + c.args, "timeout 60 "), 2) << c.args;
        const std::string e = err();
        EXPECT_EQ(std::count(e.begin(), e.end(), '\n'), 1) << c.args << "\n" << e;
        EXPECT_TRUE(err_has(c.message)) << c.args << "\n" << err();
        EXPECT_EQ(dir.entries(), before + 2) << c.args;  // out.txt and err.txt
        EXPECT_TRUE(fs::is_empty(dir.path / "real")) << c.args;
    }
    EXPECT_EQ(fs::symlink_status(dir.path / "fifo.obj").type(), fs::file_type::fifo);

    // A link to a regular file is an output like any other: the link is replaced.
    dir.write("target.edits", "old");
    fs::create_symlink("target.edits", dir.path / "link.edits");
    ASSERT_EQ(run("build --set branches=20 -o link.edits"), 0) << err();
    EXPECT_EQ(fs::symlink_status(dir.path / "link.edits").type(), fs::file_type::regular);
    EXPECT_EQ(file("target.edits"), "old");
}

// Names, paths and values quoted in a message reach the terminal with their
// control characters escaped; UTF-8 text stays readable.
TEST_F(Program, QuotedTextNeverCarriesControlCharacters) {
    EXPECT_EQ(formats::printable("B\xC3\xA4ume \x1b[2J\t\x7f \xC2\x9b \xff\xC3"),
              "B\xC3\xA4ume \\x1b[2J\\x09\\x7f \\xc2\\x9b \\xff\\xc3");
    for (const char* args : {"preset add \"$(printf '\\033[31m%070d' 0)\" --shelf shelf",
                             "preset add \"$(printf '.\\033]0;title\\007')\" --shelf shelf",
                             "build -o \"$(printf 't\\033[2J.txt')\"",
                             "build -o t.edits --set \"$(printf 'branches=\\033[1m')\"",
                             "build --seeds 1-2 -o \"$(printf 't\\033[2J.edits')\""}) {
        EXPECT_EQ(run(args), 2) << args;
        const std::string e = err();
        EXPECT_TRUE(std::none_of(e.begin(), e.end() - 1, [](char c) { return (unsigned char)c < 0x20; })) << e;
        EXPECT_NE(e.find("\\x1b"), std::string::npos) << e;
        EXPECT_EQ(e.back(), '\n');
    }
}

TEST_F(Program, BadInputsAreOneLineErrors) {
    dir.write("bad.obj", "v 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 40\n");
    struct case_typ {
        std::string args, message;
    };
    const case_typ cases[] = {
        {"build --crown bad.obj -o t.obj", "bad.obj:4: face index 40 out of range"},
        {"build --crown missing.obj -o t.obj", "missing.obj: cannot read crown"},
        {"build -o t.obj -o t.txt", "-o t.txt"},
        {"build --set nosuch=1 -o t.obj", "unknown field 'nosuch'"},
        {"build --set branches=many -o t.obj", "--set branches=many"},
        {"build extra -o t.obj", "extra"},
        {"", "subcommand"},
    };
    for (const case_typ& c : cases) {
        EXPECT_EQ(run(c.args), 2) << c.args;
        EXPECT_NE(err().find(c.message), std::string::npos) << c.args << "\n" << err();
        EXPECT_FALSE(exists("t.obj")) << c.args;
        EXPECT_EQ(dir.entries(), 3u) << c.args;  // bad.obj, out.txt, err.txt
    }
    EXPECT_EQ(run("--help"), 0);
    EXPECT_NE(out().find("build"), std::string::npos);
}

}  // namespace
}  // namespace sf::app
