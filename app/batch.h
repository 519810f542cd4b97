// Many variants of one tree in one run: one build per seed, each in its own
// worker process, several at a time.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "app/command.h"

namespace sf::app {

// "1-50", "1,4,9-12", "-5--1": every seed random_seed can hold (32-bit
// whole numbers, a leading '-' for negative ones) and ascending ranges,
// each seed once. Throws usage_error.
std::vector<std::int32_t> parse_seed_list(const std::string& text);

// "K/N" with 1 <= K <= N: the K-th of N equal slices, in list order.
struct shard {
    int k = 1, n = 1;
};
shard parse_shard(const std::string& text);
std::vector<std::int32_t> shard_slice(const std::vector<std::int32_t>& seeds, shard s);

// Every "{seed}" in text replaced by the seed.
std::string with_seed(const std::string& text, std::int32_t seed);

// What a batch will do, checked before anything is built.
struct batch_plan {
    std::vector<std::int32_t> all;    // the whole list
    std::vector<std::int32_t> seeds;  // this shard's part of it
    int jobs = 1;                     // worker processes
};

// Checks the request (seeds, shard, jobs; every output and preview names
// {seed} when there is more than one seed). Throws usage_error.
batch_plan plan_batch(const build_request& request);

// The request of one variant: random_seed set last, {seed} filled in.
build_request variant(const build_request& request, std::int32_t seed);

// The number of cores this process may run on.
int usable_cores();

// Builds every seed of the plan through build_one, run in a worker process
// of its own, at most plan.jobs at a time; one progress line while standard
// error is a terminal, each failure reported by seed, and a summary. Answers
// 0 when all were built, else 2. SIGINT or SIGTERM stops the workers and
// the batch, which then says what was built and answers 128 + the signal.
int run_batch(const batch_plan& plan, const build_request& request,
              const std::function<int(const build_request&)>& build_one);

}  // namespace sf::app
