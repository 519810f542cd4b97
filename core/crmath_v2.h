// Two lanes of doubles (GCC vector types: SSE2 on x86-64, NEON on AArch64)
// for the batch functions, with the double-double steps of crmath_dd.h lane
// by lane. Each lane rounds every operation as the scalar unit does, so a
// lane gives the bits the scalar code gives.
#pragma once

#include <cstdint>

namespace sf::crm::v {

using v2 = double __attribute__((vector_size(16)));
using v2i = long long __attribute__((vector_size(16)));

inline v2 abs(v2 a) { return (v2)((v2i)a & (v2i){0x7fffffffffffffffLL, 0x7fffffffffffffffLL}); }
// a with its sign flipped where m is all ones (exactly -a there).
inline v2 flip(v2 a, v2i m) { return (v2)((v2i)a ^ (m & (v2i){INT64_MIN, INT64_MIN})); }
// a where m is all ones, else b.
inline v2 pick(v2i m, v2 a, v2 b) { return (v2)((m & (v2i)a) | (~m & (v2i)b)); }
// All ones where c holds.
inline v2i mask(bool c0, bool c1) { return (v2i){c0 ? -1LL : 0, c1 ? -1LL : 0}; }

struct dd {
    v2 hi, lo;
};
inline dd two_sum(v2 a, v2 b) {
    const v2 s = a + b;
    const v2 bb = s - a;
    return {s, (a - (s - bb)) + (b - bb)};
}
inline dd fast_two_sum(v2 a, v2 b) {
    const v2 s = a + b;
    return {s, b - (s - a)};
}
inline dd split(v2 a) {
    const v2 t = 134217729.0 * a;
    const v2 hi = t - (t - a);
    return {hi, a - hi};
}
inline dd two_prod(v2 a, v2 b) {
    const v2 p = a * b;
    const dd as = split(a), bs = split(b);
    return {p, ((as.hi * bs.hi - p) + as.hi * bs.lo + as.lo * bs.hi) + as.lo * bs.lo};
}
inline dd add(dd a, dd b) {
    const dd s = two_sum(a.hi, b.hi);
    const dd t = two_sum(a.lo, b.lo);
    const dd r = fast_two_sum(s.hi, s.lo + t.hi);
    return fast_two_sum(r.hi, r.lo + t.lo);
}

}  // namespace sf::crm::v
