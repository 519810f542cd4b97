// Correctly rounded sine, cosine, arctangent, arc cosine and integral powers
// for IEEE doubles (round to nearest, ties to even), so a seed grows the same
// tree bit for bit whatever the CPU's features or the C library. Special
// values (±0, infinities, NaN) behave as the C functions do.
#pragma once

namespace sf::crm {

double sin(double x);
double cos(double x);
// s = sin(x) and c = cos(x), the same bits, for about the cost of one.
void sincos(double x, double& s, double& c);
double atan2(double y, double x);
double acos(double x);
// x to the integral power n, as std::pow(x, double(n)) would be if it were
// correctly rounded.
double pow(double x, int n);

}  // namespace sf::crm
