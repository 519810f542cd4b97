// Leaves: a small batch of leaf meshes at every leaf anchor.
#include "mesh/leaf.h"
#include "mesh/output.h"

namespace sf {

leaf_typ::~leaf_typ() {}
void leaf_typ::build(int, double, double) {}
void emit_leaves(const model_typ&, MeshEditOp*, const settings_typ&) {}

}  // namespace sf
