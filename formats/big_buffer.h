// An allocator for the large arrays of a mesh layer: big blocks are backed by
// huge pages where the system allows it, which spares millions of page faults
// when a tree of millions of points is written. Every block is counted
// against the memory budget.
#pragma once

#include <sys/mman.h>

#include <cstddef>
#include <new>
#include <vector>

#include "formats/memory_budget.h"

namespace sf::formats {

template <class T>
struct big_allocator {
    using value_type = T;

    big_allocator() = default;
    template <class U>
    big_allocator(const big_allocator<U>&) {}

    static constexpr std::size_t k_huge = std::size_t(2) << 20;

    T* allocate(std::size_t n) {
        if (n > std::size_t(-1) / 2 / sizeof(T)) throw std::bad_alloc();
        const std::size_t bytes = n * sizeof(T);
        memory_budget::take(bytes);
        try {
            if (bytes < 4 * k_huge) return static_cast<T*>(::operator new(bytes));
            const std::size_t rounded = (bytes + k_huge - 1) / k_huge * k_huge;
            void* p = ::operator new(rounded, std::align_val_t(k_huge));
            ::madvise(p, rounded, MADV_HUGEPAGE);
            return static_cast<T*>(p);
        } catch (...) {
            memory_budget::give(bytes);
            throw;
        }
    }
    void deallocate(T* p, std::size_t n) {
        const std::size_t bytes = n * sizeof(T);
        memory_budget::give(bytes);
        if (bytes < 4 * k_huge)
            ::operator delete(p);
        else
            ::operator delete(p, std::align_val_t(k_huge));
    }
    template <class U>
    bool operator==(const big_allocator<U>&) const { return true; }
};

template <class T>
using big_vector = std::vector<T, big_allocator<T>>;

}  // namespace sf::formats
