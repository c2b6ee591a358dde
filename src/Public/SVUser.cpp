#include <svsdk/SVUser.h>

#include <cmath>
#include <ctime>
#include <set>

#include <nlohmann/json.hpp>

#include "Core/Security/Cryptor.h"
#include "Core/Security/HandlesManager.h"
#include "Core/Time/TimeManager.h"
#include "Core/Utilities/Encoding.h"
#include "Core/Utilities/JSONDecoding.h"
#include "Core/Utilities/URL.h"
#include "Core/Utilities/UUID.h"

namespace svsdk {
namespace {

constexpr double kDefaultTimeSamplingInterval = 180.0;

// Year and day of the year of `date` on the device's calendar and time zone.
std::optional<std::pair<int, int>> yearAndDay(SVDate date) {
    double seconds = std::floor(date.timeIntervalSince1970);
    if (!std::isfinite(seconds) || seconds < -1e15 || seconds > 1e15) return std::nullopt;
    auto time = static_cast<std::time_t>(seconds);
    std::tm parts{};
    if (!::localtime_r(&time, &parts)) return std::nullopt;
    return std::make_pair(parts.tm_year, parts.tm_yday);
}

// The bytes of a Base64 text, or nothing when the text is not Base64 or
// holds no bytes.
std::optional<Bytes> keyBytes(const KeyedDecoder& decoder, std::string_view key) {
    auto text = decoder.tryOptional<std::string>(key);
    if (!text) return std::nullopt;
    auto bytes = base64Decode(*text);
    secureWipe(*text);
    if (!bytes || bytes->empty()) return std::nullopt;
    return bytes;
}

std::optional<UserKeysContent> decodeKeysContent(const KeyedDecoder& decoder) {
    if (auto plain = keyBytes(decoder, "key_content")) {
        // kHMAC is the first half, kAuth the last; an odd middle byte belongs to neither.
        std::size_t half = plain->size() / 2;
        if (half > 0)
            return UserKeysContent::importedDecrypted(Bytes(plain->begin(), plain->begin() + half),
                                                      Bytes(plain->end() - half, plain->end()));
    }
    if (auto encrypted = keyBytes(decoder, "encrypted_key_content"))
        return UserKeysContent::importedEncrypted(std::move(*encrypted));
    return std::nullopt;
}

std::vector<SVExtendedAuthMethod> decodeExtAuthMethods(const KeyedDecoder& decoder) {
    std::vector<SVExtendedAuthMethod> methods;
    auto array = decoder.tryOptional<nlohmann::json::array_t>("ext_auth_available_methods");
    if (!array) return methods;
    std::set<std::string> distinct;
    for (const auto& element : *array) {
        if (!element.is_string()) return methods;  // not an array of texts: as if missing
        distinct.insert(element.get<std::string>());
    }
    for (const auto& text : distinct)
        if (auto method = fromRawValue<SVExtendedAuthMethod>(text)) methods.push_back(*method);
    return methods;
}

}  // namespace

SVUser::SVUser(std::string userID, std::string systemID, SVUserOptions options, std::string interactionURL,
               std::optional<std::string> name, std::optional<std::string> registeredDeviceToken,
               std::optional<std::int64_t> apiVersion, std::optional<std::string> systemName,
               std::vector<SVExtendedAuthMethod> extAuthMethods, double confirmationCodeTSI,
               double authorizationCodeTSI, std::string storageID, std::int64_t userVersion,
               UserKeysContent keysContent, double expirationTimestamp)
    : userID_(std::move(userID)),
      systemID_(std::move(systemID)),
      options_(options),
      interactionURL_(std::move(interactionURL)),
      name_(std::move(name)),
      registeredDeviceToken_(std::move(registeredDeviceToken)),
      apiVersion_(apiVersion),
      systemName_(std::move(systemName)),
      extAuthMethods_(std::move(extAuthMethods)),
      confirmationCodeTSI_(confirmationCodeTSI),
      authorizationCodeTSI_(authorizationCodeTSI),
      storageID_(std::move(storageID)),
      userVersion_(userVersion),
      keysContent_(std::move(keysContent)),
      expirationTimestamp_(expirationTimestamp) {}

SVUser SVUser::decode(const nlohmann::json& json) {
    KeyedDecoder decoder(json);
    auto userID = decoder.required<std::string>("user_id");
    auto systemID = decoder.required<std::string>("system_id");
    auto flags = decoder.required<std::int64_t>("key_flags");
    auto expirationTimestamp = decoder.required<double>("expiration_timestamp");
    auto keysContent = decodeKeysContent(decoder);
    if (!keysContent) throw SVError::emptyKeys();
    auto interactionURL = decoder.required<std::string>("sv_external_url");
    if (!URL::parse(interactionURL)) throw SVError::missingInteractionURL();
    auto userVersion = decoder.required<std::int64_t>("sv_key_version");
    auto apiVersion = decoder.tryOptional<std::int64_t>("sv_api_version");
    auto systemName = decoder.tryOptional<std::string>("system_name");
    auto extAuthMethods = decodeExtAuthMethods(decoder);

    double confirmationCodeTSI = kDefaultTimeSamplingInterval;
    double authorizationCodeTSI = kDefaultTimeSamplingInterval;
    if (decoder.tryOptional<nlohmann::json::object_t>("system_settings")) {
        KeyedDecoder nested = decoder.nested("system_settings");
        confirmationCodeTSI =
            nested.tryOptional<double>("confirm_code_time_sampling_interval").value_or(confirmationCodeTSI);
        authorizationCodeTSI =
            nested.tryOptional<double>("auth_code_time_sampling_interval").value_or(authorizationCodeTSI);
    }

    return SVUser(std::move(userID), std::move(systemID), SVUserOptions{UserFlags(flags)}, std::move(interactionURL),
                  std::nullopt, std::nullopt, apiVersion, std::move(systemName), std::move(extAuthMethods),
                  confirmationCodeTSI, authorizationCodeTSI, makeUUIDString(), userVersion, std::move(*keysContent),
                  expirationTimestamp);
}

SVUser SVUser::decode(std::string_view jsonText) { return decode(parseJSONDocument(jsonText)); }

std::string SVUser::uniqueID() const {
    std::string text = userID_ + storageID_;
    return hexString(Cryptor::sha256(text.data(), text.size()));
}

bool SVUser::isExpired() const { return isExpired(SVDate::fromTimeInterval(TimeManager::deviceClock())); }

bool SVUser::isExpired(SVDate now) const {
    auto expiry = yearAndDay(expirationDate());
    auto today = yearAndDay(now);
    if (!expiry || !today) return false;
    return *expiry < *today;
}

bool SVUser::isReadyToSign() const {
    if (!keysContent_.is<UserKeysContent::StoredEncrypted>()) return false;
    auto& handles = HandlesManager::shared();
    if (!handles.handle(HandleType::hmac, *this)) return false;
    return userVersion_ == 3 || handles.handle(HandleType::auth, *this).has_value();
}

}  // namespace svsdk
