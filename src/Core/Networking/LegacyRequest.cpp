#include "Core/Networking/LegacyRequest.h"

#include <array>
#include <utility>

#include <svsdk/SVError.h>

#include "Core/DeviceData/Analytics.h"
#include "Platform/HostState.h"
#include "Core/Diagnostics/Logger.h"
#include "Core/Networking/EventsHolder.h"
#include "Core/Networking/Request.h"
#include "Core/Security/Cryptor.h"
#include "Core/Security/Keychain.h"
#include "Core/Security/TLV.h"
#include "Core/Time/TimeManager.h"
#include "Core/Utilities/Encoding.h"
#include "Core/Utilities/JSON.h"

namespace svsdk {
namespace {

constexpr std::array<std::pair<LegacyRequestType, std::string_view>, 8> kRequestTypes{{
    {LegacyRequestType::registerFingerprint, "reg_fingerprint"},
    {LegacyRequestType::registerPublicKey, "reg_pubkey"},
    {LegacyRequestType::registerDeviceToken, "reg_device"},
    {LegacyRequestType::getTransactions, "get_transactions"},
    {LegacyRequestType::getTransactionData, "get_transaction_data"},
    {LegacyRequestType::confirmTransaction, "confirm_transaction"},
    {LegacyRequestType::declineTransaction, "decline_transaction"},
    {LegacyRequestType::eventPasswordInvalid, "password_invalid"},
}};

template <class T>
void put(nlohmann::ordered_json& json, const char* key, const std::optional<T>& value) {
    if (value) json[key] = *value;
}

Future<void> toVoid(const Future<Bytes>& future) {
    return future.transformed([](const Bytes&) {});
}

// A registration step's request: the user's system and user IDs, what the
// step fills in, and the step's code.
Future<void> sendRegistration(const APIInteractorLegacy& interactor, const SVUser& user, LegacyRequestType type,
                              LegacyRequestParameters parameters, const Bytes& code, const Bytes& authorizationKey) {
    parameters.systemID = user.systemID();
    parameters.userID = user.userID();
    parameters.authCode = hexString(code);
    return toVoid(legacy::send(interactor, user, type, std::move(parameters), authorizationKey));
}

}  // namespace

std::string_view rawValue(LegacyRequestType type) noexcept {
    for (const auto& [known, text] : kRequestTypes)
        if (known == type) return text;
    return {};
}

template <>
std::optional<LegacyRequestType> fromRawValue<LegacyRequestType>(std::string_view text) {
    for (const auto& [known, raw] : kRequestTypes)
        if (raw == text) return known;
    return std::nullopt;
}

void to_json(nlohmann::ordered_json& json, const LegacyRequestParameters& parameters) {
    json = nlohmann::ordered_json::object();
    put(json, "system_id", parameters.systemID);
    put(json, "user_id", parameters.userID);
    put(json, "fingerprint", parameters.fingerprint);
    put(json, "public_key", parameters.publicKey);
    put(json, "device_type", parameters.deviceType);
    put(json, "device_id", parameters.deviceID);
    put(json, "auth_code", parameters.authCode);
    put(json, "event", parameters.event);
    put(json, "device_info", parameters.deviceInfo);
    put(json, "transaction_status", parameters.transactionStatus);
    put(json, "transaction_id", parameters.transactionID);
    put(json, "confirm_code", parameters.confirmationCode);
    put(json, "decline_code", parameters.declineCode);
    put(json, "decline_reason", parameters.declineReason);
    put(json, "signature", parameters.signature);
}

void to_json(nlohmann::ordered_json& json, const LegacyRequestBody& body) {
    json = nlohmann::ordered_json::object();
    json["request_type"] = std::string(rawValue(body.type));
    json["request_version"] = body.version;
    json["request"] = body.parameters;
    json["$schema"] = body.schema;
}

namespace legacy {

Future<Bytes> send(const APIInteractorLegacy& interactor, const SVUser& user, LegacyRequestType type,
                   LegacyRequestParameters parameters, Bytes authorizationKey) {
    LegacyRequestBody body{interactor.requestSchemaName(), type, interactor.version(), std::move(parameters)};
    Request<LegacyRequestBody> request{Endpoint(interactor.endpointURL(), {}), HTTPMethod::post, std::move(body)};
    auto attached = attachingCollectedInfo(request, Analytics::collect(user.options().flags));
    return urlRequestFuture(attached, std::move(authorizationKey), true).chained([](URLRequest urlRequest) {
        return sendRequest(std::move(urlRequest));
    });
}

Future<void> registerFingerprint(const APIInteractorLegacy& interactor, const SVUser& user,
                                 const Bytes& authorizationKey) {
    if (!user.options().isWithFingerprint()) return Promise<void>::resolved();
    Logger::log(SVLogCategory::users, "Registering fingerprint");
    std::string fingerprint = Keychain::deviceFingerprint();
    Bytes code = Cryptor::authenticationCodeForFingerprint(fingerprint, user, authorizationKey);
    LegacyRequestParameters parameters;
    parameters.fingerprint = std::move(fingerprint);
    return sendRegistration(interactor, user, LegacyRequestType::registerFingerprint, std::move(parameters), code,
                            authorizationKey);
}

Future<void> registerPublicKey(const APIInteractorLegacy& interactor, const SVUser& user,
                               const std::optional<SecKey>& publicKey, const Bytes& authorizationKey) {
    if (!publicKey) return Promise<void>::resolved();
    Logger::log(SVLogCategory::users, "Registering public key");
    std::string keyText = publicKey->spkiHexString();
    Bytes code = Cryptor::authenticationCodeForPublicKey(keyText, user, authorizationKey);
    LegacyRequestParameters parameters;
    parameters.publicKey = std::move(keyText);
    return sendRegistration(interactor, user, LegacyRequestType::registerPublicKey, std::move(parameters), code,
                            authorizationKey);
}

std::string deviceIdentifier(const std::string& deviceToken) {
    return deviceToken + "####" + HostState::hostBundleIdentifier().value_or("");
}

Future<void> registerDeviceToken(const APIInteractorLegacy& interactor, const SVUser& user,
                                 const std::optional<std::string>& deviceToken, const Bytes& authorizationKey) {
    if (!deviceToken) return Promise<void>::resolved();
    Logger::log(SVLogCategory::users, "Registering device token");
    std::string identifier = deviceIdentifier(*deviceToken);
    double time = TimeManager::shared().discreteTimeInterval(user.authorizationCodeTSI());
    Bytes code = Cryptor::authenticationCode(TLV::deviceTokenRegistration(user, identifier, time), authorizationKey);
    LegacyRequestParameters parameters;
    parameters.deviceType = "iOS";
    parameters.deviceID = std::move(identifier);
    return sendRegistration(interactor, user, LegacyRequestType::registerDeviceToken, std::move(parameters), code,
                            authorizationKey);
}

nlohmann::json flattenTransactionData(nlohmann::json data) {
    if (!data.is_object()) return data;
    auto inner = data.find("transaction_data");
    if (inner == data.end() || !inner->is_object()) return data;
    // Copied out first: writing to `data` may move the inner object.
    const nlohmann::json nested = *inner;
    auto lift = [&](const char* from, const char* to) {
        auto member = nested.find(from);
        if (member == nested.end()) return;
        if (member->is_string() && !member->get_ref<const std::string&>().empty())
            data[to] = *member;
        else
            data.erase(to);
    };
    lift("transaction_text", "text");
    lift("binary_data", "binary_data");
    return data;
}

SVTransaction decodeTransactionDataAnswer(const Bytes& data, const std::string& transactionID,
                                          const std::string& userID, const std::string& systemID) {
    auto record = valueForKey<nlohmann::json>(answerObject(data), "transaction_data");
    return transactionFromServerRecord(flattenTransactionData(std::move(record)), transactionID, userID, systemID);
}

void unavailable(const std::string& message) {
    Logger::log(SVLogCategory::users, message);
    throw SVError::endpointUnavailable();
}

}  // namespace legacy
}  // namespace svsdk
