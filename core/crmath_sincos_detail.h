// The stages of sf::crm::sin and sf::crm::cos, open to the tests: the
// cheap and the fast evaluations with their error bounds, and the accurate one.
#pragma once

namespace sf::crm::detail {

// hi + lo approximates sin x (or cos x) with |hi + lo - f(x)| <= err.
// For finite x with |x| >= 2^-27.
struct sincos_dd {
    double hi, lo, err;
};
sincos_dd sincos_fast(double x, bool cosine);
// The cheaper stage tried first, for |x| < 2^20 only.
sincos_dd sincos_cheap(double x, bool cosine);

// The correctly rounded result from 256-bit fixed-point arithmetic. For
// finite x with |x| >= 2^-27.
double sincos_accurate(double x, bool cosine);

}  // namespace sf::crm::detail
