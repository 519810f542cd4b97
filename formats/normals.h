#pragma once
// The smooth-normal arithmetic the glTF and OBJ writers share, so both files
// shade alike bit for bit.
#include <cmath>

namespace sf::formats {

// One edge's term of Newell's normal, from corner a to corner b.
inline void add_newell_term(const float* a, const float* b, double& nx, double& ny, double& nz) {
    nx += (double(a[1]) - b[1]) * (double(a[2]) + b[2]);
    ny += (double(a[2]) - b[2]) * (double(a[0]) + b[0]);
    nz += (double(a[0]) - b[0]) * (double(a[1]) + b[1]);
}

// A summed normal made unit length; +Y where the sum has no length.
inline void normalise_or_up(float* v) {
    const double x = v[0], y = v[1], z = v[2];
    const double len = std::sqrt(x * x + y * y + z * z);
    if (len > 0 && std::isfinite(len)) {
        v[0] = static_cast<float>(x / len);
        v[1] = static_cast<float>(y / len);
        v[2] = static_cast<float>(z / len);
    } else {
        v[0] = 0.0f;
        v[1] = 1.0f;
        v[2] = 0.0f;
    }
}

}  // namespace sf::formats
