#include <svsdk/SVTransaction.h>

#include <nlohmann/json.hpp>

#include "Core/Utilities/Encoding.h"
#include "Core/Utilities/JSONDecoding.h"

namespace svsdk {
namespace {

// A raw-value table: the case's position is its value.
template <class E, std::size_t N>
std::optional<E> lookUp(const std::string_view (&table)[N], std::string_view raw) {
    for (std::size_t i = 0; i < N; ++i)
        if (table[i] == raw) return static_cast<E>(i);
    return std::nullopt;
}

constexpr std::string_view kConfirmationTypes[] = {"OFFLINE", "PUSH"};
constexpr std::string_view kQRTypes[] = {"user", "transaction", "restoreRequisites", "login", "none"};
constexpr std::string_view kExtendedAuthMethods[] = {"codeword", "oz_biometry"};
constexpr std::string_view kTextRenderTypes[] = {"raw", "markdown"};

}  // namespace

std::string_view rawValue(SVConfirmationType value) { return kConfirmationTypes[static_cast<int>(value)]; }
std::string_view rawValue(SVQRType value) { return kQRTypes[static_cast<int>(value)]; }
std::string_view rawValue(SVExtendedAuthMethod value) { return kExtendedAuthMethods[static_cast<int>(value)]; }
std::string_view rawValue(SVTransaction::TextRenderType value) { return kTextRenderTypes[static_cast<int>(value)]; }

template <>
std::optional<SVConfirmationType> fromRawValue<SVConfirmationType>(std::string_view raw) {
    return lookUp<SVConfirmationType>(kConfirmationTypes, raw);
}
template <>
std::optional<SVQRType> fromRawValue<SVQRType>(std::string_view raw) {
    return lookUp<SVQRType>(kQRTypes, raw);
}
template <>
std::optional<SVExtendedAuthMethod> fromRawValue<SVExtendedAuthMethod>(std::string_view raw) {
    return lookUp<SVExtendedAuthMethod>(kExtendedAuthMethods, raw);
}
template <>
std::optional<SVTransaction::TextRenderType> fromRawValue<SVTransaction::TextRenderType>(std::string_view raw) {
    return lookUp<SVTransaction::TextRenderType>(kTextRenderTypes, raw);
}

void to_json(nlohmann::json& json, SVExtendedAuthMethod value) { json = std::string(rawValue(value)); }

SVTransaction::SVTransaction(std::string transactionID, std::string userID, std::string systemID,
                             std::int64_t confirmationCodeLength, bool extendedCheck,
                             SVConfirmationType confirmationType, std::optional<std::string> text,
                             std::optional<Bytes> downloadedBinaryData, TextRenderType textRenderType,
                             std::optional<std::string> version, std::optional<std::string> binaryDataURLString,
                             std::optional<bool> isAutosignEnabled)
    : transactionID_(std::move(transactionID)),
      userID_(std::move(userID)),
      systemID_(std::move(systemID)),
      confirmationCodeLength_(confirmationCodeLength),
      extendedCheck_(extendedCheck),
      confirmationType_(confirmationType),
      text_(std::move(text)),
      downloadedBinaryData_(std::move(downloadedBinaryData)),
      textRenderType_(textRenderType),
      version_(std::move(version)),
      binaryDataURLString_(std::move(binaryDataURLString)),
      isAutosignEnabled_(isAutosignEnabled) {}

SVTransaction SVTransaction::decode(const nlohmann::json& json) {
    KeyedDecoder decoder(json);
    auto transactionID = decoder.required<std::string>("transaction_id");
    auto userID = decoder.required<std::string>("user_id");
    auto systemID = decoder.required<std::string>("system_id");
    auto codeLength = decoder.required<std::int64_t>("confirm_code_length");
    if (codeLength < 0) codeLength = 6;
    bool extendedCheck = decoder.tryOptional<bool>("extended_check").value_or(false);
    auto text = decoder.tryOptional<std::string>("text");
    auto renderType = decoder.tryOptional<TextRenderType>("text_render_type").value_or(TextRenderType::raw);
    auto binaryDataURL = decoder.tryOptional<std::string>("binary_data_url");
    std::optional<Bytes> binaryData;
    if (auto encoded = decoder.tryOptional<std::string>("binary_data")) binaryData = base64Decode(*encoded);
    auto confirmationType =
        decoder.tryOptional<SVConfirmationType>("confirm_type").value_or(SVConfirmationType::online);
    auto autosign = decoder.tryOptional<bool>("autosign_enabled");
    auto version = decoder.tryOptional<std::string>("sv_transaction_version");
    return SVTransaction(std::move(transactionID), std::move(userID), std::move(systemID), codeLength,
                         extendedCheck, confirmationType, std::move(text), std::move(binaryData), renderType,
                         std::move(version), std::move(binaryDataURL), autosign);
}

SVTransaction SVTransaction::decode(std::string_view jsonText) { return decode(parseJSONDocument(jsonText)); }

}  // namespace svsdk
