// Roots: grown at output time around a low chain's base, with sockets and a
// skirt that joins them to the chain's first ring.
#include "mesh/roots.h"

namespace sf {

void grow_roots(model_typ&, int, double) {}
void emit_trunk_base(model_typ&, MeshEditOp*, bool, const LWPntID[4], vec3_typ, double) {}

}  // namespace sf
