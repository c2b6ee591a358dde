#pragma once
// A user: a key container that a server system issued to this device.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "SVBytes.h"
#include "SVDate.h"
#include "SVTransaction.h"
#include "SVUserOptions.h"

namespace svsdk {

// Where a user's secret keys are and in which form.
class UserKeysContent {
public:
    // The key content as the server sent it, still encrypted under the activation code.
    struct ImportedEncrypted {
        Bytes content;
        friend bool operator==(const ImportedEncrypted&, const ImportedEncrypted&) = default;
    };
    // The two secret keys, received in plain.
    struct ImportedDecrypted {
        Bytes kHMAC;
        Bytes kAuth;
        friend bool operator==(const ImportedDecrypted&, const ImportedDecrypted&) = default;
    };
    // A user of the legacy store.
    struct LegacyStoredEncrypted {
        Bytes keys;
        Bytes privateKey;
        Bytes publicKey;
        friend bool operator==(const LegacyStoredEncrypted&, const LegacyStoredEncrypted&) = default;
    };
    // The keys are in the current store, protected at rest.
    struct StoredEncrypted {
        friend bool operator==(const StoredEncrypted&, const StoredEncrypted&) = default;
    };
    using Value = std::variant<ImportedEncrypted, ImportedDecrypted, LegacyStoredEncrypted, StoredEncrypted>;

    static UserKeysContent importedEncrypted(Bytes content) { return UserKeysContent(ImportedEncrypted{std::move(content)}); }
    static UserKeysContent importedDecrypted(Bytes kHMAC, Bytes kAuth) {
        return UserKeysContent(ImportedDecrypted{std::move(kHMAC), std::move(kAuth)});
    }
    static UserKeysContent legacyStoredEncrypted(Bytes keys, Bytes privateKey, Bytes publicKey) {
        return UserKeysContent(LegacyStoredEncrypted{std::move(keys), std::move(privateKey), std::move(publicKey)});
    }
    static UserKeysContent storedEncrypted() { return UserKeysContent(StoredEncrypted{}); }

    const Value& value() const { return value_; }
    template <class T>
    bool is() const {
        return std::holds_alternative<T>(value_);
    }
    // The case's payload, or null for another case.
    template <class T>
    const T* get() const {
        return std::get_if<T>(&value_);
    }

    friend bool operator==(const UserKeysContent&, const UserKeysContent&) = default;

private:
    explicit UserKeysContent(Value value) : value_(std::move(value)) {}
    Value value_;
};

class SVUser {
public:
    // Memberwise; no checks.
    SVUser(std::string userID, std::string systemID, SVUserOptions options, std::string interactionURL,
           std::optional<std::string> name, std::optional<std::string> registeredDeviceToken,
           std::optional<std::int64_t> apiVersion, std::optional<std::string> systemName,
           std::vector<SVExtendedAuthMethod> extAuthMethods, double confirmationCodeTSI, double authorizationCodeTSI,
           std::string storageID, std::int64_t userVersion, UserKeysContent keysContent, double expirationTimestamp);

    // Decodes the server's JSON form of a user, with a new storage identifier.
    // Required: "user_id", "system_id" (texts), "key_flags" (integer),
    // "expiration_timestamp" (number), "sv_external_url" (text),
    // "sv_key_version" (integer); a missing, null or mistyped one throws
    // SVDecodingError. The keys come from "key_content" (Base64 of kHMAC
    // followed by kAuth) or else "encrypted_key_content" (Base64); when
    // neither gives key bytes, SVError::emptyKeys. An interaction URL that
    // does not parse throws SVError::missingInteractionURL. Optional members
    // ("sv_api_version", "system_name", "ext_auth_available_methods",
    // "system_settings") never fail. The text form throws SVDecodingError
    // (dataCorrupted) when it is not valid JSON.
    static SVUser decode(const nlohmann::json& json);
    static SVUser decode(std::string_view jsonText);
    static SVUser decode(const std::string& jsonText) { return decode(std::string_view(jsonText)); }
    static SVUser decode(const char* jsonText) { return decode(std::string_view(jsonText)); }

    // The user's identifier at the server system.
    const std::string& userID() const { return userID_; }
    const std::string& systemID() const { return systemID_; }
    const SVUserOptions& options() const { return options_; }
    // Base URL of the user's server.
    const std::string& interactionURL() const { return interactionURL_; }
    // Display name chosen on the device.
    const std::optional<std::string>& name() const { return name_; }
    void setName(std::optional<std::string> name) { name_ = std::move(name); }
    // Push token last registered with the server.
    const std::optional<std::string>& registeredDeviceToken() const { return registeredDeviceToken_; }
    void setRegisteredDeviceToken(std::optional<std::string> token) { registeredDeviceToken_ = std::move(token); }
    const std::optional<std::int64_t>& apiVersion() const { return apiVersion_; }
    const std::optional<std::string>& systemName() const { return systemName_; }
    const std::vector<SVExtendedAuthMethod>& extAuthMethods() const { return extAuthMethods_; }
    // Time steps of confirmation codes and of authentication codes, seconds.
    double confirmationCodeTSI() const { return confirmationCodeTSI_; }
    void setConfirmationCodeTSI(double seconds) { confirmationCodeTSI_ = seconds; }
    double authorizationCodeTSI() const { return authorizationCodeTSI_; }
    void setAuthorizationCodeTSI(double seconds) { authorizationCodeTSI_ = seconds; }
    // Local identifier of this copy of the user.
    const std::string& storageID() const { return storageID_; }
    // 3 for the current store, 1 or 2 for the legacy store.
    std::int64_t userVersion() const { return userVersion_; }
    const UserKeysContent& keysContent() const { return keysContent_; }
    // Seconds since 1970.
    double expirationTimestamp() const { return expirationTimestamp_; }

    // SHA-256 of userID followed by storageID, 64 lowercase hex characters.
    std::string uniqueID() const;
    SVDate expirationDate() const { return SVDate::fromTimeInterval(expirationTimestamp_); }
    // Expired once the expiry day (on the device's calendar and clock) has passed.
    bool isExpired() const;
    bool isExpired(SVDate now) const;
    // Any keys content but `importedEncrypted`.
    bool isActivated() const { return !keysContent_.is<UserKeysContent::ImportedEncrypted>(); }
    // A stored user whose secrets are unlocked in the secret cache.
    bool isReadyToSign() const;

    // The user's signing public key as hex text: for a user of the current
    // storage the DER SubjectPublicKeyInfo of its key pair, for a legacy user
    // the key text kept with it. Absent when there is none.
    std::optional<std::string> publicKey() const;
    // Whether `publicKey` is present.
    bool hasKeyPair() const;
    // A user of the current storage with an autosign key pair.
    bool isRegisteredToAutosign() const;
    // kAuth, for the SDK's own requests: the cached one, or else the stored
    // one unwrapped with the device key (no password needed). Throws
    // SVError::missingKAuth when the user has neither, or the device key's
    // SVError::secureEnclaveError.
    Bytes authorizationKey() const;

    friend bool operator==(const SVUser&, const SVUser&) = default;

private:
    std::string userID_;
    std::string systemID_;
    SVUserOptions options_;
    std::string interactionURL_;
    std::optional<std::string> name_;
    std::optional<std::string> registeredDeviceToken_;
    std::optional<std::int64_t> apiVersion_;
    std::optional<std::string> systemName_;
    std::vector<SVExtendedAuthMethod> extAuthMethods_;
    double confirmationCodeTSI_;
    double authorizationCodeTSI_;
    std::string storageID_;
    std::int64_t userVersion_;
    UserKeysContent keysContent_;
    double expirationTimestamp_;
};

// Carries no behaviour and cannot be made by a host.
class SVUserRestore {
private:
    SVUserRestore() = default;
};

}  // namespace svsdk
