// Mesh output: builds the output model and writes it through the host.
#pragma once

#include "core/settings.h"
#include "host/host_api.h"
#include "mesh/model.h"

namespace sf {

int mesh_output(MeshEditOp* op, const settings_typ& r);

// Writes the model as two-point polygons, one per model node.
void emit_skeleton(const model_typ& model, MeshEditOp* op);

// Writes the model as square tubes with roots and leaves; subd makes every
// tube polygon a patch.
void emit_polygonal(model_typ& model, MeshEditOp* op, bool subd, const settings_typ& r);

// Adds twigs below node m (and m's own twig unless top is set).
void generate_twigs(model_typ& model, model_typ::w_typ* m, const settings_typ& r, random& rng,
                    bool top);

// Writes the leaves of every leaf anchor of the model.
void emit_leaves(const model_typ& model, MeshEditOp* op, const settings_typ& r);

}  // namespace sf
