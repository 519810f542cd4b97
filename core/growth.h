// Growth stages: start points, trunks, branches and the joining rules.
#pragma once

#include <cstdint>

#include "core/background.h"
#include "core/branch.h"
#include "core/random.h"
#include "core/settings.h"

namespace sf {

// Area of a captured polygon, as a fan of triangles from its first point.
double polygon_area(const face6_typ& poly);

// Scatters one start point per branch over the polygons and makes it the
// single node of records 0..count-1 of the table.
void distribute_start_points(galaz_typ* table, std::int32_t count, const face6_typ* polys,
                             std::int32_t poly_count, const settings_typ& r, random& rng);

// Sub-segments per step as growth uses them: never fewer than one.
inline std::int32_t effective_sub_segments(const settings_typ& r) {
    return r.sub_segments < 1 ? 1 : r.sub_segments;
}

// One random turn of a step of amplitude amp: about z for mostly sideways
// steps, else about x, then about y by twice a second angle.
vec3_typ crooked_direction(vec3_typ d, double amp, random& rng);

// A random offset of up to jr on each axis, drawn x, y, z.
inline vec3_typ jitter(double jr, random& rng) {
    const double jx = rng.uniform(-jr, jr);
    const double jy = rng.uniform(-jr, jr);
    const double jz = rng.uniform(-jr, jr);
    return {jx, jy, jz};
}

void grow_trunk(galaz_typ& trunk, const settings_typ& r, random& rng);
void grow_branch(galaz_typ* table, std::int32_t index, const settings_typ& r, random& rng);

// The trunk node nearest to p among the chains of records 0..trunks-1.
wezel_typ* nearest_trunk_node(const galaz_typ* table, const vec3_typ& p, const settings_typ& r);

// The searches as plain walks over the chains, in table and chain order: the
// reference the growth index answers for.
wezel_typ* nearest_trunk_node_walk(const galaz_typ* table, const vec3_typ& p, const settings_typ& r);
wezel_typ* join_candidate_walk(const galaz_typ* table, std::int32_t index, const settings_typ& r,
                               const vec3_typ& new_pos, const vec3_typ& prev_pos);
wezel_typ* approach_candidate_walk(const galaz_typ* table, double best, const vec3_typ& p);

// Joining rules, applied to the branch at table[index] whose tail is the
// step's new main node.
bool join_test(galaz_typ* table, std::int32_t index, const settings_typ& r, vec3_typ& new_pos,
               const vec3_typ& prev_pos);
wezel_typ* approach_test(galaz_typ* table, std::int32_t index, const settings_typ& r,
                         vec3_typ& new_pos, const vec3_typ& prev_pos);
void follow_trunk_bend(galaz_typ* table, std::int32_t index, const settings_typ& r,
                       vec3_typ& new_pos, const vec3_typ& prev_pos);

}  // namespace sf
