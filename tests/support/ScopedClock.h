#pragma once
// Fixed device and uptime clocks for the life of the value; the real clocks
// and an absent stable time afterwards.
#include <atomic>

#include "Core/Time/TimeManager.h"

namespace svsdk::testing {

class ScopedClock {
public:
    ScopedClock(double wall, double uptime) : wall_(wall), uptime_(uptime) {
        TimeManager::setStableTime(std::nullopt);
        TimeManager::setClockForTesting([this] { return wall_.load(); }, [this] { return uptime_.load(); });
    }
    ~ScopedClock() {
        TimeManager::setClockForTesting({}, {});
        TimeManager::setStableTime(std::nullopt);
    }
    ScopedClock(const ScopedClock&) = delete;
    ScopedClock& operator=(const ScopedClock&) = delete;

    // Sets both clocks.
    void set(double wall, double uptime) {
        wall_ = wall;
        uptime_ = uptime;
    }
    // Moves both clocks on by `seconds` (same boot).
    void advance(double seconds) { set(wall_ + seconds, uptime_ + seconds); }

private:
    std::atomic<double> wall_;
    std::atomic<double> uptime_;
};

}  // namespace svsdk::testing
