#pragma once
// Settings that every server request reads when it is built.
namespace svsdk {

// The time limit of a server request in seconds (30 unless the host changed
// it), read when a request is built: a later change leaves requests already
// built as they are.
double requestsTimeoutInterval() noexcept;
// Values that are not a positive finite number of seconds are ignored.
void setRequestsTimeoutInterval(double seconds) noexcept;

}  // namespace svsdk
