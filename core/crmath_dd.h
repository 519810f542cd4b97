// Double-double arithmetic for the correctly rounded functions: error-free
// sums and products without fused multiply-add (Dekker's split), so the
// same bits come out with or without FMA hardware.
#pragma once

namespace sf::crm::dd {

struct dd {
    double hi = 0.0, lo = 0.0;
};

// a + b = s + e exactly.
inline dd two_sum(double a, double b) {
    const double s = a + b;
    const double bb = s - a;
    const double e = (a - (s - bb)) + (b - bb);
    return {s, e};
}

// As two_sum when |a| >= |b| (or a == 0).
inline dd fast_two_sum(double a, double b) {
    const double s = a + b;
    return {s, b - (s - a)};
}

// a = hi + lo with 26-bit halves.
inline dd split(double a) {
    const double t = 134217729.0 * a;  // 2^27 + 1
    const double hi = t - (t - a);
    return {hi, a - hi};
}

// a * b = p + e exactly (barring overflow).
inline dd two_prod(double a, double b) {
    const double p = a * b;
    const dd as = split(a), bs = split(b);
    const double e = ((as.hi * bs.hi - p) + as.hi * bs.lo + as.lo * bs.hi) + as.lo * bs.lo;
    return {p, e};
}

inline dd add(dd a, dd b) {
    const dd s = two_sum(a.hi, b.hi);
    const dd t = two_sum(a.lo, b.lo);
    dd r = fast_two_sum(s.hi, s.lo + t.hi);
    return fast_two_sum(r.hi, r.lo + t.lo);
}

inline dd mul(dd a, dd b) {
    const dd p = two_prod(a.hi, b.hi);
    return fast_two_sum(p.hi, p.lo + (a.hi * b.lo + a.lo * b.hi));
}

inline dd mul(dd a, double b) {
    const dd p = two_prod(a.hi, b);
    return fast_two_sum(p.hi, p.lo + a.lo * b);
}

}  // namespace sf::crm::dd
