// Correctly rounded x^n for integral n.
//
// Fast path: binary powering of the mantissa in double-double, the exponent
// kept apart as a 64-bit integer so no intermediate overflows. Each product
// is within 2^-102 relative, so K products and a reciprocal stay within
// (K + 2) 2^-100 with room to spare; when that interval does not round to one
// double, or the result is subnormal, the power is computed again in
// multi-word arithmetic (exact while it fits, else truncated with a tracked
// bound), widening the words until the rounding is decided. Exact results
// and ties come out exactly.
#include "crmath.h"
#include "crmath_count.h"
#include "crmath_dd.h"
#include "crmath_internal.h"

#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

namespace sf::crm {
namespace {

namespace ddm = ::sf::crm::dd;
using u64 = std::uint64_t;
using u128 = unsigned __int128;

// ---- multi-word floating point: value = m * 2^e, m little-endian words with
// the top bit of the last word set.

struct big {
    std::vector<u64> m;
    std::int64_t e = 0;
};

int top_zeros(const std::vector<u64>& w) {
    for (std::size_t i = w.size(); i-- > 0;)
        if (w[i]) return static_cast<int>(64 * (w.size() - 1 - i)) + __builtin_clzll(w[i]);
    return static_cast<int>(64 * w.size());
}

// Bits [lo, lo + 64) of w.
u64 bits_at(const std::vector<u64>& w, std::int64_t lo) {
    u64 r = 0;
    for (int k = 0; k < 64; ++k) {
        const std::int64_t b = lo + k;
        if (b >= 0 && b < static_cast<std::int64_t>(64 * w.size()) && ((w[b / 64] >> (b % 64)) & 1))
            r |= u64{1} << k;
    }
    return r;
}

// The P-word product of a and b, truncated; sets inexact when bits are lost.
big mul(const big& a, const big& b, std::size_t P, bool& inexact) {
    const std::size_t n = a.m.size(), k = b.m.size();
    std::vector<u64> p(n + k, 0);
    for (std::size_t i = 0; i < n; ++i) {
        u64 c = 0;
        for (std::size_t j = 0; j < k; ++j) {
            const u128 t = static_cast<u128>(a.m[i]) * b.m[j] + p[i + j] + c;
            p[i + j] = static_cast<u64>(t);
            c = static_cast<u64>(t >> 64);
        }
        p[i + k] = c;
    }
    // Shift left so the top bit is set, then keep the top P words.
    const int z = top_zeros(p);
    const std::int64_t total = static_cast<std::int64_t>(64 * p.size());
    const std::int64_t drop = total - z - static_cast<std::int64_t>(64 * P);  // bits below the kept ones
    big r;
    r.m.resize(P);
    for (std::size_t i = 0; i < P; ++i) r.m[i] = bits_at(p, drop + static_cast<std::int64_t>(64 * i));
    for (std::int64_t b = 0; b < drop && !inexact; b += 64) {
        const std::int64_t len = drop - b < 64 ? drop - b : 64;
        u64 v = bits_at(p, b);
        if (len < 64) v &= (u64{1} << len) - 1;
        if (v) inexact = true;
    }
    r.e = a.e + b.e + drop;
    return r;
}

// x^n (x > 0 finite, n != 0) with P-word mantissas; false when the rounding
// could not be decided at this width.
bool pow_words(double x, int n, std::size_t P, double& out) {
    int ex;
    const double f = std::frexp(x, &ex);
    const u64 X = static_cast<u64>(std::ldexp(f, 53));  // x = X 2^(ex-53)
    const std::int64_t xe = ex - 53;
    const u64 N = n < 0 ? -static_cast<u64>(static_cast<std::int64_t>(n)) : static_cast<u64>(n);

    big base;
    base.m.assign(P, 0);
    bool base_inexact = false;
    if (n > 0 || X == (u64{1} << 52)) {
        base.m[P - 1] = X << 11;
        base.e = xe - 11 - static_cast<std::int64_t>(64 * (P - 1));
        if (n < 0) base.e = -base.e - static_cast<std::int64_t>(128 * P - 2);  // 1/2^k, top bit set
    } else {
        // 1/X: the P-word quotient of 2^(64P+52) by X (X > 2^52), truncated.
        u128 rem = 0;
        std::vector<u64> num(P + 1, 0);
        num[P] = u64{1} << 52;
        for (std::size_t i = P + 1; i-- > 0;) {
            const u128 cur = (rem << 64) | num[i];
            const u64 q = static_cast<u64>(cur / X);
            rem = cur % X;
            if (i < P) base.m[i] = q;
        }
        base_inexact = rem != 0;
        base.e = -static_cast<std::int64_t>(64 * P + 52) - xe;
    }

    // Binary powering; every truncation loses less than one unit in the last
    // word place, 2^(1-64P) relative.
    big acc;
    bool have = false, inexact = false;
    std::int64_t products = 0;
    for (u64 k = N; k; k >>= 1) {
        if (k & 1) {
            if (have) {
                acc = mul(acc, base, P, inexact);
                ++products;
            } else {
                acc = base;
                have = true;
            }
        }
        if (k > 1) {
            base = mul(base, base, P, inexact);
            ++products;
        }
    }
    // Error in units of the last place of acc: (1+d)^N (1+d)^K - 1 <= 2(N + K) d
    // for d = 2^(1-64P), i.e. at most 4 (N + K) units (N only if 1/X was cut).
    const bool exact = !inexact && !base_inexact;
    const u64 err = exact ? 0 : 4 * ((base_inexact ? N : 0) + static_cast<u64>(products)) + 4;

    // Round acc.m * 2^acc.e at 53 bits or at 2^-1074.
    const std::int64_t width = static_cast<std::int64_t>(64 * P);
    const std::int64_t lead = width - 1 + acc.e;  // exponent of the leading bit
    if (lead > 1024) {
        out = std::numeric_limits<double>::infinity();
        return true;
    }
    std::int64_t lo = (lead - 52 > -1074 ? lead - 52 : -1074) - acc.e;  // first kept bit
    if (lo > width + 1) {
        out = 0.0;  // below a quarter of the smallest subnormal
        return true;
    }
    // Discarded part D = acc mod 2^lo against half a unit H = 2^(lo-1), in
    // 64-bit windows: decided when |D - H| > err.
    const u64 mant = lo >= width ? 0 : bits_at(acc.m, lo) & ((u64{1} << 54) - 1);
    const bool round_bit = lo - 1 < width && ((bits_at(acc.m, lo - 1) & 1) != 0);
    // The discarded bits below the round bit, as high word / rest.
    bool rest_zero = true;
    for (std::int64_t b = 0; b < lo - 1 && rest_zero; b += 64) {
        const std::int64_t len = lo - 1 - b < 64 ? lo - 1 - b : 64;
        u64 v = bits_at(acc.m, b);
        if (len < 64) v &= (u64{1} << len) - 1;
        if (v) rest_zero = false;
    }
    bool up;
    if (exact) {
        up = round_bit && (!rest_zero || (mant & 1));
    } else {
        // |D - H| as seen through the 64 bits just below the round bit; the
        // error is far smaller than their weight once P >= 2 (lo - 1 >= 64).
        const u64 below = bits_at(acc.m, lo - 65);
        const u64 dist = round_bit ? below : ~below;  // D - H or H - 1 - D
        if (lo - 1 < 64 + 8) return false;
        // dist counts units of 2^(lo-65); err units of 1: need dist >= 1 (one
        // window unit is >= 2^8 err units when err < 2^(lo-73)).
        if (static_cast<unsigned>(64 - __builtin_clzll(err | 1)) + 8 > static_cast<unsigned>(lo - 65) ||
            dist == 0)
            return false;
        up = round_bit;
    }
    const u64 r = mant + (up ? 1 : 0);
    out = std::ldexp(static_cast<double>(r), static_cast<int>(lo + acc.e));
    return true;
}

// 1 / a for a double-double a in [1/2, 1).
ddm::dd recip(ddm::dd a) {
    const double q1 = 1.0 / a.hi;
    const ddm::dd p = ddm::mul(a, q1);
    return ddm::fast_two_sum(q1, (((1.0 - p.hi) - p.lo) * q1));
}

// a * 2^-k with hi in [1/2, 1): exact scaling.
void normalize(ddm::dd& a, std::int64_t& e) {
    int k;
    std::frexp(a.hi, &k);
    a.hi = std::ldexp(a.hi, -k);
    a.lo = std::ldexp(a.lo, -k);
    e += k;
}

}  // namespace

namespace detail {

double pow_multiword(double x, int n) {
    const bool neg = std::signbit(x) && (n & 1);
    double r = 0.0;
    for (std::size_t P = 4; P <= 256; P *= 2)
        if (pow_words(std::fabs(x), n, P, r)) break;
    return neg ? -r : r;
}

}  // namespace detail

double pow(double x, int n) {
    SF_CRMATH_COUNT(pow_calls);
    if (n == 0) return 1.0;
    if (std::isnan(x)) return x + x;
    const bool neg = std::signbit(x) && (n & 1);
    const double ax = std::fabs(x);
    const double inf = std::numeric_limits<double>::infinity();
    if (ax == 0.0) return n > 0 ? (neg ? -0.0 : 0.0) : (neg ? -inf : inf);
    if (std::isinf(ax)) return n > 0 ? (neg ? -inf : inf) : (neg ? -0.0 : 0.0);

    int ex;
    ddm::dd b{std::frexp(ax, &ex), 0.0};
    std::int64_t eb = ex, e = 0;
    ddm::dd acc{1.0, 0.0};
    int products = 0;
    std::uint32_t k = n < 0 ? -static_cast<std::uint32_t>(n) : static_cast<std::uint32_t>(n);
    bool first = true;
    for (; k; k >>= 1) {
        if (k & 1) {
            if (first) {
                acc = b;
                first = false;
            } else {
                acc = ddm::mul(acc, b);
                ++products;
            }
            e += eb;
            normalize(acc, e);
        }
        if (k > 1) {
            b = ddm::mul(b, b);
            ++products;
            eb *= 2;
            normalize(b, eb);
        }
    }
    if (n < 0) {
        acc = recip(acc);
        ++products;
        e = -e;
        normalize(acc, e);
    }
    // acc in [1/2, 1): the value lies in [2^(e-1), 2^e).
    double r;
    if (e > 1025) {
        r = inf;
    } else if (e < -1075) {
        r = 0.0;
    } else if (e >= -1021) {
        const double eps = (products + 2) * 0x1p-100 * acc.hi;
        const double a = acc.hi + (acc.lo + eps), c = acc.hi + (acc.lo - eps);
        if (a == c) {
            r = std::ldexp(a, static_cast<int>(e));
        } else {
            SF_CRMATH_COUNT(pow_slow);
            r = std::fabs(detail::pow_multiword(ax, n));
        }
    } else {
        SF_CRMATH_COUNT(pow_slow);
        r = std::fabs(detail::pow_multiword(ax, n));
    }
    return neg ? -r : r;
}

}  // namespace sf::crm
