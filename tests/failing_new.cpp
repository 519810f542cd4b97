#include "failing_new.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace {

std::atomic<std::int64_t> g_count{0};
std::atomic<std::int64_t> g_fail_at{-1};  // allocation number that fails first
std::atomic<bool> g_sticky{false};

void* allocate(std::size_t size) {
    const std::int64_t n = g_count.fetch_add(1, std::memory_order_relaxed);
    const std::int64_t at = g_fail_at.load(std::memory_order_relaxed);
    if (at >= 0 && (n == at || (n > at && g_sticky.load(std::memory_order_relaxed)))) throw std::bad_alloc();
    if (void* p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}

}  // namespace

namespace sf::test {

std::int64_t allocations() { return g_count.load(); }

void fail_allocation(std::int64_t n, bool from_then_on) {
    g_sticky = from_then_on;
    g_fail_at = g_count.load() + n;
}

void stop_failing() { g_fail_at = -1; }

}  // namespace sf::test

// Every form without alignment, so that new and delete always pair through
// malloc and free (sanitizers check the pairing).
void* operator new(std::size_t size) { return allocate(size); }
void* operator new[](std::size_t size) { return allocate(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    try {
        return allocate(size);
    } catch (...) {
        return nullptr;
    }
}
void* operator new[](std::size_t size, const std::nothrow_t& t) noexcept { return operator new(size, t); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
