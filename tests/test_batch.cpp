// Variants in batch: seed lists, shards, and whole batches of worker
// processes with a failing variant among them.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <fstream>

#include "app/batch.h"
#include "app/settings_args.h"
#include "scratch_dir.h"

namespace sf::app {
namespace {

using seeds = std::vector<std::int32_t>;

TEST(SeedList, ListsRangesAndRefusals) {
    EXPECT_EQ(parse_seed_list("1-5"), (seeds{1, 2, 3, 4, 5}));
    EXPECT_EQ(parse_seed_list("1,4,9-12"), (seeds{1, 4, 9, 10, 11, 12}));
    EXPECT_EQ(parse_seed_list("7"), (seeds{7}));
    EXPECT_EQ(parse_seed_list("2147483647"), (seeds{INT32_MAX}));
    // Every seed random_seed holds, negative ones too.
    EXPECT_EQ(parse_seed_list("-3"), (seeds{-3}));
    EXPECT_EQ(parse_seed_list("-2--1,-2147483648"), (seeds{-2, -1, INT32_MIN}));
    EXPECT_EQ(parse_seed_list("-1-1"), (seeds{-1, 0, 1}));
    for (const char* bad : {"", ",", "1,", ",1", "1,,2", "5-3", "-1--3", "1-", "a", "1-2-3", "1 ,2", "2147483648",
                            "-2147483649", "1-2000000", "3,1-4"})
        EXPECT_THROW(parse_seed_list(bad), usage_error) << bad;
}

TEST(SeedList, ShardsSplitTheListExactlyOnce) {
    EXPECT_THROW(parse_shard("0/3"), usage_error);
    EXPECT_THROW(parse_shard("4/3"), usage_error);
    EXPECT_THROW(parse_shard("1/0"), usage_error);
    EXPECT_THROW(parse_shard("1"), usage_error);
    EXPECT_THROW(parse_shard("a/b"), usage_error);
    const seeds all = parse_seed_list("1-50,100,200-205");
    for (const int n : {1, 2, 3, 7, 57, 80}) {
        seeds joined;
        std::size_t smallest = all.size(), largest = 0;
        for (int k = 1; k <= n; ++k) {
            const seeds part = shard_slice(all, parse_shard(std::to_string(k) + "/" + std::to_string(n)));
            joined.insert(joined.end(), part.begin(), part.end());
            smallest = std::min(smallest, part.size());
            largest = std::max(largest, part.size());
        }
        EXPECT_EQ(joined, all) << n;
        EXPECT_LE(largest - smallest, 1u) << n;
    }
    EXPECT_EQ(with_seed("trees/{seed}/oak-{seed}.glb", 12), "trees/12/oak-12.glb");
}

using Batch = test::program_test;

TEST_F(Batch, EachSeedIsTheTreeOfThatSeed) {
    const std::string sets = "--set render_type=Polygonal --set branches=30 ";
    ASSERT_EQ(run("build " + sets + "--seeds 1-4 --jobs 2 -o 'out/t-{seed}.edits' --preview 'out/t-{seed}.png'"),
              0)
        << err();
    EXPECT_TRUE(err_has("built 4 of 4 trees (seeds 1-4)")) << err();
    EXPECT_TRUE(err_has("with 2 workers")) << err();
    ASSERT_EQ(run("build " + sets + "--set random_seed=3 -o alone.edits"), 0) << err();
    EXPECT_EQ(file("out/t-3.edits"), file("alone.edits"));
    for (int s = 1; s <= 4; ++s) EXPECT_TRUE(exists("out/t-" + std::to_string(s) + ".png")) << s;
    EXPECT_NE(file("out/t-1.edits"), file("out/t-2.edits"));

    // The second of three slices of 1-7 is seeds 3 and 4.
    ASSERT_EQ(run("build " + sets + "--seeds 1-7 --shard 2/3 -o 'shard/t-{seed}.edits'"), 0) << err();
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(dir.path / "shard"))
        names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"t-3.edits", "t-4.edits"}));
}

TEST_F(Batch, AFailedVariantIsNamedAndTheOthersFinish) {
    std::filesystem::create_directories(dir.path / "out");
    dir.write("out/3", "in the way of seed 3's folder");
    ASSERT_EQ(run("build --set branches=20 --seeds 1-5 --jobs 2 -o 'out/{seed}/t.edits'"), 2);
    EXPECT_TRUE(err_has("sylvaform: seed 3 failed: ")) << err();
    EXPECT_TRUE(err_has("built 4 of 5 trees")) << err();
    EXPECT_TRUE(err_has("failed seeds: 3\n")) << err();
    for (const int s : {1, 2, 4, 5}) EXPECT_TRUE(exists("out/" + std::to_string(s) + "/t.edits")) << s;
}

TEST_F(Batch, RefusedBeforeAnythingIsBuilt) {
    for (const char* bad : {"--seeds 1-3 -o t.edits", "--seeds 1-3 -o -", "--seeds 4 -o -", "--seeds 1-3 -o 't{seed}.edits' --preview p.png",
                            "--seeds 3-1 -o 't{seed}.edits'", "--shard 1/2 -o t.edits",
                            "--seeds 1-3 --shard 3/2 -o 't{seed}.edits'",
                            "--seeds 1-3 --set branches=x -o 't{seed}.edits'",
                            "--seeds 1-3 --crown missing.obj -o 't{seed}.edits'",
                            // Checked once for the whole batch: textures, outputs of one
                            // variant, and names that meet across variants.
                            "--seeds 1-40 --bark-texture missing.png -o 'o/t{seed}.glb'",
                            "--seeds 1-40 -o 'o/t{seed}.edits' -o 'o/./t{seed}.edits'",
                            "--seeds 1,11 -o 'o/{seed}.glb' -o 'o/1{seed}.glb'",
                            "--seeds 1-2 --lod 2 -o 'o/l{seed}.obj' -o 'o/l{seed}_LOD1.obj'"}) {
        EXPECT_EQ(run(std::string("build ") + bad), 2) << bad;
        const std::string e = err();
        EXPECT_EQ(std::count(e.begin(), e.end(), '\n'), 1) << bad << ": " << e;
        EXPECT_EQ(dir.entries(), 2u) << bad;  // out.txt and err.txt only
    }
    EXPECT_EQ(run("build --seeds 1,11 -o 'o/{seed}.glb' -o 'o/1{seed}.glb'"), 2);
    EXPECT_TRUE(err_has("-o o/{seed}.glb (seed 11) and -o o/1{seed}.glb (seed 1) would write the same file o/11.glb"))
        << err();
    // A FIFO where one variant would go refuses the batch, not that seed.
    ASSERT_EQ(::mkfifo(dir.file("t2.edits").c_str(), 0600), 0);
    EXPECT_EQ(run("build --seeds 1-3 -o 't{seed}.edits'", "timeout 60 "), 2);
    EXPECT_TRUE(err_has("sylvaform: -o t{seed}.edits (seed 2): t2.edits exists and is a FIFO")) << err();
    EXPECT_EQ(dir.entries(), 3u);
}

// The program without a shell, its standard error in err.txt.
pid_t start_program(const test::scratch_dir& dir, std::vector<std::string> args) {
    const pid_t pid = ::fork();
    if (pid != 0) return pid;
    if (::chdir(dir.path.c_str()) != 0) ::_exit(127);
    const int err = ::open("err.txt", O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ::dup2(err, STDERR_FILENO);
    std::vector<char*> argv{const_cast<char*>(SF_PROGRAM)};
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    ::execv(SF_PROGRAM, argv.data());
    ::_exit(127);
}

std::vector<pid_t> children_of(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children");
    std::vector<pid_t> kids;
    for (pid_t k; in >> k;) kids.push_back(k);
    return kids;
}

// Polls until done() or a minute has passed (a watchdog, not a measure).
template <class F>
bool within_a_minute(F done) {
    for (int k = 0; k < 3000; ++k) {
        if (done()) return true;
        ::usleep(20'000);
    }
    return done();
}

// Stopped, the batch stops its workers and says what was built; killed,
// its workers die with it (this process adopts them to see how).
TEST_F(Batch, WorkersEndWithTheBatch) {
    // Trees that take many seconds each: a worker that outlived its batch
    // would finish one and exit 0.
    const std::vector<std::string> slow{"build", "--set", "branches=2000", "--set", "render_type=2", "--subdivide",
                                        "3", "--seeds", "1-1000", "--jobs", "2", "-o", "t{seed}.glb"};
    const pid_t stopped = start_program(dir, slow);
    std::vector<pid_t> workers;
    ASSERT_TRUE(within_a_minute([&] { return !(workers = children_of(stopped)).empty(); }));
    ::kill(stopped, SIGTERM);
    int status = 0;
    ASSERT_EQ(::waitpid(stopped, &status, 0), stopped);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 128 + SIGTERM) << status;
    EXPECT_TRUE(err_has("sylvaform: stopped by SIGTERM: built ")) << err();
    EXPECT_TRUE(err_has("; seeds not built: ")) << err();
    for (const pid_t w : workers) EXPECT_NE(::kill(w, 0), 0) << w;  // reaped by the batch

    ASSERT_EQ(::prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
    const pid_t killed = start_program(dir, slow);
    ASSERT_TRUE(within_a_minute([&] { return !(workers = children_of(killed)).empty(); }));
    ::kill(killed, SIGKILL);
    ASSERT_EQ(::waitpid(killed, &status, 0), killed);
    for (const pid_t w : workers) {
        int ws = 0;
        EXPECT_TRUE(within_a_minute([&] { return ::waitpid(w, &ws, WNOHANG) == w; })) << w;
        // Killed with the batch, or (started just as it died) gone at once.
        EXPECT_TRUE((WIFSIGNALED(ws) && WTERMSIG(ws) == SIGKILL) || (WIFEXITED(ws) && WEXITSTATUS(ws) == 2))
            << w << " " << ws;
    }
    while (::waitpid(-1, &status, WNOHANG) > 0) {
    }
    ::prctl(PR_SET_CHILD_SUBREAPER, 0);
}

}  // namespace
}  // namespace sf::app
