// Fixed-size blocks for the model's nodes, kept per thread. A build makes and
// frees millions of small nodes; a free list over 1 MiB slabs beats the
// general allocator at that, and the next build on the thread (the panel
// rebuilds on every change) reuses the slabs without faulting pages in
// again. They go back to the system when the thread ends; a build's peak
// memory is unchanged.
// Address-sanitised builds use the general allocator, which can see misuse.
#pragma once

#include <cstddef>
#include <new>
#include <vector>

#if defined(__SANITIZE_ADDRESS__)
#define SF_NODE_POOL_OFF 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define SF_NODE_POOL_OFF 1
#endif
#endif

namespace sf {

template <class T>
class node_pool {
public:
    static void* take() {
#if defined(SF_NODE_POOL_OFF)
        return ::operator new(sizeof(T));
#else
        state& s = local();
        void* p;
        if (s.free) {
            p = s.free;
            s.free = s.free->next;
        } else {
            if (s.left == 0) s.grow();
            p = s.cursor;
            s.cursor += block;
            --s.left;
        }
        return p;
#endif
    }

    static void give(void* p) noexcept {
#if defined(SF_NODE_POOL_OFF)
        ::operator delete(p);
#else
        state& s = local();
        auto* f = static_cast<free_block*>(p);
        f->next = s.free;
        s.free = f;
#endif
    }

private:
    struct free_block {
        free_block* next;
    };
    static constexpr std::size_t align = alignof(T) < alignof(free_block) ? alignof(free_block) : alignof(T);
    static constexpr std::size_t size = sizeof(T) < sizeof(free_block) ? sizeof(free_block) : sizeof(T);
    static constexpr std::size_t block = (size + align - 1) / align * align;
    static constexpr std::size_t per_slab = (std::size_t(1) << 20) / block;

    struct state {
        free_block* free = nullptr;
        char* cursor = nullptr;
        std::size_t left = 0;
        std::vector<void*> slabs;

        void grow() {
            slabs.reserve(slabs.size() + 1);
            cursor = static_cast<char*>(::operator new(per_slab * block));
            slabs.push_back(cursor);
            left = per_slab;
        }
        ~state() {
            for (void* slab : slabs) ::operator delete(slab);
        }
    };

    static state& local() {
        thread_local state s;
        return s;
    }
};

}  // namespace sf
