// atan2, acos and integral powers against MPFR, bit for bit: random
// arguments over the ranges the tool uses and beyond (SF_CRMATH_SAMPLES sets
// how many; scripts/crmath-check runs millions), special values, ties and
// exact powers, and the fallbacks on their own.
#include <gtest/gtest.h>
#include <mpfr.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "core/crmath.h"
#include "core/crmath_internal.h"

namespace {

long samples() {
    const char* s = std::getenv("SF_CRMATH_SAMPLES");
    const long n = s ? std::atol(s) : 0;
    return n > 0 ? n : 200000;
}

// The MPFR value of f rounded to a double as IEEE does, subnormals included.
struct mpfr_ref {
    mpfr_t a, b, r;
    mpfr_ref() { mpfr_inits2(4000, a, b, r, static_cast<mpfr_ptr>(nullptr)); }
    ~mpfr_ref() { mpfr_clears(a, b, r, static_cast<mpfr_ptr>(nullptr)); }

    double to_double() {
        mpfr_t o;
        mpfr_init2(o, 53);
        const mpfr_exp_t emin = mpfr_get_emin(), emax = mpfr_get_emax();
        mpfr_set_emin(-1073);
        mpfr_set_emax(1024);
        int t = mpfr_set(o, r, MPFR_RNDN);
        t = mpfr_check_range(o, t, MPFR_RNDN);
        mpfr_subnormalize(o, t, MPFR_RNDN);
        const double d = mpfr_get_d(o, MPFR_RNDN);
        mpfr_set_emin(emin);
        mpfr_set_emax(emax);
        mpfr_clear(o);
        return d;
    }
    double atan2(double y, double x) {
        mpfr_set_prec(r, 300);
        mpfr_set_d(a, y, MPFR_RNDN);
        mpfr_set_d(b, x, MPFR_RNDN);
        mpfr_atan2(r, a, b, MPFR_RNDN);
        return to_double();
    }
    double acos(double x) {
        mpfr_set_prec(r, 300);
        mpfr_set_d(a, x, MPFR_RNDN);
        mpfr_acos(r, a, MPFR_RNDN);
        return to_double();
    }
    double pow(double x, int n) {
        mpfr_set_prec(r, 4000);  // exact for the exact cases below, ample otherwise
        mpfr_set_d(a, x, MPFR_RNDN);
        mpfr_pow_si(r, a, n, MPFR_RNDN);
        return to_double();
    }
};

bool same_bits(double a, double b) {
    return (std::isnan(a) && std::isnan(b)) || std::memcmp(&a, &b, sizeof a) == 0;
}

double from_bits(std::uint64_t u) {
    double d;
    std::memcpy(&d, &u, sizeof d);
    return d;
}

// Counts mismatches, printing the first few.
struct mismatches {
    int count = 0;
    void check(const char* what, double arg1, double arg2, double got, double want) {
        if (same_bits(got, want)) return;
        if (++count <= 5) ADD_FAILURE() << what << "(" << std::hexfloat << arg1 << ", " << arg2 << ") = " << got
                                        << ", correctly rounded " << want;
    }
};

TEST(CrmathAtan, Atan2MatchesMpfr) {
    mpfr_ref ref;
    mismatches bad;
    std::mt19937_64 g(26);
    std::uniform_real_distribution<double> comp(-1e3, 1e3), unit(-1.0, 1.0);
    const long n = samples();
    std::vector<double> ys, xs;
    for (long i = 0; i < n; ++i) {
        double y, x;
        switch (i % 4) {
            case 0:  // direction components
            case 1:
                y = comp(g);
                x = comp(g);
                break;
            case 2:  // ratios of every size, down to subnormal results
                y = std::ldexp(unit(g), static_cast<int>(g() % 2200) - 1100);
                x = std::ldexp(unit(g), static_cast<int>(g() % 2200) - 1100);
                break;
            default:  // any finite bit patterns
                y = from_bits(g());
                x = from_bits(g());
                if (!std::isfinite(y) || !std::isfinite(x)) continue;
        }
        bad.check("atan2", y, x, sf::crm::atan2(y, x), ref.atan2(y, x));
        ys.push_back(y), xs.push_back(x);
    }
    // Every quadrant, signed zeros, infinities, subnormals, the largest doubles.
    const double inf = std::numeric_limits<double>::infinity(), big = std::numeric_limits<double>::max();
    const double special[] = {0.0, -0.0, 1.0, -1.0, 0x1p-1074, -0x1p-1074, 0x1p-1022, big, -big, inf, -inf, 3.0, -7.5};
    for (double y : special)
        for (double x : special) {
            bad.check("atan2", y, x, sf::crm::atan2(y, x), ref.atan2(y, x));
            ys.push_back(y), xs.push_back(x);
        }
    ys.push_back(std::nan("")), xs.push_back(1.0);
    // The two-lane batch gives the scalar bits, whatever the other lane holds.
    for (std::size_t from : {0, 1}) {
        std::vector<double> out(ys.size() - from);
        sf::crm::atan2_n(ys.data() + from, xs.data() + from, out.data(), out.size());
        for (std::size_t i = 0; i < out.size(); ++i)
            bad.check("atan2_n", ys[from + i], xs[from + i], out[i], sf::crm::atan2(ys[from + i], xs[from + i]));
    }
    EXPECT_TRUE(std::isnan(sf::crm::atan2(std::nan(""), 1.0)));
    EXPECT_TRUE(std::isnan(sf::crm::atan2(1.0, std::nan(""))));
    EXPECT_EQ(bad.count, 0);
}

TEST(CrmathAtan, AcosMatchesMpfr) {
    mpfr_ref ref;
    mismatches bad;
    std::mt19937_64 g(27);
    std::uniform_real_distribution<double> unit(-1.0, 1.0);
    const long n = samples();
    for (long i = 0; i < n; ++i) {
        double x = unit(g);
        if (i % 2) {  // cosines of small angles: 1 - k 2^-j on both sides
            x = std::copysign(1.0 - std::ldexp(static_cast<double>(g() % 100000 + 1), -static_cast<int>(g() % 60) - 17), x);
        } else if (i % 10 == 4) {
            x = std::ldexp(x, -static_cast<int>(g() % 1080));  // near 0, subnormals
        }
        bad.check("acos", x, 0, sf::crm::acos(x), ref.acos(x));
    }
    const double special[] = {0.0, -0.0, 1.0, -1.0, 0x1p-1074, 0x1.fffffffffffffp-1, -0x1.fffffffffffffp-1,
                              0x1.6a09e667f3bccp-1, -0x1.6a09e667f3bcdp-1, 0.5, -0.5};
    for (double x : special) bad.check("acos", x, 0, sf::crm::acos(x), ref.acos(x));
    for (double x : {1.0000000000000002, -2.0, std::numeric_limits<double>::infinity(), std::nan("")})
        EXPECT_TRUE(std::isnan(sf::crm::acos(x))) << x;
    EXPECT_EQ(bad.count, 0);
}

// The fixed-point fallbacks on their own: random arguments rarely reach them.
TEST(CrmathAtan, FallbacksMatchMpfr) {
    mpfr_ref ref;
    mismatches bad;
    std::mt19937_64 g(28);
    std::uniform_real_distribution<double> comp(-1e3, 1e3), unit(-1.0, 1.0);
    const long n = samples() / 50;
    for (long i = 0; i < n; ++i) {
        double y = comp(g), x = comp(g);
        if (i % 3 == 1) y = std::ldexp(y, -static_cast<int>(g() % 1200));
        if (i % 3 == 2) x = std::ldexp(x, -static_cast<int>(g() % 1200));
        if (y != 0 && x != 0) bad.check("atan2_fixed", y, x, sf::crm::detail::atan2_fixed(y, x), ref.atan2(y, x));
        double c = unit(g);
        if (i % 2) c = std::copysign(1.0 - std::ldexp(std::fabs(c), -static_cast<int>(g() % 53)), c);
        if (c != 0 && std::fabs(c) < 1) bad.check("acos_fixed", c, 0, sf::crm::detail::acos_fixed(c), ref.acos(c));
    }
    EXPECT_EQ(bad.count, 0);
}

TEST(CrmathPow, MatchesMpfr) {
    mpfr_ref ref;
    mismatches bad;
    std::mt19937_64 g(29);
    const long n = samples() / 4;
    for (long i = 0; i < n; ++i) {
        double x;
        int k;
        switch (i % 4) {
            case 0:  // the tool's q = 1 + bias/segments to the segment count
                x = std::uniform_real_distribution<double>(0.0, 2.0)(g);
                k = static_cast<int>(g() % 200);
                break;
            case 1:  // reaching overflow and subnormals
                x = std::uniform_real_distribution<double>(-4.0, 4.0)(g);
                k = static_cast<int>(g() % 4000) - 2000;
                break;
            case 2:  // near 1, huge exponents
                x = 1.0 + std::ldexp(static_cast<double>(static_cast<std::int64_t>(g() % 2000001) - 1000000),
                                     -static_cast<int>(g() % 40) - 20);
                k = static_cast<int>(g() % 4000000000u - 2000000000u);
                break;
            default:  // small integers and their halves: many exact results and ties
                x = std::ldexp(static_cast<double>(g() % 1000 + 1), static_cast<int>(g() % 40) - 20);
                k = static_cast<int>(g() % 80) - 40;
        }
        bad.check("pow", x, k, sf::crm::pow(x, k), ref.pow(x, k));
        if (i % 16 == 0 && k != 0 && x != 0)
            bad.check("pow_multiword", x, k, sf::crm::detail::pow_multiword(x, k), ref.pow(x, k));
    }
    // Ties to even (3^34 and (2^27-1)^2 have 54 bits, also in subnormals),
    // exact powers, overflow, underflow, the extreme exponents.
    const double xs[] = {3.0, -3.0, 134217727.0, 0x1.ffffffcp-540, 2.0, 0.5, -1.0, 1.0, 0x1.0000000000001p0,
                         std::numeric_limits<double>::max(), 0x1p-1074, 0x1.8p-537, 1e-300, 0.0, -0.0,
                         std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity()};
    const int ks[] = {0, 1, -1, 2, -2, 3, -3, 33, 34, 35, 1023, 1024, -1074, -1075, 1 << 30, INT32_MAX, INT32_MIN};
    for (double x : xs)
        for (int k : ks) bad.check("pow", x, k, sf::crm::pow(x, k), ref.pow(x, k));
    EXPECT_EQ(sf::crm::pow(std::nan(""), 0), 1.0);
    EXPECT_TRUE(std::isnan(sf::crm::pow(std::nan(""), 3)));
    EXPECT_EQ(bad.count, 0);
}

}  // namespace
