// Deletion of singly linked lists whose nodes own their `next`, without
// recursing once per node: chains can be long.
#pragma once

namespace sf {

// Deletes the list starting at first and clears the link: detaches each node before
// deleting it so that its own destructor has nothing left to free.
template <class T>
void delete_owned_list(T*& first) {
    T* n = first;
    first = nullptr;
    while (n) {
        T* following = n->next;
        n->next = nullptr;
        delete n;
        n = following;
    }
}

}  // namespace sf
