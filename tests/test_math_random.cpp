// Vector, frame and random-number behaviour that every result depends on.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>

#include "core/random.h"
#include "core/vec3.h"

using sf::frame_typ;
using sf::vec3_typ;

namespace {

// Seeds the generator so that its next raw draw is r.
void seed_for_draw(int r) {
    for (std::uint32_t s = 0;; ++s) {
        if ((((s * 214013u + 2531011u) >> 16) & 0x7FFF) == static_cast<std::uint32_t>(r)) {
            sf::g_random.seed(static_cast<std::int32_t>(s));
            return;
        }
    }
}

void expect_near(const vec3_typ& v, double x, double y, double z, double tolerance = 1e-12) {
    EXPECT_NEAR(v.x, x, tolerance);
    EXPECT_NEAR(v.y, y, tolerance);
    EXPECT_NEAR(v.z, z, tolerance);
}

}  // namespace

TEST(Vector, ZeroAndNaN) {
    // Zero stays zero instead of becoming NaN; negation keeps the sign of zero.
    EXPECT_FALSE(vec3_typ().normalized() != 0.0);
    EXPECT_FALSE((vec3_typ(2, 4, 6) / 0) != 0.0);
    EXPECT_TRUE(std::signbit((-vec3_typ()).x));
    EXPECT_TRUE(vec3_typ(NAN, 0, 0) != 0.0);
}

TEST(Vector, AngleTo) {
    EXPECT_DOUBLE_EQ(vec3_typ(1, 0, 0).angle_to(vec3_typ(0, 1, 0)), 3.141592653589793 / 2);
    EXPECT_EQ(vec3_typ(1, 2, 3).angle_to(vec3_typ()), 0.0);
    // Rounding pushes this vector's cosine with itself above 1, and with its
    // opposite below -1.
    const vec3_typ odd(0.1, 1.2, 0.7);
    EXPECT_EQ(odd.angle_to(odd), 0.0);
    EXPECT_DOUBLE_EQ(odd.angle_to(-odd), std::acos(-1.0));
}

TEST(Frame, Angles) {
    frame_typ f;
    f.axis_x = vec3_typ(1, 0, 0);
    f.axis_y = vec3_typ(0, 0, 1);
    f.compute_angles();
    EXPECT_EQ(f.heading, 0.0);
    EXPECT_TRUE(f.pitch == 0.0 && std::signbit(f.pitch));
    EXPECT_DOUBLE_EQ(f.roll, -3.141592653589793 / 2);
    vec3_typ p(0, 1, 0);
    f.to_world(&p, 1, vec3_typ());
    expect_near(p, 0, 0, 1);
}

namespace {

// The turns of a frame, one point at a time with sines and cosines taken per
// point: what to_world and to_local must match bit for bit.
vec3_typ turned_x(vec3_typ v, double t) {
    if (t == 0.0) return v;
    const double s = std::sin(t), c = std::cos(t);
    return {v.x, v.y * c + v.z * s, -v.y * s + v.z * c};
}
vec3_typ turned_y(vec3_typ v, double t) {
    const double s = std::sin(t), c = std::cos(t);
    return {v.x * c - v.z * s, v.y, v.x * s + v.z * c};
}
vec3_typ turned_z(vec3_typ v, double t) {
    if (t == 0.0) return v;
    const double s = std::sin(t), c = std::cos(t);
    return {v.x * c + v.y * s, -v.x * s + v.y * c, v.z};
}

bool same_bits(const vec3_typ& a, const vec3_typ& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

void expect_turns_match(const frame_typ& f) {
    const vec3_typ origin(0.5, -1.25, 3);
    const vec3_typ pts[4] = {{1.5, -2, 0.25}, {-0.0, 0.0, -0.0}, {0.1, 0.7, -0.3}, {-3, 1e-9, 2}};
    vec3_typ world[4], local[4];
    for (int i = 0; i < 4; ++i) world[i] = local[i] = pts[i];
    f.to_world(world, 4, origin);
    f.to_local(local, 4, origin);
    for (int i = 0; i < 4; ++i) {
        const vec3_typ w = turned_y(turned_z(turned_x(pts[i], f.roll), f.pitch), f.heading) + origin;
        const vec3_typ l =
            turned_x(turned_z(turned_y(pts[i] + (vec3_typ() - origin), -f.heading), -f.pitch), -f.roll);
        EXPECT_TRUE(same_bits(world[i], w)) << i;
        EXPECT_TRUE(same_bits(local[i], l)) << i;
    }
}

}  // namespace

TEST(Frame, TurnsMatchTurningEachPoint) {
    expect_turns_match(frame_typ());  // zero angles, never computed
    const vec3_typ axes[][2] = {
        {{1, 0, 0}, {0, 0, 1}},        {{1, 0, 0}, {0, 1, 0}},    {{0.3, -0.4, 0.8}, {0.1, 0.9, 0.2}},
        {{0, 1, 0}, {1, 0, 0}},        {{-1, 0, -0.0}, {0, 1, 0}}, {{0.6, 0.0, -0.8}, {0, -1, 0}},
        {{-0.2, 0.9, 0.1}, {0.4, 0.1, -0.9}},
    };
    for (const auto& a : axes) {
        frame_typ f;
        f.axis_x = a[0];
        f.axis_y = a[1];
        f.compute_angles();
        expect_turns_match(f);
        // Angles set by hand after compute_angles are the ones applied.
        frame_typ g = f;
        g.heading = -g.heading;
        g.roll = 0.25;
        expect_turns_match(g);
        g.pitch = -0.0;
        g.heading = 0.0;
        expect_turns_match(g);
    }
}

// A turn taken once and applied to many vectors matches rot_x, rot_y, rot_z.
TEST(Vector, TurnsTakenOnceMatchRotations) {
    const vec3_typ v(-0.0, 0.3, -1.7);
    for (double t : {0.0, -0.0, 0.35, -1.2, 3.0}) {
        EXPECT_TRUE(same_bits(sf::turn_x_typ(t)(v), turned_x(v, t)));
        EXPECT_TRUE(same_bits(sf::turn_y_typ(t)(v), turned_y(v, t)));
        EXPECT_TRUE(same_bits(sf::turn_z_typ(t)(v), turned_z(v, t)));
        EXPECT_TRUE(same_bits(v.rot_x(t), turned_x(v, t)));
        EXPECT_TRUE(same_bits(v.rot_y(t), turned_y(v, t)));
        EXPECT_TRUE(same_bits(v.rot_z(t), turned_z(v, t)));
    }
}

TEST(Random, FirstDrawsAndSeeds) {
    sf::g_random.seed(1);
    EXPECT_EQ(sf::random::raw(), 41);
    sf::g_random.seed(30);
    EXPECT_EQ(sf::random::raw(), 136);
    sf::g_random.seed(-1);
    const int a = sf::random::raw(), b = sf::random::raw();
    sf::g_random.seed(static_cast<std::int32_t>(4294967295u));
    EXPECT_EQ(sf::random::raw(), a);
    EXPECT_EQ(sf::random::raw(), b);
}

TEST(Random, BoundsCoinAndUnitFloat) {
    // Equal bounds draw nothing: the next draw is still the first after seeding.
    sf::g_random.seed(1);
    EXPECT_EQ(sf::g_random.uniform(2.0, 2.0), 2.0);
    EXPECT_EQ(sf::g_random.uniform_int(7, 7), 7);
    EXPECT_EQ(sf::random::raw(), 41);
    // Draws 0 and 32767 reach both ends whichever bound comes first.
    for (double lo : {1.0, 3.0}) {
        seed_for_draw(32767);
        EXPECT_EQ(sf::g_random.uniform(lo, 4.0 - lo), 3.0);
        seed_for_draw(0);
        EXPECT_EQ(sf::g_random.uniform(lo, 4.0 - lo), 1.0);
    }
    const int int_cases[][4] = {{0, 1, 4, 1}, {32767, 1, 4, 4}, {0, 4, 1, 1}, {0, -3, 0, -2}};  // draw, lo, hi, result
    for (const auto& c : int_cases) {
        seed_for_draw(c[0]);
        EXPECT_EQ(sf::g_random.uniform_int(c[1], c[2]), c[3]) << c[1] << ".." << c[2];  // truncation toward zero
    }
    seed_for_draw(16382);
    EXPECT_TRUE(sf::g_random.coin());
    seed_for_draw(16383);
    EXPECT_FALSE(sf::g_random.coin());
    seed_for_draw(32767);
    EXPECT_EQ(sf::g_random.unit_float(), 1.0f);
    seed_for_draw(1);
    EXPECT_EQ(sf::g_random.unit_float(), 1.0f / 32767.0f);
}
