// Mesh output: builds the output model and writes it through the host.
#pragma once

#include "core/settings.h"
#include "host/host_api.h"
#include "mesh/model.h"

namespace sf {

int mesh_output(MeshEditOp* op, const settings_typ& r);

// Writes the model as two-point polygons, one per model node.
void emit_skeleton(const model_typ& model, MeshEditOp* op);

}  // namespace sf
