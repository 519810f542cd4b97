// Fixed-size blocks for the model's nodes, kept per thread. A build makes and
// frees millions of small nodes; a free list over 16 MiB slabs beats the
// general allocator at that, and the next build on the thread (the panel
// rebuilds on every change) reuses the slabs without faulting pages in
// again. release() gives them back to the system when every block is free:
// the tool calls it when it is dropped, so the files written after a build
// find the memory free. A block goes back to the pool of the thread that
// took it (a model is built and freed on one thread). Address-sanitised
// builds use the general allocator, which can see misuse.
#pragma once

#include <cstddef>
#include <new>
#include <vector>

#include <sys/mman.h>

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
        ++s.live;
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
        --s.live;
#endif
    }

    // The calling thread's slabs back to the system, if none of its blocks
    // is in use.
    static void release() noexcept {
#if !defined(SF_NODE_POOL_OFF)
        state& s = local();
        if (s.live == 0) s.release();
#endif
    }

private:
    struct free_block {
        free_block* next;
    };
    static constexpr std::size_t align = alignof(T) < alignof(free_block) ? alignof(free_block) : alignof(T);
    static constexpr std::size_t size = sizeof(T) < sizeof(free_block) ? sizeof(free_block) : sizeof(T);
    static constexpr std::size_t block = (size + align - 1) / align * align;
    static constexpr std::size_t slab_bytes = std::size_t(16) << 20;
    static constexpr std::size_t per_slab = slab_bytes / block;

    struct state {
        free_block* free = nullptr;
        char* cursor = nullptr;
        std::size_t left = 0;
        long live = 0;  // blocks taken and not given back on this thread
        std::vector<void*> slabs;

        void grow() {
            slabs.reserve(slabs.size() + 1);
            void* m = ::mmap(nullptr, slab_bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
            if (m == MAP_FAILED) throw std::bad_alloc();
            slabs.push_back(m);
            cursor = static_cast<char*>(m);
            left = per_slab;
        }
        void release() noexcept {
            for (void* m : slabs) ::munmap(m, slab_bytes);
            slabs.clear();
            free = nullptr;
            cursor = nullptr;
            left = 0;
        }
        ~state() { release(); }
    };

    static state& local() {
        thread_local state s;
        return s;
    }
};

}  // namespace sf
