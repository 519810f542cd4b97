// Hostile crown files: crashers, spinners, memory bombs, lies about counts,
// references out of the crown's folder and absurd coordinates. Each is
// refused with one line, quickly, by the reader, the command line and the
// web server, which keeps answering.
#include <gtest/gtest.h>
#include <httplib.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "formats/crown_child.h"
#include "formats/crown_reader.h"
#include "formats/file_io.h"
#include "hostile_crowns.h"
#include "scratch_dir.h"
#include "serve_fixture.h"
#include "watchdog.h"

namespace sf::test {
namespace {

namespace fs = std::filesystem;

const bool g_reader_set = [] {
    formats::set_crown_reader_program(SF_PROGRAM);
    return true;
}();

struct hostile {
    std::string name;
    std::string bytes;
    std::string reason;  // part of the one-line message
};

// Replaces the bytes of the first index in the ring's index buffer.
gltf_parts with_first_index(const ring& r, std::uint32_t index) {
    gltf_parts g = ring_gltf(r);
    std::memcpy(&g.bin[r.xyz.size() * 4 + 4], &index, 4);
    return g;
}

std::vector<hostile> hostile_crowns() {
    const ring r = make_ring(52);
    const ring tri = make_ring(3);
    std::vector<hostile> out;

    // Node trees: deep, cyclic, shared.
    for (const bool as_glb : {true, false}) {
        gltf_parts g = ring_gltf(r);
        g.nodes = nested_nodes(20000);
        out.push_back({as_glb ? "nested.glb" : "nested.gltf", as_glb ? glb(g) : gltf_json(g, false), "deeper than"});
    }
    {
        gltf_parts g = ring_gltf(r);
        g.nodes = R"([{"children":[1]},{"children":[0],"mesh":0}])";
        out.push_back({"cycle.glb", glb(g), "cycle"});
        g.nodes = R"([{"children":[0],"mesh":0}])";
        out.push_back({"self.glb", glb(g), "cycle"});
        g.nodes = R"([{"children":[2]},{"children":[2]},{"mesh":0}])";
        g.scene_nodes = "[0,1]";
        out.push_back({"shared.glb", glb(g), "two parents"});
        g = ring_gltf(r);
        g.nodes = R"([{"children":[7],"mesh":0}])";
        out.push_back({"child.glb", glb(g), "child index out of range"});
    }
    // Sparse accessors and views that promise more than the buffer holds.
    {
        gltf_parts g = ring_gltf(r);
        g.accessors.insert(g.accessors.find(R"(,"type":"VEC3")"),
                           R"(,"sparse":{"count":1000000,"indices":{"bufferView":1,"componentType":5125},)"
                           R"("values":{"bufferView":0}})");
        out.push_back({"sparse.gltf", gltf_json(g, false), "sparse count exceeds"});
        out.push_back({"sparse.glb", glb(g), "sparse count exceeds"});
        g = ring_gltf(r);
        g.accessors.replace(g.accessors.find(R"("count":52)"), 10, R"("count":53)");
        out.push_back({"count.glb", glb(g), "count exceeds the file's data"});
        g = ring_gltf(r);
        g.buffer_views.replace(g.buffer_views.find(R"("byteOffset":0)"), 14, R"("byteOffset":4000)");
        out.push_back({"view.glb", glb(g), "outside its buffer"});
        g = ring_gltf(r);
        std::string big = glb(g);
        big.resize(big.size() - 64);  // the binary chunk cut short
        out.push_back({"short.glb", big, "shorter than its byteLength"});
    }
    // Indices past the 52 points: Assimp would drop the face.
    out.push_back({"index5000.glb", glb(with_first_index(r, 5000)), "face index is out of range"});
    out.push_back({"indexmax.glb", glb(with_first_index(r, 0xFFFFFFFFu)), "face index is out of range"});
    out.push_back({"index52.gltf", gltf_json(with_first_index(r, 52), false), "face index is out of range"});

    // PLY headers: a damaged end_header, none at all (which made Assimp spin),
    // counts the file cannot hold, records missing.
    for (const char* end : {"end_headr\n", "end_header junk\n", "xend_header\n", "end_hea"}) {
        out.push_back({"damaged" + std::to_string(out.size()) + ".ply", binary_ply(r, 3, end), "end_header"});
    }
    out.push_back({"noend.ply", ascii_ply(r, 0, ""), "without an end_header"});
    out.push_back({"longhead.ply", "ply\nformat ascii 1.0\n" + std::string(70000, 'c') + "\n" + ascii_ply(r).substr(21),
                   "without an end_header"});
    out.push_back({"faces.ply", ascii_ply(r, 100), "declares"});
    out.push_back({"faces1.ply", ascii_ply(r, 1), "declares"});
    {
        std::string cut = binary_ply(r);
        cut.resize(cut.size() - 17);
        out.push_back({"cut.ply", cut, "cannot read crown"});
        cut.resize(cut.size() - 900);
        out.push_back({"cut900.ply", cut, "more data than the file holds"});
    }
    {
        std::string type = ascii_ply(tri);
        type.replace(type.find("property float x"), 16, "property quad x");
        out.push_back({"type.ply", type, "type 'quad' unknown"});
    }
    // A 150-odd-byte PLY whose list count asks for 0x30000000 indices.
    const std::string list = binary_ply(tri, 0x30000000);
#if defined(__SANITIZE_ADDRESS__)
    // The sanitizer's allocator stops such a reader in its own way.
    out.push_back({"list.ply", list, "cannot read crown"});
#else
    out.push_back({"list.ply", list, "needed more than 2 GiB"});
#endif

    // Coordinates too large to grow in.
    out.push_back({"far.ply", ascii_ply(make_ring(8, 1e10f)), "beyond the bound"});
    out.push_back({"far155.ply",
                   "ply\nformat ascii 1.0\nelement vertex 3\nproperty double x\nproperty double y\n"
                   "property double z\nelement face 1\nproperty list uchar int vertex_indices\nend_header\n"
                   "0 0 0\n1e155 0 0\n0 1e155 0\n3 0 1 2\n",
                   "non-finite"});  // Assimp holds single precision
    out.push_back({"far.obj", "v 0 0 0\nv 1e155 0 0\nv 0 1 0\nf 1 2 3\n", "beyond the bound"});
    out.push_back({"far.stl", "solid s\nfacet normal 0 0 1\nouter loop\nvertex 0 0 0\nvertex 2e9 0 0\n"
                              "vertex 0 1 0\nendloop\nendfacet\nendsolid s\n", "beyond the bound"});
    {
        gltf_parts g = ring_gltf(r);
        g.nodes = R"([{"mesh":0,"scale":[1e20,1e20,1e20]}])";
        out.push_back({"scaled.glb", glb(g), "beyond the bound"});
        g.nodes = R"([{"children":[1],"scale":[1e200,1,1]},{"mesh":0,"scale":[1e200,1,1]}])";
        out.push_back({"overflow.glb", glb(g), "non-finite"});
    }
    return out;
}

// A refusal is for the file's own fault: the reader's time limit is raised
// far past the default so that a slow machine cannot be what stops it, and a
// reader that still hangs fails the test rather than stalling it.
std::string refusal(const std::string& path, formats::crown_source source) {
    formats::mesh_layer layer;
    layer.add_point(1, 2, 3);
    std::string message = "accepted";
    {
        const formats::crown_child_limits saved = formats::crown_child_limits_now();
        formats::crown_child_limits generous = saved;
        generous.seconds = 100;
        formats::set_crown_child_limits(generous);
        const watchdog guard(std::chrono::seconds(300), "reading " + path);
        try {
            formats::read_crown(path, layer, formats::crown_up::y, source);
        } catch (const formats::io_error& e) {
            message = e.what();
        }
        formats::set_crown_child_limits(saved);
    }
    EXPECT_EQ(layer.point_count(), 0u) << path;
    EXPECT_EQ(message.find('\n'), std::string::npos) << message;
    EXPECT_EQ(message.find("took longer than"), std::string::npos) << message;
    return message;
}

TEST(HostileCrowns, EachIsRefusedForItsOwnFaultWithOneLine) {
    scratch_dir dir;
    for (const hostile& h : hostile_crowns()) {
        const std::string path = dir.write(h.name, h.bytes);
        const std::string message = refusal(path, formats::crown_source::file);
        EXPECT_EQ(message.rfind(path + ": cannot read crown: ", 0), 0u) << h.name << ": " << message;
        EXPECT_NE(message.find(h.reason), std::string::npos) << h.name << ": " << message;
    }
}

TEST(HostileCrowns, TheGoodRingReadsInEveryFormat) {
    // The builders make readable files; only the damage above is refused.
    scratch_dir dir;
    const ring r = make_ring(52);
    const std::pair<const char*, std::string> good[] = {
        {"ring.glb", glb(ring_gltf(r))}, {"ring.gltf", gltf_json(ring_gltf(r), false)},
        {"ring.ply", binary_ply(r)},     {"ringa.ply", ascii_ply(r)},
        {"ring.stl", ascii_stl(r)}};
    for (const auto& [name, bytes] : good) {
        formats::mesh_layer layer;
        formats::read_crown(dir.write(name, bytes), layer, formats::crown_up::y, formats::crown_source::upload);
        EXPECT_EQ(layer.polygon_count(), 50u) << name;
    }
}

TEST(HostileCrowns, ExternalFilesStayInTheCrownsFolder) {
    scratch_dir dir;
    const ring r = make_ring(52);
    const fs::path folder = dir.path / "crowns";
    fs::create_directories(folder / "data");
    fs::create_directories(dir.path / "outside");
    gltf_parts g = ring_gltf(r);
    std::ofstream(folder / "data" / "ring.bin", std::ios::binary) << g.bin;
    std::ofstream(dir.path / "outside" / "ring.bin", std::ios::binary) << g.bin;
    fs::create_symlink(dir.path / "outside" / "ring.bin", folder / "link.bin");
    fs::create_symlink("data/ring.bin", folder / "near.bin");
    ASSERT_EQ(::mkfifo((folder / "fifo.bin").c_str(), 0600), 0);

    const auto with_uri = [&](const std::string& name, const std::string& uri) {
        gltf_parts p = g;
        p.buffer_uri = uri;
        const std::string path = (folder / name).string();
        std::ofstream(path, std::ios::binary) << gltf_json(p, false);
        return path;
    };
    // Inside the folder, also through a link that stays inside: read.
    for (const char* uri : {"data/ring.bin", "./data/ring.bin", "near.bin"}) {
        formats::mesh_layer layer;
        EXPECT_NO_THROW(formats::read_crown(with_uri("in.gltf", uri), layer, formats::crown_up::y)) << uri;
        EXPECT_EQ(layer.polygon_count(), 50u) << uri;
    }
    const std::pair<const char*, const char*> refused[] = {
        {"../../../../etc/passwd", "leaves the crown's folder"},
        {"../outside/ring.bin", "leaves the crown's folder"},
        {"%2e%2e/outside/ring.bin", "leaves the crown's folder"},
        {"data/../../outside/ring.bin", "leaves the crown's folder"},
        {"/etc/passwd", "leaves the crown's folder"},
        {"file:///etc/passwd", "leaves the crown's folder"},
        {"link.bin", "leads out of the crown's folder"},
        {"fifo.bin", "not a regular file"},
        {"data", "not a regular file"},
        {"missing.bin", "does not exist"},
    };
    for (const auto& [uri, reason] : refused) {
        const std::string message = refusal(with_uri("out.gltf", uri), formats::crown_source::file);
        EXPECT_NE(message.find(reason), std::string::npos) << uri << ": " << message;
    }
    // An upload holds all its data: even a file next to it is refused.
    EXPECT_NE(refusal(with_uri("up.gltf", "data/ring.bin"), formats::crown_source::upload).find("must hold its data"),
              std::string::npos);
    gltf_parts image = ring_gltf(r);
    const std::string json = gltf_json(image, false);
    const std::string path = (folder / "image.gltf").string();
    std::ofstream(path) << json.substr(0, json.size() - 1) + R"(,"images":[{"uri":"../outside/tex.png"}]})";
    EXPECT_NE(refusal(path, formats::crown_source::file).find("leaves the crown's folder"), std::string::npos);
}

// The command line: exit 2 with one line, nothing written, an older output
// left as it was.
struct HostileCli : program_test {};

TEST_F(HostileCli, RefusesEachWithOneLineAndLeavesOutputsAlone) {
    const std::string old_output = "an older tree\n";
    for (const hostile& h : hostile_crowns()) {
        dir.write(h.name, h.bytes);
        dir.write("tree.obj", old_output);
        // The program itself is killed if it hangs (exit 137, not 2).
        EXPECT_EQ(run("build --crown '" + h.name + "' -o tree.obj -o tree.glb", "timeout -s KILL 300 "), 2) << h.name;
        const std::string e = err();
        EXPECT_EQ(e.find('\n'), e.size() - 1) << h.name << ": " << e;
        EXPECT_EQ(e.rfind("sylvaform: " + h.name + ": cannot read crown", 0), 0u) << e;
        EXPECT_EQ(file("tree.obj"), old_output) << h.name;
        EXPECT_FALSE(exists("tree.glb")) << h.name;
        fs::remove(dir.file(h.name));
    }
    // Only what the test itself made is left.
    std::vector<std::string> left;
    for (const auto& e : fs::directory_iterator(dir.path)) left.push_back(e.path().filename().string());
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (std::vector<std::string>{"err.txt", "out.txt", "tree.obj"}));
}

// The web server: every hostile upload is a 4xx with the reason, the
// server keeps answering, leaves no upload behind and stops on SIGTERM.
TEST(HostileServe, UploadsAreRefusedAndTheServerKeepsAnswering) {
    scratch_dir dir;
    const fs::path tmp = dir.path / "tmp";
    serve_process server(dir, nullptr);
    const int port = server.port;
    ASSERT_GT(port, 0);
    httplib::Client client("127.0.0.1", port);
    client.set_read_timeout(30);

    std::vector<hostile> uploads = hostile_crowns();
    // An upload may not refer to any file at all.
    gltf_parts external = ring_gltf(make_ring(52));
    external.buffer_uri = "../../../../etc/passwd";
    uploads.push_back({"passwd.gltf", gltf_json(external, false), "must hold its data"});
    external.buffer_uri = "crown.bin";
    uploads.push_back({"near.gltf", gltf_json(external, false), "must hold its data"});
    const auto upload = [&](const hostile& h) -> std::string {
        httplib::Client each("127.0.0.1", port);
        each.set_read_timeout(30);
        const auto res = each.Post("/api/crown?name=" + h.name, h.bytes, "application/octet-stream");
        if (!res) return h.name + ": no answer (" + httplib::to_string(res.error()) + ")";
        if (res->status < 400 || res->status > 499) return h.name + ": status " + std::to_string(res->status);
        if (res->body.find(h.reason) == std::string::npos) return h.name + ": " + res->body;
        return "";
    };
    for (const hostile& h : uploads) EXPECT_EQ(upload(h), "");
    // Eight spinners at once used to take every server thread.
    std::vector<std::thread> threads;
    std::vector<std::string> failures(8);
    const hostile spinner{"noend.ply", ascii_ply(make_ring(52), 0, ""), "end_header"};
    for (std::size_t i = 0; i < failures.size(); ++i) threads.emplace_back([&, i] { failures[i] = upload(spinner); });
    for (auto& t : threads) t.join();
    for (const std::string& f : failures) EXPECT_EQ(f, "");

    const auto state = client.Get("/api/state");
    ASSERT_TRUE(state);
    EXPECT_EQ(state->status, 200);
    const auto good = client.Post("/api/crown?name=ring.glb", glb(ring_gltf(make_ring(52))), "application/octet-stream");
    ASSERT_TRUE(good);
    EXPECT_EQ(good->status, 200) << good->body;
    EXPECT_EQ(std::distance(fs::directory_iterator(tmp), {}), 0) << "an upload was left behind";

    EXPECT_GE(server.stop(std::chrono::milliseconds(10000)), 0) << "the server did not stop within 10 s of SIGTERM";
}

}  // namespace
}  // namespace sf::test
