// Skeleton output: a point per model node and a two-point polygon joining it
// to the node it hangs from. Points are made in pre-order, polygons in
// post-order.
#include <vector>

#include "mesh/output.h"

namespace sf {

void emit_skeleton(const model_typ& model, MeshEditOp* op) {
    using w_typ = model_typ::w_typ;
    struct frame {
        const w_typ* node;
        LWPntID parent;
        LWPntID point;
        int stage;  // 0: add point, 1: outward done, 2: side done
    };
    std::vector<frame> stack;

    for (const model_typ::d_typ* d = model.chains; d; d = d->next) {
        const LWPntID root = op->addPoint(op->state, d->chain->position.data());
        // The root's side is emitted after its outward chain: push it first.
        if (d->chain->side) stack.push_back({d->chain->side, root, nullptr, 0});
        if (d->chain->outward) stack.push_back({d->chain->outward, root, nullptr, 0});
        while (!stack.empty()) {
            frame& f = stack.back();
            if (f.stage == 0) {
                f.point = op->addPoint(op->state, f.node->position.data());
                f.stage = 1;
                if (f.node->outward) {
                    const frame child{f.node->outward, f.point, nullptr, 0};
                    stack.push_back(child);
                }
            } else if (f.stage == 1) {
                f.stage = 2;
                if (f.node->side) {
                    const frame child{f.node->side, f.point, nullptr, 0};
                    stack.push_back(child);
                }
            } else {
                const LWPntID pts[2] = {f.parent, f.point};
                op->addFace(op->state, nullptr, 2, pts);
                stack.pop_back();
            }
        }
    }
}

}  // namespace sf
