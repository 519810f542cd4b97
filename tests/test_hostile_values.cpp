// Settings, crowns and presets that would make a tree of non-finite numbers
// or one too large for memory: refused with one line, nothing written.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>

#include "app/preset_file.h"
#include "scratch_dir.h"

namespace sf::app {
namespace {

struct Hostile : test::program_test {
    // Exit 2, one line on standard error holding `text`, and the earlier
    // t.obj untouched with nothing else written.
    void expect_refused(const std::string& args, const std::string& text) {
        dir.write("t.obj", "older\n");
        dir.write("out.txt", "");
        dir.write("err.txt", "");
        const std::size_t entries = dir.entries();
        EXPECT_EQ(run(args), 2) << args;
        const std::string e = err();
        EXPECT_EQ(std::count(e.begin(), e.end(), '\n'), 1) << args << "\n" << e;
        EXPECT_NE(e.find(text), std::string::npos) << args << "\n" << e;
        EXPECT_EQ(file("t.obj"), "older\n") << args;
        EXPECT_EQ(dir.entries(), entries) << args;
        EXPECT_EQ(out(), "");
    }
};

TEST_F(Hostile, NonFiniteTreesAreNotWrittenAndTheSettingIsNamed) {
    // Such values are taken (beyond a slider with a note); the tree they
    // make is refused before anything is written.
    struct hostile_case {
        const char* set;
        const char* why;
    };
    for (const hostile_case& c : {hostile_case{"--set branch_tip_jitter=1e300", "non-finite"},
                                  hostile_case{"--set branch_bend_end=1e300", "non-finite"},
                                  hostile_case{"--set normals_influence=1e300", "non-finite"},
                                  hostile_case{"--set render_type=1 --set branch_thickness=1e-320", "non-finite"},
                                  // Tubes and roots of non-finite nodes (their ring once read out of bounds).
                                  hostile_case{"--set render_type=1 --set branch_tip_jitter=1e300", "non-finite"}}) {
        const std::string set = c.set;
        const std::string args = "build " + set + " -o t.obj -o t.glb -o t.lwo -o t.edits --preview t.png";
        const std::string last = set.substr(set.rfind(' ') + 1);
        expect_refused(args, c.why);
        expect_refused(args, last.substr(0, last.find('=')));
    }
    // A large but harmless value builds.
    ASSERT_EQ(run("build --set branch_tip_jitter=1e3 -o t.obj"), 0) << err();
}

TEST_F(Hostile, CrownFarFromTheOriginIsRefused) {
    std::string obj;
    for (int i = 0; i < 8; ++i)
        for (int j = 0; j < 8; ++j) {
            const double t = 3.14159 * (i + 0.5) / 8, p = 2 * 3.14159 * j / 8;
            obj += "v " + std::to_string(2e155 * std::sin(t) * std::cos(p)) + " " +
                   std::to_string(3.75e155 + 2.25e155 * std::cos(t)) + " " +
                   std::to_string(2e155 * std::sin(t) * std::sin(p)) + "\n";
        }
    for (int i = 0; i < 7; ++i)
        for (int j = 0; j < 8; ++j) {
            const int a = i * 8 + j + 1, b = i * 8 + (j + 1) % 8 + 1;
            obj += "f " + std::to_string(a) + " " + std::to_string(a + 8) + " " + std::to_string(b + 8) + " " +
                   std::to_string(b) + "\n";
        }
    dir.write("huge.obj", obj);
    expect_refused("build --crown huge.obj -o t.obj -o t.glb", "crown");
}

TEST_F(Hostile, TreeOverTheMemoryBudgetStopsWithOneLine) {
    // The layers grow past the budget while the tool writes them.
    expect_refused("build --set branches=300 --set render_type=1 --set twig_type=1 --set leaf_shape=2 "
                   "-o t.obj -o t.glb --max-memory 16M",
                   "budget of 16 MiB");
    // Subdivision is refused before it refines.
    expect_refused("build --set branches=600 --set render_type=2 --subdivide 3 -o t.obj --max-memory 64M",
                   "budget of 64 MiB");
    expect_refused("build -o t.obj --max-memory 12x", "--max-memory 12x");
    expect_refused("build -o t.obj --max-memory 512", "--max-memory 512");
    ASSERT_EQ(run("build -o t.obj --max-memory 64M"), 0) << err();
}

// The tool's information message becomes part of the one error line; a
// stored-as note is for a build that succeeds; nothing reaches stdout.
TEST_F(Hostile, CrownWithoutFacesIsOneLine) {
    dir.write("lines.obj", "v 0 0 0\nv 1 0 0\nv 0 1 0\nl 1 2 3\n");
    expect_refused("build --set branches=1 --crown lines.obj -o t.obj -o t.edits -o -",
                   "Need something in BG Layer: Need some polygons in the background layer. SubD needs to be "
                   "converted to polygons.");
}

TEST_F(Hostile, UsageErrorsAreOneLine) {
    for (const char* args : {"build --bogus -o t.obj", "build --subdivide 9 -o t.obj", "build -o",
                             "build --crown-up x -o t.obj", "build --set branches=1 --set bias=nan -o t.obj"})
        expect_refused(args, "sylvaform: ");
}

// A float item changed to NaN or an infinity, with the checksum made right.
std::string with_item(std::string bytes, std::size_t item, std::uint32_t bits) {
    const std::uint32_t name_length = std::uint8_t(bytes[12]);
    const std::size_t at = 16 + name_length + 4 + item * 5;
    EXPECT_EQ(bytes[at], 'F');
    for (int k = 0; k < 4; ++k) bytes[at + 1 + std::size_t(k)] = static_cast<char>((bits >> (8 * k)) & 0xFF);
    const std::size_t body = bytes.size() - 4;
    const std::uint32_t crc = crc32(std::string_view(bytes).substr(0, body));
    for (int k = 0; k < 4; ++k) bytes[body + std::size_t(k)] = static_cast<char>((crc >> (8 * k)) & 0xFF);
    return bytes;
}

TEST_F(Hostile, PresetWithNonFiniteFloatsIsRefusedOnLoading) {
    ASSERT_EQ(run("preset add p --shelf sh"), 0) << err();
    const std::string good = file("sh/p.sfpreset");
    // Items 3 (branch crookedness) and 18 (tip jitter) are floats.
    for (const std::size_t item : {std::size_t(2), std::size_t(17)})
        for (const std::uint32_t bits : {0x7FC00000u, 0xFFC00001u, 0x7F800000u, 0xFF800000u}) {
            dir.write("sh/p.sfpreset", with_item(good, item, bits));
            expect_refused("build --preset p --shelf sh -o t.obj", "not a finite number");
            expect_refused("panel --preset p --shelf sh", "not a finite number");
        }
    // The largest finite float is still a preset value.
    dir.write("sh/p.sfpreset", with_item(good, 2, 0x7F7FFFFFu));
    EXPECT_NO_THROW(decode_preset(file("sh/p.sfpreset"), "p"));

    // Saving refuses what loading would.
    expect_refused("preset add q --shelf sh --set branch_tip_jitter=1e300", "beyond the 32-bit float range");
    EXPECT_FALSE(exists("sh/q.sfpreset"));
}

}  // namespace
}  // namespace sf::app
