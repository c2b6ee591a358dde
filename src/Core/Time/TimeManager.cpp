#include "Core/Time/TimeManager.h"

#include <sys/time.h>
#include <time.h>

#include <memory>
#include <mutex>

#include "Core/Diagnostics/Logger.h"

namespace svsdk {
namespace {

struct Clocks {
    std::function<double()> wall;
    std::function<double()> uptime;
};

// Process-wide state, never destroyed: the clock may be read during exit.
struct State {
    std::mutex lock;
    std::optional<StableTime> stableTime;
    std::shared_ptr<const Clocks> clocks = std::make_shared<Clocks>();
};

State& state() {
    static State* s = new State;
    return *s;
}

std::shared_ptr<const Clocks> clocks() {
    std::lock_guard guard(state().lock);
    return state().clocks;
}

double realWallClock() {
    struct timeval now {};
    ::gettimeofday(&now, nullptr);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_usec) / 1'000'000.0;
}

}  // namespace

SVDate SVDate::now() { return SVDate::fromTimeInterval(TimeManager::deviceClock()); }

TimeManager& TimeManager::shared() {
    static TimeManager* instance = new TimeManager;
    return *instance;
}

double TimeManager::deviceClock() {
    auto c = clocks();
    return c->wall ? c->wall() : realWallClock();
}

double TimeManager::systemUptime() {
    auto c = clocks();
    if (c->uptime) return c->uptime();
    struct timespec boot {};
    // Without a boot-time clock the boot instant counts as 0.
    if (::clock_gettime(CLOCK_BOOTTIME, &boot) != 0) return c->wall ? c->wall() : realWallClock();
    return static_cast<double>(boot.tv_sec) + static_cast<double>(boot.tv_nsec) / 1'000'000'000.0;
}

SVDate TimeManager::correctedTime(const std::optional<StableTime>& stableTime) {
    if (!stableTime) return SVDate::fromTimeInterval(deviceClock());
    double elapsed = systemUptime() - stableTime->uptime;
    double t = stableTime->timestamp + elapsed;
    t = stableTime->offset + t;
    return SVDate::fromTimeInterval(t);
}

SVDate TimeManager::now() const { return correctedTime(stableTime()); }

double TimeManager::discreteTimeInterval(double step) const {
    double t = now().timeIntervalSince1970;
    Logger::log(SVLogCategory::common, [&] { return "Time Interval " + Logger::number(t); });
    double d = t / step;
    Logger::log(SVLogCategory::common, [&] { return "Discrete Time Interval " + Logger::number(d); });
    return d;
}

std::optional<StableTime> TimeManager::stableTime() {
    std::lock_guard guard(state().lock);
    return state().stableTime;
}

void TimeManager::setStableTime(std::optional<StableTime> stableTime) {
    std::lock_guard guard(state().lock);
    state().stableTime = stableTime;
}

void TimeManager::setClockForTesting(std::function<double()> wall, std::function<double()> uptime) {
    auto next = std::make_shared<const Clocks>(Clocks{std::move(wall), std::move(uptime)});
    std::lock_guard guard(state().lock);
    state().clocks = std::move(next);
}

}  // namespace svsdk
