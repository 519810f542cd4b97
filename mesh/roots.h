// Roots and the trunk base of a chain standing low enough.
#pragma once

#include "host/host_api.h"
#include "mesh/model.h"

namespace sf {

// Grows n roots around a chain base of thickness b into the model.
void grow_roots(model_typ& model, int n, double b);

// Writes the root sockets, the root tubes and the skirt that joins them to
// the chain's first ring.
void emit_trunk_base(model_typ& model, MeshEditOp* op, bool subd, const LWPntID base[4],
                     vec3_typ base_position, double turn);

}  // namespace sf
