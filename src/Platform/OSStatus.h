#pragma once
// Result codes of key and keychain operations, in the numbering that key
// stores report (0 is success, negative numbers are failures), and their
// text form used in error messages.
#include <cstdint>
#include <string>

namespace svsdk {

using OSStatus = std::int32_t;

inline constexpr OSStatus errSecSuccess = 0;
inline constexpr OSStatus errSecIO = -36;
inline constexpr OSStatus errSecParam = -50;
inline constexpr OSStatus errSecAllocate = -108;
inline constexpr OSStatus errSecInternalComponent = -2070;
inline constexpr OSStatus errSecDuplicateItem = -25299;
inline constexpr OSStatus errSecItemNotFound = -25300;
inline constexpr OSStatus errSecDecode = -26275;

// "<text> (<code>)" for a code of the fixed table, else "OSStatus: <code>".
std::string osStatusErrorMessage(OSStatus status);

}  // namespace svsdk
