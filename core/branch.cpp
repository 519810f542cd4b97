#include "core/branch.h"

namespace sf {

galaz_typ* branch_table = nullptr;
std::int32_t branch_table_size = 0;

wezel_typ::~wezel_typ() {
    // Frees the rest of the chain iteratively: chains can be long.
    wezel_typ* n = next;
    next = nullptr;
    while (n) {
        wezel_typ* following = n->next;
        n->next = nullptr;
        delete n;
        n = following;
    }
    joined_branch = nullptr;
    joined_to = nullptr;
}

void swap_branches(galaz_typ& a, galaz_typ& b) {
    galaz_typ temp;
    temp = a;
    a = b;
    b = temp;
    temp.head = nullptr;
    temp.tail = nullptr;
}

void release_branch_table() {
    delete[] branch_table;
    branch_table = nullptr;
    branch_table_size = 0;
}

}  // namespace sf
