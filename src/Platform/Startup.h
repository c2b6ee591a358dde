#pragma once
// Start-up helpers of the facade that the rest of the SDK does not call.
#include <optional>
#include <string>

namespace svsdk::startup {

// The default store location (the data folder, created when missing, and
// the database file name), or nothing when the folder cannot be had.
std::optional<std::string> defaultDatabaseURL();
// Queues one fetch of the user agent on the main queue and returns.
void loadUserAgent();

}  // namespace svsdk::startup
