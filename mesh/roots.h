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

// The root count actually grown: below 5 the ring has no defined shape, so
// smaller counts (only a stored preset can hold one) are raised to 5.
inline int effective_root_count(int n) { return n < 5 ? 5 : n; }

// Index of the socket point at which the skirt's texture seam ends, for n roots.
inline int skirt_seam_index(int n) {
    return static_cast<int>(static_cast<double>(n + 1) - 0.375 * static_cast<double>(n + 1));
}

}  // namespace sf
