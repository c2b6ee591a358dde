#pragma once
// Stops the process on a condition that only a broken build or installation
// can cause. Writes "Fatal error: <message>" to stderr and aborts.
#include <string_view>

namespace svsdk {

[[noreturn]] void fatalError(std::string_view message) noexcept;

}  // namespace svsdk
