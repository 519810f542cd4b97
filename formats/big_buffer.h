// Storage for the large arrays of a mesh layer. Small arrays live on the
// heap; from a few MiB on they are mappings of their own, grown with mremap
// (no copy, no second peak) and backed by huge pages where the system allows
// it, which spares millions of page faults when a tree of millions of points
// is written. Every block is counted against the memory budget.
#pragma once

#include <sys/mman.h>

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <new>
#include <span>
#include <type_traits>
#include <utility>
#include <vector>

#include "formats/memory_budget.h"
#include "formats/prefault.h"

namespace sf::formats {

inline constexpr std::size_t k_huge_page = std::size_t(2) << 20;
// Below this an array stays on the heap; above it gets a mapping.
inline constexpr std::size_t k_mapped_from = 2 * k_huge_page;

template <class T>
struct big_allocator {
    using value_type = T;

    big_allocator() = default;
    template <class U>
    big_allocator(const big_allocator<U>&) {}

    T* allocate(std::size_t n) {
        if (n > std::size_t(-1) / 2 / sizeof(T)) throw std::bad_alloc();
        const std::size_t bytes = n * sizeof(T);
        memory_budget::take(bytes);
        try {
            if (bytes < k_mapped_from) return static_cast<T*>(::operator new(bytes));
            const std::size_t rounded = (bytes + k_huge_page - 1) / k_huge_page * k_huge_page;
            void* p = ::operator new(rounded, std::align_val_t(k_huge_page));
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
        if (bytes < k_mapped_from)
            ::operator delete(p);
        else
            ::operator delete(p, std::align_val_t(k_huge_page));
    }
    template <class U>
    bool operator==(const big_allocator<U>&) const { return true; }
};

template <class T>
using big_vector = std::vector<T, big_allocator<T>>;

// A growable array of plain values. Growing never copies a mapped block
// (the kernel moves its pages), so the peak of an array is its own size.
// Every growth either succeeds whole or throws and leaves the array as it
// was; capacity is what counts against the budget.
template <class T>
class big_array {
    static_assert(std::is_trivially_copyable_v<T> && std::is_trivially_destructible_v<T>);

public:
    big_array() = default;
    big_array(std::initializer_list<T> init) {
        reserve(init.size());
        for (const T& v : init) data_[size_++] = v;
        dirty_ = size_;
    }
    big_array(const big_array& o) {
        reserve(o.size_);
        if (o.size_) std::memcpy(static_cast<void*>(data_), o.data_, o.size_ * sizeof(T));
        size_ = dirty_ = o.size_;
    }
    big_array(big_array&& o) noexcept { swap(o); }
    big_array& operator=(big_array o) noexcept {
        swap(o);
        return *this;
    }
    ~big_array() { release(); }

    void swap(big_array& o) noexcept {
        std::swap(data_, o.data_);
        std::swap(size_, o.size_);
        std::swap(cap_, o.cap_);
        std::swap(dirty_, o.dirty_);
        std::swap(prefaulted_, o.prefaulted_);
        std::swap(prefault_at_, o.prefault_at_);
    }

    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    T* data() { return data_; }
    const T* data() const { return data_; }
    T& operator[](std::size_t i) { return data_[i]; }
    const T& operator[](std::size_t i) const { return data_[i]; }
    T* begin() { return data_; }
    T* end() { return data_ + size_; }
    const T* begin() const { return data_; }
    const T* end() const { return data_ + size_; }
    T& back() { return data_[size_ - 1]; }
    operator std::span<const T>() const { return {data_, size_}; }

    // Room for n elements in all, so that the next appends up to n cannot fail.
    void reserve(std::size_t n) {
        if (n > cap_) grow_to(n);
    }
    // Room for k more, growing geometrically.
    void reserve_more(std::size_t k) {
        if (k > cap_ - size_) grow_to(std::max(size_ + k, cap_ + cap_ / 2 + 16));
        if (size_ + k >= prefault_at_) prefault(size_ + k);
    }

    void push_back(const T& v) {
        reserve_more(1);
        data_[size_++] = v;
        dirty_ = std::max(dirty_, size_);
    }
    void append(const T* v, std::size_t n) {
        reserve_more(n);
        if (n) std::memcpy(static_cast<void*>(data_ + size_), v, n * sizeof(T));
        size_ += n;
        dirty_ = std::max(dirty_, size_);
    }
    // Appends after reserve_more without any check.
    void push_unchecked(const T& v) {
        data_[size_++] = v;
        if (size_ > dirty_) dirty_ = size_;
    }

    // New elements are zero.
    void resize(std::size_t n) {
        if (n > size_) {
            reserve_more(n - size_);
            // Memory past everything ever written is zero already (fresh
            // pages); only what an earlier shrink left behind is cleared.
            const std::size_t end = std::min(n, dirty_);
            if (end > size_) std::memset(static_cast<void*>(data_ + size_), 0, (end - size_) * sizeof(T));
            if (!mapped()) {
                const std::size_t from = std::max(size_, dirty_);
                if (n > from) std::memset(static_cast<void*>(data_ + from), 0, (n - from) * sizeof(T));
            }
            dirty_ = std::max(dirty_, n);
        }
        size_ = n;
    }

    // Empties the array and gives its memory back.
    void clear() {
        release();
        data_ = nullptr;
        size_ = cap_ = dirty_ = prefaulted_ = 0;
        prefault_at_ = k_never;
    }

private:
    bool mapped() const { return cap_ * sizeof(T) >= k_mapped_from; }

    static std::size_t mapped_bytes(std::size_t bytes) {
        return (bytes + k_huge_page - 1) / k_huge_page * k_huge_page;
    }

    void grow_to(std::size_t n) {
        if (n > std::size_t(-1) / 4 / sizeof(T)) throw std::bad_alloc();
        std::size_t bytes = n * sizeof(T);
        if (bytes >= k_mapped_from) bytes = mapped_bytes(bytes);
        const std::size_t new_cap = bytes / sizeof(T);
        const std::size_t old_bytes = cap_ * sizeof(T);
        memory_budget::take(bytes - old_bytes);
        void* p = nullptr;
        if (bytes < k_mapped_from) {
            p = std::realloc(static_cast<void*>(data_), bytes);
        } else if (mapped()) {
            prefault::forget(data_);
            p = ::mremap(data_, old_bytes, bytes, MREMAP_MAYMOVE);
            if (p == MAP_FAILED) p = nullptr;
        } else {
            p = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
            if (p == MAP_FAILED) {
                p = nullptr;
            } else {
                ::madvise(p, bytes, MADV_HUGEPAGE);
                if (size_) std::memcpy(p, static_cast<const void*>(data_), size_ * sizeof(T));
                std::free(static_cast<void*>(data_));
                // Only the copied part may be non-zero now.
                dirty_ = size_;
                prefaulted_ = size_ * sizeof(T);
                prefault_at_ = size_;
            }
        }
        if (!p) {
            memory_budget::give(bytes - old_bytes);
            throw std::bad_alloc();
        }
        data_ = static_cast<T*>(p);
        cap_ = new_cap;
    }

    // Asks for the pages a little past element upto to be faulted in by the
    // prefault thread, and for the next call when the array fills half of
    // that window.
    void prefault(std::size_t upto) {
        const std::size_t used = upto * sizeof(T), cap = cap_ * sizeof(T);
        const std::size_t window = std::clamp(used / 8, k_huge_page * 2, k_huge_page * 8);
        const std::size_t end = std::min(cap, (used + window + k_huge_page - 1) / k_huge_page * k_huge_page);
        if (end > prefaulted_) {
            prefault::ahead(data_, prefaulted_, end - prefaulted_);
            prefaulted_ = end;
        }
        prefault_at_ = end >= cap ? cap_ : (prefaulted_ - window / 2) / sizeof(T);
    }

    void release() noexcept {
        if (!data_) return;
        if (mapped()) {
            prefault::forget(data_);
            ::munmap(data_, cap_ * sizeof(T));
        } else {
            std::free(static_cast<void*>(data_));
        }
        memory_budget::give(cap_ * sizeof(T));
    }

    static constexpr std::size_t k_never = std::size_t(-1);

    T* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t cap_ = 0;
    std::size_t dirty_ = 0;  // elements at and past this were never written
    std::size_t prefaulted_ = 0;     // bytes asked to be faulted in (mapped arrays)
    std::size_t prefault_at_ = k_never;  // size at which to ask for more
};

}  // namespace sf::formats
