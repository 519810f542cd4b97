// The correctly rounded functions against the C library's, on arguments of
// the ranges the tool uses.
#include <benchmark/benchmark.h>

#include <cmath>
#include <random>
#include <vector>

#include "core/crmath.h"

namespace {

struct args {
    std::vector<double> a, b;
    std::vector<int> n;
    args() {
        std::mt19937_64 g(7);
        std::uniform_real_distribution<double> comp(-1e3, 1e3), unit(-1.0, 1.0), q(0.9, 1.1);
        for (int i = 0; i < 4096; ++i) {
            a.push_back(comp(g));
            b.push_back(i % 2 ? comp(g) : unit(g));
            n.push_back(static_cast<int>(g() % 40) + 1);
        }
    }
};

const args& inputs() {
    static const args a;
    return a;
}

template <class F>
void run(benchmark::State& state, F f) {
    const args& in = inputs();
    std::size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(f(in, i));
        i = (i + 1) & 4095;
    }
}

void BM_crm_atan2(benchmark::State& s) { run(s, [](const args& a, std::size_t i) { return sf::crm::atan2(a.a[i], a.b[i]); }); }
void BM_libm_atan2(benchmark::State& s) { run(s, [](const args& a, std::size_t i) { return std::atan2(a.a[i], a.b[i]); }); }
void BM_crm_acos(benchmark::State& s) { run(s, [](const args& a, std::size_t i) { return sf::crm::acos(a.b[i] * 0.999); }); }
void BM_libm_acos(benchmark::State& s) { run(s, [](const args& a, std::size_t i) { return std::acos(a.b[i] * 0.999); }); }
void BM_crm_pow(benchmark::State& s) { run(s, [](const args& a, std::size_t i) { return sf::crm::pow(1 + a.b[i] * 0.1, a.n[i]); }); }
void BM_libm_pow(benchmark::State& s) { run(s, [](const args& a, std::size_t i) { return std::pow(1 + a.b[i] * 0.1, a.n[i]); }); }

BENCHMARK(BM_crm_atan2);
BENCHMARK(BM_libm_atan2);
BENCHMARK(BM_crm_acos);
BENCHMARK(BM_libm_acos);
BENCHMARK(BM_crm_pow);
BENCHMARK(BM_libm_pow);

}  // namespace

BENCHMARK_MAIN();
