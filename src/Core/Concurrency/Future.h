#pragma once
// A single result that arrives later: a value or an error. `Promise` is the
// side that settles it; the same object is handed out as the `Future`.
//
// Futures are shared handles: copies refer to one state. They are settled on
// the network thread while other threads observe them, so the state is
// guarded by a lock. Callbacks never run under that lock: the callbacks
// registered before settlement run on the settling thread, in the order in
// which they were added; a callback added to a settled future runs at once on
// the observing thread. The first settlement wins; later ones are ignored.
// A future released while still pending drops its callbacks uncalled.
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <type_traits>
#include <utility>
#include <vector>

#include <svsdk/SVResult.h>

#include "Core/Diagnostics/Logger.h"

namespace svsdk {

template <class T>
class Future;
template <class T>
class Promise;

namespace detail {

template <class X>
struct FutureValue {
    static constexpr bool isFuture = false;
};
template <class X>
struct FutureValue<Future<X>> {
    static constexpr bool isFuture = true;
    using type = X;
};
template <class X>
struct FutureValue<Promise<X>> {
    static constexpr bool isFuture = true;
    using type = X;
};

// Calls `f` with the value of `result` (no argument for a future of void).
template <class T, class F>
decltype(auto) invokeWithValue(F& f, const SVResult<T>& result) {
    if constexpr (std::is_void_v<T>)
        return f();
    else
        return f(result.value());
}

template <class T, class F>
using StepResult = std::decay_t<decltype(invokeWithValue<T>(std::declval<F&>(), std::declval<const SVResult<T>&>()))>;

}  // namespace detail

template <class T>
class Future {
public:
    using Value = T;
    using Result = SVResult<T>;
    using Callback = std::function<void(const Result&)>;

    // A pending future.
    Future() : state_(std::make_shared<State>()) {}

    // Calls `callback` once with the result: at once, before returning, when
    // the future is settled; otherwise when it settles.
    void observe(Callback callback) const {
        {
            std::lock_guard guard(state_->lock);
            if (!state_->result) {
                state_->callbacks.push_back(std::move(callback));
                return;
            }
        }
        // A settled result never changes again, so it is read unlocked.
        run(callback, *state_->result);
    }

    // A copy of the result, or nothing while pending.
    std::optional<Result> result() const {
        std::lock_guard guard(state_->lock);
        return state_->result;
    }
    bool isSettled() const {
        std::lock_guard guard(state_->lock);
        return state_->result.has_value();
    }

    // When this future succeeds, calls `step` with its value; `step` returns
    // a further future, whose result settles the returned one. A failure of
    // this future, or an error thrown by `step`, fails the returned future
    // with that error and `step` does not run (or its future is not awaited).
    template <class F>
    auto chained(F step) const;

    // When this future succeeds, the returned one resolves with `map` of the
    // value, or fails with the error that `map` throws.
    template <class F>
    auto transformed(F map) const;

    // For futures without a value: on failure calls `handler` with the error
    // first, then fails the returned future with the same error; on success
    // the returned future succeeds and `handler` is not called.
    template <class H>
        requires std::is_void_v<T>
    Future<void> failureHandled(H handler) const;

protected:
    // Stores `result` unless the future is settled already, then calls the
    // waiting callbacks in the order in which they were added. True when this
    // call settled the future.
    bool settle(Result result) const {
        std::vector<Callback> waiting;
        {
            std::lock_guard guard(state_->lock);
            if (state_->result) return false;
            state_->result.emplace(std::move(result));
            waiting.swap(state_->callbacks);
        }
        const Result& settled = *state_->result;
        for (auto& callback : waiting) run(callback, settled);
        return true;
    }

private:
    template <class>
    friend class Future;
    template <class>
    friend class Promise;

    struct State {
        std::mutex lock;
        std::optional<Result> result;
        std::vector<Callback> callbacks;
    };

    // A callback that throws must not keep the others from running, nor end
    // the thread that settles the future.
    static void run(Callback& callback, const Result& result) {
        try {
            callback(result);
        } catch (...) {
            Logger::error(SVLogCategory::common, "A future's callback threw an error");
        }
    }

    std::shared_ptr<State> state_;
};

template <class T>
class Promise : public Future<T> {
public:
    // A pending promise.
    Promise() = default;

    // A promise already resolved with `value`.
    template <class U = T>
        requires(!std::is_void_v<U>)
    static Promise resolved(U value) {
        Promise promise;
        promise.resolve(std::move(value));
        return promise;
    }
    template <class U = T>
        requires std::is_void_v<U>
    static Promise resolved() {
        Promise promise;
        promise.resolve();
        return promise;
    }
    // A promise already failed with `error`.
    static Promise rejected(SVFailure error) {
        Promise promise;
        promise.reject(std::move(error));
        return promise;
    }

    // Settle the promise; only the first settlement counts.
    template <class U = T>
        requires(!std::is_void_v<U>)
    void resolve(U value) const {
        this->settle(SVResult<T>(std::move(value)));
    }
    template <class U = T>
        requires std::is_void_v<U>
    void resolve() const {
        this->settle(SVResult<void>());
    }
    void reject(SVFailure error) const { this->settle(SVResult<T>(std::move(error))); }
    // Settles with a result as it is: a value or an error.
    void settle(SVResult<T> result) const { Future<T>::settle(std::move(result)); }
};

template <class T>
template <class F>
auto Future<T>::chained(F step) const {
    using StepFuture = detail::StepResult<T, F>;
    static_assert(detail::FutureValue<StepFuture>::isFuture, "a chained step must return a Future");
    using Next = typename detail::FutureValue<StepFuture>::type;
    Promise<Next> next;
    observe([next, step = std::move(step)](const Result& result) mutable {
        if (!result.ok()) {
            next.reject(result.error());
            return;
        }
        std::optional<Future<Next>> following;
        try {
            following.emplace(detail::invokeWithValue<T>(step, result));
        } catch (...) {
            next.reject(SVFailure::fromCurrentException());
            return;
        }
        following->observe([next](const SVResult<Next>& nextResult) { next.settle(nextResult); });
    });
    return Future<Next>(next);
}

template <class T>
template <class F>
auto Future<T>::transformed(F map) const {
    using Next = detail::StepResult<T, F>;
    return chained([map = std::move(map)](auto&&... value) mutable -> Future<Next> {
        if constexpr (std::is_void_v<Next>) {
            map(std::forward<decltype(value)>(value)...);
            return Promise<void>::resolved();
        } else {
            return Promise<Next>::resolved(map(std::forward<decltype(value)>(value)...));
        }
    });
}

template <class T>
template <class H>
    requires std::is_void_v<T>
Future<void> Future<T>::failureHandled(H handler) const {
    Promise<void> next;
    observe([next, handler = std::move(handler)](const Result& result) mutable {
        if (!result.ok()) {
            try {
                handler(result.error());
            } catch (...) {
                Logger::error(SVLogCategory::common, "A failure handler threw an error");
            }
            next.reject(result.error());
        } else {
            next.resolve();
        }
    });
    return next;
}

}  // namespace svsdk
