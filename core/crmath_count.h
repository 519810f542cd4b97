// Call and fallback counters of the correctly rounded functions, compiled in
// only with -DSF_CRMATH_COUNTERS (a measurement build); otherwise no code.
#pragma once

#ifdef SF_CRMATH_COUNTERS
#include <atomic>
#include <cstdio>

namespace sf::crm::count {
inline std::atomic<unsigned long long> atan2_calls, atan2_slow, acos_calls, acos_slow, pow_calls, pow_slow;
// sin and cos results past the small-argument shortcuts, those the cheap
// stage left open, and those the accurate stage computed.
inline std::atomic<unsigned long long> sincos_calls, sincos_past_cheap, sincos_slow;
// Printed when the process ends normally.
inline struct count_report {
    ~count_report() {
        std::fprintf(stderr, "crmath: atan2 %llu calls, %llu fallbacks; acos %llu, %llu; pow %llu, %llu\n",
                     atan2_calls.load(), atan2_slow.load(), acos_calls.load(), acos_slow.load(), pow_calls.load(),
                     pow_slow.load());
        std::fprintf(stderr, "crmath: sin/cos %llu results, %llu past the cheap stage, %llu accurate\n",
                     sincos_calls.load(), sincos_past_cheap.load(), sincos_slow.load());
    }
} report_at_exit;
}  // namespace sf::crm::count

#define SF_CRMATH_COUNT(name) (::sf::crm::count::name.fetch_add(1, std::memory_order_relaxed))
#else
#define SF_CRMATH_COUNT(name) ((void)0)
#endif
