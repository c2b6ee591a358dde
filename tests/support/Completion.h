#pragma once
// A completion for the public managers that records how often it was called
// and lets a test (or benchmark) wait for the first result.
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>

#include <svsdk/SVCompletion.h>

namespace svsdk::testing {

template <class T>
class Recorder {
public:
    Recorder() : state_(std::make_shared<State>()) {}

    SVResultCompletion<T> completion() const {
        return [state = state_](const SVResult<T>& result) {
            std::lock_guard guard(state->lock);
            ++state->calls;
            if (!state->result) state->result.emplace(result);
            state->changed.notify_all();
        };
    }
    // The first result; throws std::runtime_error when none comes in time.
    SVResult<T> wait(double timeout = 20.0) const {
        std::unique_lock guard(state_->lock);
        if (!state_->changed.wait_for(guard, std::chrono::duration<double>(timeout),
                                      [&] { return state_->result.has_value(); }))
            throw std::runtime_error("the completion was not called in time");
        return *state_->result;
    }
    int calls() const {
        std::lock_guard guard(state_->lock);
        return state_->calls;
    }
    bool called() const { return calls() > 0; }

private:
    struct State {
        std::mutex lock;
        std::condition_variable changed;
        int calls = 0;
        std::optional<SVResult<T>> result;
    };
    std::shared_ptr<State> state_;
};

// Starts `operation(completion)` and waits for its result.
template <class T, class Operation>
SVResult<T> completed(Operation&& operation, double timeout = 20.0) {
    Recorder<T> recorder;
    operation(recorder.completion());
    return recorder.wait(timeout);
}

}  // namespace svsdk::testing
