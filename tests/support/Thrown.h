#pragma once
// What an operation throws.
#include <gtest/gtest.h>

#include <optional>

#include <svsdk/SVError.h>

namespace svsdk::testing {

// The E that `f` throws; a test failure (and nothing) when it throws none.
template <class E, class F>
std::optional<E> thrownAs(F&& f) {
    try {
        f();
    } catch (const E& e) {
        return e;
    }
    ADD_FAILURE() << "nothing of the expected type was thrown";
    return std::nullopt;
}

// The SVError `f` throws (internalError, after a test failure, when none).
template <class F>
SVError thrownError(F&& f) { return thrownAs<SVError>(std::forward<F>(f)).value_or(SVError::internalError()); }

template <class F>
SVError::Code thrownCode(F&& f) { return thrownError(std::forward<F>(f)).code(); }

}  // namespace svsdk::testing
