// TEMPORARY: forwards to the C library until the correctly rounded sine and
// cosine land; dropped then.
#include "crmath.h"

#include <cmath>

namespace sf::crm {

double sin(double x) { return std::sin(x); }
double cos(double x) { return std::cos(x); }

}  // namespace sf::crm
