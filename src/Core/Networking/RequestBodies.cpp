#include "Core/Networking/RequestBodies.h"

#include "Core/Utilities/JSONDecoding.h"

namespace svsdk {
namespace {

using Json = nlohmann::ordered_json;

template <class T>
void putIfPresent(Json& json, const char* key, const std::optional<T>& value) {
    if (value) json[key] = *value;
}

}  // namespace

PushAddress PushAddress::decode(const nlohmann::json& json) {
    KeyedDecoder decoder(json);
    PushAddress address;
    address.deviceToken = decoder.required<std::string>("device_push_id");
    address.bundleID = decoder.optional<std::string>("app_id");
    return address;
}

void to_json(Json& json, const EventBody& body) {
    json = Json::object();
    putIfPresent(json, "event_type", body.eventType);
    putIfPresent(json, "event", body.event);
}

void to_json(Json& json, const EmptyBody& body) {
    json = Json::object();
    putIfPresent(json, "event", body.event);
}

void to_json(Json& json, const DeclineBody& body) {
    json = Json::object();
    json["decline_code"] = body.declineCode;
    json["decline_reason"] = body.declineReason;
    putIfPresent(json, "event", body.event);
}

void to_json(Json& json, const RegisterExtAuthTemplateBody& body) {
    json = Json::object();
    json["template_type"] = body.templateType;
    json["template_value"] = body.templateValue;
    putIfPresent(json, "event", body.event);
}

void to_json(Json& json, const ConfirmationBody& body) {
    json = Json::object();
    putIfPresent(json, "confirm_code", body.confirmationCode);
    json["signature"] = body.signature;
    if (body.scoringSettings) {
        Json settings = Json::object();
        for (const auto& [provider, parameters] : *body.scoringSettings) settings[provider] = parameters;
        json["scoring_settings"] = std::move(settings);
    }
    putIfPresent(json, "event", body.event);
}

void to_json(Json& json, const AutosignRegistrationBody& body) {
    json = Json::object();
    json["autosign_public_key"] = body.autosignPublicKey;
    putIfPresent(json, "event", body.event);
}

void to_json(Json& json, const PushAddress& address) {
    json = Json::object();
    json["device_type"] = address.deviceType;
    json["device_push_id"] = address.deviceToken;
    putIfPresent(json, "app_id", address.bundleID);
}

void to_json(Json& json, const UserRegistrationBody& body) {
    json = Json::object();
    putIfPresent(json, "public_key", body.publicKey);
    putIfPresent(json, "push_address", body.pushAddress);
    putIfPresent(json, "device_fingerprint", body.fingerprint);
    putIfPresent(json, "event", body.event);
}

void to_json(Json& json, const LoginTransactionsBody& body) {
    json = Json::object();
    json["userId"] = body.userID;
    json["sessionId"] = body.sessionID;
}

void to_json(Json& json, const RenewResponseBody& body) {
    json = Json::object();
    putIfPresent(json, "event", body.event);
    json["signature"] = body.signature;
    json["salt"] = body.salt;
    json["hmac"] = body.hmac;
}

}  // namespace svsdk
