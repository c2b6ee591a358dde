#pragma once
// Settings that every server request reads when it is built.
#include <cstddef>

namespace svsdk {

// The time limit of a server request in seconds (30 unless the host changed
// it), read when a request is built: a later change leaves requests already
// built as they are.
double requestsTimeoutInterval() noexcept;
// Values that are not a positive finite number of seconds are ignored.
void setRequestsTimeoutInterval(double seconds) noexcept;

// The largest transaction document a download accepts, in bytes (64 MiB
// unless changed); a larger answer fails as soon as it passes the limit.
std::size_t binaryDataSizeLimit() noexcept;
// Zero is ignored.
void setBinaryDataSizeLimit(std::size_t bytes) noexcept;

}  // namespace svsdk
