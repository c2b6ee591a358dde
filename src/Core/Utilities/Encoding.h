#pragma once
// Text forms of bytes: lowercase hexadecimal and strict Base64.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <svsdk/SVBytes.h>

namespace svsdk {

// Lowercase hexadecimal, two digits a byte, no separator.
std::string hexString(const Bytes& bytes);
std::string hexString(const std::uint8_t* data, std::size_t length);
// Each byte as its own two-digit lowercase hex text, in order.
std::vector<std::string> hexBytes(const Bytes& bytes);
// Hex text to bytes: an even number of characters, each pair a base-16 byte
// (0-9, a-f, A-F). Anything else gives nothing (no partial data); the empty
// text gives empty bytes.
std::optional<Bytes> bytesFromHex(std::string_view text);

// Standard Base64 with padding, no line breaks.
std::string base64Encode(const Bytes& bytes);
std::string base64Encode(const std::uint8_t* data, std::size_t length);
// Strict decoding: only the standard alphabet, padding only at the end and
// only to a multiple of four characters; anything else gives nothing.
std::optional<Bytes> base64Decode(std::string_view text);

}  // namespace svsdk
