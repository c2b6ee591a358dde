#pragma once
// The two entities of the persistent store, as plain values. A member left
// unset is NULL in the store and reads back unset. Texts, numbers and bytes
// are optional; the scalar members (a double, a boolean) read back 0 / false
// when their column holds NULL.
//
// Read-back rules of the storage code: a text read as plain text gives "" when
// unset and a number read as an integer gives 0 (`textOrEmpty`, `integerOrZero`).
#include <cstdint>
#include <optional>
#include <string>

#include <svsdk/SVBytes.h>

namespace svsdk {

// A user stored in the current form.
struct SVUserEntity {
    // The row in the store: set by insert and by every fetch, absent on a new
    // entity. Update and delete find the row by it.
    std::optional<std::int64_t> objectID;

    std::optional<std::int64_t> apiVersion;
    double expirationTimestamp = 0;  // seconds since 1970
    std::optional<std::int64_t> flags;
    std::optional<std::string> interactionURL;
    std::optional<Bytes> keyAuth;
    std::optional<Bytes> keyHMAC;
    std::optional<std::int64_t> keyVersion;
    std::optional<std::string> name;
    std::optional<std::string> registeredDeviceToken;
    std::optional<std::string> storageID;
    std::optional<std::string> systemID;
    std::optional<std::string> systemName;
    std::optional<std::string> userID;

    friend bool operator==(const SVUserEntity&, const SVUserEntity&) = default;
};

// A user stored by older versions of the SDK; only read and deleted.
struct SVKeyEntity {
    std::optional<std::int64_t> objectID;

    std::optional<std::string> deviceToken;
    std::optional<std::string> encryptingAlgorithm;
    std::optional<std::string> expirationDateString;
    std::optional<std::string> fingerprint;
    bool hwEncrypted = false;
    std::optional<std::string> interactionExternalURL;
    std::optional<std::int64_t> keyFlags;
    std::optional<std::string> keyID;
    std::optional<std::string> keyName;
    std::optional<std::int64_t> keyType;
    std::optional<std::string> keyValue;
    std::optional<std::string> onlineConfirmURL;
    std::optional<std::string> privateKey;
    std::optional<std::string> publicKey;
    std::optional<std::string> systemID;
    std::optional<std::string> userID;

    friend bool operator==(const SVKeyEntity&, const SVKeyEntity&) = default;
};

// A text attribute read as plain text: "" when unset.
inline std::string textOrEmpty(const std::optional<std::string>& value) { return value.value_or(std::string()); }
// A number attribute read as an integer: 0 when unset.
inline std::int64_t integerOrZero(const std::optional<std::int64_t>& value) { return value.value_or(0); }

}  // namespace svsdk
