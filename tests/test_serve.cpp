// The web server end to end over HTTP: the program runs as `sylvaform
// serve` in its own process and is driven the way the page drives it.
#include <httplib.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <thread>

#include "serve_fixture.h"

namespace {

using nlohmann::json;
using sf::test::scratch_dir;

constexpr unsigned k_branches = 0x8002, k_refresh = 0x8020, k_branch_thickness = 0x8007, k_render_type = 0x8018,
                   k_leaf_growth_randomness = 0x804A;

const char* const k_box_obj =
    "v -1 1 -1\nv 1 1 -1\nv 1 1 1\nv -1 1 1\nv -1 3 -1\nv 1 3 -1\nv 1 3 1\nv -1 3 1\n"
    "f 1 2 3 4\nf 5 8 7 6\nf 1 5 6 2\nf 2 6 7 3\nf 3 7 8 4\nf 4 8 5 1\n";

class ServeTest : public ::testing::Test {
protected:
    void SetUp() override {
        server_ = std::make_unique<sf::test::serve_process>(dir, "1");
        port_ = server_->port;
        ASSERT_GT(port_, 0);
        client_ = std::make_unique<httplib::Client>("127.0.0.1", port_);
        client_->set_read_timeout(60);
        wait_built(0);
    }

    // Stops the server as Ctrl+C would, with a state request waiting: it
    // must end at once and cleanly, not when the long-poll times out.
    void TearDown() override {
        if (port_ <= 0) return;
        std::thread waiting([port = port_, version = state()["version"].get<std::uint64_t>()] {
            httplib::Client c("127.0.0.1", port);
            c.set_read_timeout(60);
            c.Get("/api/state?since=" + std::to_string(version + 1000));
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        EXPECT_GE(server_->stop(std::chrono::milliseconds(10000)), 0) << "the server did not stop within 10 s";
        waiting.join();
    }

    json state() {
        const auto res = client_->Get("/api/state");
        EXPECT_TRUE(res && res->status == 200);
        return res ? json::parse(res->body) : json();
    }

    // Waits until the tool has built more than `builds` times and nothing is pending.
    json wait_built(std::uint64_t builds) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        json s = state();
        while ((s["build"]["count"].get<std::uint64_t>() <= builds || s["busy"].get<bool>()) &&
               std::chrono::steady_clock::now() < deadline) {
            const auto res = client_->Get("/api/state?since=" + std::to_string(s["version"].get<std::uint64_t>()));
            if (res && res->status == 200) s = json::parse(res->body);
        }
        EXPECT_GT(s["build"]["count"].get<std::uint64_t>(), builds);
        return s;
    }

    // Waits until nothing is queued or building.
    json settle() {
        json s = state();
        for (int k = 0; k < 300 && s["busy"].get<bool>(); ++k) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            s = state();
        }
        return s;
    }

    httplib::Result post(const std::string& path, const json& body) {
        return client_->Post(path.c_str(), body.dump(), "application/json");
    }
    int set(unsigned id, const json& value) {
        const auto res = post("/api/set", {{"id", id}, {"value", value}});
        return res ? res->status : -1;
    }
    static json value(const json& s, unsigned id) { return s["values"][std::to_string(id)]; }
    static std::uint64_t builds(const json& s) { return s["build"]["count"].get<std::uint64_t>(); }

    scratch_dir dir;
    std::unique_ptr<sf::test::serve_process> server_;
    int port_ = 0;
    std::unique_ptr<httplib::Client> client_;
};

TEST_F(ServeTest, PanelIsDescribedFromTheToolsTables) {
    const auto res = client_->Get("/api/panel");
    ASSERT_TRUE(res && res->status == 200);
    const json panel = json::parse(res->body);
    EXPECT_EQ(panel["title"], "Sylvaform 1.7");
    std::vector<std::string> tabs;
    for (const json& id : panel["tabs"])
        for (const json& g : panel["groups"])
            if (g["id"] == id) tabs.push_back(g["label"]);
    EXPECT_EQ(tabs, (std::vector<std::string>{"Tree", "Twig", "Leaf", "Advanced"}));
    EXPECT_EQ(panel["ranges"][std::to_string(k_branches)], (json{{"min", 1}, {"max", 2000}, {"step", 1}}));
    EXPECT_EQ(panel["choices"][std::to_string(k_refresh)], (json{"Manual", "Automatic"}));
    EXPECT_EQ(panel["enables"][0]["off_text"], "Tool is currently inactive.");
    for (const json& c : panel["controls"])
        if (c["id"] == k_branches) {
            EXPECT_NE(c.value("help", "").find("How many branches"), std::string::npos);
        }

    // The page itself is served; nothing else outside the API is.
    const auto page = client_->Get("/");
    ASSERT_TRUE(page && page->status == 200);
    EXPECT_NE(page->get_header_value("Content-Type").find("text/html"), std::string::npos);
    for (const char* path : {"/etc/passwd", "/../../etc/passwd", "/api/../../etc/passwd", "/api/nothing"}) {
        const auto r = client_->Get(path);
        ASSERT_TRUE(r);
        EXPECT_EQ(r->status, 404) << path;
    }
}

TEST_F(ServeTest, EditsRebuildAsTheRefreshModeSays) {
    json s = settle();
    const auto polygons = s["mesh"]["polygons"].get<std::uint64_t>();
    ASSERT_GT(polygons, 0u);

    // Automatic: an edit rebuilds at once, with the value as stored.
    ASSERT_EQ(set(k_branches, 300), 202);
    s = wait_built(builds(s));
    EXPECT_EQ(value(s, k_branches), 300);
    EXPECT_NE(s["mesh"]["polygons"].get<std::uint64_t>(), polygons);

    // A thickness edit rebuilds the mesh only; the panel's clamp shows.
    ASSERT_EQ(set(k_branch_thickness, 0.0), 202);
    s = wait_built(builds(s));
    EXPECT_EQ(value(s, k_branch_thickness), 0.001);

    // Manual: edits wait; choosing "Manual" again builds once.
    ASSERT_EQ(set(k_refresh, 0), 202);
    ASSERT_EQ(set(k_branches, 40), 202);
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    const json waiting = settle();
    EXPECT_EQ(builds(waiting), builds(s));
    EXPECT_EQ(value(waiting, k_branches), 40);
    ASSERT_EQ(set(k_refresh, 0), 202);
    s = wait_built(builds(waiting));
    EXPECT_EQ(builds(settle()), builds(waiting) + 1);

    // Render Type rebuilds whatever the mode.
    ASSERT_EQ(set(k_render_type, 2), 202);
    s = wait_built(builds(s));
    EXPECT_GT(s["mesh"]["patches"].get<std::uint64_t>(), 0u);
    const auto glb = client_->Get("/api/mesh.glb?subdivide=1");
    ASSERT_TRUE(glb && glb->status == 200);
    EXPECT_EQ(glb->body.substr(0, 4), "glTF");
}

// A setting that overflows the tree: the view and the downloads are
// refused with the reason, and the server goes on answering.
TEST_F(ServeTest, NonFiniteTreeIsNotHandedOut) {
    json s = settle();
    ASSERT_EQ(set(0x800B, 1e300), 202);  // branch tip jitter
    s = wait_built(builds(s));
    for (const char* path : {"/api/mesh.glb", "/api/download?format=glb", "/api/download?format=obj",
                             "/api/download?format=lwo"}) {
        const auto res = client_->Get(path);
        ASSERT_TRUE(res) << path;
        EXPECT_EQ(res->status, 409) << path;
        EXPECT_NE(res->body.find("non-finite"), std::string::npos) << path << " " << res->body;
    }
    ASSERT_EQ(set(0x800B, 0.1), 202);
    s = wait_built(builds(s));
    EXPECT_EQ(client_->Get("/api/mesh.glb")->status, 200);
}

TEST_F(ServeTest, DroppedToolGreysThePanelUntilPickedAgain) {
    json s = settle();
    ASSERT_EQ(set(k_branches, 90), 202);
    s = wait_built(builds(s));
    ASSERT_EQ(post("/api/event", {{"event", "drop"}})->status, 200);
    s = settle();
    EXPECT_EQ(s["inactive_text"], "Tool is currently inactive.");
    const auto greyed = s["greyed"].get<std::vector<unsigned>>();
    for (const unsigned id : {k_branches, k_refresh, k_render_type, 0x8027u})
        EXPECT_NE(std::find(greyed.begin(), greyed.end(), id), greyed.end()) << id;
    EXPECT_EQ(set(k_branches, 95), 409);
    EXPECT_EQ(post("/api/event", {{"event", "explode"}})->status, 400);

    ASSERT_EQ(post("/api/event", {{"event", "activate"}})->status, 200);
    s = wait_built(builds(s));
    EXPECT_EQ(s["inactive_text"], "");
    EXPECT_EQ(value(s, k_branches), 90);

    // Reset restores the defaults and builds them.
    ASSERT_EQ(post("/api/event", {{"event", "reset"}})->status, 200);
    s = wait_built(builds(s));
    EXPECT_EQ(value(s, k_branches), 150);
}

// Typed beyond the slider is taken, with the note the command line gives;
// an edit whose tree would pass the memory budget is refused in the
// command line's words, and the last tree stays.
TEST_F(ServeTest, BeyondTheSliderIsTakenAndPastTheBudgetIsRefused) {
    json s = settle();
    auto res = post("/api/set", {{"id", k_branches}, {"value", 2001}});
    ASSERT_EQ(res->status, 202);
    EXPECT_EQ(json::parse(res->body)["note"], "\"Branches\": 2001 is beyond the slider's 1 .. 2000");
    s = wait_built(builds(s));
    EXPECT_EQ(value(s, k_branches), 2001);
    s = settle();
    const json mesh = s["mesh"];
    res = post("/api/set", {{"id", 0x8003}, {"value", 2147483647}});
    ASSERT_EQ(res->status, 422);
    const std::string error = json::parse(res->body)["error"];
    EXPECT_EQ(error.rfind("the tree would need about ", 0), 0u) << error;
    EXPECT_NE(error.find(", more than the budget of "), std::string::npos) << error;
    s = settle();
    EXPECT_EQ(s["mesh"], mesh);
    EXPECT_EQ(value(s, 0x8003), 8);
}

TEST_F(ServeTest, BadRequestsAreRefusedAndChangeNothing) {
    const json before = settle();
    const struct {
        const char* why;
        json body;
    } edits[] = {
        {"past 32 bits", {{"id", k_branches}, {"value", 3000000000.0}}},
        {"not whole", {{"id", k_branches}, {"value", 2.5}}},
        {"a string", {{"id", k_branches}, {"value", "300"}}},
        {"unknown id", {{"id", 0x9999}, {"value", 1}}},
        {"negative id", {{"id", -1}, {"value", 1}}},
        {"info line", {{"id", 0x802A}, {"value", 1}}},
        {"hidden flag", {{"id", 0x8017}, {"value", 0}}},
        {"button", {{"id", 0x801E}, {"value", 1}}},
        {"choice beyond list", {{"id", k_render_type}, {"value", 3}}},
        {"number for a check box", {{"id", 0x801B}, {"value", 1}}},
        {"no value", {{"id", k_branches}}},
        {"not an object", json::array({1, 2})},
    };
    for (const auto& e : edits) {
        const auto res = post("/api/set", e.body);
        ASSERT_TRUE(res) << e.why;
        EXPECT_EQ(res->status, 400) << e.why;
        EXPECT_FALSE(json::parse(res->body)["error"].get<std::string>().empty()) << e.why;
    }
    auto res = client_->Post("/api/set", "{\"id\": 32770, \"value\": 1e999}", "application/json");
    EXPECT_EQ(res->status, 400);
    res = client_->Post("/api/set", "{\"id\": 32770, \"value\": 30", "application/json");
    EXPECT_EQ(res->status, 400);
    res = client_->Post("/api/set", json{{"id", k_branches}, {"value", 30}}.dump(), "text/plain");
    EXPECT_EQ(res->status, 415);

    // Another site's page is refused (other host names: ServeSecurity).
    httplib::Headers other_origin{{"Origin", "http://example.com"}};
    res = client_->Post("/api/set", other_origin, json{{"id", k_branches}, {"value", 30}}.dump(), "application/json");
    EXPECT_EQ(res->status, 403);

    // Preset names never become paths.
    for (const char* name : {"../escape", "", "a/b", ".hidden"}) {
        EXPECT_EQ(post("/api/presets", {{"name", name}})->status, 400) << name;
        EXPECT_EQ(post("/api/presets/load", {{"name", name}})->status, 400) << name;
    }
    EXPECT_EQ(client_->Get("/api/presets/thumbnail?name=..%2F..%2Fetc%2Fpasswd")->status, 400);
    EXPECT_EQ(post("/api/presets/remove", {{"name", "absent"}})->status, 404);

    // Crowns: too large, unreadable, without polygons, without a format.
    const std::string big(std::size_t(1) << 21, ' ');
    EXPECT_EQ(client_->Post("/api/crown?name=big.obj", big, "application/octet-stream")->status, 413);
    res = client_->Post("/api/crown?name=bad.ply", "not a ply file", "application/octet-stream");
    EXPECT_EQ(res->status, 400);
    EXPECT_NE(res->body.find("bad.ply"), std::string::npos) << res->body;
    EXPECT_EQ(res->body.find("sylvaform-upload"), std::string::npos) << "the temporary path leaked: " << res->body;
    EXPECT_EQ(client_->Post("/api/crown?name=flat.obj", "v 0 0 0\nv 1 0 0\nl 1 2\n", "application/octet-stream")->status,
              400);
    EXPECT_EQ(client_->Post("/api/crown?name=box", k_box_obj, "application/octet-stream")->status, 400);
    EXPECT_EQ(client_->Post("/api/crown?name=box.obj&up=x", k_box_obj, "application/octet-stream")->status, 400);
    EXPECT_EQ(client_->Get("/api/download?format=exe")->status, 400);
    EXPECT_EQ(client_->Get("/api/download?format=edits")->status, 400);  // the page's tree keeps no history
    EXPECT_EQ(client_->Get("/api/mesh.glb?subdivide=4")->status, 400);

    const json after = settle();
    EXPECT_EQ(after["values"], before["values"]);
    EXPECT_EQ(builds(after), builds(before));
    EXPECT_EQ(after["crown"], before["crown"]);
}

TEST_F(ServeTest, PresetsRoundTripThroughTheShelf) {
    json s = settle();
    ASSERT_EQ(set(k_branches, 120), 202);
    ASSERT_EQ(set(k_leaf_growth_randomness, 0.35), 202);
    s = wait_built(builds(s));
    auto res = post("/api/presets", {{"name", "small oak"}});
    ASSERT_TRUE(res);
    ASSERT_EQ(res->status, 201) << res->body;
    EXPECT_EQ(json::parse(res->body)["replaced"], false);
    EXPECT_EQ(post("/api/presets", {{"name", "small oak"}})->status, 201);

    // The panel's own button asks for the name the shelf needs, then saves.
    res = post("/api/button", {{"id", 0x801F}});
    ASSERT_EQ(res->status, 400);
    EXPECT_EQ(json::parse(res->body)["ask"], "name");
    res = post("/api/button", {{"id", 0x801F}, {"name", "small oak"}});
    ASSERT_EQ(res->status, 201);
    EXPECT_EQ(json::parse(res->body)["preset"]["replaced"], true);

    res = client_->Get("/api/presets");
    EXPECT_EQ(json::parse(res->body)["presets"], (json{{{"name", "small oak"}}}));
    res = client_->Get("/api/presets/thumbnail?name=small%20oak");
    ASSERT_EQ(res->status, 200);
    EXPECT_EQ(res->body.substr(1, 3), "PNG");
    // The picture drawn on saving, 256 pixels wide; a link in its place is none.
    res = client_->Get("/api/presets/picture?name=small%20oak");
    ASSERT_EQ(res->status, 200);
    ASSERT_GT(res->body.size(), 24u);
    EXPECT_EQ(res->body.substr(1, 3), "PNG");
    EXPECT_EQ(static_cast<unsigned char>(res->body[18]) * 256 + static_cast<unsigned char>(res->body[19]), 256);
    const std::string picture = dir.file("shelf") + "/small%20oak.sfview";
    std::filesystem::remove(picture);
    std::filesystem::create_symlink(dir.file("shelf") + "/small%20oak.png", picture);
    EXPECT_EQ(client_->Get("/api/presets/picture?name=small%20oak")->status, 404);

    ASSERT_EQ(set(k_branches, 500), 202);
    ASSERT_EQ(set(k_leaf_growth_randomness, 0.9), 202);
    s = wait_built(builds(s));
    ASSERT_EQ(post("/api/presets/load", {{"name", "small oak"}})->status, 200);
    s = wait_built(builds(s));
    EXPECT_EQ(value(s, k_branches), 120);
    EXPECT_EQ(value(s, k_leaf_growth_randomness), 0.35);  // kept beside the tool's stream
    EXPECT_GT(s["presets"]["version"].get<int>(), 0);

    EXPECT_EQ(post("/api/presets/remove", {{"name", "small oak"}})->status, 200);
    EXPECT_EQ(client_->Get("/api/presets/thumbnail?name=small%20oak")->status, 404);
    EXPECT_EQ(dir.entries(), 2u);  // the server's temporary folder and the shelf, now empty
    EXPECT_TRUE(std::filesystem::is_empty(dir.file("shelf")));
}

// Triangles of an .obj's faces, each of n corners counted as n - 2.
std::size_t obj_triangles(const std::string& obj) {
    std::size_t n = 0;
    for (std::size_t at = 0; at < obj.size(); at = obj.find('\n', at) + 1) {
        if (obj.compare(at, 2, "f ") == 0)
            n += std::count(obj.begin() + at, obj.begin() + obj.find('\n', at), ' ') - 2;
        if (obj.find('\n', at) == std::string::npos) break;
    }
    return n;
}

// Round bark for the page: within the budget (auto: the square tree's own
// count), refused below what the tree needs, and a tree without tubes is
// handed out as it is; the .glb with an impostor, refused for a Skeleton tree.
TEST_F(ServeTest, RoundBarkDownloadsWithinTheTriangleBudget) {
    json s = settle();
    ASSERT_EQ(set(k_branches, 40), 202);
    s = wait_built(builds(s));
    const auto square = client_->Get("/api/download?format=obj");
    ASSERT_EQ(square->status, 200);
    const std::size_t budget = obj_triangles(square->body);
    ASSERT_GT(budget, 1000u);
    auto res = client_->Get("/api/download?format=obj&triangles=auto");
    ASSERT_EQ(res->status, 200) << res->body;
    EXPECT_LE(obj_triangles(res->body), budget);
    EXPECT_GT(obj_triangles(res->body), budget * 9 / 10);
    EXPECT_NE(res->body, square->body);
    res = client_->Get("/api/download?format=obj&triangles=" + std::to_string(budget - 200) + "&subdivide=1");
    ASSERT_EQ(res->status, 200) << res->body;
    EXPECT_LE(obj_triangles(res->body), budget - 200);
    res = client_->Get("/api/mesh.glb?triangles=auto");
    ASSERT_EQ(res->status, 200) << res->body;
    EXPECT_EQ(res->body.substr(0, 4), "glTF");
    EXPECT_EQ(client_->Get("/api/download?format=glb&triangles=auto")->body, res->body);  // one cached answer
    // With the impostor as its last level, drawn from that same tree.
    const auto with_impostor = client_->Get("/api/download?format=glb&triangles=auto&impostor=1");
    ASSERT_EQ(with_impostor->status, 200) << with_impostor->body;
    EXPECT_EQ(with_impostor->body.substr(0, 4), "glTF");
    EXPECT_NE(with_impostor->body.find("\"tree_impostor\""), std::string::npos);
    EXPECT_NE(with_impostor->body.find("\"MSFT_lod\""), std::string::npos);
    EXPECT_EQ(client_->Get("/api/download?format=obj&impostor=1")->status, 400);

    res = client_->Get("/api/mesh.glb?triangles=10");
    EXPECT_EQ(res->status, 422);
    EXPECT_NE(res->body.find("needs at least"), std::string::npos) << res->body;
    for (const char* bad : {"0", "-5", "1e5", "4000000001", "auto2", ""})
        EXPECT_EQ(client_->Get(std::string("/api/download?format=glb&triangles=") + bad)->status, 400) << bad;

    ASSERT_EQ(set(k_render_type, 0), 202);  // Skeleton: lines only
    s = wait_built(builds(s));
    EXPECT_EQ(client_->Get("/api/mesh.glb?triangles=auto")->status, 200);
    EXPECT_EQ(client_->Get("/api/download?format=obj&triangles=auto")->status, 200);
    res = client_->Get("/api/download?format=glb&triangles=auto&impostor=1");
    EXPECT_EQ(res->status, 400);
    EXPECT_NE(res->body.find("Skeleton"), std::string::npos) << res->body;
}

TEST_F(ServeTest, CrownUploadRegrowsAndResultsDownload) {
    json s = settle();
    auto res = client_->Post("/api/crown?name=box.OBJ&up=y", k_box_obj, "application/octet-stream");
    ASSERT_EQ(res->status, 200) << res->body;
    s = wait_built(builds(s));
    EXPECT_EQ(s["crown"]["name"], "box.OBJ");
    EXPECT_EQ(s["crown"]["polygons"], 6);
    EXPECT_GT(s["mesh"]["polygons"].get<int>(), 0);
    EXPECT_EQ(s["build"]["error"], "");

    res = client_->Get("/api/download?format=glb");
    ASSERT_EQ(res->status, 200);
    EXPECT_EQ(res->body.substr(0, 4), "glTF");
    EXPECT_NE(res->get_header_value("Content-Disposition").find("tree.glb"), std::string::npos);
    res = client_->Get("/api/download?format=lwo");
    EXPECT_EQ(res->body.substr(0, 4), "FORM");
    res = client_->Get("/api/download?format=obj");
    EXPECT_NE(res->body.find("mtllib tree.mtl"), std::string::npos);
    EXPECT_EQ(client_->Get("/api/crown.glb")->body.substr(0, 4), "glTF");

    ASSERT_EQ(client_->Post("/api/crown/default", "", "application/octet-stream")->status, 200);
    s = wait_built(builds(s));
    EXPECT_EQ(s["crown"]["name"], "built-in crown");
}

}  // namespace
