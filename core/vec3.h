// Points, directions and local frames. The arithmetic of every operation is
// fixed (order of additions, zero-length handling) so results repeat bit for bit.
#pragma once

#include <cmath>
#include <cstring>

#include "core/crmath.h"

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

    vec3_typ rot_x(double t) const;
    vec3_typ rot_y(double t) const;
    vec3_typ rot_z(double t) const;

    double* data() { return &x; }
    const double* data() const { return &x; }
};

// A turn about one axis with its sine and cosine taken once, to apply to many
// vectors. A turn about x or z by exactly 0 leaves vectors as they are; a turn
// about y always does the arithmetic.

// The sine and cosine of a turn about x or z, or none for exactly 0.
struct skipping_turn {
    bool none = true;
    double s = 0.0, c = 1.0;

    skipping_turn() = default;
    explicit skipping_turn(double t) : skipping_turn(t, 0.0, 1.0, true) {}
    // From a sine and cosine of t taken elsewhere.
    skipping_turn(double t, double s_, double c_) : skipping_turn(t, s_, c_, false) {}

private:
    skipping_turn(double t, double s_, double c_, bool take) {
        if (t == 0.0) return;
        none = false;
        if (take)
            sf::crm::sincos(t, s, c);
        else
            s = s_, c = c_;
    }
};

struct turn_x_typ : skipping_turn {
    using skipping_turn::skipping_turn;
    vec3_typ operator()(const vec3_typ& v) const {
        if (none) return v;
        return {v.x, v.y * c + v.z * s, -v.y * s + v.z * c};
    }
};

struct turn_y_typ {
    double s = 0.0, c = 1.0;  // sin 0 and cos 0

    turn_y_typ() = default;
    explicit turn_y_typ(double t) { sf::crm::sincos(t, s, c); }
    turn_y_typ(double s_, double c_) : s(s_), c(c_) {}
    vec3_typ operator()(const vec3_typ& v) const { return {v.x * c - v.z * s, v.y, v.x * s + v.z * c}; }
};

struct turn_z_typ : skipping_turn {
    using skipping_turn::skipping_turn;
    vec3_typ operator()(const vec3_typ& v) const {
        if (none) return v;
        return {v.x * c + v.y * s, -v.x * s + v.y * c, v.z};
    }
};

inline vec3_typ vec3_typ::rot_x(double t) const { return turn_x_typ(t)(*this); }
inline vec3_typ vec3_typ::rot_y(double t) const { return turn_y_typ(t)(*this); }
inline vec3_typ vec3_typ::rot_z(double t) const { return turn_z_typ(t)(*this); }

inline double vec3_typ::angle_to(const vec3_typ& b) const {
    const double la = length(), lb = b.length();
    if (la == 0.0 || lb == 0.0) return 0.0;
    const double k = ((x * b.x + y * b.y) + z * b.z) / (la * lb);
    if (k < 1.0) {
        // Nearly opposite vectors can round below -1; their angle is pi.
        if (k < -1.0) return sf::crm::acos(-1.0);
        return sf::crm::acos(k);
    }
    return 0.0;
}

// The turns from local to world coordinates: about x by the roll, about z by
// the pitch, about y by the heading; to_local undoes them in reverse order.
struct frame_typ {
    vec3_typ axis_x, axis_y, axis_z;
    double heading = 0.0, pitch = 0.0, roll = 0.0;

    void compute_angles() { compute_angles_of(this, 1); }

    // compute_angles for n frames (none for n <= 0), their arctangents and
    // turns taken side by side (the batch calls give the bits of one call
    // each, faster).
    static void compute_angles_of(frame_typ* f, int n) {
        for (; n > 2; n -= 2, f += 2) compute_angles_of(f, 2);
        if (n <= 0) return;
        double ys[4], xs[4], angles[4], sines[4], cosines[4];
        for (int i = 0; i < n; ++i) {
            const vec3_typ& a = f[i].axis_x;
            ys[2 * i] = a.z, xs[2 * i] = a.x;
            ys[2 * i + 1] = a.y, xs[2 * i + 1] = std::sqrt(a.x * a.x + a.z * a.z);
        }
        sf::crm::atan2_n(ys, xs, angles, 2 * n);
        for (int i = 0; i < n; ++i) {
            f[i].heading = angles[2 * i];
            f[i].pitch = angles[2 * i + 1] = -angles[2 * i + 1];
        }
        sf::crm::sincos_n(angles, sines, cosines, 2 * n);
        for (int i = 0; i < n; ++i) {
            const vec3_typ& b = f[i].axis_y;
            const double sh = sines[2 * i], ch = cosines[2 * i], sp = sines[2 * i + 1], cp = cosines[2 * i + 1];
            ys[i] = b.z * ch - b.x * sh;
            xs[i] = ((b.z * sh) * sp + (b.x * ch) * sp) + b.y * cp;
        }
        double rolls[2], roll_s[2], roll_c[2];
        sf::crm::atan2_n(ys, xs, rolls, n);
        for (int i = 0; i < n; ++i) f[i].roll = rolls[i] = -rolls[i];
        sf::crm::sincos_n(rolls, roll_s, roll_c, n);
        // The world turns, for to_world, from the values above.
        for (int i = 0; i < n; ++i) {
            frame_typ& g = f[i];
            g.world_ = turns{g.heading, g.pitch, g.roll, turn_x_typ(g.roll, roll_s[i], roll_c[i]),
                             turn_z_typ(g.pitch, sines[2 * i + 1], cosines[2 * i + 1]),
                             turn_y_typ(sines[2 * i], cosines[2 * i])};
        }
    }

    void to_world(vec3_typ* p, int count, const vec3_typ& origin) const {
        const turns w = world_turns();
        for (int i = 0; i < count; ++i) p[i] = w.y(w.z(w.x(p[i]))) + origin;
    }

    void to_local(vec3_typ* p, int count, const vec3_typ& origin) const {
        // The world turns backwards: correctly rounded, sin(-t) is -sin t
        // and cos(-t) is cos t, bit for bit.
        const turns w = world_turns();
        const turn_y_typ ty(-w.y.s, w.y.c);
        const turn_z_typ tz(-pitch, -w.z.s, w.z.c);
        const turn_x_typ tx(-roll, -w.x.s, w.x.c);
        const bool shift = origin != 0.0;
        for (int i = 0; i < count; ++i) {
            vec3_typ v = p[i];
            if (shift) v = v + (vec3_typ() - origin);
            p[i] = tx(tz(ty(v)));
        }
    }

private:
    struct turns {
        double heading = 0.0, pitch = 0.0, roll = 0.0;  // the angles they were taken from
        turn_x_typ x;
        turn_z_typ z;
        turn_y_typ y;
    };
    turns world_;  // matches the zero angles until compute_angles runs

    // The cached turns when the angles are still those they were taken from
    // (bit for bit: a zero's sign matters); else turns taken now.
    turns world_turns() const {
        if (same_bits(world_.heading, heading) && same_bits(world_.pitch, pitch) && same_bits(world_.roll, roll))
            return world_;
        return turns{heading, pitch, roll, turn_x_typ(roll), turn_z_typ(pitch), turn_y_typ(heading)};
    }
    static bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }
};

}  // namespace sf
