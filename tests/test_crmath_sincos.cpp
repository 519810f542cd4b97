// sf::crm::sin and cos against MPFR: every result bit for bit, the accurate
// stage on its own, and the fast stage's error bound. The number of random
// arguments comes from SF_CRMATH_SAMPLES (scripts/crmath-check: 10 million).
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

// f(x) into y at y's precision, correctly rounded.
void mpfr_f(mpfr_t y, double x, bool cosine) {
    mpfr_t a;
    mpfr_init2(a, 53);
    mpfr_set_d(a, x, MPFR_RNDN);
    const int inex = cosine ? mpfr_cos(y, a, MPFR_RNDN) : mpfr_sin(y, a, MPFR_RNDN);
    if (mpfr_get_prec(y) == 53) mpfr_subnormalize(y, inex, MPFR_RNDN);
    mpfr_clear(a);
}

// Bit for bit (so -0 is not +0), any NaN for a NaN, sincos as sin and cos;
// for |x| >= 2^-27 the accurate stage alone too.
void expect_correct(double x, bool accurate_too = false) {
    mpfr_t y;
    mpfr_init2(y, 53);
    double both[2];
    sf::crm::sincos(x, both[0], both[1]);
    for (bool c : {false, true}) {
        mpfr_f(y, x, c);
        const double want = mpfr_get_d(y, MPFR_RNDN), got = c ? sf::crm::cos(x) : sf::crm::sin(x);
        const auto bits = [](double v) { return std::isnan(v) ? ~0ull : std::bit_cast<std::uint64_t>(v); };
        EXPECT_EQ(bits(got), bits(want)) << (c ? "cos " : "sin ") << std::hexfloat << x << " = " << want;
        EXPECT_EQ(bits(both[c]), bits(got)) << "sincos, x = " << std::hexfloat << x;
        if (accurate_too && std::fabs(x) >= 0x1p-27 && std::isfinite(x)) {
            EXPECT_EQ(bits(sf::crm::detail::sincos_accurate(x, c)), bits(want)) << "accurate stage, x = " << std::hexfloat << x;
        }
    }
    mpfr_clear(y);
}

// A stage's error as a fraction of its bound (must be <= 1), and the exact
// result's distance to the nearest midpoint, in ulps. The fast stage, or the
// cheap one and the fast one whichever is worse where both apply.
struct fast_check {
    double of_bound, to_midpoint;
};
fast_check check_stage(const sf::crm::detail::sincos_dd& f, double x, bool cosine) {
    mpfr_t y, d;
    mpfr_inits2(320, y, d, (mpfr_ptr)0);
    mpfr_f(y, x, cosine);
    mpfr_sub_d(d, y, f.hi, MPFR_RNDN);
    mpfr_sub_d(d, d, f.lo, MPFR_RNDN);
    const double of_bound = std::fabs(mpfr_get_d(d, MPFR_RNDN)) / f.err;
    const double n = std::fabs(mpfr_get_d(y, MPFR_RNDN));
    mpfr_abs(y, y, MPFR_RNDN);
    mpfr_sub_d(d, y, n, MPFR_RNDN);
    const double off = std::fabs(mpfr_get_d(d, MPFR_RNDN)) / (std::nextafter(n, INFINITY) - n);
    mpfr_clears(y, d, (mpfr_ptr)0);
    return {of_bound, 0.5 - off};
}
fast_check check_fast(double x, bool cosine) {
    fast_check r = check_stage(sf::crm::detail::sincos_fast(x, cosine), x, cosine);
    if (std::fabs(x) < 0x1p20) r.of_bound = std::max(r.of_bound, check_stage(sf::crm::detail::sincos_cheap(x, cosine), x, cosine).of_bound);
    return r;
}

// The two-lane batches give the scalar bits, whichever lane an argument
// falls in and whatever its neighbour takes (a tiny, huge or NaN one).
void expect_batches_match(const std::vector<double>& xs) {
    const auto bits = [](double v) { return std::isnan(v) ? ~0ull : std::bit_cast<std::uint64_t>(v); };
    for (std::size_t from : {0, 1}) {
        const std::size_t n = xs.size() - std::min(from, xs.size());
        std::vector<double> s(n), c(n), s_only(n);
        sf::crm::sincos_n(xs.data() + from, s.data(), c.data(), n);
        sf::crm::sin_n(xs.data() + from, s_only.data(), n);
        for (std::size_t i = 0; i < n && !::testing::Test::HasFailure(); ++i) {
            const double x = xs[from + i];
            EXPECT_EQ(bits(s[i]), bits(sf::crm::sin(x))) << "sincos_n, x = " << std::hexfloat << x;
            EXPECT_EQ(bits(c[i]), bits(sf::crm::cos(x))) << "sincos_n, x = " << std::hexfloat << x;
            EXPECT_EQ(bits(s_only[i]), bits(sf::crm::sin(x))) << "sin_n, x = " << std::hexfloat << x;
        }
    }
}

}  // namespace

// Special values, subnormals, the small-argument shortcuts, the edges of the
// table and of each reduction, every power of two, the largest doubles, the
// double nearest a multiple of pi/2; two ulps either side of each.
TEST(CrmathSinCos, EdgeArgumentsMatchMpfr) {
    mpfr_double_range range;
    constexpr double inf = std::numeric_limits<double>::infinity();
    std::vector<double> xs = {0.0, inf, std::nan(""), 0x1p-27, 0x1p-26, 0x1.6a09e667f3bcdp-27, 0x1.2345p-600,
        0x1.921fb54442d18p-1, 0x1.921fb54442d18p+0, 0x1.921fb54442d18p+1, 0x1.2d97c7f3321d2p+2, 0x1p-9, 201.5 / 256,
        0x1p20, 0x1p20 * 1.5707963267948966, 1e22, 6381956970095103.0 * 0x1p797};
    for (int e = -1074; e <= 1023; ++e) xs.push_back(std::ldexp(1.0, e));
    for (std::size_t i = 0, n = xs.size(); i < n; ++i) {
        double below = xs[i], above = xs[i];
        for (int d = 0; d < 2; ++d) {
            xs.push_back(below = std::nextafter(below, 0.0));
            xs.push_back(above = std::nextafter(above, inf));
        }
    }
    for (double x : xs) expect_correct(x, true), expect_correct(-x, true);
    expect_batches_match(xs);
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
            const double x0 = std::cbrt(6 * k * std::ldexp(1.0, e - 52));  // x^3/6 = k ulp
            if (std::ilogb(x0) == e) xs.push_back(x0);
        }
    for (double j : {0.0, 1.0, 2.0, 50.0, 12345.0, 1e9, 1e12})
        xs.push_back(std::sqrt((2 * j + 1) * 0x1p-53));  // x^2/2 = (j + 1/2) ulp below 1
    for (std::size_t i = 0, n = xs.size(); i < n; ++i) {
        double lo = xs[i], hi = xs[i];
        for (int d = 0; d < 64; ++d) xs.push_back(lo = std::nextafter(lo, 0.0)), xs.push_back(hi = std::nextafter(hi, 1.0));
    }
    int hard = 0;
    double closest = 1;
    for (double x : xs) {
        expect_correct(x, true);
        for (bool c : {false, true}) {
            const double d = check_fast(x, c).to_midpoint;
            hard += d < 0x1p-40;
            closest = std::min(closest, d);
        }
    }
    expect_batches_match(xs);
    EXPECT_GT(hard, 20) << "the construction no longer finds hard cases";
    std::printf("sin/cos: %d constructed results within 2^-40 ulp of a midpoint, the closest %.3g ulp\n", hard, closest);
}

// x the double nearest k pi/2 and its neighbours, the reductions' hardest
// cases (|r| down to about 2^-61): every k up to SAMPLES/10, and as many
// spread over the range of doubles.
TEST(CrmathSinCos, NearMultiplesOfHalfPiMatchMpfr) {
    mpfr_double_range range;
    const long kmax = std::max(20000L, samples(200000) / 10);
    mpfr_t pio2, v;
    mpfr_inits2(400, pio2, v, (mpfr_ptr)0);
    mpfr_const_pi(pio2, MPFR_RNDN);
    mpfr_div_2ui(pio2, pio2, 1, MPFR_RNDN);
    std::mt19937_64 rng(26);
    double worst = 0;
    for (long i = 1; i <= kmax && !::testing::Test::HasFailure(); ++i)
        for (double k : {double(i), std::ldexp(double((rng() >> 11) | 1), int(rng() % 960) - 20)}) {
            mpfr_mul_d(v, pio2, k, MPFR_RNDN);
            const double x0 = mpfr_get_d(v, MPFR_RNDN);
            for (double x : {std::nextafter(x0, 0.0), x0, std::nextafter(x0, INFINITY)}) {
                expect_correct(x);
                for (bool c : {false, true}) worst = std::max(worst, check_fast(x, c).of_bound);
            }
        }
    mpfr_clears(pio2, v, (mpfr_ptr)0);
    EXPECT_LE(worst, 1.0) << "the fast stage's error bound does not hold";
}

// Random arguments over the ranges the tool uses and over every exponent.
// Counts how often the accurate stage runs, and puts the hardest-to-round
// arguments met through the accurate stage alone.
TEST(CrmathSinCos, RandomArgumentsMatchMpfr) {
    mpfr_double_range range;
    const long n = samples(200000);
    std::mt19937_64 rng(2026);
    std::uniform_real_distribution<double> small(-8, 8), medium(-1e3, 1e3);
    long slow = 0, not_cheap = 0, checked = 0;
    std::vector<double> all;
    double worst = 0;
    std::vector<std::pair<double, double>> hardest;  // distance to a midpoint, x
    for (long i = 0; i < n && !::testing::Test::HasFailure(); ++i) {
        double x = i % 4 == 0 ? small(rng) : i % 4 == 1 ? medium(rng) : std::ldexp(small(rng), int(rng() % 60) - 40);
        if (i % 4 == 3)
            do x = std::bit_cast<double>(rng());
            while (!std::isfinite(x));
        expect_correct(x, i % 64 == 0);
        all.push_back(x);
        if (std::fabs(x) < 0x1p-26) continue;
        for (bool c : {false, true}) {
            const auto f = sf::crm::detail::sincos_fast(x, c);
            slow += f.hi + (f.lo + f.err) != f.hi + (f.lo - f.err);
            const auto g = std::fabs(x) < 0x1p20 ? sf::crm::detail::sincos_cheap(x, c) : f;
            not_cheap += std::fabs(x) >= 0x1p20 || g.hi + (g.lo + g.err) != g.hi + (g.lo - g.err);
            if (i % 8 < 2) {
                const fast_check fc = check_fast(x, c);
                worst = std::max(worst, fc.of_bound);
                hardest.push_back({fc.to_midpoint, x});
                ++checked;
            }
        }
    }
    EXPECT_LE(worst, 1.0) << "the fast stage's error bound does not hold";
    expect_batches_match(all);
    std::sort(hardest.begin(), hardest.end());
    hardest.resize(std::min<std::size_t>(hardest.size(), 200));
    for (const auto& h : hardest) expect_correct(h.second, true);
    std::printf("sin/cos: %ld random arguments, past the cheap stage in %ld of %ld calls (%.2g), accurate stage in "
                "%ld (%.2g); largest stage error %.3g of its bound over %ld checked; closest to a midpoint %.3g ulp\n",
        n, not_cheap, 2 * n, double(not_cheap) / (2 * n), slow, double(slow) / (2 * n), worst, checked,
        hardest.empty() ? 0.0 : hardest[0].first);
}
