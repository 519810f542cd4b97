// The stand-in host: an in-memory object with a background layer (the crown,
// filled by the program) and a foreground layer (written by the tool through
// the mesh-edit operations).
#pragma once

#include <cstdint>

#include "formats/mesh_layer.h"
#include "host/host_api.h"

namespace sf::app {

using formats::index_t;

class standin_host {
public:
    standin_host() = default;
    standin_host(const standin_host&) = delete;
    standin_host& operator=(const standin_host&) = delete;

    formats::mesh_layer& foreground() { return fg_; }
    formats::mesh_layer& background() { return bg_; }
    const formats::mesh_layer& foreground() const { return fg_; }
    const formats::mesh_layer& background() const { return bg_; }
    // OPLYR_FG or OPLYR_BG; null for any other selector.
    formats::mesh_layer* layer(int which);

    // The mesh-edit operations bound to this host. Edits add to the
    // foreground and are recorded in its journal; scans, point queries and
    // normals serve both layers. Invalid ids or arguments are refused with
    // 0 / null. Operations that answer int give 1 on success. An edit the
    // foreground cannot keep (over the memory budget) becomes its failure()
    // and every later edit is refused at once.
    MeshEditOp edit_op();

    // Ids are (index + 1) * 2, plus 1 for the background layer.
    static LWPntID point_id(int layer, index_t index);
    static LWPolID polygon_id(int layer, index_t index);
    // Index of a valid id in its layer (OPLYR_FG or OPLYR_BG in *layer), else false.
    bool find_point(LWPntID id, int* layer, index_t* index) const;
    bool find_polygon(LWPolID id, int* layer, index_t* index) const;

    // Newell's normal of a polygon, normalised; false (and zero) when it is
    // the zero vector.
    static bool newell_normal(const formats::mesh_layer& layer, index_t polygon, double n[3]);

private:
    friend struct standin_ops;

    formats::mesh_layer fg_;
    formats::mesh_layer bg_;
    EDPointInfo point_info_{};             // answer of pointInfo, valid until the next call
    std::vector<index_t> poly_scratch_;    // point indices of the polygon being added
};

}  // namespace sf::app
