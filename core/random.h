// The tool's one random source: a fixed linear congruential generator with
// per-thread state, so sequences repeat on every platform.
#pragma once

#include <cstdint>

namespace sf {

struct face6_typ;
struct vec3_typ;

class random {
public:
    random();  // seeds the constructing thread with the clock
    virtual ~random();

    void seed(std::int32_t s);
    double uniform(double a, double b);
    std::int32_t uniform_int(std::int32_t m, std::int32_t n);
    float unit_float();
    bool coin();
    // A point on a captured polygon (start-point distribution).
    vec3_typ random_point(const face6_typ& poly);

    // One raw draw, 0..32767.
    static int raw();
};

extern random g_random;

}  // namespace sf
