// The exact-enough fallbacks of the correctly rounded functions, callable
// directly so the tests can check them on arguments the fast paths decide.
#pragma once

namespace sf::crm::detail {

// atan2 of finite non-zero y, x, in 254-bit fixed point.
double atan2_fixed(double y, double x);
// acos of 0 < |x| < 1, in 254-bit fixed point.
double acos_fixed(double x);
// x^n for finite x != 0 and n != 0, in multi-word arithmetic.
double pow_multiword(double x, int n);

}  // namespace sf::crm::detail
