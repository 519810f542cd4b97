// Points, directions and local frames. The arithmetic of every operation is
// fixed (order of additions, zero-length handling) so results repeat bit for bit.
#pragma once

#include <cmath>

namespace sf {

struct vec3_typ {
    double x = 0.0, y = 0.0, z = 0.0;

    constexpr vec3_typ() = default;
    constexpr vec3_typ(double x_, double y_, double z_) : x(x_), y(y_), z(z_) {}

    void fill(double s) { x = y = z = s; }

    vec3_typ operator+(const vec3_typ& b) const { return {x + b.x, y + b.y, z + b.z}; }
    vec3_typ& operator+=(const vec3_typ& b) {
        x += b.x;
        y += b.y;
        z += b.z;
        return *this;
    }
    vec3_typ operator-(const vec3_typ& b) const { return {x - b.x, y - b.y, z - b.z}; }
    vec3_typ operator-() const { return {-x, -y, -z}; }
    vec3_typ operator*(double s) const { return {x * s, y * s, z * s}; }
    vec3_typ operator/(double s) const {
        if (s != 0.0) return {x / s, y / s, z / s};
        return {};
    }
    // True when any component differs from s (NaN counts as different).
    bool operator!=(double s) const { return !(x == s) || !(y == s) || !(z == s); }

    double length() const { return std::sqrt((x * x + y * y) + z * z); }
    double distance(const vec3_typ& b) const { return (*this - b).length(); }
    vec3_typ normalized() const {
        const double l = length();
        if (l != 0.0) return {x / l, y / l, z / l};
        return {};
    }
    vec3_typ cross(const vec3_typ& b) const {
        return {y * b.z - z * b.y, b.x * z - x * b.z, x * b.y - y * b.x};
    }
    double angle_to(const vec3_typ& b) const;

    vec3_typ rot_x(double t) const {
        if (t == 0.0) return *this;
        const double s = std::sin(t), c = std::cos(t);
        return {x, y * c + z * s, -y * s + z * c};
    }
    vec3_typ rot_y(double t) const {
        const double s = std::sin(t), c = std::cos(t);
        return {x * c - z * s, y, x * s + z * c};
    }
    vec3_typ rot_z(double t) const {
        if (t == 0.0) return *this;
        const double s = std::sin(t), c = std::cos(t);
        return {x * c + y * s, -x * s + y * c, z};
    }

    double* data() { return &x; }
    const double* data() const { return &x; }
};

inline double vec3_typ::angle_to(const vec3_typ& b) const {
    const double la = length(), lb = b.length();
    if (la == 0.0 || lb == 0.0) return 0.0;
    const double k = ((x * b.x + y * b.y) + z * b.z) / (la * lb);
    if (k < 1.0) {
        // Nearly opposite vectors can round below -1; their angle is pi.
        if (k < -1.0) return std::acos(-1.0);
        return std::acos(k);
    }
    return 0.0;
}

struct frame_typ {
    vec3_typ axis_x, axis_y, axis_z;
    double heading = 0.0, pitch = 0.0, roll = 0.0;

    void compute_angles() {
        const vec3_typ& a = axis_x;
        const vec3_typ& b = axis_y;
        heading = std::atan2(a.z, a.x);
        pitch = -std::atan2(a.y, std::sqrt(a.x * a.x + a.z * a.z));
        const double ch = std::cos(heading), sh = std::sin(heading);
        const double cp = std::cos(pitch), sp = std::sin(pitch);
        roll = -std::atan2(b.z * ch - b.x * sh, ((b.z * sh) * sp + (b.x * ch) * sp) + b.y * cp);
    }

    void to_world(vec3_typ* p, int count, const vec3_typ& origin) const {
        for (int i = 0; i < count; ++i)
            p[i] = p[i].rot_x(roll).rot_z(pitch).rot_y(heading) + origin;
    }

    void to_local(vec3_typ* p, int count, const vec3_typ& origin) const {
        const bool shift = origin != 0.0;
        for (int i = 0; i < count; ++i) {
            vec3_typ v = p[i];
            if (shift) v = v + (vec3_typ() - origin);
            p[i] = v.rot_y(-heading).rot_z(-pitch).rot_x(-roll);
        }
    }
};

}  // namespace sf
