// Allocations that fail on request: this test program replaces the global
// operator new, so the statically linked plug-in and the host code fail
// exactly where a real shortage would hit them.
#pragma once

#include <cstdint>

namespace sf::test {

// Allocations made so far.
std::int64_t allocations();

// The n-th allocation from now (0: the next) throws std::bad_alloc; with
// from_then_on, every one after it as well, as when memory is exhausted.
void fail_allocation(std::int64_t n, bool from_then_on);
void stop_failing();

// Arms a failure for a scope.
struct failing_allocations {
    failing_allocations(std::int64_t n, bool from_then_on) { fail_allocation(n, from_then_on); }
    ~failing_allocations() { stop_failing(); }
};

}  // namespace sf::test
