#include "mesh/output.h"

#include "core/branch.h"
#include "core/random.h"

namespace sf {

int mesh_output(MeshEditOp* op, const settings_typ& r) {
    if (r.random_seed != 0) g_random.seed(r.random_seed);
    model_typ model;
    model.build(branch_table, branch_table_size, r, g_random);
    switch (r.render_type) {
        case 0:
            emit_skeleton(model, op);
            break;
        case 1:
        case 2:
            emit_polygonal(model, op, r.render_type == 2, r);
            break;
        default:
            break;  // other render types write nothing
    }
    return 0;
}

}  // namespace sf
