#pragma once
// Tag-length-value blocks: the input of every code and signature. An item is
// one tag byte, the value's length as 4 bytes big-endian, then the value; a
// block is items concatenated without header or terminator. Every item is
// logged ("TLV Data " and its hex, category "Data", with `debug`).
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <svsdk/SVBytes.h>

namespace svsdk {

class SVTransaction;
class SVUser;

namespace TLV {

enum class Tag : std::uint8_t {
    transaction = 17,        // text, binary data, decline reason
    userID = 18,             // the user's userID
    fingerprint = 19,        // the device fingerprint text
    timeInterval = 20,       // the discrete time, shortest big-endian form
    transactionID = 21,      // the transaction's ID
    systemID = 22,           // the user's systemID
    deviceType = 23,         // "iOS"
    deviceToken = 24,        // the device-token text
    transactionStatus = 25,  // one trimmed status text
    publicKey = 33,          // the public-key text
};

// The 4-byte length field of a value; a value longer than 2^32 - 1 bytes
// throws SVError::internalError.
std::uint32_t lengthField(std::size_t valueSize);

// One item.
Bytes make(std::uint8_t tag, const Bytes& value);
Bytes make(std::uint8_t tag, std::string_view value);
inline Bytes make(Tag tag, const Bytes& value) { return make(static_cast<std::uint8_t>(tag), value); }
inline Bytes make(Tag tag, std::string_view value) { return make(static_cast<std::uint8_t>(tag), value); }

// Item 20. The time is truncated toward zero to an unsigned 64-bit integer
// written big-endian without its leading zero bytes (all eight zero bytes for
// 0). Only finite times from 0 to below 2^64 are accepted; any other throws
// SVError::internalError.
Bytes timeInterval(double time);
// Item 24.
Bytes deviceToken(std::string_view token);
// Item 21.
Bytes transactionID(std::string_view transactionID);
// Item 17: the transaction's text, its downloaded binary data and the decline
// reason, each when present. Always written, also with length 0.
Bytes transaction(const SVTransaction& transaction, const std::optional<std::string>& declineReason);

// Item 18 after the log line "TLV UserID".
Bytes userID(std::string_view userID);
// Item 19 with the device fingerprint after the log line "TLV Fingerprint".
Bytes fingerprint();

// 17, 18, 19 (only when the user's options ask for the fingerprint), 20.
Bytes transactionConfirmation(const SVTransaction& transaction, const SVUser& user,
                              const std::optional<std::string>& declineReason, double time);
// 17 holding `data` as it is, 18, 19 (as above), 20.
Bytes dataConfirmation(const Bytes& data, const SVUser& user, double time);
// 22, 18, 23, 24, 20.
Bytes deviceTokenRegistration(const SVUser& user, std::string_view deviceToken, double time);
// 18, one 25 per status in order (leading and trailing white space and
// newlines removed), 20.
Bytes transactionStatus(const SVUser& user, const std::vector<std::string>& status, double time);

// Appends `item` to `block`.
inline void append(Bytes& block, const Bytes& item) { block.insert(block.end(), item.begin(), item.end()); }

}  // namespace TLV
}  // namespace svsdk
