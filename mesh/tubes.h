// Ring, bridge and map operations shared by tubes, roots and leaves.
#pragma once

#include "core/vec3.h"
#include "host/host_api.h"
#include "host/tool_names.h"
#include "mesh/model.h"

namespace sf {

// Four corners of a square ring in the local Y-Z plane, turned about z by az
// and then about y by ay (a zero angle leaves the corners as they are).
void make_square_ring(vec3_typ ring[4], double hz, double hy, double az, double ay);

// The four quads between ring a and ring b, tagged by surface, with the seam
// values of the last one.
void bridge_rings(const model_typ& model, MeshEditOp* op, const LWPntID a[4], const LWPntID b[4],
                  const char* surface, bool subd, double vb, double va);

// The map values of one point; with a polygon only its per-polygon texture value.
void write_point_maps(const model_typ& model, MeshEditOp* op, LWPntID point, LWPolID polygon,
                      double wr, double wt, double u, double v);

double range_falloff(double x, double c, double h);
double thick_falloff(double x, double m);

// The frame of the next ring along direction d.
frame_typ next_frame(const frame_typ& previous, const vec3_typ& d);

}  // namespace sf
