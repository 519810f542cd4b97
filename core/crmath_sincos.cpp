// Correctly rounded sine and cosine.
//
// Both reduce x to r = x - q*pi/2 with |r| <= pi/4, then evaluate sin or
// cos of r. Three stages:
//  - cheap (|x| < 2^20): a shorter reduction and series in plain doubles
//    around one exact product, bound 2^-63 relative (see cheap_reduce);
//    when it cannot decide, the
//  - fast: r as a double-double (Cody-Waite with a four-part pi/2 below
//    2^20, the fixed-point reduction above), then sin/cos(i/256 + t) from a
//    table of sin/cos(i/256) and short polynomials in t, |t| <= 2^-9. The
//    result hi + lo carries a proven error bound; when hi + lo + err and
//    hi + lo - err round to the same double, that double is the answer.
//  - accurate (when the bound straddles a rounding boundary, 2 calls
//    in 10^4): reduction with 320 bits of 2/pi in integer arithmetic and
//    Taylor series in 256-bit fixed point, good to 2^-175 relative, far
//    below the closeness to a midpoint any double argument is expected to
//    reach.
//
// Only +, -, * on doubles (with -ffp-contract=off: a contracted build loses
// the exact products), exact scaling and integer arithmetic, so the bits do
// not depend on FMA hardware or the C library.
#include "core/crmath.h"

#include <bit>
#include <cmath>
#include <cstdint>

#include "core/crmath_count.h"
#include "core/crmath_dd.h"
#include "core/crmath_sincos_detail.h"
#include "core/crmath_sincos_tables.h"
#include "core/crmath_v2.h"

namespace sf::crm {

namespace {

namespace tab = sincos_tables;
using dd::two_prod;
using dd::two_sum;
using u128 = unsigned __int128;

// Largest double below pi/4: no reduction up to it.
constexpr double pio4_d = 0x1.921fb54442d18p-1;
// Cody-Waite holds while k * pio2_1..3 are exact, k < 2^20.
constexpr double cw_limit = 0x1p20;

// Relative error bound of the fast stage (analysis gives under 2^-67.5,
// the worst near i = 1, t = -2^-9; the reductions add under 2^-100), and
// the absolute error of the Cody-Waite reduction (under 2^-134).
constexpr double fast_rel_err = 0x1p-66;
constexpr double cw_abs_err = 0x1p-130;

// ---- 256-bit fixed point: value = sum w[i] * 2^(-64(i+1)), in [0, 1).

struct fix {
    std::uint64_t w[4];
};

bool is_zero(const fix& a) { return (a.w[0] | a.w[1] | a.w[2] | a.w[3]) == 0; }

fix add(const fix& a, const fix& b) {
    fix r;
    u128 c = 0;
    for (int i = 3; i >= 0; --i) {
        c += u128(a.w[i]) + b.w[i];
        r.w[i] = std::uint64_t(c);
        c >>= 64;
    }
    return r;
}

fix sub(const fix& a, const fix& b) {
    fix r;
    std::uint64_t borrow = 0;
    for (int i = 3; i >= 0; --i) {
        const u128 d = u128(a.w[i]) - b.w[i] - borrow;
        r.w[i] = std::uint64_t(d);
        borrow = std::uint64_t(d >> 64) ? 1 : 0;
    }
    return r;
}

// Top 256 bits of a * b (truncated).
fix mul(const fix& a, const fix& b) {
    std::uint64_t p[8] = {};
    for (int i = 3; i >= 0; --i) {
        u128 c = 0;
        for (int j = 3; j >= 0; --j) {
            c += u128(a.w[i]) * b.w[j] + p[i + j + 1];
            p[i + j + 1] = std::uint64_t(c);
            c >>= 64;
        }
        p[i] = std::uint64_t(c);
    }
    return {{p[0], p[1], p[2], p[3]}};
}

fix div_small(const fix& a, std::uint64_t d) {
    fix r;
    u128 rem = 0;
    for (int i = 0; i < 4; ++i) {
        const u128 cur = (rem << 64) | a.w[i];
        r.w[i] = std::uint64_t(cur / d);
        rem = cur % d;
    }
    return r;
}

// 64 bits of a starting p bits below the binary point (zeros past the end).
std::uint64_t bits_at(const fix& a, int p) {
    const int w = p / 64, s = p % 64;
    const std::uint64_t hi = w < 4 ? a.w[w] : 0, lo = w + 1 < 4 ? a.w[w + 1] : 0;
    return s ? (hi << s) | (lo >> (64 - s)) : hi;
}

// A double in [2^-200, 1) exactly.
fix from_double(double x) {
    const std::uint64_t b = std::bit_cast<std::uint64_t>(x);
    const std::uint64_t m = (b & 0xfffffffffffffull) | (1ull << 52);
    const int e = int(b >> 52) - 1075;  // x = m * 2^e
    // m * 2^(e + 256) as a 256-bit integer: m shifted left by e + 256.
    const int sh = e + 256;
    fix r{};
    const int w = 3 - sh / 64, s = sh % 64;
    r.w[w] = m << s;
    if (s > 11 && w > 0) r.w[w - 1] = m >> (64 - s);
    return r;
}

// Bits b_p .. b_(p+63) of 2/pi = sum b_j 2^-j (b_j = 0 for j <= 0).
std::uint64_t two_over_pi_bits(int p) {
    if (p + 63 <= 0) return 0;
    if (p <= 0) return two_over_pi_bits(1) >> (1 - p);
    const int j = p - 1, w = j / 64, s = j % 64;
    std::uint64_t r = tab::two_over_pi[w] << s;
    if (s) r |= tab::two_over_pi[w + 1] >> (64 - s);
    return r;
}

struct fix_reduced {
    fix r;      // |x - q*pi/2|, at most pi/4
    int q;      // quadrant, 0..3
    bool neg;   // x - q*pi/2 < 0
};

// Payne-Hanek: ax/(2 pi) mod 1 from the bits of 2/pi that matter for ax's
// exponent, to 2^-267; then the quadrant and the remainder times pi/2.
fix_reduced reduce(double ax) {
    const std::uint64_t b = std::bit_cast<std::uint64_t>(ax);
    const std::uint64_t m = (b & 0xfffffffffffffull) | (1ull << 52);
    const int e = int(b >> 52) - 1075;
    // y = m * 2^(e-2) * 2/pi mod 1: bits b_j with j <= e - 2 only add
    // integers; W holds b_(e-1) .. b_(e+318) as a 320-bit fraction.
    const int first = e - 1;
    std::uint64_t y[5];
    u128 c = 0;
    for (int i = 4; i >= 0; --i) {
        c += u128(m) * two_over_pi_bits(first + 64 * i);
        y[i] = std::uint64_t(c);
        c >>= 64;
    }
    int q = int(y[0] >> 62);
    for (int i = 0; i < 4; ++i) y[i] = (y[i] << 2) | (y[i + 1] >> 62);
    y[4] <<= 2;
    const bool neg = y[0] >> 63;  // fraction of a quarter turn >= 1/2
    if (neg) {
        q = (q + 1) & 3;
        // 1 - g in two's complement.
        std::uint64_t carry = 1;
        for (int i = 4; i >= 0; --i) {
            y[i] = ~y[i] + carry;
            carry = carry && y[i] == 0;
        }
    }
    // |g| <= 1/2, so |g| * pi/4 <= pi/8, doubled to |g| * pi/2.
    fix r = mul(fix{{y[0], y[1], y[2], y[3]}}, fix{{tab::pi_over_4[0], tab::pi_over_4[1], tab::pi_over_4[2], tab::pi_over_4[3]}});
    for (int i = 0; i < 3; ++i) r.w[i] = (r.w[i] << 1) | (r.w[i + 1] >> 63);
    r.w[3] <<= 1;
    return {r, q, neg};
}

// sin r, r in (0, pi/4].
fix sin_fix(const fix& r) {
    const fix r2 = mul(r, r);
    fix s = r, term = r;
    for (std::uint64_t n = 2;; n += 2) {
        term = div_small(mul(term, r2), n * (n + 1));
        if (is_zero(term)) break;
        s = (n / 2) & 1 ? sub(s, term) : add(s, term);
    }
    return s;
}

// cos r = 1 - (r^2/2 - r^4/24 + ...), r in (0, pi/4].
fix cos_fix(const fix& r) {
    const fix r2 = mul(r, r);
    fix term = div_small(r2, 2), d = term;
    for (std::uint64_t n = 3;; n += 2) {
        term = div_small(mul(term, r2), n * (n + 1));
        if (is_zero(term)) break;
        d = (n / 2) & 1 ? sub(d, term) : add(d, term);
    }
    return sub(fix{}, d);  // 1 - d: d > 0, so the wrap-around is exact
}

// Leading-bit offset of a non-zero fixed value.
int lead(const fix& a) {
    int i = 0;
    while (a.w[i] == 0) ++i;
    return 64 * i + std::countl_zero(a.w[i]);
}

// The double nearest a (non-zero).
double round_fix(const fix& a) {
    const int sh = lead(a);
    const std::uint64_t top = bits_at(a, sh), rest = bits_at(a, sh + 53);
    // rest holds the 64 bits after the 53-bit significand: a rounded
    // correctly. a is within 2^-240 of the true value, which is at least
    // 2^-63, so this is the true value's rounding unless that lies within
    // 2^-124 ulp of a midpoint, which no argument is expected to reach
    // (2^64 arguments come to about 2^-64 ulp at the closest).
    const std::uint64_t up = rest >> 63;
    return std::ldexp(double((top >> 11) + up), -53 - sh);
}

// a as a double-double to 2^-105 (both parts truncated).
dd::dd to_dd(const fix& a) {
    const int sh = lead(a);
    const std::uint64_t top = bits_at(a, sh), rest = bits_at(a, sh + 53);
    return {std::ldexp(double(top >> 11), -53 - sh), std::ldexp(double(rest >> 11), -106 - sh)};
}

// Which of sin r, cos r gives the result, and its sign. n is the quadrant
// of x plus one for the cosine (cos x = sin(x + pi/2)).
struct pick {
    bool use_cos, negate;
};
pick choose(int q, bool cosine, bool r_neg, bool x_neg) {
    const int n = (q + (cosine ? 1 : 0)) & 3;
    const bool use_cos = n & 1;
    return {use_cos, ((n >= 2) != (!use_cos && r_neg)) != (!cosine && x_neg)};
}

// The fast stage's reduction, shared by sin and cos of one argument: r =
// i/256 + t with sin t = th + stl and cos t = 1 + cm1.
struct fast_reduced {
    const double* sc;  // sin/cos(i/256) as double-doubles
    double th, stl, cm1, eabs;
    int q;
    bool r_neg;
};

inline fast_reduced fast_reduce(double x) {
    const double ax = std::fabs(x);
    double rh, rl, eabs = 0;
    int q;
    bool r_neg = false;
    if (ax <= pio4_d) {
        rh = ax, rl = 0, q = 0;
    } else if (ax < cw_limit) {
        // x - k*pi/2: k*p1, k*p2, k*p3 exact, x - k*p1 exact (Sterbenz).
        // k = x * 2/pi rounded to an integer by adding 1.5 * 2^52; its low
        // bits are the quadrant.
        const double big = ax * tab::two_over_pi_d + 0x1.8p52;
        const double kd = big - 0x1.8p52;
        q = int(std::bit_cast<std::uint64_t>(big) & 3);
        const double a = ax - kd * tab::pio2_1;
        const dd::dd s1 = two_sum(a, -(kd * tab::pio2_2));
        const dd::dd s2 = two_sum(s1.hi, -(kd * tab::pio2_3));
        const dd::dd r = two_sum(s2.hi, (s1.lo + s2.lo) - kd * tab::pio2_4);
        rh = r.hi, rl = r.lo, eabs = cw_abs_err;
        r_neg = rh < 0;
        rh = std::fabs(rh), rl = r_neg ? -rl : rl;
    } else {
        const fix_reduced red = reduce(ax);
        const dd::dd r = to_dd(red.r);
        rh = r.hi, rl = r.lo, q = red.q, r_neg = red.neg;
    }

    // r = a + t, a = i/256 the nearest (rh - a exact by Sterbenz), |t| <=
    // 2^-9. rh * 512 is exact, so i is exact too.
    const int i = (int(rh * 512.0) + 1) >> 1;
    const dd::dd t = two_sum(rh - i * (1.0 / 256), rl);
    const double th = t.hi, tl = t.lo, s2 = th * th;
    const double stl = tl + th * s2 * (-1.0 / 6 + s2 * (1.0 / 120 - s2 * (1.0 / 5040)));
    const double cm1 = s2 * (-0.5 + s2 * (1.0 / 24 - s2 * (1.0 / 720))) - th * tl;
    return {tab::sin_cos_256[i], th, stl, cm1, eabs, q, r_neg};
}

// sin(a + t) = S + C sin t + S (cos t - 1)
// cos(a + t) = C - S sin t + C (cos t - 1)
// as P + Q sin t + P (cos t - 1), picked without a branch.
// P and Q (hi, lo) from the table, Q th exactly, and the result's sign.
struct terms {
    double ph, pl, qh, ql, sign;
    dd::dd qt;
};

template <bool cosine>
inline terms pick_terms(const fast_reduced& f, bool x_neg) {
    const pick p = choose(f.q, cosine, f.r_neg, x_neg);
    const double* sc = f.sc;
    const int c = p.use_cos ? 2 : 0;
    const double qs = p.use_cos ? -1.0 : 1.0;
    terms t{sc[c], sc[c + 1], qs * sc[2 - c], qs * sc[3 - c], p.negate ? -1.0 : 1.0, {}};
    t.qt = two_prod(t.qh, f.th);
    return t;
}

template <bool cosine>
inline detail::sincos_dd fast_finish(const fast_reduced& f, bool x_neg) {
    const terms t = pick_terms<cosine>(f, x_neg);
    const double qtlo = t.qt.lo + (t.qh * f.stl + t.ql * f.th);
    const dd::dd u = two_sum(t.ph, t.qt.hi);
    const double lo = u.lo + ((t.pl + qtlo) + t.ph * f.cm1);
    const dd::dd res = dd::fast_two_sum(u.hi, lo);
    const double err = fast_rel_err * std::fabs(res.hi) + f.eabs;
    return {t.sign * res.hi, t.sign * res.lo, err};
}

// The cheap stage, for |x| < 2^20: a shorter reduction and polynomial in
// plain doubles ahead of the fast stage.
// r = rh + rl: x - k*p1 exact, k*p2 exact and added with two_sum, k*(p3+p4)
// in one product; |rl| <= 2^-48. Off by under k 2^-119 (p3+p4 as a double,
// the product and the sum each k 2^-121 or less) plus 2^-106 |r|, which the
// relative bound covers; exact for |x| <= pi/4, where k = 0 (no branch).
// With t = th + rl,
//   sin t = th + rl (1 - th^2/2) - th^3/6 + th^5/120 + O(2^-75 + 2^-90),
//   cos t - 1 = -th^2/2 + th^4/24 - th^6/720 - rl th + O(2^-87),
// the dropped sin term relative to the result at most t^6/5040 < 2^-66;
// the roundings in the corrections (all under 2^-18 of the result) add
// under 2^-68, the table 2^-104. So 2^-63 relative (cheap_rel_err) with room
// to spare (the tests see under 0.1 of it); the rounding test then fails
// for about 1 result in 600.
constexpr double cheap_rel_err = 0x1p-63;
constexpr double pio2_34 = tab::pio2_3 + tab::pio2_4;

inline fast_reduced cheap_reduce(double x) {
    const double ax = std::fabs(x);
    const double big = ax * tab::two_over_pi_d + 0x1.8p52;
    const double kd = big - 0x1.8p52;
    const int q = int(std::bit_cast<std::uint64_t>(big) & 3);
    const dd::dd s = two_sum(ax - kd * tab::pio2_1, -(kd * tab::pio2_2));
    const double rl0 = s.lo - kd * pio2_34;
    const bool r_neg = s.hi < 0;
    const double rh = std::fabs(s.hi), rl = r_neg ? -rl0 : rl0;
    // i = rh * 256 rounded (exact: rh * 256 is), from the low bits.
    const double ib = rh * 256.0 + 0x1.8p52, id = ib - 0x1.8p52;
    const int i = int(std::bit_cast<std::uint64_t>(ib) & 0xff);
    const double th = rh - id * (1.0 / 256), s2 = th * th;
    const double stl = (rl - rl * (0.5 * s2)) + th * s2 * (-1.0 / 6 + s2 * (1.0 / 120));
    const double cm1 = s2 * (-0.5 + s2 * (1.0 / 24 - s2 * (1.0 / 720))) - th * rl;
    return {tab::sin_cos_256[i], th, stl, cm1, kd * 0x1p-119, q, r_neg};
}

// As fast_finish, shorter: P + Q th with |Q th| <= 2^-9 <= |P| (or P = 0),
// so fast_two_sum is exact; the corrections are left unnormalised, their
// rounding (under 2^-71 of the result) inside cheap_rel_err.
template <bool cosine>
inline detail::sincos_dd cheap_finish(const fast_reduced& f, bool x_neg) {
    const terms t = pick_terms<cosine>(f, x_neg);
    const dd::dd u = dd::fast_two_sum(t.ph, t.qt.hi);
    const double lo = u.lo + ((t.pl + (t.qt.lo + (t.qh * f.stl + t.ql * f.th))) + t.ph * f.cm1);
    const double err = cheap_rel_err * std::fabs(u.hi) + f.eabs;
    return {t.sign * u.hi, t.sign * lo, err};
}

// hi + lo + err round to the same double as hi + lo - err: that double.
inline bool settled(const detail::sincos_dd& f, double& out) {
    const double up = f.hi + (f.lo + f.err), down = f.hi + (f.lo - f.err);
    out = up;
    return up == down;
}

template <bool cosine>
inline detail::sincos_dd fast(double x) {
    return fast_finish<cosine>(fast_reduce(x), x < 0);
}

}  // namespace

namespace detail {

double sincos_accurate(double x, bool cosine) {
    const double ax = std::fabs(x);
    fix_reduced red{};
    if (ax <= pio4_d)
        red.r = from_double(ax);
    else
        red = reduce(ax);
    const pick p = choose(red.q, cosine, red.neg, x < 0);
    const double v = round_fix(p.use_cos ? cos_fix(red.r) : sin_fix(red.r));
    return p.negate ? -v : v;
}

sincos_dd sincos_fast(double x, bool cosine) { return cosine ? fast<true>(x) : fast<false>(x); }

sincos_dd sincos_cheap(double x, bool cosine) {
    const fast_reduced f = cheap_reduce(x);
    return cosine ? cheap_finish<true>(f, x < 0) : cheap_finish<false>(f, x < 0);
}

}  // namespace detail

namespace {

// Ziv's rounding test on the fast stage, else the accurate stage.
inline double decide(const detail::sincos_dd& f, double x, bool cosine) {
    double v;
    if (settled(f, v)) return v;
    SF_CRMATH_COUNT(sincos_slow);
    return detail::sincos_accurate(x, cosine);
}

// Kept out of line so the cheap stage's callers stay small.
template <bool cosine>
[[gnu::noinline]] double staged_fast(double x) {
    return decide(fast<cosine>(x), x, cosine);
}

// The cheap stage, then the fast one, then the accurate one.
template <bool cosine>
double staged(double x) {
    double v;
    SF_CRMATH_COUNT(sincos_calls);
    if (std::fabs(x) < cw_limit && settled(cheap_finish<cosine>(cheap_reduce(x), x < 0), v)) return v;
    SF_CRMATH_COUNT(sincos_past_cheap);
    return staged_fast<cosine>(x);
}

}  // namespace

double sin(double x) {
    const double ax = std::fabs(x);
    if (!(ax < INFINITY)) return x - x;  // NaN for NaN and infinities
    // sin x = x (1 - x^2/6 + ...) with x^2/6 < 2^-54.5 rounds to x
    // (±0 included).
    if (ax < 0x1p-26) return x;
    return staged<false>(x);
}

double cos(double x) {
    const double ax = std::fabs(x);
    if (!(ax < INFINITY)) return x - x;
    // 1 - x^2/2 with x^2/2 < 2^-55 rounds to 1.
    if (ax < 0x1p-27) return 1.0;
    return staged<true>(x);
}

// One reduction for both; each result rounded (or recomputed) on its own,
// so the bits are those of sin(x) and cos(x).
void sincos(double x, double& s, double& c) {
    const double ax = std::fabs(x);
    if (!(ax < INFINITY)) {
        s = c = x - x;
        return;
    }
    if (ax < 0x1p-26) {
        s = x;
        c = cos(x);
        return;
    }
    SF_CRMATH_COUNT(sincos_calls), SF_CRMATH_COUNT(sincos_calls);
    if (ax < cw_limit) {
        const fast_reduced f = cheap_reduce(x);
        const bool s_done = settled(cheap_finish<false>(f, x < 0), s);
        const bool c_done = settled(cheap_finish<true>(f, x < 0), c);
        if (s_done && c_done) return;
        if (!s_done) SF_CRMATH_COUNT(sincos_past_cheap), s = staged_fast<false>(x);
        if (!c_done) SF_CRMATH_COUNT(sincos_past_cheap), c = staged_fast<true>(x);
        return;
    }
    SF_CRMATH_COUNT(sincos_past_cheap), SF_CRMATH_COUNT(sincos_past_cheap);
    const fast_reduced f = fast_reduce(x);
    s = decide(fast_finish<false>(f, x < 0), x, false);
    c = decide(fast_finish<true>(f, x < 0), x, true);
}

namespace {

// The cheap stage for two arguments at once: every lane goes through
// exactly the scalar stage's operations, in its order, so the bits are the
// same (crmath_v2.h).
using v::v2;
using v::v2i;

// cheap_reduce for two arguments with 2^-26 <= |x| < 2^20.
struct v_reduced {
    const double* sc[2];
    v2 th, stl, cm1, eabs;
    int q[2];
    bool r_neg[2];
};

inline v_reduced v_cheap_reduce(v2 ax) {
    const v2 big = ax * tab::two_over_pi_d + 0x1.8p52;
    const v2 kd = big - 0x1.8p52;
    const v::dd s = v::two_sum(ax - kd * tab::pio2_1, -(kd * tab::pio2_2));
    const v2 rl0 = s.lo - kd * pio2_34;
    const v2i neg = s.hi < 0.0;
    const v2 rh = v::abs(s.hi), rl = v::flip(rl0, neg);
    const v2 ib = rh * 256.0 + 0x1.8p52, id = ib - 0x1.8p52;
    const v2 th = rh - id * (1.0 / 256), s2 = th * th;
    const v2 stl = (rl - rl * (0.5 * s2)) + th * s2 * (-1.0 / 6 + s2 * (1.0 / 120));
    const v2 cm1 = s2 * (-0.5 + s2 * (1.0 / 24 - s2 * (1.0 / 720))) - th * rl;
    v_reduced r;
    for (int l = 0; l < 2; ++l) {
        r.sc[l] = tab::sin_cos_256[std::bit_cast<std::uint64_t>(ib[l]) & 0xff];
        r.q[l] = int(std::bit_cast<std::uint64_t>(big[l]) & 3);
        r.r_neg[l] = neg[l] != 0;
    }
    r.th = th, r.stl = stl, r.cm1 = cm1, r.eabs = kd * 0x1p-119;
    return r;
}

// P + Q sin t + P (cos t - 1) for both lanes, as cheap_finish, and the
// rounding test; a lane the test leaves open goes on through the scalar
// stages. negate: the lanes whose result takes a minus sign.
template <bool cosine>
inline void v_finish(v2 ph, v2 pl, v2 qh, v2 ql, v2i negate, v2 th, v2 stl, v2 cm1, v2 eabs, const double* x,
                     double* out) {
    const v::dd qt = v::two_prod(qh, th);
    const v2 uh = ph + qt.hi, ul = qt.hi - (uh - ph);
    const v2 lo = ul + ((pl + (qt.lo + (qh * stl + ql * th))) + ph * cm1);
    const v2 err = cheap_rel_err * v::abs(uh) + eabs;
    const v2 hi = v::flip(uh, negate), slo = v::flip(lo, negate);
    const v2 up = hi + (slo + err), down = hi + (slo - err);
    for (int l = 0; l < 2; ++l) {
        if (up[l] == down[l]) {
            out[l] = up[l];
        } else {
            SF_CRMATH_COUNT(sincos_past_cheap);
            out[l] = staged_fast<cosine>(x[l]);
        }
    }
}

// The table terms picked lane by lane (pick_terms), then v_finish.
template <bool cosine>
inline void v_cheap_finish(const v_reduced& f, const double* x, double* out) {
    v2 ph, pl, qh, ql;
    bool negate[2];
    for (int l = 0; l < 2; ++l) {
        const pick p = choose(f.q[l], cosine, f.r_neg[l], x[l] < 0);
        const double* sc = f.sc[l];
        const int c = p.use_cos ? 2 : 0;
        const double qs = p.use_cos ? -1.0 : 1.0;
        ph[l] = sc[c], pl[l] = sc[c + 1], qh[l] = qs * sc[2 - c], ql[l] = qs * sc[3 - c];
        negate[l] = p.negate;
    }
    v_finish<cosine>(ph, pl, qh, ql, v::mask(negate[0], negate[1]), f.th, f.stl, f.cm1, f.eabs, x, out);
}

// Both arguments within pi/4, where the reduction is the identity (k = 0:
// r = |x| + 0, no error) and the table terms need no pick: sin(a + t) =
// S + C sin t + S (cos t - 1), cos(a + t) = C - S sin t + C (cos t - 1),
// sin taking x's sign. The operations on each lane are cheap_reduce's and
// cheap_finish's for k = 0.
template <bool want_sin, bool want_cos>
inline void v_small(v2 ax, const double* x, double* s, double* c) {
    const v2 ib = ax * 256.0 + 0x1.8p52, id = ib - 0x1.8p52;
    const double* sc0 = tab::sin_cos_256[std::bit_cast<std::uint64_t>(ib[0]) & 0xff];
    const double* sc1 = tab::sin_cos_256[std::bit_cast<std::uint64_t>(ib[1]) & 0xff];
    const v2 sh = {sc0[0], sc1[0]}, sl = {sc0[1], sc1[1]}, ch = {sc0[2], sc1[2]}, cl = {sc0[3], sc1[3]};
    const v2 zero = {0.0, 0.0}, rl = zero;
    const v2 th = ax - id * (1.0 / 256), s2 = th * th;
    const v2 stl = (rl - rl * (0.5 * s2)) + th * s2 * (-1.0 / 6 + s2 * (1.0 / 120));
    const v2 cm1 = s2 * (-0.5 + s2 * (1.0 / 24 - s2 * (1.0 / 720))) - th * rl;
    if (want_sin) v_finish<false>(sh, sl, ch, cl, v::mask(x[0] < 0, x[1] < 0), th, stl, cm1, zero, x, s);
    if (want_cos) v_finish<true>(ch, cl, -sh, -sl, v::mask(false, false), th, stl, cm1, zero, x, c);
}

template <bool want_sin, bool want_cos>
void many(const double* x, double* s, double* c, std::size_t n) {
    const auto one = [&](std::size_t j) {
        if (want_sin && want_cos) sincos(x[j], s[j], c[j]);
        else if (want_sin) s[j] = sin(x[j]);
        else c[j] = cos(x[j]);
    };
    std::size_t i = 0;
    for (; i + 2 <= n; i += 2) {
        const v2 ax = v::abs((v2){x[i], x[i + 1]});
        const v2i ok = (ax >= 0x1p-26) & (ax < cw_limit);
        if (!(ok[0] && ok[1])) {
            one(i), one(i + 1);
            continue;
        }
        if (want_sin) SF_CRMATH_COUNT(sincos_calls), SF_CRMATH_COUNT(sincos_calls);
        if (want_cos) SF_CRMATH_COUNT(sincos_calls), SF_CRMATH_COUNT(sincos_calls);
        if (ax[0] <= pio4_d && ax[1] <= pio4_d) {
            v_small<want_sin, want_cos>(ax, x + i, s ? s + i : nullptr, c ? c + i : nullptr);
            continue;
        }
        const v_reduced f = v_cheap_reduce(ax);
        if (want_sin) v_cheap_finish<false>(f, x + i, s + i);
        if (want_cos) v_cheap_finish<true>(f, x + i, c + i);
    }
    for (; i < n; ++i) one(i);
}

}  // namespace

void sincos_n(const double* x, double* s, double* c, std::size_t n) { many<true, true>(x, s, c, n); }
void sin_n(const double* x, double* s, std::size_t n) { many<true, false>(x, s, nullptr, n); }

}  // namespace sf::crm
