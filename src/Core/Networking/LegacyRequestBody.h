#pragma once
// The legacy protocol's request envelope: one JSON document posted to
// "jsonrequest_v<version>", naming what it asks for in "request_type" and
// carrying every argument in one parameter record under "request".
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include <svsdk/SVRawValue.h>

#include "Core/DeviceData/DeviceInfo.h"
#include "Core/DeviceData/Event.h"

namespace svsdk {

enum class LegacyRequestType {
    registerFingerprint,   // "reg_fingerprint"
    registerPublicKey,     // "reg_pubkey"
    registerDeviceToken,   // "reg_device"
    getTransactions,       // "get_transactions"
    getTransactionData,    // "get_transaction_data"
    confirmTransaction,    // "confirm_transaction"
    declineTransaction,    // "decline_transaction"
    eventPasswordInvalid,  // "password_invalid"
};

std::string_view rawValue(LegacyRequestType type) noexcept;
template <>
std::optional<LegacyRequestType> fromRawValue<LegacyRequestType>(std::string_view rawValue);

// Every argument any request type takes; each request type fills its own
// few (the event and device data come from the attaching step). Written in
// the order "system_id", "user_id", "fingerprint", "public_key",
// "device_type", "device_id", "auth_code", "event", "device_info",
// "transaction_status", "transaction_id", "confirm_code", "decline_code",
// "decline_reason", "signature"; an absent field is left out, never null.
struct LegacyRequestParameters {
    std::optional<std::string> systemID;
    std::optional<std::string> userID;
    std::optional<std::string> fingerprint;
    std::optional<std::string> publicKey;
    std::optional<std::string> deviceType;
    std::optional<std::string> deviceID;
    std::optional<std::vector<std::string>> transactionStatus;
    std::optional<std::string> transactionID;
    std::optional<std::string> confirmationCode;
    std::optional<std::string> declineCode;
    std::optional<std::string> declineReason;
    std::optional<std::string> signature;
    std::optional<std::string> authCode;
    std::optional<LegacyEvent> event;
    std::optional<DeviceInfo> deviceInfo;
};

// "request_type", "request_version", "request", "$schema": always all four.
struct LegacyRequestBody {
    std::string schema;
    LegacyRequestType type = LegacyRequestType::getTransactions;
    std::int64_t version = 0;
    LegacyRequestParameters parameters;
};

void to_json(nlohmann::ordered_json& json, const LegacyRequestParameters& parameters);
void to_json(nlohmann::ordered_json& json, const LegacyRequestBody& body);

}  // namespace svsdk
