// The program as the host of the plug-in module: loading it through dlopen,
// driving the tool by its callbacks and panel, the presets shelf on disk and
// its files, and the printed panel.
#include <gtest/gtest.h>
#include <png.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <optional>
#include <numbers>
#include <tuple>
#include <span>
#include <string>
#include <vector>

#include "app/default_crown.h"
#include "app/host_services.h"
#include "app/panel_view.h"
#include "app/png_image.h"
#include "app/preset_file.h"
#include "app/panel_model.h"
#include "app/standin_host.h"
#include "app/starter_presets.h"
#include "app/tool_host.h"
#include "core/background.h"
#include "core/branch.h"
#include "formats/edit_log.h"
#include "plugin/build.h"
#include "scratch_dir.h"
#include "ui/presets.h"

namespace sf::app {
namespace {

std::string edit_log(const formats::mesh_layer& layer) {
    formats::string_sink sink;
    formats::write_edit_log(layer, sink);
    return sink.text;
}

std::string shortest(double v) {
    char buf[32];
    return std::string(buf, std::to_chars(buf, buf + sizeof buf, v).ptr);
}

// ---- the module loaded into this process, as the program loads it ----

struct ModuleHost : ::testing::Test {
    void SetUp() override {
        reset_host();
        host().progress_on_terminal = false;
    }
    void TearDown() override { reset_host(); }
};

TEST_F(ModuleHost, BuildsWhatTheLinkedPluginBuilds) {
    plugin_module module(SF_MODULE);
    tool_session session(module);
    EXPECT_NE(session.instance(), static_cast<void*>(&g_settings));  // the module's own record
    EXPECT_EQ(session.panel().title, "Sylvaform 1.7");
    EXPECT_EQ(session.panel().controls.size(), 60u);
    EXPECT_EQ(session.panel().tabs.size(), 4u);

    for (const char* s : {"branches=30", "render_type=1", "twig_type=1", "leaf_shape=2"}) {
        panel_setting p = parse_setting(s);
        EXPECT_EQ(session.apply(p), "") << s;
    }
    standin_host a;
    make_default_crown(a.background());
    MeshEditOp op_a = a.edit_op();
    EXPECT_EQ(session.run_builds(op_a, a.foreground()), 1);
    session.finish();

    // The same settings through the statically linked plug-in.
    settings_typ r;
    reset_to_defaults(r);
    r.branches = 30;
    r.render_type = 1;
    r.twig_type = 1;
    r.leaf_shape = 2;
    r.hidden = 1;
    standin_host b;
    make_default_crown(b.background());
    MeshEditOp op_b = b.edit_op();
    ASSERT_EQ(build_callback(&r, &op_b), nullptr);
    release_branch_table();
    release_background();
    EXPECT_GT(a.foreground().polygon_count(), 0u);
    EXPECT_TRUE(edit_log(a.foreground()) == edit_log(b.foreground()));
}

TEST_F(ModuleHost, RefusedActivation) {
    host().missing_service = "Directory Info";
    plugin_module module(SF_MODULE);
    try {
        tool_session session(module);
        FAIL() << "activated without a service";
    } catch (const host_error& e) {
        EXPECT_STREQ(e.what(), "the tool is missing a host service");
    }
}

// The tool's own stream order, from the linked plug-in's save callback.
std::vector<preset_item> saved_stream(settings_typ& r) {
    std::vector<preset_item> items;
    const auto put_i = [](void* d, const std::int32_t* v, int n) {
        for (int k = 0; k < n; ++k)
            static_cast<std::vector<preset_item>*>(d)->push_back({item_tag::i4, std::uint32_t(v[k])});
        return n;
    };
    const auto put_f = [](void* d, const float* v, int n) {
        for (int k = 0; k < n; ++k) {
            std::uint32_t bits;
            std::memcpy(&bits, &v[k], 4);
            static_cast<std::vector<preset_item>*>(d)->push_back({item_tag::fp, bits});
        }
        return n;
    };
    const LWSaveState save{&items, put_i, put_f};
    preset_save(&r, &save);
    return items;
}

TEST_F(ModuleHost, PresetThatDoesNotFitLeavesTheLiveRecord) {
    settings_typ r;
    reset_to_defaults(r);
    r.branches = 77;
    preset_data good{"p", saved_stream(r), {}};
    ASSERT_EQ(good.items.size(), 63u);

    plugin_module module(SF_MODULE);
    tool_session session(module);
    settings_typ before;
    std::memcpy(&before, session.instance(), sizeof before);

    preset_data short_stream = good;
    short_stream.items.pop_back();
    preset_data wrong_type = good;
    wrong_type.items[39].tag = item_tag::i4;  // tips_thickness is a float
    EXPECT_THROW(session.load_preset(short_stream), host_error);
    EXPECT_EQ(std::memcmp(&before, session.instance(), sizeof before), 0);
    try {
        session.load_preset(wrong_type);
        FAIL() << "loaded a stream of the wrong types";
    } catch (const host_error& e) {
        EXPECT_NE(std::string(e.what()).find("item 40 is not a float"), std::string::npos) << e.what();
    }
    EXPECT_EQ(std::memcmp(&before, session.instance(), sizeof before), 0);

    session.load_preset(good);
    EXPECT_EQ(*static_cast<std::int32_t*>(session.panel().value_address(0x8002)), 77);
}

// The shelf keeps beside the stream exactly the panel controls whose value
// the tool's stream does not carry.
TEST_F(ModuleHost, KeptPanelValuesAreTheControlsTheStreamLacks) {
    plugin_module module(SF_MODULE);
    tool_session session(module);
    settings_typ r;
    reset_to_defaults(r);
    const std::vector<preset_item> base = saved_stream(r);
    std::vector<unsigned> lacking;
    for (const field_desc& f : field_table()) {
        if (f.id == 0 || !session.panel().find_control(f.id)) continue;
        settings_typ changed = r;
        char* at = reinterpret_cast<char*>(&changed) + f.offset;
        if (f.kind == field_kind::real) {
            double v;
            std::memcpy(&v, at, sizeof v);
            v += 0.25;
            std::memcpy(at, &v, sizeof v);
        } else if (f.kind == field_kind::boolean) {
            *at = *at ? 0 : 1;
        } else {
            std::int32_t v;
            std::memcpy(&v, at, sizeof v);
            ++v;
            std::memcpy(at, &v, sizeof v);
        }
        const std::vector<preset_item> items = saved_stream(changed);
        const bool same = std::equal(items.begin(), items.end(), base.begin(), base.end(),
                                     [](const preset_item& a, const preset_item& b) { return a.bits == b.bits; });
        if (same) lacking.push_back(f.id);
    }
    const std::span<const unsigned> kept = kept_panel_controls();
    EXPECT_EQ(lacking, std::vector<unsigned>(kept.begin(), kept.end()));
}

TEST_F(ModuleHost, PanelValuesComeBackThroughTheSetCallback) {
    settings_typ r;
    reset_to_defaults(r);
    const double half = 0.5;
    std::uint64_t bits;
    std::memcpy(&bits, &half, sizeof bits);
    preset_data p{"p", saved_stream(r), {}, {{0x804A, value_tag::f8, bits}}};

    plugin_module module(SF_MODULE);
    tool_session session(module);
    const auto randomness = [&] { return *static_cast<const double*>(session.panel().value_address(0x804A)); };
    session.load_preset(p);
    EXPECT_EQ(randomness(), 0.5);  // exact: the host keeps the double

    // Values the panel cannot take are refused before the stream is loaded.
    settings_typ before;
    std::memcpy(&before, session.instance(), sizeof before);
    const double nan = std::nan("");
    std::uint64_t nan_bits;
    std::memcpy(&nan_bits, &nan, sizeof nan_bits);
    r.branches = 99;
    for (const panel_value& bad : {panel_value{0x804A, value_tag::i4, 3}, panel_value{0x8002, value_tag::i4, 3},
                                   panel_value{0x804A, value_tag::f8, nan_bits}}) {
        const preset_data q{"q", saved_stream(r), {}, {bad}};
        EXPECT_THROW(session.load_preset(q), host_error) << bad.id;
        EXPECT_EQ(std::memcmp(&before, session.instance(), sizeof before), 0);
    }
}

TEST_F(ModuleHost, DroppedToolGreysThePanel) {
    plugin_module module(SF_MODULE);
    tool_session session(module);
    EXPECT_EQ(render_panel(session.panel()).find("greyed"), std::string::npos);
    session.event(LWT_EVENT_DROP);
    const std::string text = render_panel(session.panel());
    EXPECT_NE(text.find("Sylvaform 1.7\n  Tool is currently inactive.\n"), std::string::npos) << text;
    EXPECT_NE(text.find("[Tree]  (greyed)"), std::string::npos);
    for (const char* label : {"Refresh", "Branches", "Render Type", "Branch type", "[ Add Preset ]"}) {
        const std::size_t at = text.find(label);
        ASSERT_NE(at, std::string::npos) << label;
        const std::string line = text.substr(at, text.find('\n', at) - at);
        EXPECT_NE(line.find("(greyed)"), std::string::npos) << line;
    }
    EXPECT_NE(text.find("[ Presets ]\n"), std::string::npos);  // not under the enable rule
}

// ---- preset files ----

preset_data sample_preset() {
    preset_data p{"My Tree", {}, std::vector<float>(128 * 128 * 3, 0.25f)};
    for (std::uint32_t k = 0; k < 63; ++k) p.items.push_back({k % 3 ? item_tag::fp : item_tag::i4, k * 7919u});
    return p;
}

// The bytes with their trailing checksum made to fit.
std::string with_checksum(std::string bytes) {
    const std::uint32_t crc = crc32(std::string_view(bytes).substr(0, bytes.size() - 4));
    for (int k = 0; k < 4; ++k) bytes[bytes.size() - 4 + std::size_t(k)] = static_cast<char>((crc >> (8 * k)) & 0xFF);
    return bytes;
}

// Damage the checksum does not catch (made to fit) is refused in one line
// for its own reason.
void expect_refused(const std::string& damaged, const std::string& why) {
    try {
        decode_preset(with_checksum(damaged), "f");
        ADD_FAILURE() << "accepted " << why;
    } catch (const preset_error& e) {
        const std::string m = e.what();
        EXPECT_NE(m.find(why), std::string::npos) << m;
        EXPECT_EQ(m.find('\n'), std::string::npos) << m;
    }
}

TEST(PresetFile, RoundTripAndEveryDamageRefused) {
    const preset_data p = sample_preset();
    const std::string bytes = encode_preset(p);
    const preset_data q = decode_preset(bytes, "f");
    EXPECT_EQ(q.name, p.name);
    ASSERT_EQ(q.items.size(), 63u);
    for (std::size_t k = 0; k < 63; ++k) {
        EXPECT_EQ(q.items[k].tag, p.items[k].tag);
        EXPECT_EQ(q.items[k].bits, p.items[k].bits);
    }
    EXPECT_EQ(q.thumbnail, p.thumbnail);

    for (const std::size_t size : {std::size_t(0), std::size_t(7), std::size_t(8), std::size_t(16), std::size_t(100),
                                   bytes.size() / 2, bytes.size() - 1}) {
        try {
            decode_preset(bytes.substr(0, size), "f");
            ADD_FAILURE() << "accepted " << size << " bytes";
        } catch (const preset_error& e) {
            const std::string m = e.what();
            EXPECT_TRUE(m.find("truncated") != std::string::npos || m.find("no preset header") != std::string::npos)
                << m;
        }
    }
    EXPECT_THROW(decode_preset(bytes + '\0', "f"), preset_error);
    for (const std::size_t at : {std::size_t(0), std::size_t(9), std::size_t(12), std::size_t(18), std::size_t(40),
                                 std::size_t(300), bytes.size() / 2, bytes.size() - 1}) {
        std::string damaged = bytes;
        damaged[at] = static_cast<char>(damaged[at] ^ 0x10);
        EXPECT_THROW(decode_preset(damaged, "f"), preset_error) << "bit flipped at " << at;
    }
    // A well-formed file with an item tag the stream does not know.
    std::string bad_tag = bytes;
    bad_tag[8 + 4 + 4 + 7 + 4] = 'X';
    expect_refused(bad_tag, "");
}

// The same bytes as a file written before the panel values: version 1,
// no block, checksum recomputed.
std::string without_panel_values(const std::string& bytes, std::size_t name_length) {
    const std::size_t block = 16 + name_length + 4 + 63 * 5;
    const std::size_t count = static_cast<unsigned char>(bytes[block + 4]);
    std::size_t size = 8;
    for (std::size_t k = 0; k < count; ++k) size += bytes[block + size + 4] == 'D' ? 13 : 9;
    std::string old = bytes.substr(0, block) + bytes.substr(block + size, bytes.size() - 4 - block - size);
    old[8] = 1;
    const std::uint32_t crc = crc32(old);
    for (int k = 0; k < 4; ++k) old.push_back(static_cast<char>((crc >> (8 * k)) & 0xFF));
    return old;
}

TEST(PresetFile, PanelValuesBlock) {
    preset_data p = sample_preset();
    p.panel_values = {{0x804A, value_tag::f8, 0x3FE0000000000001ull}, {0x8002, value_tag::i4, 0xFFFFFFFEull}};
    const std::string bytes = encode_preset(p);
    const preset_data q = decode_preset(bytes, "f");
    ASSERT_EQ(q.panel_values.size(), 2u);
    EXPECT_EQ(q.panel_values[0].bits, 0x3FE0000000000001ull);
    EXPECT_EQ(q.panel_values[1].tag, value_tag::i4);
    EXPECT_EQ(q.panel_values[1].bits, 0xFFFFFFFEull);
    EXPECT_EQ(q.thumbnail, p.thumbnail);

    // A file of the first version has no block and still reads.
    const preset_data old = decode_preset(without_panel_values(bytes, p.name.size()), "f");
    EXPECT_TRUE(old.panel_values.empty());
    EXPECT_EQ(old.items.size(), 63u);
    EXPECT_EQ(old.thumbnail, p.thumbnail);

    // Damage inside the block: caught by the checksum, and refused for its
    // own reason when the checksum was made to fit.
    const std::size_t block = 16 + p.name.size() + 4 + 63 * 5;
    for (std::size_t at = block; at < block + 8 + 13 + 9; ++at) {
        std::string flipped = bytes;
        flipped[at] = static_cast<char>(flipped[at] ^ 0x04);
        EXPECT_THROW(decode_preset(flipped, "f"), preset_error) << at;
    }
    const auto refused = [&](std::size_t at, char byte, const std::string& why) {
        std::string damaged = bytes;
        damaged[at] = byte;
        expect_refused(damaged, why);
    };
    refused(block, 2, "panel values block version 2");
    refused(block + 8 + 4, 'X', "unknown panel value type");
    refused(block + 8 + 13, 0x4A, "given twice");
    refused(block + 4, 40, "");  // count runs past the thumbnail
    refused(block + 4, 1, "");   // one value fewer than the bytes hold
    EXPECT_THROW(decode_preset(bytes.substr(0, block + 6), "f"), preset_error);
}

// A crown kept in the preset comes back bit for bit; a preset without one
// is written as before; the crown block is checked whole.
TEST(PresetFile, CrownBlock) {
    preset_data p = sample_preset();
    EXPECT_EQ(encode_preset(p)[8], 2);  // no crown: what older programs read
    p.crown = preset_crown{"c.obj", {0, 0, 0, 1, 0, 0, 0, -0.0, 1e-300, 1, 1, 1}, {3, 3, 1}, {0, 1, 2, 1, 3, 2, 3}};
    const std::string bytes = encode_preset(p);
    EXPECT_EQ(bytes[8], 3);
    const preset_data q = decode_preset(bytes, "f");
    ASSERT_TRUE(q.crown);
    EXPECT_EQ(q.crown->name, "c.obj");
    EXPECT_EQ(std::memcmp(q.crown->xyz.data(), p.crown->xyz.data(), 12 * sizeof(double)), 0);
    EXPECT_EQ(q.crown->counts, p.crown->counts);
    EXPECT_EQ(q.crown->corners, p.crown->corners);
    EXPECT_EQ(q.thumbnail, p.thumbnail);

    const std::size_t block = 16 + p.name.size() + 4 + 63 * 5 + 8;  // after an empty panel-values block
    const std::size_t end = block + 20 + 5 + 12 * 8 + 3 * 4 + 7 * 4;
    for (std::size_t at = block; at < end; ++at) {
        std::string flipped = bytes;
        flipped[at] = static_cast<char>(flipped[at] ^ 0x20);
        EXPECT_THROW(decode_preset(flipped, "f"), preset_error) << at;
    }
    const auto refused = [&](std::size_t at, std::uint32_t value, const std::string& why) {
        std::string damaged = bytes;
        for (int k = 0; k < 4; ++k) damaged[at + std::size_t(k)] = static_cast<char>((value >> (8 * k)) & 0xFF);
        expect_refused(damaged, why);
    };
    const std::size_t counts = block + 8 + 5, corners = counts + 12 + 12 * 8 + 3 * 4;
    refused(block, 2, "crown block version 2");
    refused(counts, 70000, "crown counts out of range");
    refused(counts + 12 + 4, 0x7FF00000, "not finite");  // the first x becomes infinite
    refused(counts + 12 + 12 * 8, 4, "do not add up");
    refused(corners + 4 * 6, 4, "naming point 4 of 4");
    EXPECT_THROW(decode_preset(bytes.substr(0, block + 30), "f"), preset_error);

    p.crown->corners[0] = 9;
    EXPECT_THROW(encode_preset(p), preset_error);
}

TEST(PresetFile, NamesAndTheirFiles) {
    for (const char* ok : {"bushy", "My Tree 2", "a.b", "x%y"}) EXPECT_NO_THROW(check_preset_name(ok)) << ok;
    for (const std::string& bad : {std::string(), std::string(".hidden"), std::string("a/b"), std::string(65, 'a'),
                                  std::string("tab\there"), std::string("\xC3\xBC")})
        EXPECT_THROW(check_preset_name(bad), preset_error) << bad;
    EXPECT_EQ(preset_file_stem("bushy"), "bushy");
    EXPECT_EQ(preset_file_stem("My Tree 2"), "My%20Tree%202");
    EXPECT_NE(preset_file_stem("a%20b"), preset_file_stem("a b"));
    EXPECT_EQ(crc32("123456789"), 0xCBF43926u);
}

// ---- the program ----

using HostProgram = test::program_test;

TEST_F(HostProgram, BuildsThroughTheModuleAndRefusesAMissingOne) {
    ASSERT_EQ(run("build --set branches=30 -o a.edits"), 0) << err();
    EXPECT_FALSE(file("a.edits").empty());

    EXPECT_EQ(run("build --module missing.so -o c.edits"), 2);
    EXPECT_TRUE(err_has("sylvaform: cannot load the plug-in module: ./missing.so")) << err();
    EXPECT_EQ(run("--module a.edits build -o c.edits"), 2);
    EXPECT_TRUE(err_has("cannot load the plug-in module")) << err();
    EXPECT_FALSE(exists("c.edits"));
}

// Decodes a PNG; answers its size and the number of green pixels.
bool read_png(const std::string& path, unsigned& width, unsigned& height, int& green) {
    png_image img{};
    img.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&img, path.c_str())) return false;
    img.format = PNG_FORMAT_RGB;
    std::vector<unsigned char> px(PNG_IMAGE_SIZE(img));
    if (!png_image_finish_read(&img, nullptr, px.data(), 0, nullptr)) return false;
    width = img.width;
    height = img.height;
    green = 0;
    for (std::size_t k = 0; k + 2 < px.size(); k += 3)
        if (px[k + 1] > 0 && px[k] == 0 && px[k + 2] == 0) ++green;
    return true;
}

TEST_F(HostProgram, PresetRoundTripOnTheShelf) {
    const std::string sets = "--set branches=40 --set twig_type=1 --set render_type=1";
    ASSERT_EQ(run("preset add bushy --shelf shelf " + sets), 0) << err();
    EXPECT_TRUE(err_has("saved preset 'bushy'")) << err();
    ASSERT_TRUE(exists("shelf/bushy.sfpreset"));
    unsigned w = 0, h = 0;
    int green = 0;
    ASSERT_TRUE(read_png(dir.file("shelf/bushy.png"), w, h, green));
    EXPECT_EQ(w, 128u);
    EXPECT_EQ(h, 128u);
    EXPECT_GT(green, 200);

    ASSERT_EQ(run("--shelf shelf preset list"), 0) << err();
    EXPECT_EQ(out(), "bushy\n");

    // The preset rebuilds the tree of the same settings as 32-bit floats.
    ASSERT_EQ(run("build --preset bushy --shelf shelf -o preset.edits"), 0) << err();
    std::string narrowed = sets;
    for (const field_desc& f : field_table()) {
        if (f.id == 0 || f.kind != field_kind::real) continue;
        const std::span<const unsigned> kept = kept_panel_controls();
        if (std::find(kept.begin(), kept.end(), f.id) != kept.end()) continue;  // kept as doubles
        double v;
        std::memcpy(&v, reinterpret_cast<const char*>(&k_default_settings) + f.offset, sizeof v);
        narrowed += std::string(" --set ") + f.name + "=" + shortest(static_cast<float>(v));
    }
    ASSERT_EQ(run("build " + narrowed + " -o sets.edits"), 0) << err();
    EXPECT_FALSE(file("preset.edits").empty());
    EXPECT_TRUE(file("preset.edits") == file("sets.edits"));
    ASSERT_EQ(run("build " + sets + " -o doubles.edits"), 0) << err();
    EXPECT_FALSE(file("preset.edits") == file("doubles.edits"));  // narrowing shows

    ASSERT_EQ(run("preset add bushy --shelf shelf --set branches=41"), 0) << err();
    EXPECT_TRUE(err_has("replaced preset 'bushy'")) << err();
    ASSERT_EQ(run("preset remove bushy --shelf shelf"), 0) << err();
    EXPECT_FALSE(exists("shelf/bushy.sfpreset"));
    EXPECT_FALSE(exists("shelf/bushy.png"));
    ASSERT_EQ(run("preset list --shelf shelf"), 0);
    EXPECT_EQ(out(), "");
    EXPECT_EQ(run("preset remove bushy --shelf shelf"), 2);
    EXPECT_TRUE(err_has("no preset named 'bushy'")) << err();
    EXPECT_EQ(run("preset add .x --shelf shelf"), 2);

    // A preset saved with Refresh on Manual still builds: the host picks the
    // tool again when the edits asked for nothing.
    ASSERT_EQ(run("preset add manual --shelf shelf --set refresh=0 --set branches=20"), 0) << err();
    EXPECT_EQ(run("build --preset manual --shelf shelf -o m.edits"), 0) << err();
    EXPECT_TRUE(exists("m.edits"));
}

TEST_F(HostProgram, PresetKeepsTheLeafGrowthRandomness) {
    const std::string leaves = " --shelf shelf --set render_type=1 --set twig_type=1 --set leaf_shape=1";
    ASSERT_EQ(run("preset add a" + leaves + " --set leaf_growth_randomness=0.5"), 0) << err();
    ASSERT_EQ(run("preset add b" + leaves), 0) << err();
    ASSERT_EQ(run("build --shelf shelf --preset a -o a.edits"), 0) << err();
    ASSERT_EQ(run("build --shelf shelf --preset b -o b.edits"), 0) << err();
    EXPECT_FALSE(file("a.edits") == file("b.edits"));
    ASSERT_EQ(run("build --shelf shelf --preset b --set leaf_growth_randomness=0.5 -o b5.edits"), 0) << err();
    EXPECT_TRUE(file("a.edits") == file("b5.edits"));

    // Written before the block existed, the same preset loads as it always
    // did: the live value stays.
    dir.write("shelf/a.sfpreset", without_panel_values(file("shelf/a.sfpreset"), 1));
    ASSERT_EQ(run("build --shelf shelf --preset a -o old.edits"), 0) << err();
    EXPECT_TRUE(file("old.edits") == file("b.edits"));
    ASSERT_EQ(run("panel --shelf shelf --preset a"), 0) << err();
}

TEST_F(HostProgram, DamagedPresetIsRefusedAndNothingIsBuilt) {
    ASSERT_EQ(run("preset add good --shelf shelf --set branches=20"), 0) << err();
    const std::string bytes = file("shelf/good.sfpreset");
    std::filesystem::create_directories(dir.path / "bad");
    struct damage {
        std::string bytes, message;
    };
    std::string flipped = bytes;
    flipped[60] = static_cast<char>(flipped[60] ^ 0x01);  // inside the item stream
    for (const damage& d : {damage{bytes.substr(0, bytes.size() / 2), "truncated"},
                            damage{flipped, "checksum mismatch"}}) {
        dir.write("bad/good.sfpreset", d.bytes);
        EXPECT_EQ(run("build --preset good --shelf bad -o t.edits -o -"), 2);
        EXPECT_TRUE(err_has("bad/good.sfpreset: not a usable preset file (" + d.message)) << err();
        const std::string e = err();
        EXPECT_EQ(std::count(e.begin(), e.end(), '\n'), 1) << e;
        EXPECT_FALSE(exists("t.edits"));
        EXPECT_EQ(out(), "");
        EXPECT_EQ(run("preset list --shelf bad"), 0);
        EXPECT_EQ(out(), "");
        EXPECT_TRUE(err_has("skipped")) << err();
    }
}

// A preset saved with --crown grows in it when built, listed in the panel,
// unless --crown is given.
TEST_F(HostProgram, PresetKeepsItsCrown) {
    dir.write("lobed.obj", starter_crown("lobed"));
    dir.write("bush.obj", starter_crown("bush"));
    ASSERT_EQ(run("preset add p --shelf shelf --crown lobed.obj --set branches=30"), 0) << err();
    ASSERT_EQ(run("build --shelf shelf --preset p -o kept.edits"), 0) << err();
    ASSERT_EQ(run("build --shelf shelf --preset p --crown lobed.obj -o given.edits"), 0) << err();
    EXPECT_TRUE(file("kept.edits") == file("given.edits"));
    ASSERT_EQ(run("build --shelf shelf --preset p --crown bush.obj -o other.edits"), 0) << err();
    EXPECT_FALSE(file("kept.edits") == file("other.edits"));
    ASSERT_EQ(run("panel --shelf shelf --preset p"), 0) << err();
    EXPECT_NE(out().find("Crown: lobed.obj (kept in the preset;"), std::string::npos) << out();


    // A crown beyond what a preset keeps is refused before anything grows.
    std::string big;
    for (int k = 0; k < 70000; ++k) big += "v " + std::to_string(k) + " 1 0\n";
    big += "f 1 2 3\n";
    dir.write("big.obj", big);
    EXPECT_EQ(run("preset add q --shelf shelf --crown big.obj"), 2);
    EXPECT_TRUE(err_has("the crown has 70000 points")) << err();
    EXPECT_FALSE(exists("shelf/q.sfpreset"));
}

// Shelf files are read as what they claim to be or not at all: a link (a
// planted one would show any file), a FIFO (it would block) or an oversized
// file is refused in one line, listed as skipped, and nothing is built.
TEST_F(HostProgram, ShelfFilesAreOnlyRegularFiles) {
    namespace fs = std::filesystem;
    ASSERT_EQ(run("preset add good --shelf shelf --set branches=20"), 0) << err();
    fs::create_directories(dir.path / "bad");
    fs::copy_file(dir.path / "shelf/good.sfpreset", dir.path / "elsewhere.sfpreset");
    fs::create_symlink("../elsewhere.sfpreset", dir.path / "bad/good.sfpreset");
    ASSERT_EQ(::mkfifo(dir.file("bad/fifo.sfpreset").c_str(), 0600), 0);
    dir.write("bad/big.sfpreset", std::string((6u << 20) + 1, 'x'));
    for (const auto& [name, message] : {std::pair{"good", "bad/good.sfpreset: a symbolic link"},
                                        std::pair{"fifo", "bad/fifo.sfpreset: not a regular file"},
                                        std::pair{"big", "bad/big.sfpreset: larger than 6144 KiB"}}) {
        EXPECT_EQ(run(std::string("build --shelf bad -o t.edits --preset ") + name, "timeout 60 "), 2) << name;
        const std::string e = err();
        EXPECT_EQ(std::count(e.begin(), e.end(), '\n'), 1) << e;
        EXPECT_TRUE(err_has(message)) << e;
        EXPECT_FALSE(exists("t.edits"));
    }
    EXPECT_EQ(run("preset list --shelf bad", "timeout 60 "), 0);
    EXPECT_EQ(out(), "");
    const std::string e = err();
    EXPECT_EQ(std::count(e.begin(), e.end(), '\n'), 3) << e;

    // Thumbnails, as the server reads them, likewise.
    preset_shelf shelf;
    shelf.dir = dir.path / "shelf";
    EXPECT_EQ(shelf.read_thumbnail("good"), file("shelf/good.png"));
    EXPECT_EQ(shelf.read_thumbnail("none"), std::nullopt);
    fs::create_symlink("good.png", dir.path / "shelf/link.png");
    EXPECT_THROW(shelf.read_thumbnail("link"), preset_error);
}

// Two runs saving one name at once leave the preset and the thumbnail of
// one of them, never one's preset beside the other's picture.
TEST_F(HostProgram, PresetAndThumbnailAreReplacedTogether) {
    const std::string add = "'" SF_PROGRAM "' preset add p --shelf shelf --set ";
    for (int round = 0; round < 3; ++round) {
        const std::string both = "cd '" + dir.path.string() + "' && (" + add + "branches=20 2>a.txt & " + add +
                                 "branches=300 --set twig_type=1 2>b.txt; wait)";
        ASSERT_EQ(std::system(both.c_str()), 0);
        EXPECT_NE(file("a.txt").find("preset 'p'"), std::string::npos) << file("a.txt");
        EXPECT_NE(file("b.txt").find("preset 'p'"), std::string::npos) << file("b.txt");
        const preset_data p = decode_preset(file("shelf/p.sfpreset"), "p");
        EXPECT_TRUE(encode_png(p.thumbnail.data(), k_thumbnail_size, k_thumbnail_size) == file("shelf/p.png"))
            << round;
    }
}

// Settings go through the panel's clamps; a choice by its label, in any
// case, is the same edit as by its number; fields only presets set are refused.
TEST_F(HostProgram, SettingsGoThroughThePanel) {
    ASSERT_EQ(run("build --set branches=1 --set branch_thickness=0 --set random_seed=3 --set bias=0 -o t.edits"), 0)
        << err();
    EXPECT_TRUE(err_has("sylvaform: branches=1 was stored as 2\n")) << err();
    EXPECT_TRUE(err_has("sylvaform: branch_thickness=0 was stored as 0.001\n")) << err();
    EXPECT_TRUE(err_has("sylvaform: bias=0 was stored as 0.1\n")) << err();
    EXPECT_FALSE(err_has("random_seed")) << err();
    for (const char* bad : {"twig_type=9", "twig_type=upward", "render_type=1x", "branches=Polygonal",
                            "variable_spacing=1"}) {
        EXPECT_EQ(run(std::string("build --set ") + bad + " -o u.edits"), 2) << bad;
        EXPECT_TRUE(err_has(bad)) << err();
    }
    EXPECT_TRUE(err_has("only presets set it")) << err();
    EXPECT_FALSE(exists("u.edits"));

    const std::string tail = " --set branches=20 -o t.edits";
    ASSERT_EQ(run("build --set render_type=polygonal --set twig_type=UP --set 'leaf_shape=Two Polys'" + tail), 0)
        << err();
    const std::string by_name = file("t.edits");
    ASSERT_EQ(run("build --set render_type=1 --set twig_type=1 --set leaf_shape=2" + tail), 0) << err();
    EXPECT_EQ(file("t.edits"), by_name);
    EXPECT_FALSE(err_has("stored as")) << err();
}

// A range hint is what the slider spans: a value beyond it is taken with
// one note, in the words it was typed, and the tool's own clamps make of it
// what they make of it through the panel (a clamped value builds the tree
// of the value it was stored as, bit for bit).
TEST_F(HostProgram, ValuesBeyondTheSliderAreTakenWithANote) {
    struct case_typ {
        const char* set;
        const char* note;
        const char* same_as;  // the value the tool stores, or null
    };
    const case_typ cases[] = {
        {"random_seed=12345", "random_seed=12345 is beyond the slider's -1000 .. 1000", nullptr},
        {"roots_crookedness=1.0", "roots_crookedness=1.0 is beyond the slider's 0 .. 45 degrees (0 .. 0.7853981633974483)",
         nullptr},
        {"iterations=0", "iterations=0 is beyond the slider's 1 .. 25", "iterations=1"},
        {"branch_end_split=1.0000001", "branch_end_split=1.0000001 is beyond the slider's 0 .. 100% (0 .. 1)",
         "branch_end_split=1"},
        {"tree_center=250%", "tree_center=250% is beyond the slider's -100 .. 200%", nullptr},
    };
    for (const case_typ& c : cases) {
        const std::string note = std::string("sylvaform: ") + c.note + "\n";
        ASSERT_EQ(run(std::string("build --set branches=20 --set ") + c.set + " -o a.edits"), 0) << err();
        EXPECT_TRUE(err_has(note)) << err();
        if (c.same_as) {
            EXPECT_TRUE(err_has(std::string(c.set) + " was stored as")) << err();
            ASSERT_EQ(run(std::string("build --set branches=20 --set ") + c.same_as + " -o b.edits"), 0) << err();
            EXPECT_EQ(file("a.edits"), file("b.edits")) << c.set;
        }
        ASSERT_EQ(run(std::string("panel --set ") + c.set), 0) << err();
        EXPECT_TRUE(err_has(note)) << err();
    }
    ASSERT_EQ(run("preset add p --shelf shelf --set branches=20 --set iterations=0 --set random_seed=12345"), 0)
        << err();
    EXPECT_TRUE(err_has("sylvaform: iterations=0 was stored as 1\n")) << err();
    EXPECT_TRUE(err_has("sylvaform: random_seed=12345 is beyond the slider's -1000 .. 1000\n")) << err();
    // What cannot be stored is refused as before.
    for (const char* bad : {"random_seed=2147483648", "segments=1.5", "bias=nan", "bias=1e999"})
        EXPECT_EQ(run(std::string("build --set ") + bad + " -o c.edits"), 2) << bad;
    EXPECT_FALSE(exists("c.edits"));
}

// --seeds N builds the tree of --set random_seed=N, for seeds beyond the
// slider and negative ones too.
TEST_F(HostProgram, SeedsAndRandomSeedBuildTheSameTree) {
    for (const char* seed : {"12345", "-7", "2147483647"}) {
        const std::string sets = "build --set branches=20 ";
        ASSERT_EQ(run(sets + "--set random_seed=" + seed + " -o a.edits"), 0) << err();
        ASSERT_EQ(run(sets + "--seeds " + seed + " -o 'b-{seed}.edits'"), 0) << err();
        EXPECT_EQ(file("a.edits"), file(std::string("b-") + seed + ".edits")) << seed;
    }
}

// A build whose estimate passes the memory budget is refused before it
// grows: one line naming the budget and the estimate, nothing written.
TEST_F(HostProgram, BuildsPastTheBudgetAreRefusedBeforeGrowing) {
    for (const char* args :
         {"--set branches=2000 --set segments=9999 --set sub_segments=6 --max-memory 512M",
          "--set branches=2000 --set segments=25 --set sub_segments=6 --set render_type=SubD --subdivide 3 "
          "--max-memory 1G"}) {
        EXPECT_EQ(run(std::string("build ") + args + " -o t.obj -o t.edits --preview t.png"), 2) << args;
        const std::string e = err();
        EXPECT_EQ(std::count(e.begin(), e.end(), '\n'), 1) << e;
        EXPECT_NE(e.find("more than the budget of "), std::string::npos) << e;
        EXPECT_NE(e.find("estimated before growing"), std::string::npos) << e;
        EXPECT_EQ(e.find("points, "), e.rfind("points, ")) << e;
        for (const char* f : {"t.obj", "t.mtl", "t.edits", "t.png"}) EXPECT_FALSE(exists(f)) << f;
    }
    EXPECT_EQ(run("preset add p --shelf shelf --set branches=2000 --set segments=9999 --max-memory 64M"), 2);
    EXPECT_TRUE(err_has("more than the budget of 64 MiB")) << err();
    EXPECT_FALSE(exists("shelf/p.sfpreset"));
}

// The command line and the server take a value beyond the slider with the
// same note, each naming the value its own way.
TEST_F(ModuleHost, CommandLineAndServerShareTheNotes) {
    plugin_module module(SF_MODULE);
    tool_session session(module);
    const panel_model model(session.panel());
    for (const auto& [set, id, value, server] :
         {std::tuple{"segments=26", 0x8003u, 26.0, "\"Segments\": 26 is beyond the slider's 4 .. 25"},
          std::tuple{"roots_crookedness=46deg", 0x8024u, 46.0 * std::numbers::pi / 180,
                     "\"Roots Crookedness\": 46 degrees is beyond the slider's 0 .. 45 degrees"},
          std::tuple{"wg_range=-1%", 0x800Du, -0.01, "\"WG range\": -1% is beyond the slider's 0 .. 100%"}}) {
        panel_setting p = parse_setting(set);
        session.apply(p);
        const std::string tail = std::string(server).substr(std::string(server).find(" is beyond"));
        EXPECT_EQ(p.beyond, set + tail);
        EXPECT_EQ(model.check_edit({{"id", id}, {"value", value}}).note, server);
    }
}

TEST_F(HostProgram, PanelShowsTheFourTabsInThePanelsUnits) {
    ASSERT_EQ(run("panel --set branch_crookedness=20deg"), 0) << err();
    const std::string text = out();
    EXPECT_EQ(text.rfind("Sylvaform 1.7\n  1.7.5\n", 0), 0u) << text;
    EXPECT_NE(text.find("Tabs: Tree | Twig | Leaf | Advanced"), std::string::npos);
    std::size_t last = 0;
    for (const char* in_order : {"Refresh", "[Tree]", "Branches", "[Twig]", "[Leaf]", "[Advanced]", "Render Type",
                                 "[ Presets ]", "[ Add Preset ]"}) {
        const std::size_t at = text.find(in_order, last);
        ASSERT_NE(at, std::string::npos) << in_order << " out of order\n" << text;
        last = at;
    }
    const auto line_of = [&](const std::string& label) {
        const std::size_t at = text.find("    " + label + " ");
        return at == std::string::npos ? std::string() : text.substr(at, text.find('\n', at) - at);
    };
    const std::string crooked = line_of("Branch crookedness");
    EXPECT_NE(crooked.find("20\xC2\xB0"), std::string::npos) << crooked;
    EXPECT_NE(crooked.find("range 0\xC2\xB0 .. 45\xC2\xB0"), std::string::npos) << crooked;
    EXPECT_NE(line_of("Tree center").find("40%"), std::string::npos);
    EXPECT_NE(line_of("Type").find("off | up | down"), std::string::npos);
    EXPECT_EQ(text.find("greyed"), std::string::npos);
}

}  // namespace
}  // namespace sf::app
