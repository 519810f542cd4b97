// Correctly rounded atan2 and acos.
//
// Fast path: the ratio t = min/max of the two legs in double-double, reduced
// by a table of atan(k/256) to |u| <= 2^-9 through
//   atan(t) = atan(c) + atan((t - c) / (1 + t c)),   c = k/256,
// and a short odd series for atan(u). The double-double result is within
// 2^-99 of the true value relative to it (see kFastEps); when that interval
// does not round to one double (Ziv's test), the value is computed again in
// 254-bit fixed point (Euler's series for atan, absolute error < 2^-240),
// which decides every case: no double ratio or cosine has an arctangent
// closer than that to a rounding boundary other than the exact zero cases
// handled up front.
#include "crmath.h"
#include "crmath_count.h"
#include "crmath_dd.h"
#include "crmath_internal.h"
#include "crmath_v2.h"

#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>

namespace sf::crm {
namespace {

namespace ddm = ::sf::crm::dd;
using ddm::dd;
using u64 = std::uint64_t;
using u128 = unsigned __int128;

// ---- 254-bit fixed point: value = w / 2^254, w little-endian 64-bit words.

struct fx {
    u64 w[4] = {0, 0, 0, 0};
};

constexpr int kFrac = 254;

fx fx_add(const fx& a, const fx& b) {
    fx r;
    u64 c = 0;
    for (int i = 0; i < 4; ++i) {
        const u128 s = static_cast<u128>(a.w[i]) + b.w[i] + c;
        r.w[i] = static_cast<u64>(s);
        c = static_cast<u64>(s >> 64);
    }
    return r;
}

// a - b for a >= b.
fx fx_sub(const fx& a, const fx& b) {
    fx r;
    u64 borrow = 0;
    for (int i = 0; i < 4; ++i) {
        const u64 d = a.w[i] - b.w[i];
        const u64 b1 = a.w[i] < b.w[i];
        r.w[i] = d - borrow;
        borrow = b1 | (d < borrow);
    }
    return r;
}

bool fx_less(const fx& a, const fx& b) {
    for (int i = 3; i >= 0; --i)
        if (a.w[i] != b.w[i]) return a.w[i] < b.w[i];
    return false;
}

bool fx_zero(const fx& a) { return (a.w[0] | a.w[1] | a.w[2] | a.w[3]) == 0; }

// Truncated product; both factors times the product below 4.
fx fx_mul(const fx& a, const fx& b) {
    u64 p[8] = {};
    for (int i = 0; i < 4; ++i) {
        u64 c = 0;
        for (int j = 0; j < 4; ++j) {
            const u128 t = static_cast<u128>(a.w[i]) * b.w[j] + p[i + j] + c;
            p[i + j] = static_cast<u64>(t);
            c = static_cast<u64>(t >> 64);
        }
        p[i + 4] = c;
    }
    fx r;
    for (int k = 0; k < 4; ++k) r.w[k] = (p[k + 3] >> 62) | (p[k + 4] << 2);
    return r;
}

fx fx_mul_small(const fx& a, u64 m) {
    fx r;
    u64 c = 0;
    for (int i = 0; i < 4; ++i) {
        const u128 t = static_cast<u128>(a.w[i]) * m + c;
        r.w[i] = static_cast<u64>(t);
        c = static_cast<u64>(t >> 64);
    }
    return r;
}

fx fx_div_small(const fx& a, u64 d) {
    fx r;
    u128 rem = 0;
    for (int i = 3; i >= 0; --i) {
        const u128 cur = (rem << 64) | a.w[i];
        r.w[i] = static_cast<u64>(cur / d);
        rem = cur % d;
    }
    return r;
}

fx fx_shr(const fx& a, int s) {
    fx r;
    if (s <= 0) return a;
    if (s >= 256) return r;
    const int q = s / 64, b = s % 64;
    for (int i = 0; i + q < 4; ++i) {
        u64 v = a.w[i + q] >> b;
        if (b && i + q + 1 < 4) v |= a.w[i + q + 1] << (64 - b);
        r.w[i] = v;
    }
    return r;
}

fx fx_shl(const fx& a, int s) {
    fx r;
    if (s <= 0) return fx_shr(a, -s);
    if (s >= 256) return r;
    const int q = s / 64, b = s % 64;
    for (int i = 3; i - q >= 0; --i) {
        u64 v = a.w[i - q] << b;
        if (b && i - q - 1 >= 0) v |= a.w[i - q - 1] >> (64 - b);
        r.w[i] = v;
    }
    return r;
}

// Integer m (< 2^64) times 2^s, as fixed point (truncated below 2^-254).
fx fx_from(u64 m, int s) {
    fx r;
    r.w[0] = m;
    return fx_shl(r, s + kFrac);
}

fx fx_one() { return fx_from(1, 0); }

int fx_top_bit(const fx& a) {
    for (int i = 3; i >= 0; --i)
        if (a.w[i]) return 64 * i + 63 - __builtin_clzll(a.w[i]);
    return -1;
}

// a (in [0, 4)) as a double, truncated: a start for Newton's method.
double fx_approx(const fx& a) {
    double r = 0.0;
    for (int i = 3; i >= 0; --i) r = r * 18446744073709551616.0 + static_cast<double>(a.w[i]);
    return std::ldexp(r, -kFrac);
}

// a * 2^e rounded to the nearest double, ties to even, subnormals included.
double fx_round(const fx& a, int e) {
    const int top = fx_top_bit(a);
    if (top < 0) return 0.0;
    int lo = top - 52;
    const int sub = -1074 + kFrac - e;  // bit of weight 2^-1074
    if (lo < sub) lo = sub;
    if (lo > top + 1) return 0.0;  // below half the smallest subnormal
    if (lo <= 0) return std::ldexp(fx_approx(a), e);  // not used: values keep 53+ bits
    const fx m = fx_shr(a, lo);
    u64 mant = m.w[0];
    const fx half = fx_shl(fx_from(1, -kFrac), lo - 1);
    const fx below = fx_sub(a, fx_shl(m, lo));
    if (fx_less(half, below) || (!fx_less(below, half) && (mant & 1))) ++mant;
    return std::ldexp(static_cast<double>(mant), lo - kFrac + e);
}

const fx& fx_pi() {
    // pi * 2^254, 256 bits.
    static const fx p{{0x020bbea63b139b22ULL, 0x29024e088a67cc74ULL, 0xc4c6628b80dc1cd1ULL,
                       0xc90fdaa22168c234ULL}};
    return p;
}

// sum_{n>=0} z^n prod_{k<=n} 2k/(2k+1) for 0 <= z <= 1/2 (Euler's series:
// atan(t) = t/(1+t^2) * S(t^2/(1+t^2))).
fx euler_series(const fx& z) {
    fx term = fx_one(), sum = term;
    for (u64 n = 1; n < 400; ++n) {
        term = fx_mul_small(fx_div_small(fx_mul(term, z), 2 * n + 1), 2 * n);
        if (fx_zero(term)) break;
        sum = fx_add(sum, term);
    }
    return sum;
}

// 1/w for w in [1, 2], by Newton's method from a double.
fx fx_recip(const fx& w) {
    const double wd = fx_approx(w);
    int e;
    const double m = std::frexp(1.0 / wd, &e);
    fx r = fx_from(static_cast<u64>(std::ldexp(m, 53)), e - 53);
    const fx two = fx_from(2, 0);
    for (int i = 0; i < 4; ++i) r = fx_mul(r, fx_sub(two, fx_mul(w, r)));
    return r;
}

// sqrt(z) for 0 < z <= 1.
fx fx_sqrt(const fx& z) {
    // z = zn / 4^m with zn in [1/4, 1).
    const int m = (kFrac - 1 - fx_top_bit(z)) / 2;
    const fx zn = fx_shl(z, 2 * m);
    const double zd = fx_approx(zn);
    int e;
    const double g = std::frexp(1.0 / std::sqrt(zd), &e);
    fx y = fx_from(static_cast<u64>(std::ldexp(g, 53)), e - 53);  // 1/sqrt(zn)
    const fx three = fx_from(3, 0);
    for (int i = 0; i < 5; ++i)
        y = fx_mul(y, fx_shr(fx_sub(three, fx_mul(zn, fx_mul(y, y))), 1));
    return fx_shr(fx_mul(zn, y), m);
}

// atan(t) for t = (Y/X) 2^d <= 1 with 53-bit integers Y, X (top bits set):
// returns M with atan(t) = M * 2^d, M < 2.
fx atan_ratio(u64 Y, u64 X, int d) {
    // q = Y/X in (1/2, 2): long division of Y * 2^254 by X.
    u64 num[5] = {0, 0, 0, Y << 62, Y >> 2};
    fx q;
    u128 rem = 0;
    for (int i = 4; i >= 0; --i) {
        const u128 cur = (rem << 64) | num[i];
        const u64 qd = static_cast<u64>(cur / X);
        rem = cur % X;
        if (i < 4) q.w[i] = qd;
    }
    const fx t2 = fx_shr(fx_mul(q, q), -2 * d);
    const fx r = fx_recip(fx_add(fx_one(), t2));  // 1/(1+t^2)
    const fx s = euler_series(fx_mul(t2, r));
    return fx_mul(fx_mul(q, r), s);
}

struct parts {
    u64 m;  // 53-bit integer, top bit set
    int e;  // value = m * 2^e
};

parts split_double(double a) {
    int e;
    const double f = std::frexp(std::fabs(a), &e);
    return {static_cast<u64>(std::ldexp(f, 53)), e - 53};
}

}  // namespace

namespace detail {

// atan2 of finite non-zero y, x in fixed point.
double atan2_fixed(double y, double x) {
    const double ay = std::fabs(y), ax = std::fabs(x);
    const bool swap = ay > ax;
    const parts n = split_double(swap ? ax : ay), d = split_double(swap ? ay : ax);
    const int sh = (n.e - d.e);
    const fx m = atan_ratio(n.m, d.m, sh);
    double r;
    if (!swap && x > 0) {
        r = fx_round(m, sh);
    } else {
        const fx a = fx_shr(m, -sh);
        const fx half_pi = fx_shr(fx_pi(), 1);
        if (!swap) r = fx_round(fx_sub(fx_pi(), a), 0);
        else if (x > 0) r = fx_round(fx_sub(half_pi, a), 0);
        else r = fx_round(fx_add(half_pi, a), 0);
    }
    return std::signbit(y) ? -r : r;
}

// acos of 0 < |x| < 1 in fixed point.
double acos_fixed(double x) {
    const parts p = split_double(x);
    const fx ax = fx_from(p.m, p.e);
    const fx x2 = fx_mul(ax, ax);
    const fx one = fx_one();
    const fx half = fx_shr(one, 1);
    if (!fx_less(x2, half)) {
        // atan(s/|x|) = s |x| S(1 - x^2), s = sqrt(1 - x^2).
        const fx z = fx_sub(one, x2);
        const fx b = fx_mul(fx_mul(fx_sqrt(z), ax), euler_series(z));
        return fx_round(x > 0 ? b : fx_sub(fx_pi(), b), 0);
    }
    // atan(|x|/s) = |x| s S(x^2).
    const fx b = fx_mul(fx_mul(ax, fx_sqrt(fx_sub(one, x2))), euler_series(x2));
    const fx half_pi = fx_shr(fx_pi(), 1);
    return fx_round(x > 0 ? fx_sub(half_pi, b) : fx_add(half_pi, b), 0);
}

}  // namespace detail

namespace {

// ---- double-double fast path.

// Relative error bound of the double-double results below: the kernel is
// within 2^-99 (division 2^-104, series 2^-102, table 2^-106, the sum with
// the table entry at most doubles these); the margin covers the rounding of
// the test itself.
constexpr double kFastEps = 0x1p-90;

// First try for atan2: about 69 correct bits at a third of the cost of
// atan_kernel, so kFirstEps leaves 5 bits of margin. With u = u1 + u2 the
// reduced argument in double-double, atan(u) = u1 + u2 (1 - u1^2)
// + u1^3 (-1/3 + u1^2/5 - u1^4/7) within 2^-70 |u| (the dropped u^9/9 is
// below 2^-75 |u|, the rounding of the cubic term below 2^-70 |u|), and
// |u| is at most the result for k > 0.
constexpr double kFirstEps = 0x1p-64;

dd neg(dd a) { return {-a.hi, -a.lo}; }

dd div(dd a, dd b) {
    const double q1 = a.hi / b.hi;
    const dd r = ddm::add(a, neg(ddm::mul(b, q1)));
    return ddm::fast_two_sum(q1, r.hi / b.hi);
}

dd sqrt_dd(dd a) {
    const double s = std::sqrt(a.hi);
    const dd p = ddm::two_prod(s, s);
    return ddm::fast_two_sum(s, (((a.hi - p.hi) - p.lo) + a.lo) / (2.0 * s));
}

// The double hi + lo rounds to, when every value within eps |hi| of it
// rounds the same; 0 (never a valid result here) otherwise.
bool round_test(dd r, double& out, double eps = kFastEps) {
    const double e = eps * std::fabs(r.hi);
    const double a = r.hi + (r.lo + e), b = r.hi + (r.lo - e);
    out = a;
    return a == b;
}

// atan(k/256), k = 0..256, rounded to double-double (hi + lo within 2^-107).
constexpr dd kAtanK[257] = {
    {0x0p+0, 0x0p+0},
    {0x1.ffff5555bbbb7p-9, 0x1.4bb12afb6b6d5p-64},
    {0x1.fffd555bbba97p-8, 0x1.68062351fbbe6p-63},
    {0x1.7ffb80184c30ap-7, -0x1.725017508234bp-61},
    {0x1.fff555bbb729bp-7, -0x1.220c39d4dff5p-61},
    {0x1.3ff595f18a7p-6, -0x1.213eac36cfb2cp-60},
    {0x1.7fee0184a5c36p-6, -0x1.43189fc0a354bp-60},
    {0x1.bfe36df291712p-6, -0x1.e1bec7756100ep-61},
    {0x1.ffd55bba97625p-6, -0x1.5ec431444912cp-60},
    {0x1.1fe1a5c2ec497p-5, 0x1.886091e8fc4cbp-59},
    {0x1.3fd65f169c9d9p-5, 0x1.7230a716461b5p-61},
    {0x1.5fc89a5fa3b2dp-5, 0x1.2bb73bf4e7f99p-59},
    {0x1.7fb818430da2ap-5, -0x1.86ef8f794f105p-63},
    {0x1.9fa49986984dfp-5, 0x1.322907af0abc2p-59},
    {0x1.bf8ddf139c444p-5, -0x1.89fe34b2a7fa8p-59},
    {0x1.df73a9f9f1882p-5, -0x1.251b5c410bcb4p-62},
    {0x1.ff55bb72cfdeap-5, -0x1.c934d86d23f1dp-60},
    {0x1.0f99ea71d52a7p-4, -0x1.2069feec3624fp-61},
    {0x1.1f86dbf082d59p-4, -0x1.095dc7732ef81p-59},
    {0x1.2f719318a4a9ap-4, 0x1.3fd1779b9801fp-63},
    {0x1.3f59f0e7c559dp-4, 0x1.ac4ce285df847p-58},
    {0x1.4f3fd677292fbp-4, 0x1.008d36264979ep-59},
    {0x1.5f2324fd2d7b2p-4, 0x1.8a8da4401318ep-58},
    {0x1.6f03bdcea4b0dp-4, -0x1.3f00e512fa17dp-60},
    {0x1.7ee182602f10fp-4, -0x1.cfb654c0c3d98p-58},
    {0x1.8ebc54478fb28p-4, 0x1.732880cad24ccp-59},
    {0x1.9e94153cfdcf1p-4, 0x1.a332e1d69c47ep-58},
    {0x1.ae68a71c722b8p-4, 0x1.c014e6910b9dbp-59},
    {0x1.be39ebe6f07c3p-4, 0x1.f7b8f29a05987p-58},
    {0x1.ce07c5c3cca32p-4, 0x1.138e6425918a7p-59},
    {0x1.ddd21701eba6ep-4, 0x1.94effcd76fe58p-58},
    {0x1.ed98c2190043bp-4, -0x1.3a598592c7b13p-61},
    {0x1.fd5ba9aac2f6ep-4, -0x1.cd37686760c17p-59},
    {0x1.068d584212b3ep-3, -0x1.9e2d283019bfdp-57},
    {0x1.0e6adccf40882p-3, -0x1.d71a31bb98d0dp-57},
    {0x1.164654106085p-3, 0x1.6bcee8ae7ea92p-57},
    {0x1.1e1fafb043727p-3, -0x1.b485914dacf8cp-59},
    {0x1.25f6e171a535cp-3, 0x1.7c6d7bde1a31p-57},
    {0x1.2dcbdb2fba1ffp-3, 0x1.8f28705561534p-58},
    {0x1.359e8edeb99a4p-3, -0x1.a5fd74e4604c6p-57},
    {0x1.3d6eee8c6626cp-3, 0x1.61a3b0ce9281bp-57},
    {0x1.453cec6092a9ep-3, 0x1.1f653b3a5a78bp-57},
    {0x1.4d087a9da4f17p-3, 0x1.1f323f1adf158p-57},
    {0x1.54d18ba11570ap-3, 0x1.18282f2884073p-57},
    {0x1.5c9811e3ec26ap-3, -0x1.054ab2c010f3dp-58},
    {0x1.645bfffb3aa74p-3, -0x1.f536b677c2cb4p-60},
    {0x1.6c1d4898933d9p-3, -0x1.2954a7603c427p-58},
    {0x1.73dbde8a7d202p-3, -0x1.5ad0f6d4a665dp-58},
    {0x1.7b97b4bce5b02p-3, 0x1.347b0b4f881cap-58},
    {0x1.8350be398ebc8p-3, -0x1.5a91332b9c90dp-58},
    {0x1.8b06ee2879c29p-3, -0x1.118cd30308c4fp-57},
    {0x1.92ba37d050272p-3, -0x1.0d3ded0ff4764p-57},
    {0x1.9a6a8e96c8626p-3, 0x1.cf601e7b4348ep-59},
    {0x1.a217e601081a6p-3, -0x1.0def8a60af374p-57},
    {0x1.a9c231b403279p-3, 0x1.0e8bbe89cca85p-57},
    {0x1.b1696574d780cp-3, -0x1.85ab8fc15a673p-58},
    {0x1.b90d7529260a2p-3, 0x1.17b10d2e0e5abp-61},
    {0x1.c0ae54d768467p-3, -0x1.04cdbf55f26dcp-57},
    {0x1.c84bf8a742e6ep-3, -0x1.95bdd0682ea26p-58},
    {0x1.cfe654e1d5395p-3, 0x1.47b9a3f71eafbp-57},
    {0x1.d77d5df205736p-3, 0x1.c648d1534597ep-57},
    {0x1.df110864c9d9ep-3, -0x1.5818b53bf4781p-60},
    {0x1.e6a148e96ec4dp-3, 0x1.866b22029f765p-57},
    {0x1.ee2e1451d980dp-3, -0x1.9a7708c46ba91p-58},
    {0x1.f5b75f92c80ddp-3, 0x1.8ab6e3cf7afbdp-57},
    {0x1.fd3d1fc40dbe4p-3, 0x1.37146f3a1c5eap-59},
    {0x1.025fa510665b6p-2, -0x1.672df6832fa48p-56},
    {0x1.061eea03d6291p-2, -0x1.5f760db154301p-59},
    {0x1.09dc597d86362p-2, 0x1.62e47390cb865p-56},
    {0x1.0d97ee509acb3p-2, 0x1.47c317bd5a3ebp-56},
    {0x1.1151a362431cap-2, -0x1.4dc8dc9077b9fp-56},
    {0x1.150973a9ce547p-2, -0x1.796ba7f9ca328p-56},
    {0x1.18bf5a30bf178p-2, 0x1.30ca4748b1bf9p-57},
    {0x1.1c735212dd884p-2, -0x1.7d9ac78cb2f2ep-57},
    {0x1.2025567e47c96p-2, -0x1.1832328f4290ep-57},
    {0x1.23d562b381042p-2, -0x1.c531716200088p-58},
    {0x1.278372057ef46p-2, -0x1.077cdd36dfc81p-56},
    {0x1.2b2f7fd9b5fe2p-2, 0x1.423cfc1c2d443p-61},
    {0x1.2ed987a823cfep-2, 0x1.b91258ea012cap-57},
    {0x1.328184fb58952p-2, -0x1.a95f0a9939f2fp-56},
    {0x1.362773707ebccp-2, -0x1.963a544b672d8p-57},
    {0x1.39cb4eb76157cp-2, -0x1.2f4da5a214713p-56},
    {0x1.3d6d129271134p-2, 0x1.137ca41cc958ap-56},
    {0x1.410cbad6c7d33p-2, -0x1.b0c8bae13b512p-56},
    {0x1.44aa436c2af0ap-2, -0x1.5d5e43c55b3bap-56},
    {0x1.4845a84d0c21bp-2, 0x1.1e28a7563c6a6p-56},
    {0x1.4bdee586890e7p-2, -0x1.e4dc77c22a757p-57},
    {0x1.4f75f73869979p-2, -0x1.95a1cf7ff1108p-58},
    {0x1.530ad9951cd4ap-2, -0x1.2566480884082p-57},
    {0x1.569d88e1b4cd8p-2, -0x1.fec61e713cfe2p-57},
    {0x1.5a2e0175e0f4ep-2, 0x1.13b7a8f82e457p-56},
    {0x1.5dbc3fbbe768dp-2, 0x1.ea0ec1b76f7dap-57},
    {0x1.614840309cfe2p-2, -0x1.a725715711fp-56},
    {0x1.64d1ff635c1c6p-2, -0x1.fa403e7c0fdbep-56},
    {0x1.685979f5fa6fep-2, -0x1.257814d1ada9cp-59},
    {0x1.6bdeac9cbd76dp-2, -0x1.a5c563e6de828p-58},
    {0x1.6f61941e4def1p-2, -0x1.c63aae6f6e918p-56},
    {0x1.72e22d53aa2aap-2, -0x1.d9c934e79f27cp-56},
    {0x1.7660752817502p-2, -0x1.dd11791cc76p-59},
    {0x1.79dc6899118d1p-2, 0x1.b7413a0ef606dp-61},
    {0x1.7d5604b63b3f7p-2, 0x1.69c885c2b249ap-56},
    {0x1.80cd46a14b1d1p-2, -0x1.e79f99684fa19p-56},
    {0x1.84422b8df95d7p-2, 0x1.d76a0299b41b6p-56},
    {0x1.87b4b0c1ebedcp-2, -0x1.6dcfaa2fa470fp-56},
    {0x1.8b24d394a1b25p-2, 0x1.b6d0ba3748fa8p-56},
    {0x1.8e92916f5cde8p-2, 0x1.4c0a7e12bfafbp-56},
    {0x1.91fde7cd0c662p-2, 0x1.1074188054b53p-56},
    {0x1.9566d43a34907p-2, 0x1.9b01537e0af2bp-57},
    {0x1.98cd5454d6b18p-2, 0x1.9e6c988fd0a77p-56},
    {0x1.9c3165cc58107p-2, 0x1.b669602250cfbp-59},
    {0x1.9f93066168002p-2, -0x1.c827047c9439ap-56},
    {0x1.a2f233e5e530bp-2, 0x1.814d5f797086bp-58},
    {0x1.a64eec3cc23fdp-2, -0x1.24dec1b50b7ffp-56},
    {0x1.a9a92d59e98cfp-2, 0x1.2e42dff75d817p-59},
    {0x1.ad00f5422058bp-2, 0x1.fc4c33891d2e8p-56},
    {0x1.b056420ae9344p-2, -0x1.9313946363455p-56},
    {0x1.b3a911da65c6cp-2, 0x1.ae187b1ca504p-56},
    {0x1.b6f962e737efcp-2, -0x1.ca53464981e71p-58},
    {0x1.ba473378624a5p-2, 0x1.519a1b46e4affp-56},
    {0x1.bd9281e528192p-2, -0x1.4b15439af6b66p-56},
    {0x1.c0db4c94ec9fp-2, -0x1.cc1ce70934c34p-56},
    {0x1.c42191ff11eb7p-2, -0x1.b17df434b3eeep-56},
    {0x1.c76550aad71f9p-2, -0x1.74b8bff7043e4p-56},
    {0x1.caa6872f3631bp-2, 0x1.9506781636f48p-61},
    {0x1.cde53432c1351p-2, -0x1.a2cfa4418f1adp-56},
    {0x1.d121566b7f2adp-2, 0x1.be67835886c3p-56},
    {0x1.d45aec9ec862bp-2, 0x1.89421163ef92dp-57},
    {0x1.d791f5a1226f5p-2, -0x1.4017ea5b64a76p-57},
    {0x1.dac670561bb4fp-2, 0x1.a2b7f222f65e2p-56},
    {0x1.ddf85bb026974p-2, 0x1.43bbb0c0a1226p-57},
    {0x1.e127b6b0744bp-2, -0x1.2b0986398d4abp-58},
    {0x1.e4548066cf51ap-2, 0x1.3a3aa12ce98f2p-59},
    {0x1.e77eb7f175a34p-2, 0x1.0e53dc1bf3435p-56},
    {0x1.eaa65c7cf28c4p-2, 0x1.2fb2ceca3bf05p-57},
    {0x1.edcb6d43f8435p-2, -0x1.fc976330884e4p-58},
    {0x1.f0ede98f393dp-2, -0x1.2f40a87cb1894p-56},
    {0x1.f40dd0b541418p-2, -0x1.a3992dc382a23p-57},
    {0x1.f72b221a4e495p-2, 0x1.489c20f7eb74p-58},
    {0x1.fa45dd3029259p-2, -0x1.ca563dc28d8b5p-56},
    {0x1.fd5e0175fdf83p-2, 0x1.3a87b1ec49b15p-57},
    {0x1.0039c73c1a40cp-1, -0x1.b32c949c9d593p-55},
    {0x1.01c341e82422dp-1, 0x1.3db44fcca90eep-55},
    {0x1.034b709250488p-1, 0x1.8f9b38d85541p-56},
    {0x1.04d25314342e6p-1, -0x1.1c8636442c767p-55},
    {0x1.0657e94db30dp-1, -0x1.d5b495f6349e6p-56},
    {0x1.07dc3324e9b38p-1, 0x1.b70c9e04450acp-56},
    {0x1.095f30861a59p-1, -0x1.121b20a15a9f3p-56},
    {0x1.0ae0e1639866cp-1, 0x1.075abf2de445ap-56},
    {0x1.0c6145b5b43dap-1, 0x1.974fa13b5404fp-58},
    {0x1.0de05d7aa6f7dp-1, -0x1.83684b1c529abp-56},
    {0x1.0f5e28b67e295p-1, 0x1.311b17ec990dp-65},
    {0x1.10daa77307a0dp-1, 0x1.69c33d44c7b05p-55},
    {0x1.1255d9bfbd2a9p-1, -0x1.2bdaee1c0ee35p-58},
    {0x1.13cfbfb1b056ep-1, 0x1.3110e6fc3ed38p-55},
    {0x1.154859637646ap-1, -0x1.4ba7c548bf3c3p-55},
    {0x1.16bfa6f5137e1p-1, 0x1.9606fe141bd35p-56},
    {0x1.1835a88be7c13p-1, 0x1.c621cec00c301p-55},
    {0x1.19aa5e5299f9ap-1, -0x1.a606c2c58f835p-55},
    {0x1.1b1dc87904285p-1, -0x1.21e8c8aef8f29p-57},
    {0x1.1c8fe7341f64fp-1, 0x1.28bbc9d5e792ap-56},
    {0x1.1e00babdefeb4p-1, -0x1.928df287a668fp-58},
    {0x1.1f7043557138ap-1, 0x1.6c659f6d7dd47p-56},
    {0x1.20de813e823b2p-1, -0x1.791d753ebb744p-55},
    {0x1.224b74c1d192ap-1, 0x1.d6d3df88a60c4p-55},
    {0x1.23b71e2cc9e6ap-1, 0x1.c421c9f38224ep-57},
    {0x1.25217dd17e501p-1, 0x1.56aa88c1b679cp-55},
    {0x1.268a940696da6p-1, 0x1.d1348a04c73ccp-58},
    {0x1.27f261273d1b3p-1, 0x1.43bf36151dd9fp-55},
    {0x1.2958e59308e31p-1, -0x1.09e73b0c6c087p-56},
    {0x1.2abe21aded073p-1, 0x1.c28c001ad022ep-55},
    {0x1.2c2215e024466p-1, -0x1.4b810da3a4be1p-59},
    {0x1.2d84c2961e48cp-1, -0x1.f25420a36e506p-56},
    {0x1.2ee628406cbcap-1, 0x1.c5d5e9ff0cf8dp-55},
    {0x1.30464753b090bp-1, -0x1.3e71261da18f3p-56},
    {0x1.31a52048874bep-1, 0x1.40cab87a7ac24p-55},
    {0x1.3302b39b78856p-1, 0x1.5dd2ed87ba82bp-55},
    {0x1.345f01cce37bbp-1, 0x1.1021137c71102p-55},
    {0x1.35ba0b60ecccep-1, 0x1.e3ba19b9368b9p-55},
    {0x1.3713d0df6c504p-1, -0x1.4f789e031606dp-58},
    {0x1.386c52d3db11fp-1, -0x1.b78e1cbebe6ap-55},
    {0x1.39c391cd4171ap-1, -0x1.2304331d8bf46p-55},
    {0x1.3b198e5e2564bp-1, -0x1.2f9221f0752acp-56},
    {0x1.3c6e491c78dc5p-1, -0x1.e145094fd0ba7p-55},
    {0x1.3dc1c2a188504p-1, 0x1.2ce6370f4e971p-55},
    {0x1.3f13fb89e96f4p-1, 0x1.ecf8b492644fp-56},
    {0x1.4064f47569f49p-1, -0x1.aad88f91bf2b2p-55},
    {0x1.41b4ae06fea41p-1, 0x1.3d60a53277652p-57},
    {0x1.430328e4b26d6p-1, -0x1.131591070b99fp-55},
    {0x1.445065b795b56p-1, -0x1.f76d0163f79c8p-56},
    {0x1.459c652badc7fp-1, 0x1.199698e8e135cp-55},
    {0x1.46e727efe4716p-1, -0x1.39b9b1b844cc9p-57},
    {0x1.4830aeb5f7bfep-1, -0x1.a265666764a73p-58},
    {0x1.4978fa3269ee1p-1, 0x1.2419a87f2a458p-56},
    {0x1.4ac00b1c71762p-1, 0x1.b20e72382b9p-55},
    {0x1.4c05e22de94e5p-1, -0x1.c0ac1f09f2edfp-55},
    {0x1.4d4a8023414e8p-1, 0x1.e3a891daa88bp-57},
    {0x1.4e8de5bb6ec04p-1, 0x1.4a33dbeb3796cp-55},
    {0x1.4fd013b7dd17ep-1, 0x1.d513f3e7c24b5p-56},
    {0x1.51110adc5ed81p-1, 0x1.23dcd6832a63ep-56},
    {0x1.5250cbef1e9fbp-1, -0x1.539b7a322887p-58},
    {0x1.538f57b89061fp-1, -0x1.1bb74abda520cp-55},
    {0x1.54ccaf0362c8fp-1, 0x1.8a3247f8f43c1p-55},
    {0x1.5608d29c70c34p-1, 0x1.9939cf0de8088p-55},
    {0x1.5743c352b33bap-1, -0x1.ea00d34c87ea6p-55},
    {0x1.587d81f732fbbp-1, -0x1.5e5c9d8c5a95p-56},
    {0x1.59b60f5cfab9ep-1, -0x1.1b04c41026bc5p-55},
    {0x1.5aed6c5909517p-1, 0x1.7312f714a9436p-55},
    {0x1.5c2399c244261p-1, -0x1.31bd4e9e56b35p-55},
    {0x1.5d58987169b18p-1, 0x1.0028e4bc5e7cap-57},
    {0x1.5e8c6941043dp-1, -0x1.0bf75be451e7p-56},
    {0x1.5fbf0d0d5cc4ap-1, -0x1.b4cfd000b7158p-58},
    {0x1.60f084b46e05fp-1, -0x1.dbb8699945193p-55},
    {0x1.6220d115d7b8ep-1, -0x1.2b785350ee8c1p-57},
    {0x1.634ff312d1f3bp-1, 0x1.9d2f315f2b598p-55},
    {0x1.647deb8e20b9p-1, -0x1.eca04023a51cfp-58},
    {0x1.65aabb6c07b03p-1, -0x1.7939b3af32729p-57},
    {0x1.66d663923e087p-1, -0x1.6ea6febe8bbbap-56},
    {0x1.6800e4e7e2858p-1, -0x1.8ea6a1b3e90fp-58},
    {0x1.692a40556fb6ap-1, 0x1.d94b95a8ea2ccp-55},
    {0x1.6a5276c4b0576p-1, -0x1.f6b659c46a69ep-55},
    {0x1.6b798920b3d99p-1, -0x1.a80386188c50ep-55},
    {0x1.6c9f7855c3198p-1, 0x1.c09de29bd280dp-56},
    {0x1.6dc44551553afp-1, -0x1.bf8863573828ep-58},
    {0x1.6ee7f10204aefp-1, 0x1.692eea3066272p-55},
    {0x1.700a7c5784634p-1, -0x1.8c34d25aadef6p-56},
    {0x1.712be84295198p-1, 0x1.5cd90337d8881p-55},
    {0x1.724c35b4fae7bp-1, 0x1.948b32db3499bp-58},
    {0x1.736b65a172dffp-1, 0x1.775fd06a892d1p-56},
    {0x1.748978fba8e0fp-1, 0x1.7b2a6165884a1p-59},
    {0x1.75a670b82d8d8p-1, 0x1.ee4ac4c729087p-55},
    {0x1.76c24dcc6c6cp-1, 0x1.1952551adc83dp-55},
    {0x1.77dd112ea22c7p-1, 0x1.732608fc10d3dp-55},
    {0x1.78f6bbd5d315ep-1, 0x1.406a08980374p-55},
    {0x1.7a0f4eb9c19a2p-1, 0x1.13c67cd815f57p-57},
    {0x1.7b26cad2e50fep-1, -0x1.ce80df30411fbp-55},
    {0x1.7c3d311a6092bp-1, 0x1.bb3cb2d303288p-55},
    {0x1.7d528289fa093p-1, 0x1.560821e2f3aa9p-55},
    {0x1.7e66c01c114fep-1, -0x1.c82b88b760b8dp-55},
    {0x1.7f79eacb97898p-1, 0x1.fd5ca80ead221p-55},
    {0x1.808c03940694bp-1, -0x1.00f327715f6a5p-55},
    {0x1.819d0b7158a4dp-1, -0x1.bf76229d3b917p-56},
    {0x1.82ad036000005p-1, 0x1.4592fce924d24p-56},
    {0x1.83bbec5cdee22p-1, 0x1.3107104ffc6c3p-57},
    {0x1.84c9c7653f7ebp-1, -0x1.83611fe0a3e8fp-60},
    {0x1.85d69576cc2c5p-1, 0x1.6b66e7fc8b8c3p-57},
    {0x1.86e2578f87ae5p-1, 0x1.022b1375cfe34p-55},
    {0x1.87ed0eadc5a2ap-1, 0x1.0af5ad957f4bcp-56},
    {0x1.88f6bbd023119p-1, -0x1.32d1d25aba66p-58},
    {0x1.89ff5ff57f1f8p-1, -0x1.55b9a5e177a1bp-55},
    {0x1.8b06fc1cf3dffp-1, -0x1.0fb312656db6dp-55},
    {0x1.8c0d9145cf49dp-1, 0x1.bea4076dc4333p-55},
    {0x1.8d13206f8c4cbp-1, -0x1.b018cbaa89a8bp-56},
    {0x1.8e17aa99cc05ep-1, -0x1.ec182ab042f61p-56},
    {0x1.8f1b30c44f167p-1, 0x1.dd1cab93933fdp-57},
    {0x1.901db3eeef187p-1, 0x1.68665e5603c8fp-55},
    {0x1.911f35199833bp-1, 0x1.3ae8a0edbf522p-57},
    {0x1.921fb54442d18p-1, 0x1.1a62633145c07p-55},
};

constexpr dd kPi{0x1.921fb54442d18p+1, 0x1.1a62633145c07p-53};
constexpr dd kHalfPi{0x1.921fb54442d18p+0, 0x1.1a62633145c07p-54};

dd constant_over_3() { return {-0x1.5555555555555p-2, -0x1.5555555555555p-56}; }  // -1/3
dd constant_over_5() { return {0x1.999999999999ap-3, -0x1.999999999999ap-57}; }   // 1/5

// atan(t) for a double-double 0 <= t <= 1.
dd atan_kernel(dd t) {
    const int k = static_cast<int>(t.hi * 256.0 + 0.5);
    dd u = t;
    if (k > 0) {
        const double ck = k / 256.0;
        const dd num = ddm::two_sum(t.hi - ck, t.lo);  // t.hi - ck is exact
        const dd den = ddm::add(dd{1.0, 0.0}, ddm::mul(t, ck));
        u = div(num, den);
    }
    const dd s = ddm::mul(u, u);
    const double z = s.hi;
    const double q = -1.0 / 7.0 + z * (1.0 / 9.0 - z * (1.0 / 11.0));
    const dd a = ddm::add(constant_over_5(), dd{z * q, 0.0});
    const dd b = ddm::add(constant_over_3(), ddm::mul(s, a));
    const dd r = ddm::add(u, ddm::mul(ddm::mul(u, s), b));
    return k > 0 ? ddm::add(kAtanK[k], r) : r;
}

// a / b for doubles 0 <= a, 0 < b, in double-double.
dd ratio(double a, double b) {
    const double q1 = a / b;
    const dd p = ddm::two_prod(q1, b);
    return ddm::fast_two_sum(q1, ((a - p.hi) - p.lo) / b);
}

// atan(num/den) for 0 <= num <= den.
dd atan_first(double num, double den) {
    const dd t = ratio(num, den);
    const int k = static_cast<int>(t.hi * 256.0 + 0.5);
    double u1 = t.hi, u2 = t.lo;
    if (k > 0) {
        // u = (t - c) / (1 + t c): t.hi - c is exact, the divisor d.hi + dlo.
        const double ck = k / 256.0;
        const double n = t.hi - ck;
        const dd tc = ddm::two_prod(t.hi, ck);
        const dd d = ddm::fast_two_sum(1.0, tc.hi);
        const double dlo = d.lo + (tc.lo + t.lo * ck);
        u1 = n / d.hi;
        const dd p = ddm::two_prod(u1, d.hi);  // n - p.hi is exact
        u2 = ((((n - p.hi) - p.lo) + t.lo) - u1 * dlo) / d.hi;
    }
    const double z = u1 * u1;
    const double tail = u1 * z * (-1.0 / 3.0 + z * (1.0 / 5.0 - z * (1.0 / 7.0))) + u2 * (1.0 - z);
    if (k == 0) return ddm::fast_two_sum(u1, tail);
    const dd s = ddm::two_sum(kAtanK[k].hi, u1);
    return ddm::fast_two_sum(s.hi, s.lo + (kAtanK[k].lo + tail));
}

// atan(t) placed in its octant: a when |y| <= |x| and x > 0, else pi/2 -+ a
// or pi - a.
dd octant(dd a, bool swap, bool x_negative) {
    if (swap) return x_negative ? ddm::add(kHalfPi, a) : ddm::add(kHalfPi, neg(a));
    return x_negative ? ddm::add(kPi, neg(a)) : a;
}

}  // namespace

double atan2(double y, double x) {
    SF_CRMATH_COUNT(atan2_calls);
    if (std::isnan(x) || std::isnan(y)) return x + y;
    const double pi = 0x1.921fb54442d18p+1, half_pi = 0x1.921fb54442d18p+0;
    const double ay = std::fabs(y), ax = std::fabs(x);
    double r;
    if (y == 0.0) {
        r = std::signbit(x) ? pi : 0.0;
    } else if (std::isinf(ay) || x == 0.0) {
        if (std::isinf(ax)) r = std::signbit(x) ? 0x1.2d97c7f3321d2p+1 : 0x1.921fb54442d18p-1;
        else r = half_pi;
    } else if (std::isinf(ax)) {
        r = std::signbit(x) ? pi : 0.0;
    } else {
        // Both finite and non-zero: scale the larger leg into [1, 2).
        const bool swap = ay > ax;
        const double big = swap ? ay : ax, small = swap ? ax : ay;
        double num, den;
        const int biased = int(std::bit_cast<u64>(big) >> 52);
        if (biased >= 1 && biased <= 2045) {
            // A normal power of two, 2^(1 - e) for big = f 2^e, f in [1/2, 1):
            // one rounded product each, as ldexp gives.
            const double scale = std::bit_cast<double>(u64(2046 - biased) << 52);
            num = small * scale, den = big * scale;
        } else {
            int e;
            std::frexp(big, &e);
            num = std::ldexp(small, 1 - e), den = std::ldexp(big, 1 - e);
        }
        if (!swap && x > 0 && num < 0x1p-900) {
            // Tiny or subnormal results: the fixed-point path keeps every bit.
            SF_CRMATH_COUNT(atan2_slow);
            return detail::atan2_fixed(y, x);
        }
        if (round_test(octant(atan_first(num, den), swap, x < 0), r, kFirstEps))
            return std::signbit(y) ? -r : r;
        if (!round_test(octant(atan_kernel(ratio(num, den)), swap, x < 0), r)) {
            SF_CRMATH_COUNT(atan2_slow);
            r = std::fabs(detail::atan2_fixed(y, x));
        }
    }
    return std::signbit(y) ? -r : r;
}

double acos(double x) {
    SF_CRMATH_COUNT(acos_calls);
    if (std::isnan(x)) return x;
    const double ax = std::fabs(x);
    if (ax > 1.0) return std::numeric_limits<double>::quiet_NaN();
    if (x == 1.0) return 0.0;
    if (x == -1.0) return 0x1.921fb54442d18p+1;
    if (x == 0.0) return 0x1.921fb54442d18p+0;
    // s = sqrt((1 - x)(1 + x)), both factors exact in double-double.
    const auto s = sqrt_dd(ddm::mul(ddm::two_sum(1.0, -x), ddm::two_sum(1.0, x)));
    ddm::dd v;
    if (s.hi <= ax) {
        const auto a = atan_kernel(div(s, ddm::dd{ax, 0.0}));
        v = x > 0 ? a : ddm::add(kPi, neg(a));
    } else {
        const auto a = atan_kernel(div(ddm::dd{ax, 0.0}, s));
        v = ddm::add(kHalfPi, x > 0 ? neg(a) : a);
    }
    double r;
    if (!round_test(v, r)) {
        SF_CRMATH_COUNT(acos_slow);
        r = detail::acos_fixed(x);
    }
    return r;
}

namespace {

// atan2's first try for two argument pairs at once (crmath_v2.h). Each
// lane computes what atan_first, octant and round_test compute for it, with
// the same error bound; a lane the test leaves open (or with special, tiny
// or huge legs) goes through the scalar atan2, so every result is the
// correctly rounded one.
using v::v2;
using v::v2i;

// The legs scaled as the scalar atan2 scales them; false when a lane needs
// the scalar path (NaN, zero or infinite legs, a subnormal or near-overflow
// larger leg, or a ratio below 2^-900).
inline bool v_legs(const double* y, const double* x, v2& num, v2& den, bool swap[2]) {
    for (int l = 0; l < 2; ++l) {
        const double ay = std::fabs(y[l]), ax = std::fabs(x[l]);
        swap[l] = ay > ax;
        const double big = swap[l] ? ay : ax, small = swap[l] ? ax : ay;
        const int biased = int(std::bit_cast<u64>(big) >> 52);
        if (!(small > 0.0) || biased < 1 || biased > 2045) return false;
        const double scale = std::bit_cast<double>(u64(2046 - biased) << 52);
        num[l] = small * scale, den[l] = big * scale;
        if (num[l] < 0x1p-900) return false;
    }
    return true;
}

void atan2_pair(const double* y, const double* x, double* out) {
    v2 num, den;
    bool swap[2];
    if (!v_legs(y, x, num, den, swap)) {
        out[0] = atan2(y[0], x[0]), out[1] = atan2(y[1], x[1]);
        return;
    }
    // ratio(num, den)
    const v2 q1 = num / den;
    const v::dd pq = v::two_prod(q1, den);
    const v::dd t = v::fast_two_sum(q1, ((num - pq.hi) - pq.lo) / den);
    // atan_first: u = (t - c) / (1 + t c), c = k/256, for k > 0.
    int k[2];
    v2 ck, kh, kl;
    for (int l = 0; l < 2; ++l) {
        k[l] = static_cast<int>(t.hi[l] * 256.0 + 0.5);
        ck[l] = k[l] / 256.0, kh[l] = kAtanK[k[l]].hi, kl[l] = kAtanK[k[l]].lo;
    }
    const v2 n = t.hi - ck;
    const v::dd tc = v::two_prod(t.hi, ck);
    const v::dd d = v::fast_two_sum((v2){1.0, 1.0}, tc.hi);
    const v2 dlo = d.lo + (tc.lo + t.lo * ck);
    const v2 w1 = n / d.hi;
    const v::dd p = v::two_prod(w1, d.hi);
    const v2 w2 = ((((n - p.hi) - p.lo) + t.lo) - w1 * dlo) / d.hi;
    const v2i reduced = v::mask(k[0] > 0, k[1] > 0);
    const v2 u1 = v::pick(reduced, w1, t.hi), u2 = v::pick(reduced, w2, t.lo);
    const v2 z = u1 * u1;
    const v2 tail = u1 * z * (-1.0 / 3.0 + z * (1.0 / 5.0 - z * (1.0 / 7.0))) + u2 * (1.0 - z);
    const v::dd plain = v::fast_two_sum(u1, tail);
    const v::dd s = v::two_sum(kh, u1);
    const v::dd with = v::fast_two_sum(s.hi, s.lo + (kl + tail));
    v::dd a{v::pick(reduced, with.hi, plain.hi), v::pick(reduced, with.lo, plain.lo)};
    // octant: pi/2 - a, pi/2 + a, pi - a or a.
    v::dd base{}, signed_a = a;
    for (int l = 0; l < 2; ++l) {
        const bool x_neg = x[l] < 0;
        const dd b = swap[l] ? kHalfPi : x_neg ? kPi : dd{};
        base.hi[l] = b.hi, base.lo[l] = b.lo;
        if (swap[l] != x_neg) signed_a.hi[l] = -a.hi[l], signed_a.lo[l] = -a.lo[l];
    }
    const v::dd placed = v::add(base, signed_a);
    const v2i plain_lane = v::mask(!swap[0] && !(x[0] < 0), !swap[1] && !(x[1] < 0));
    const v::dd r{v::pick(plain_lane, a.hi, placed.hi), v::pick(plain_lane, a.lo, placed.lo)};
    // round_test with the first try's bound.
    const v2 e = kFirstEps * v::abs(r.hi);
    const v2 up = r.hi + (r.lo + e), down = r.hi + (r.lo - e);
    for (int l = 0; l < 2; ++l) {
        SF_CRMATH_COUNT(atan2_calls);
        if (up[l] == down[l]) out[l] = std::signbit(y[l]) ? -up[l] : up[l];
        else out[l] = atan2(y[l], x[l]);
    }
}

}  // namespace

void atan2_n(const double* y, const double* x, double* out, std::size_t n) {
    std::size_t i = 0;
    for (; i + 2 <= n; i += 2) atan2_pair(y + i, x + i, out + i);
    if (i < n) out[i] = atan2(y[i], x[i]);
}

}  // namespace sf::crm
