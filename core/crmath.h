// Correctly rounded sine, cosine, arctangent, arc cosine and integral powers
// for IEEE doubles (round to nearest, ties to even), so a seed grows the same
// tree bit for bit whatever the CPU's features or the C library. Special
// values (±0, infinities, NaN) behave as the C functions do.
#pragma once

#include <cstddef>

namespace sf::crm {

double sin(double x);
double cos(double x);
// s = sin(x) and c = cos(x), the same bits, for about the cost of one.
void sincos(double x, double& s, double& c);
// The same for n arguments (s[i], c[i] the bits of sin(x[i]), cos(x[i])),
// two at a time: faster when there are many.
void sincos_n(const double* x, double* s, double* c, std::size_t n);
void sin_n(const double* x, double* s, std::size_t n);
double atan2(double y, double x);
// out[i] = atan2(y[i], x[i]), two at a time.
void atan2_n(const double* y, const double* x, double* out, std::size_t n);
double acos(double x);
// x to the integral power n, as std::pow(x, double(n)) would be if it were
// correctly rounded.
double pow(double x, int n);

}  // namespace sf::crm
