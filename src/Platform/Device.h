#pragma once
// Queries about the device the SDK runs on.
#include <optional>
#include <string>

namespace svsdk {

class UIDevice {
public:
    UIDevice() = delete;

    // The machine identifier from uname ("x86_64", "aarch64", ...); "" when
    // the system gives nothing.
    static std::string modelIdentifier();
    // The application vendor's identifier on this device as an upper-case
    // UUID text; absent when there is none.
    static std::optional<std::string> vendorIdentifier();
};

}  // namespace svsdk
