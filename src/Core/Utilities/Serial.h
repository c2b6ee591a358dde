#pragma once
// A value shared between threads: the cache of server API versions, the
// pending location requests. Reads run beside each other; writes and updates
// run alone. A write has taken effect when it returns, so a later read on the
// same thread sees it and two writes from one thread land in their order.
#include <functional>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <type_traits>
#include <utility>

namespace svsdk {

template <class T>
class Serial {
public:
    // `label` names the guarded value in diagnostics ("Serial queue",
    // "Location queue").
    explicit Serial(std::string label) : label_(std::move(label)), value_() {}
    Serial(std::string label, T initial) : label_(std::move(label)), value_(std::move(initial)) {}
    Serial(const Serial&) = delete;
    Serial& operator=(const Serial&) = delete;

    const std::string& label() const noexcept { return label_; }

    // A copy of the current value.
    T value() const {
        std::shared_lock lock(mutex_);
        return value_;
    }

    // Replaces the value. The old value is released after the lock is given
    // up, so its destructor may touch other shared state.
    void write(T newValue) {
        {
            std::unique_lock lock(mutex_);
            std::swap(value_, newValue);
        }
    }

    // Read, change and write back as one step: calls `change(T&)` with the
    // value while no other thread can read or write it, and returns what
    // `change` returns (by value, so no reference outlives the lock).
    // `change` must not call back into this Serial.
    template <class F>
    auto update(F&& change) -> std::invoke_result_t<F&, T&> {
        using Result = std::invoke_result_t<F&, T&>;
        static_assert(!std::is_reference_v<Result>, "update must not hand out a reference to the guarded value");
        std::unique_lock lock(mutex_);
        return std::invoke(change, value_);
    }

private:
    const std::string label_;
    mutable std::shared_mutex mutex_;
    T value_;
};

}  // namespace svsdk
