// Call and fallback counters of the correctly rounded functions, compiled in
// only with -DSF_CRMATH_COUNTERS (a measurement build); otherwise no code.
#pragma once

#ifdef SF_CRMATH_COUNTERS
#include <atomic>

namespace sf::crm::count {
inline std::atomic<unsigned long long> atan2_calls, atan2_slow, acos_calls, acos_slow, pow_calls, pow_slow;
}  // namespace sf::crm::count

#define SF_CRMATH_COUNT(name) (::sf::crm::count::name.fetch_add(1, std::memory_order_relaxed))
#else
#define SF_CRMATH_COUNT(name) ((void)0)
#endif
