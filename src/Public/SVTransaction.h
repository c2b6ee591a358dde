#pragma once
// A transaction the server asks the user to confirm or decline, and the small
// enumerations that travel in JSON.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>

#include <nlohmann/json_fwd.hpp>

#include "SVBytes.h"
#include "SVRawValue.h"

namespace svsdk {

// How a transaction is confirmed.
enum class SVConfirmationType {
    offline,  // "OFFLINE"
    online,   // "PUSH"
};

// What a QR text holds.
enum class SVQRType {
    user,               // "user"
    transaction,        // "transaction"
    restoreRequisites,  // "restoreRequisites"
    login,              // "login"
    none,               // "none"
};

// The extended-authentication methods a user's server offers.
enum class SVExtendedAuthMethod {
    codeword,    // "codeword"
    ozBiometry,  // "oz_biometry"
};

namespace detail {
struct TransactionOrigin;
}

class SVTransaction {
public:
    // How the host should render `text`.
    enum class TextRenderType {
        raw,       // "raw"
        markdown,  // "markdown"
    };

    SVTransaction(std::string transactionID, std::string userID, std::string systemID,
                  std::int64_t confirmationCodeLength, bool extendedCheck, SVConfirmationType confirmationType,
                  std::optional<std::string> text = std::nullopt,
                  std::optional<Bytes> downloadedBinaryData = std::nullopt,
                  TextRenderType textRenderType = TextRenderType::raw,
                  std::optional<std::string> version = std::nullopt,
                  std::optional<std::string> binaryDataURLString = std::nullopt,
                  std::optional<bool> isAutosignEnabled = std::nullopt);

    // Decodes the transaction's JSON form. Only "transaction_id", "user_id",
    // "system_id" (texts) and "confirm_code_length" (an integer; a negative
    // one becomes 6) are required: a missing, null or mistyped one throws
    // SVDecodingError. Every other member falls back to its default when it
    // is missing, mistyped or unknown. The text form also throws
    // SVDecodingError (dataCorrupted) when it is not valid JSON.
    static SVTransaction decode(const nlohmann::json& json);
    static SVTransaction decode(std::string_view jsonText);
    // Text arguments choose the text form (a JSON value could be made from them too).
    static SVTransaction decode(const std::string& jsonText) { return decode(std::string_view(jsonText)); }
    static SVTransaction decode(const char* jsonText) { return decode(std::string_view(jsonText)); }

    const std::string& transactionID() const { return transactionID_; }
    const std::string& userID() const { return userID_; }
    const std::string& systemID() const { return systemID_; }
    // Digits of the short code.
    std::int64_t confirmationCodeLength() const { return confirmationCodeLength_; }
    bool extendedCheck() const { return extendedCheck_; }
    SVConfirmationType confirmationType() const { return confirmationType_; }
    // The text shown to the user and signed.
    const std::optional<std::string>& text() const { return text_; }
    // The binary document once fetched.
    const std::optional<Bytes>& downloadedBinaryData() const { return downloadedBinaryData_; }
    void setDownloadedBinaryData(std::optional<Bytes> data) { downloadedBinaryData_ = std::move(data); }
    TextRenderType textRenderType() const { return textRenderType_; }
    const std::optional<std::string>& version() const { return version_; }
    // Where the binary document can be fetched.
    const std::optional<std::string>& binaryDataURLString() const { return binaryDataURLString_; }
    const std::optional<bool>& isAutosignEnabled() const { return isAutosignEnabled_; }

    // A binary document exists: its URL or the document itself is present.
    bool hasBinaryData() const { return binaryDataURLString_.has_value() || downloadedBinaryData_.has_value(); }

    // Equal when all twelve fields above are equal.
    friend bool operator==(const SVTransaction& a, const SVTransaction& b);

private:
    friend struct detail::TransactionOrigin;

    auto fields() const {
        return std::tie(transactionID_, userID_, systemID_, confirmationCodeLength_, extendedCheck_,
                        confirmationType_, text_, downloadedBinaryData_, textRenderType_, version_,
                        binaryDataURLString_, isAutosignEnabled_);
    }

    std::string transactionID_;
    std::string userID_;
    std::string systemID_;
    std::int64_t confirmationCodeLength_;
    bool extendedCheck_;
    SVConfirmationType confirmationType_;
    std::optional<std::string> text_;
    std::optional<Bytes> downloadedBinaryData_;
    TextRenderType textRenderType_;
    std::optional<std::string> version_;
    std::optional<std::string> binaryDataURLString_;
    std::optional<bool> isAutosignEnabled_;
    // The SDK's own mark of a transaction fetched from its user's server, not
    // imported from a QR text or link; no part of the value the host sees.
    bool isFromUserServer_ = false;
};

inline bool operator==(const SVTransaction& a, const SVTransaction& b) { return a.fields() == b.fields(); }

std::string_view rawValue(SVConfirmationType value);
std::string_view rawValue(SVQRType value);
std::string_view rawValue(SVExtendedAuthMethod value);
std::string_view rawValue(SVTransaction::TextRenderType value);
template <>
std::optional<SVConfirmationType> fromRawValue<SVConfirmationType>(std::string_view rawValue);
template <>
std::optional<SVQRType> fromRawValue<SVQRType>(std::string_view rawValue);
template <>
std::optional<SVExtendedAuthMethod> fromRawValue<SVExtendedAuthMethod>(std::string_view rawValue);
template <>
std::optional<SVTransaction::TextRenderType> fromRawValue<SVTransaction::TextRenderType>(std::string_view rawValue);

// An extended-authentication method encodes as its raw text.
void to_json(nlohmann::json& json, SVExtendedAuthMethod value);

}  // namespace svsdk
