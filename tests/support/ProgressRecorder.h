#pragma once
// Collects the progress reports of an NTP run, from whatever thread they
// arrive on, and waits for them.
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <vector>

#include "Core/Time/NTPClient.h"

namespace svsdk::testing {

class ProgressRecorder {
public:
    struct Report {
        std::optional<double> offset;
        int done;
        int total;
        std::chrono::steady_clock::time_point at;
    };

    // A progress handler that records into this recorder, then calls `next`.
    NTPClient::Progress handler(NTPClient::Progress next = {}) {
        return [this, next](std::optional<double> offset, int done, int total) {
            if (next) next(offset, done, total);
            std::lock_guard guard(lock_);
            reports_.push_back({offset, done, total, std::chrono::steady_clock::now()});
            changed_.notify_all();
        };
    }

    // The reports once there are `count`; fewer after `timeout` seconds.
    std::vector<Report> waitFor(std::size_t count, double timeout = 10) {
        std::unique_lock guard(lock_);
        changed_.wait_for(guard, std::chrono::duration<double>(timeout), [&] { return reports_.size() >= count; });
        return reports_;
    }

    std::vector<Report> reports() {
        std::lock_guard guard(lock_);
        return reports_;
    }

private:
    std::mutex lock_;
    std::condition_variable changed_;
    std::vector<Report> reports_;
};

}  // namespace svsdk::testing
