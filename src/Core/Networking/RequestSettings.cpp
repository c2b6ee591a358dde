#include "Core/Networking/RequestSettings.h"

#include <atomic>
#include <cmath>

namespace svsdk {
namespace {

std::atomic<double>& timeoutInterval() noexcept {
    static std::atomic<double> value{30.0};
    return value;
}

}  // namespace

double requestsTimeoutInterval() noexcept { return timeoutInterval().load(std::memory_order_relaxed); }

void setRequestsTimeoutInterval(double seconds) noexcept {
    if (!std::isfinite(seconds) || seconds <= 0) return;
    timeoutInterval().store(seconds, std::memory_order_relaxed);
}

}  // namespace svsdk
