// sf::crm::sin and cos against MPFR: every result bit for bit, the fast
// stage's error bound, and the accurate stage on its own. The number of
// random arguments comes from SF_CRMATH_SAMPLES (scripts/crmath-check runs
// ten million).
#include <gtest/gtest.h>
#include <mpfr.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <random>
#include <vector>

#include "core/crmath.h"
#include "core/crmath_sincos_detail.h"

namespace {

using sf::crm::detail::sincos_accurate;
using sf::crm::detail::sincos_fast;

long samples(long quick) {
    const char* s = std::getenv("SF_CRMATH_SAMPLES");
    return s && std::atol(s) > 0 ? std::atol(s) : quick;
}

// MPFR with the exponent range of doubles, so subnormal results round once.
struct mpfr_double_range {
    mpfr_exp_t emin = mpfr_get_emin(), emax = mpfr_get_emax();
    mpfr_double_range() { mpfr_set_emin(-1073), mpfr_set_emax(1024); }
    ~mpfr_double_range() { mpfr_set_emin(emin), mpfr_set_emax(emax); }
};

// The correctly rounded sin or cos of x.
double reference(double x, bool cosine) {
    mpfr_t a, y;
    mpfr_inits2(53, a, y, (mpfr_ptr)0);
    mpfr_set_d(a, x, MPFR_RNDN);
    int inex = cosine ? mpfr_cos(y, a, MPFR_RNDN) : mpfr_sin(y, a, MPFR_RNDN);
    mpfr_subnormalize(y, inex, MPFR_RNDN);
    const double r = mpfr_get_d(y, MPFR_RNDN);
    mpfr_clears(a, y, (mpfr_ptr)0);
    return r;
}

// How far the fast stage is from the exact value, as a multiple of its own
// error bound (must stay <= 1), and the exact value's distance to the
// nearest midpoint between doubles, in ulps (small = hard to round).
struct fast_check {
    double used_bound, midpoint_distance;
};
fast_check check_fast(double x, bool cosine) {
    const auto f = sincos_fast(x, cosine);
    mpfr_t a, y, d;
    mpfr_inits2(320, a, y, d, (mpfr_ptr)0);
    mpfr_set_d(a, x, MPFR_RNDN);
    cosine ? mpfr_cos(y, a, MPFR_RNDN) : mpfr_sin(y, a, MPFR_RNDN);
    mpfr_sub_d(d, y, f.hi, MPFR_RNDN);
    mpfr_sub_d(d, d, f.lo, MPFR_RNDN);
    const double used = std::fabs(mpfr_get_d(d, MPFR_RNDN)) / f.err;
    // Distance of y to the midpoint next to the nearest double, in ulps.
    const double n = mpfr_get_d(y, MPFR_RNDN);
    const double ulp = std::nextafter(std::fabs(n), INFINITY) - std::fabs(n);
    mpfr_sub_d(d, y, n, MPFR_RNDN);
    const double off = std::fabs(mpfr_get_d(d, MPFR_RNDN)) / ulp;
    mpfr_clears(a, y, d, (mpfr_ptr)0);
    return {used, 0.5 - off};
}

// Compares bit patterns, so -0 differs from +0; any NaN equals any NaN.
::testing::AssertionResult same(double got, double want) {
    if ((std::isnan(got) && std::isnan(want)) || std::bit_cast<std::uint64_t>(got) == std::bit_cast<std::uint64_t>(want))
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << std::hexfloat << got << " instead of " << want;
}

void expect_correct(double x) {
    EXPECT_TRUE(same(sf::crm::sin(x), reference(x, false))) << "sin " << std::hexfloat << x;
    EXPECT_TRUE(same(sf::crm::cos(x), reference(x, true))) << "cos " << std::hexfloat << x;
}

void expect_accurate_correct(double x) {
    if (std::fabs(x) < 0x1p-27 || !std::isfinite(x)) return;
    EXPECT_TRUE(same(sincos_accurate(x, false), reference(x, false))) << "accurate sin " << std::hexfloat << x;
    EXPECT_TRUE(same(sincos_accurate(x, true), reference(x, true))) << "accurate cos " << std::hexfloat << x;
}

}  // namespace

TEST(CrmathSinCos, SpecialValuesAsTheCFunctions) {
    constexpr double inf = std::numeric_limits<double>::infinity();
    for (double x : {inf, -inf, std::nan("")}) {
        EXPECT_TRUE(std::isnan(sf::crm::sin(x)));
        EXPECT_TRUE(std::isnan(sf::crm::cos(x)));
    }
    EXPECT_TRUE(same(sf::crm::sin(-0.0), -0.0));
    EXPECT_TRUE(same(sf::crm::sin(0.0), 0.0));
    EXPECT_EQ(sf::crm::cos(-0.0), 1.0);
}

// Both stages on the boundaries of each path: subnormals, the small-argument
// shortcuts, the edges of the table and of each reduction, every power of
// two, the largest doubles and the double nearest a multiple of pi/2.
TEST(CrmathSinCos, EdgeArgumentsMatchMpfr) {
    mpfr_double_range range;
    std::vector<double> xs = {std::numeric_limits<double>::denorm_min(), 0x1.fffffffffffffp-1023, 0x1p-1022,
        0x1.2345p-600, 0x1.921fb54442d18p-1, 0x1.921fb54442d18p+0, 0x1.921fb54442d18p+1, 0x1.2d97c7f3321d2p+2,
        0x1.921fb54442d18p+2, 0x1.92p-1, 0x1.95p-1, 201.5 / 256, 0x1p20, 0x1p20 * 1.5707963267948966, 1e22,
        std::numeric_limits<double>::max(), 6381956970095103.0 * 0x1p797};
    for (double t : {0x1p-27, 0x1p-26, 0x1.6a09e667f3bcdp-27})
        for (int d = -3; d <= 3; ++d) xs.push_back(t + d * 0x1p-80);
    for (int e = -1074; e <= 1023; ++e) xs.push_back(std::ldexp(1.0, e));
    const std::size_t n = xs.size();
    for (std::size_t i = 0; i < n; ++i) {
        double below = xs[i], above = xs[i];
        for (int d = 0; d < 2; ++d) {
            xs.push_back(below = std::nextafter(below, 0.0));
            xs.push_back(above = std::nextafter(above, INFINITY));
        }
    }
    for (double x : xs) {
        for (double s : {x, -x}) {
            expect_correct(s);
            expect_accurate_correct(s);
        }
    }
}

// Results within about 2^-50 ulp of a midpoint: for small x, sin x = x -
// x^3/6 + ... and cos x = 1 - x^2/2 + ... step across midpoints by far less
// than an ulp per double, so the doubles around each crossing are as hard
// to round as any.
TEST(CrmathSinCos, ConstructedHardCasesMatchMpfr) {
    mpfr_double_range range;
    std::vector<double> xs;
    for (int e = -26; e <= -16; ++e)
        for (double k : {0.5, 1.5, 7.5, 100.5}) {
            const double ulp = std::ldexp(1.0, e - 52);
            const double x0 = std::cbrt(6 * k * ulp);  // x^3/6 = k ulp
            if (x0 >= std::ldexp(1.0, e) && x0 < std::ldexp(1.0, e + 1)) xs.push_back(x0);
        }
    for (double j : {0.0, 1.0, 2.0, 50.0, 12345.0, 1e9, 1e12})
        xs.push_back(std::sqrt((2 * j + 1) * 0x1p-53));  // x^2/2 = (j + 1/2) ulp of 1-
    const std::size_t n = xs.size();
    int hard = 0;
    double closest = 1;
    for (std::size_t i = 0; i < n; ++i) {
        double lo = xs[i], hi = xs[i];
        for (int d = 0; d < 64; ++d) xs.push_back(lo = std::nextafter(lo, 0.0)), xs.push_back(hi = std::nextafter(hi, 1.0));
    }
    for (double x : xs) {
        expect_correct(x);
        expect_accurate_correct(x);
        for (bool c : {false, true}) {
            const double d = check_fast(x, c).midpoint_distance;
            hard += d < 0x1p-40;
            closest = std::min(closest, d);
        }
    }
    EXPECT_GT(hard, 20) << "the construction no longer finds hard cases";
    std::printf("sin/cos: %d constructed results within 2^-40 ulp of a midpoint, the closest %.3g ulp\n", hard, closest);
}

// x the double nearest k pi/2 and its neighbours: the reductions' hardest
// cases (|r| down to about 2^-60).
TEST(CrmathSinCos, NearMultiplesOfHalfPiMatchMpfr) {
    mpfr_double_range range;
    const long kmax = std::max(20000L, samples(200000) / 10);
    mpfr_t pio2, v;
    mpfr_inits2(400, pio2, v, (mpfr_ptr)0);
    mpfr_const_pi(pio2, MPFR_RNDN);
    mpfr_div_2ui(pio2, pio2, 1, MPFR_RNDN);
    std::mt19937_64 rng(26);
    double worst = 0;
    for (long i = 1; i <= kmax; ++i) {
        // Every k up to kmax, and as many spread over the range of doubles.
        for (double k : {double(i), std::ldexp(double((rng() >> 11) | 1), int(rng() % 960) - 20)}) {
            mpfr_mul_d(v, pio2, k, MPFR_RNDN);
            const double x0 = mpfr_get_d(v, MPFR_RNDN);
            for (double x : {std::nextafter(x0, 0.0), x0, std::nextafter(x0, INFINITY)}) {
                expect_correct(x);
                for (bool c : {false, true}) worst = std::max(worst, check_fast(x, c).used_bound);
            }
        }
        if (::testing::Test::HasFailure()) break;
    }
    mpfr_clears(pio2, v, (mpfr_ptr)0);
    EXPECT_LE(worst, 1.0) << "the fast stage's error bound does not hold";
}

// Random arguments over the ranges the tool uses and over every exponent;
// counts how often the accurate stage runs, and puts the hardest-to-round
// arguments met through the accurate stage alone.
TEST(CrmathSinCos, RandomArgumentsMatchMpfr) {
    mpfr_double_range range;
    const long n = samples(200000);
    std::mt19937_64 rng(2026);
    std::uniform_real_distribution<double> small(-8, 8), medium(-1e3, 1e3);
    long slow = 0, checked = 0;
    double worst = 0;
    std::vector<std::pair<double, double>> hardest;  // midpoint distance, x
    for (long i = 0; i < n; ++i) {
        double x;
        switch (i % 4) {
        case 0: x = small(rng); break;
        case 1: x = medium(rng); break;
        case 2: x = std::ldexp(small(rng), int(rng() % 60) - 40); break;
        default:
            do x = std::bit_cast<double>(rng());
            while (!std::isfinite(x));
        }
        expect_correct(x);
        if (std::fabs(x) < 0x1p-26) continue;
        for (bool c : {false, true}) {
            const auto f = sincos_fast(x, c);
            slow += f.hi + (f.lo + f.err) != f.hi + (f.lo - f.err);
            if (i % 8 < 2) {
                const fast_check fc = check_fast(x, c);
                worst = std::max(worst, fc.used_bound);
                hardest.push_back({fc.midpoint_distance, x});
                ++checked;
            }
        }
        if (i % 64 == 0) expect_accurate_correct(x);
        if (::testing::Test::HasFailure()) break;
    }
    EXPECT_LE(worst, 1.0) << "the fast stage's error bound does not hold";
    std::sort(hardest.begin(), hardest.end());
    hardest.resize(std::min<std::size_t>(hardest.size(), 200));
    for (const auto& h : hardest) expect_accurate_correct(h.second);
    std::printf("sin/cos: %ld random arguments, accurate stage %ld of %ld calls (%.2g); "
                "largest fast error %.3g of its bound over %ld checked; closest to a midpoint %.3g ulp\n",
        n, slow, 2 * n, double(slow) / (2 * n), worst, checked, hardest.empty() ? 0.0 : hardest[0].first);
}
