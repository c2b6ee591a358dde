#include "Core/Networking/RequestSettings.h"

#include <atomic>
#include <cmath>

namespace svsdk {
namespace {

std::atomic<double>& timeoutInterval() noexcept {
    static std::atomic<double> value{30.0};
    return value;
}

std::atomic<std::size_t>& binaryLimit() noexcept {
    static std::atomic<std::size_t> value{64u * 1024u * 1024u};
    return value;
}

}  // namespace

std::size_t binaryDataSizeLimit() noexcept { return binaryLimit().load(std::memory_order_relaxed); }

void setBinaryDataSizeLimit(std::size_t bytes) noexcept {
    if (bytes != 0) binaryLimit().store(bytes, std::memory_order_relaxed);
}

double requestsTimeoutInterval() noexcept { return timeoutInterval().load(std::memory_order_relaxed); }

void setRequestsTimeoutInterval(double seconds) noexcept {
    if (!std::isfinite(seconds) || seconds <= 0) return;
    timeoutInterval().store(seconds, std::memory_order_relaxed);
}

}  // namespace svsdk
