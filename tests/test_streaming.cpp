// Writers that stream through small buffers: the same bytes whatever the
// block size and whether they go to a file or into memory, and a write that
// fails part way leaves no file and says why in one line.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "formats/bark_uv.h"
#include "formats/edit_log.h"
#include "formats/file_io.h"
#include "formats/gltf_writer.h"
#include "formats/lwo2_writer.h"
#include "formats/obj_writer.h"
#include "scratch_dir.h"

namespace sf::formats {
namespace {

#ifdef SF_PROGRAM
struct Streaming : test::program_test {
    void SetUp() override {
        ASSERT_EQ(run("build --set render_type=1 --set twig_type=1 --set leaf_shape=2 --set branches=40 -o t.edits"),
                  0)
            << err();
        read_edit_log(file("t.edits"), "t.edits", tree);
        dressed = with_bark_uv(tree);
        textures.bark_png = test::slurp(std::string(SF_TEST_DATA_DIR) + "/texture_2x2.png");
        textures.leaf_png = textures.bark_normal_png = textures.leaf_normal_png = textures.bark_png;
    }
    void TearDown() override { set_stream_block(0); }

    // Every format of the tree, each into a string.
    std::vector<std::string> written() const {
        std::vector<std::string> out;
        auto one = [&](auto write) {
            string_sink s;
            write(s);
            out.push_back(std::move(s.text));
        };
        one([&](byte_sink& s) { write_glb(dressed, s, {.textures = &textures}); });
        one([&](byte_sink& s) { write_lwo2(tree, s); });
        one([&](byte_sink& s) { write_obj(dressed, s, "t.mtl", true, "t_"); });
        one([&](byte_sink& s) { write_edit_log(tree, s); });
        return out;
    }

    mesh_layer tree, dressed;
    texture_set textures;
};

TEST_F(Streaming, SameBytesThroughAnyBlockAndIntoFiles) {
    const std::vector<std::string> whole = written();
    ASSERT_GT(whole[0].size(), 100000u);
    for (const std::size_t block : {13, 4096}) {
        set_stream_block(block);
        const std::vector<std::string> again = written();
        for (std::size_t k = 0; k < whole.size(); ++k) EXPECT_TRUE(again[k] == whole[k]) << "format " << k << ", block " << block;
    }
    // Into files, the .glb's binary chunk copied from its side file by the kernel.
    set_stream_block(0);
    file_set files;
    write_glb_file(dressed, dir.file("a.glb"), files, {.textures = &textures});
    write_lwo2_file(tree, dir.file("a.lwo"), files);
    files.commit();
    EXPECT_TRUE(file("a.glb") == whole[0]);
    EXPECT_TRUE(file("a.lwo") == whole[1]);
}

TEST_F(Streaming, FailedWritesLeaveNothing) {
    // A full disk: every writer stops with the device's reason.
    const int full = ::open("/dev/full", O_WRONLY | O_CLOEXEC);
    ASSERT_GE(full, 0);
    fd_sink sink(full, "/dev/full");
    set_stream_block(4096);  // the first block fails, not the last
    const auto fails = [&](auto write) {
        try {
            write();
            ADD_FAILURE() << "no error";
        } catch (const io_error& e) {
            EXPECT_NE(std::string(e.what()).find("/dev/full: write failed: No space left on device"), std::string::npos)
                << e.what();
        }
    };
    fails([&] { write_glb(dressed, sink, {.textures = &textures}); });
    fails([&] { write_lwo2(tree, sink); });
    fails([&] { write_obj(dressed, sink); });
    fails([&] { write_edit_log(tree, sink); });
    ::close(full);

    // The output's directory vanishes while the file set is open: the
    // .glb's side file cannot be made there, which is reported.
    std::filesystem::create_directory(dir.file("gone"));
    {
        file_set files;
        atomic_file& glb = files.add(dir.file("gone/t.glb"));
        std::filesystem::remove(dir.file("gone"));  // empty: the member has no name yet
        try {
            write_glb(dressed, glb, {.textures = &textures});
            ADD_FAILURE() << "no error";
        } catch (const io_error& e) {
            EXPECT_NE(std::string(e.what()).find("cannot create a temporary file in " + dir.file("gone/")),
                      std::string::npos)
                << e.what();
        }
        EXPECT_THROW(files.commit(), io_error);
    }
    EXPECT_FALSE(std::filesystem::exists(dir.file("gone")));

    // The program: a .glb past the file size limit (as a full disk) is
    // reported in one line, and nothing is left, not even its side file.
    EXPECT_EQ(run("build --set render_type=1 -o t.glb", "ulimit -f 200; trap '' XFSZ; "), 2);
    const std::string message = err();
    EXPECT_NE(message.find("t.glb"), std::string::npos) << message;
    EXPECT_EQ(std::count(message.begin(), message.end(), '\n'), 1) << message;
    EXPECT_FALSE(exists("t.glb"));
    EXPECT_EQ(dir.entries(), 3u);  // t.edits, out.txt, err.txt
}
#endif

}  // namespace
}  // namespace sf::formats
