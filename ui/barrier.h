// Exception barriers for the functions the host calls. The host speaks C:
// an exception leaving the plug-in through one of its callbacks would end
// the host. barrier<F, failure> is F with every exception caught, answering
// the callback's failure value instead; barrier<F> for callbacks without a
// result. When nothing throws, F runs exactly as it would on its own.
#pragma once

#include <type_traits>

namespace sf {

template <auto F>
struct entry_point;

template <class R, class... A, R (*F)(A...)>
struct entry_point<F> {
    template <auto... Failure>
    static R call(A... args) noexcept {
        try {
            return F(args...);
        } catch (...) {
            if constexpr (!std::is_void_v<R>) return R(Failure...);
        }
    }
};

template <auto F, auto... Failure>
inline constexpr auto barrier = &entry_point<F>::template call<Failure...>;

}  // namespace sf
