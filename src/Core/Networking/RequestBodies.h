#pragma once
// The JSON bodies of the v3 protocol. Each encodes as one object with its
// members in the order below; an absent optional member is left out (never
// null, never an empty placeholder), a required one is always written, the
// empty text included. Every body but `LoginTransactionsBody` carries the
// optional event that the attaching step sets.
#include <map>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "Core/DeviceData/Event.h"

namespace svsdk {

// "event_type" ("password_incorrect" or "key_deleted"), "event".
struct EventBody {
    std::optional<std::string> eventType;
    std::optional<Event> event;
};

// "event" only: {} without one.
struct EmptyBody {
    std::optional<Event> event;
};

// "decline_code", "decline_reason", "event".
struct DeclineBody {
    std::string declineCode;
    std::string declineReason;
    std::optional<Event> event;
};

// "template_type", "template_value", "event".
struct RegisterExtAuthTemplateBody {
    std::string templateType;
    std::string templateValue;
    std::optional<Event> event;
};

// "confirm_code", "signature", "scoring_settings" (provider -> the host's
// parameters), "event".
struct ConfirmationBody {
    using ScoringSettings = std::map<std::string, nlohmann::ordered_json>;
    std::optional<std::string> confirmationCode;
    std::string signature;
    std::optional<ScoringSettings> scoringSettings;
    std::optional<Event> event;
};

// "autosign_public_key", "event".
struct AutosignRegistrationBody {
    std::string autosignPublicKey;
    std::optional<Event> event;
};

// "device_type" (always "iOS"), "device_push_id", "app_id".
struct PushAddress {
    std::string deviceType = "iOS";
    std::string deviceToken;
    std::optional<std::string> bundleID;

    // Reads "device_push_id" (required text) and "app_id" (optional text);
    // "device_type" is not read. Throws SVDecodingError.
    static PushAddress decode(const nlohmann::json& json);
};

// Encoded as "public_key", "push_address", "device_fingerprint", "event".
struct UserRegistrationBody {
    std::optional<PushAddress> pushAddress;
    std::optional<std::string> publicKey;
    std::optional<std::string> fingerprint;
    std::optional<Event> event;
};

// "userId", "sessionId"; no event.
struct LoginTransactionsBody {
    std::string userID;
    std::string sessionID;
};

// "event", "signature", "salt", "hmac".
struct RenewResponseBody {
    std::optional<Event> event;
    std::string signature;
    std::string salt;
    std::string hmac;
};

void to_json(nlohmann::ordered_json& json, const EventBody& body);
void to_json(nlohmann::ordered_json& json, const EmptyBody& body);
void to_json(nlohmann::ordered_json& json, const DeclineBody& body);
void to_json(nlohmann::ordered_json& json, const RegisterExtAuthTemplateBody& body);
void to_json(nlohmann::ordered_json& json, const ConfirmationBody& body);
void to_json(nlohmann::ordered_json& json, const AutosignRegistrationBody& body);
void to_json(nlohmann::ordered_json& json, const PushAddress& address);
void to_json(nlohmann::ordered_json& json, const UserRegistrationBody& body);
void to_json(nlohmann::ordered_json& json, const LoginTransactionsBody& body);
void to_json(nlohmann::ordered_json& json, const RenewResponseBody& body);

}  // namespace svsdk
