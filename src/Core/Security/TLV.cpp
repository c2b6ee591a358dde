#include "Core/Security/TLV.h"

#include <cmath>
#include <cstring>
#include <limits>

#include <svsdk/SVError.h>
#include <svsdk/SVTransaction.h>
#include <svsdk/SVUser.h>

#include "Core/Diagnostics/Logger.h"
#include "Core/Security/Keychain.h"
#include "Core/Utilities/Encoding.h"
#include "Core/Utilities/Text.h"

namespace svsdk::TLV {

namespace {

void log(std::string_view message) { Logger::log(SVLogCategory::data, message); }

Bytes item(std::uint8_t tag, const std::uint8_t* value, std::size_t size) {
    std::uint32_t length = lengthField(size);
    Bytes out(5 + size);
    out[0] = tag;
    for (int i = 0; i < 4; ++i) out[1 + i] = static_cast<std::uint8_t>(length >> (24 - 8 * i));
    if (size) std::memcpy(out.data() + 5, value, size);
    Logger::log(SVLogCategory::data, [&] { return "TLV Data " + hexString(out); });
    return out;
}

}  // namespace

std::uint32_t lengthField(std::size_t valueSize) {
    if (valueSize > std::numeric_limits<std::uint32_t>::max()) throw SVError::internalError();
    return static_cast<std::uint32_t>(valueSize);
}

Bytes make(std::uint8_t tag, const Bytes& value) { return item(tag, value.data(), value.size()); }

Bytes make(std::uint8_t tag, std::string_view value) {
    return item(tag, reinterpret_cast<const std::uint8_t*>(value.data()), value.size());
}

Bytes timeInterval(double time) {
    log("TLV TimeInterval");
    // 2^64 is exact as a double; every finite double below it converts.
    constexpr double limit = 18446744073709551616.0;
    if (!std::isfinite(time) || time < 0 || time >= limit) throw SVError::internalError();
    auto value = static_cast<std::uint64_t>(time);
    std::uint8_t bytes[8];
    for (int i = 0; i < 8; ++i) bytes[i] = static_cast<std::uint8_t>(value >> (56 - 8 * i));
    std::size_t first = 0;
    if (value != 0)
        while (bytes[first] == 0) ++first;
    return item(static_cast<std::uint8_t>(Tag::timeInterval), bytes + first, 8 - first);
}

Bytes deviceToken(std::string_view token) {
    log("TLV Device Token");
    return make(Tag::deviceToken, token);
}

Bytes transactionID(std::string_view transactionID) {
    Logger::log(SVLogCategory::data, [&] { return "TLV For Transaction ID: " + std::string(transactionID); });
    return make(Tag::transactionID, transactionID);
}

Bytes transaction(const SVTransaction& transaction, const std::optional<std::string>& declineReason) {
    Logger::log(SVLogCategory::data, [&] {
        return "TLV For Transaction " + transaction.transactionID() + " with " +
               (declineReason ? *declineReason : std::string("no decline reason"));
    });
    Bytes value;
    if (const auto& text = transaction.text()) value.insert(value.end(), text->begin(), text->end());
    if (const auto& data = transaction.downloadedBinaryData()) value.insert(value.end(), data->begin(), data->end());
    if (declineReason) value.insert(value.end(), declineReason->begin(), declineReason->end());
    return make(Tag::transaction, value);
}

Bytes userID(std::string_view userID) {
    log("TLV UserID");
    return make(Tag::userID, userID);
}

Bytes fingerprint() {
    log("TLV Fingerprint");
    return make(Tag::fingerprint, Keychain::deviceFingerprint());
}

namespace {

// 18, 19 when the user's options ask for the fingerprint, 20: the tail of
// both confirmation blocks.
void appendUserAndTime(Bytes& block, const SVUser& user, double time) {
    append(block, userID(user.userID()));
    if (user.options().isWithFingerprint()) append(block, fingerprint());
    append(block, timeInterval(time));
}

}  // namespace

Bytes transactionConfirmation(const SVTransaction& transaction, const SVUser& user,
                              const std::optional<std::string>& declineReason, double time) {
    Bytes block = TLV::transaction(transaction, declineReason);
    appendUserAndTime(block, user, time);
    return block;
}

Bytes dataConfirmation(const Bytes& data, const SVUser& user, double time) {
    Bytes block = make(Tag::transaction, data);
    appendUserAndTime(block, user, time);
    return block;
}

Bytes deviceTokenRegistration(const SVUser& user, std::string_view token, double time) {
    log("TLV SystemID");
    Bytes block = make(Tag::systemID, user.systemID());
    append(block, userID(user.userID()));
    log("TLV Device Type");
    append(block, make(Tag::deviceType, std::string_view("iOS")));
    append(block, deviceToken(token));
    append(block, timeInterval(time));
    return block;
}

Bytes transactionStatus(const SVUser& user, const std::vector<std::string>& status, double time) {
    Bytes block = userID(user.userID());
    for (const auto& text : status) {
        std::string trimmed = trimmingWhitespaceAndNewlines(text);
        Logger::log(SVLogCategory::data, [&] { return "TLV For Transaction Status: " + trimmed; });
        append(block, make(Tag::transactionStatus, trimmed));
    }
    append(block, timeInterval(time));
    return block;
}

}  // namespace svsdk::TLV
