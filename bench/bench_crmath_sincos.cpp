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

// Sine and cosine of batches of 30 arguments (a leaf batch's turns), per
// argument: the two-lane batch against one sincos call each and the C
// library's sincos (a GNU extension).
template <class F>
void run_batches(benchmark::State& state, F f) {
    const std::vector<double> xs = arguments(double(state.range(0)) / 100);
    std::vector<double> s(30), c(30);
    std::size_t i = 0;
    for (auto _ : state) {
        f(xs.data() + i, s.data(), c.data());
        benchmark::DoNotOptimize(s.data());
        benchmark::DoNotOptimize(c.data());
        i = (i + 30) & 4031;
    }
    state.SetItemsProcessed(state.iterations() * 30);
}
void BM_crm_sincos_n(benchmark::State& st) {
    run_batches(st, [](const double* x, double* s, double* c) { sf::crm::sincos_n(x, s, c, 30); });
}
void BM_crm_sincos_each(benchmark::State& st) {
    run_batches(st, [](const double* x, double* s, double* c) {
        for (int k = 0; k < 30; ++k) sf::crm::sincos(x[k], s[k], c[k]);
    });
}
void BM_libc_sincos_each(benchmark::State& st) {
    run_batches(st, [](const double* x, double* s, double* c) {
        for (int k = 0; k < 30; ++k) ::sincos(x[k], &s[k], &c[k]);
    });
}

}  // namespace

// Batch ranges in hundredths: [-0.35, 0.35] (a leaf's turns), [-3.14, 3.14].
BENCHMARK(BM_crm_sincos_n)->Arg(35)->Arg(314);
BENCHMARK(BM_crm_sincos_each)->Arg(35)->Arg(314);
BENCHMARK(BM_libc_sincos_each)->Arg(35)->Arg(314);

// Argument ranges: [-8, 8], [-1e5, 1e5] (Cody-Waite), [-1e15, 1e15]
// (fixed-point reduction).
BENCHMARK(BM_crm_sin)->Arg(8)->Arg(100000)->Arg(1000000000000000);
BENCHMARK(BM_std_sin)->Arg(8)->Arg(100000)->Arg(1000000000000000);
BENCHMARK(BM_crm_cos)->Arg(8);
BENCHMARK(BM_std_cos)->Arg(8);
