// Variants in batch: seed lists, shards, and whole batches of worker
// processes with a failing variant among them.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

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
                            "--seeds 1-3 --crown missing.obj -o 't{seed}.edits'"}) {
        EXPECT_EQ(run(std::string("build ") + bad), 2) << bad;
        const std::string e = err();
        EXPECT_EQ(std::count(e.begin(), e.end(), '\n'), 1) << bad << ": " << e;
        EXPECT_EQ(dir.entries(), 2u) << bad;  // out.txt and err.txt only
    }
}

}  // namespace
}  // namespace sf::app
