#include "core/random.h"

#include <ctime>

#include "core/background.h"
#include "core/vec3.h"

namespace sf {

namespace {
thread_local std::uint32_t t_state = 1;
}

random g_random;

random::random() { t_state = static_cast<std::uint32_t>(std::time(nullptr)); }
random::~random() = default;

int random::raw() {
    t_state = t_state * 214013u + 2531011u;
    return static_cast<int>((t_state >> 16) & 0x7FFF);
}

void random::seed(std::int32_t s) { t_state = static_cast<std::uint32_t>(s); }

double random::uniform(double a, double b) {
    if (a == b) return a;
    const double u = raw() / 32767.0;
    if (b > a) return u * (b - a) + a;
    return u * (a - b) + b;
}

std::int32_t random::uniform_int(std::int32_t m, std::int32_t n) {
    if (m == n) return m;
    const float q = static_cast<float>(raw()) / 32767.0f;
    // The difference wraps like the 32-bit subtraction it is.
    float f;
    if (m < n)
        f = q * static_cast<float>(static_cast<std::int32_t>(static_cast<std::uint32_t>(n) -
                                                             static_cast<std::uint32_t>(m))) +
            static_cast<float>(m);
    else
        f = q * static_cast<float>(static_cast<std::int32_t>(static_cast<std::uint32_t>(m) -
                                                             static_cast<std::uint32_t>(n))) +
            static_cast<float>(n);
    return static_cast<std::int32_t>(static_cast<double>(f) + 0.5);
}

float random::unit_float() { return static_cast<float>(raw()) / 32767.0f; }

bool random::coin() { return raw() < 16383; }

}  // namespace sf
