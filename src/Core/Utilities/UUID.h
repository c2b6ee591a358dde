#pragma once
// Random identifiers.
#include <array>
#include <cstdint>
#include <string>

namespace svsdk {

// A random (version 4) UUID from the secure random source, as upper-case text
// 8-4-4-4-12. Throws SVPlatformError("openssl", ...) when the source fails.
std::string makeUUIDString();

// The text of `bytes` laid out as a version 4 UUID: the version and variant
// bits are set, the other 122 bits are kept. Upper-case 8-4-4-4-12.
std::string uuidString(std::array<std::uint8_t, 16> bytes);

}  // namespace svsdk
