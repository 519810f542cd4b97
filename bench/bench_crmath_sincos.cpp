// The correctly rounded sine and cosine against the C library's, on the
// arguments the tool passes (angles within a few turns) and on larger ones.
#include <benchmark/benchmark.h>

#include <cmath>
#include <random>
#include <vector>

#include "core/crmath.h"

namespace {

std::vector<double> arguments(double range) {
    std::mt19937_64 rng(7);
    std::uniform_real_distribution<double> d(-range, range);
    std::vector<double> xs(4096);
    for (double& x : xs) x = d(rng);
    return xs;
}

template <double (*f)(double)>
void run(benchmark::State& state) {
    const std::vector<double> xs = arguments(double(state.range(0)));
    std::size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(f(xs[i]));
        i = (i + 1) & (xs.size() - 1);
    }
}

double std_sin(double x) { return std::sin(x); }
double std_cos(double x) { return std::cos(x); }

void BM_crm_sin(benchmark::State& s) { run<sf::crm::sin>(s); }
void BM_crm_cos(benchmark::State& s) { run<sf::crm::cos>(s); }
void BM_std_sin(benchmark::State& s) { run<std_sin>(s); }
void BM_std_cos(benchmark::State& s) { run<std_cos>(s); }

}  // namespace

// Argument ranges: [-8, 8], [-1e5, 1e5] (Cody-Waite), [-1e15, 1e15]
// (fixed-point reduction).
BENCHMARK(BM_crm_sin)->Arg(8)->Arg(100000)->Arg(1000000000000000);
BENCHMARK(BM_std_sin)->Arg(8)->Arg(100000)->Arg(1000000000000000);
BENCHMARK(BM_crm_cos)->Arg(8);
BENCHMARK(BM_std_cos)->Arg(8);
