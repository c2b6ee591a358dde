#pragma once
// Fixed device and uptime clocks for the life of the value; the real clocks and an absent stable time afterwards.
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

    void set(double wall, double uptime) { wall_ = wall, uptime_ = uptime; }
    void advance(double seconds) { set(wall_ + seconds, uptime_ + seconds); }  // same boot

private:
    std::atomic<double> wall_, uptime_;
};

}  // namespace svsdk::testing
