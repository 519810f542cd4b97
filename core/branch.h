// Branch and node records of the grown tree.
#pragma once

#include <cstdint>

#include "core/vec3.h"

namespace sf {

struct galaz_typ;

struct wezel_typ {
    std::int32_t level = 0;
    galaz_typ* joined_branch = nullptr;  // branch that ended in a joint here, not owned
    wezel_typ* joined_to = nullptr;      // node this branch's last node joined, not owned
    vec3_typ pos;
    vec3_typ dir;
    std::int32_t joins = 0;
    double thickness = 0.0;
    wezel_typ* next = nullptr;  // owned, toward the base

    wezel_typ() = default;
    wezel_typ(const wezel_typ&) = delete;
    wezel_typ& operator=(const wezel_typ&) = delete;
    virtual ~wezel_typ();
};

struct galaz_typ {
    bool follows_trunk = false;
    double center_fraction = 0.0;
    std::int32_t segment_count = 0;
    double segment_length = 0.0;
    std::int32_t above_center = 0;
    bool standalone = true;
    double thickness = 0.0;
    vec3_typ normal;
    wezel_typ* tail = nullptr;  // growing end, not owned
    wezel_typ* head = nullptr;  // start point, owns the chain
    vec3_typ direction;

    galaz_typ() = default;
    galaz_typ(const galaz_typ&) = delete;
    // Copies every field, head and tail included; chains are never copied.
    galaz_typ& operator=(const galaz_typ&) = default;
    virtual ~galaz_typ() { delete head; }

    // Makes n the new tail.
    void append(wezel_typ* n) {
        tail->next = n;
        tail = n;
    }
};

// Puts n between node and its next node.
inline void insert_after(wezel_typ* node, wezel_typ* n) {
    n->next = node->next;
    node->next = n;
}

// Exchanges two records whole, chains included, through a temporary.
void swap_branches(galaz_typ& a, galaz_typ& b);

extern galaz_typ* branch_table;          // absent (null) until a growing build
extern std::int32_t branch_table_size;   // records in the table

void release_branch_table();

}  // namespace sf
