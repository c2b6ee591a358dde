#pragma once
// Collects the progress reports of an NTP run, from whatever thread they arrive on, and waits for them.
#include <condition_variable>
#include <mutex>
#include <vector>

#include "Core/Time/NTPClient.h"

namespace svsdk::testing {

class ProgressRecorder {
public:
    struct Report { std::optional<double> offset; int done, total; };

    // A progress handler that calls `next`, then records into this recorder.
    NTPClient::Progress handler(NTPClient::Progress next = {}) {
        return [this, next](std::optional<double> offset, int done, int total) {
            if (next) next(offset, done, total);
            std::lock_guard guard(lock_);
            reports_.push_back({offset, done, total});
            changed_.notify_all();
        };
    }

    // The reports once there are `count`; fewer after `timeout` seconds.
    std::vector<Report> waitFor(std::size_t count, double timeout = 10) {
        std::unique_lock guard(lock_);
        changed_.wait_for(guard, std::chrono::duration<double>(timeout), [&] { return reports_.size() >= count; });
        return reports_;
    }

private:
    std::mutex lock_;
    std::condition_variable changed_;
    std::vector<Report> reports_;
};

}  // namespace svsdk::testing
