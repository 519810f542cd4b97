#include "core/branch.h"

#include "core/owned_list.h"

namespace sf {

galaz_typ* branch_table = nullptr;
std::int32_t branch_table_size = 0;

wezel_typ::~wezel_typ() {
    delete_owned_list(next);
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
