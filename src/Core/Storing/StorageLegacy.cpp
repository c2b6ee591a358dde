#include "Core/Storing/StorageLegacy.h"

#include <array>
#include <algorithm>

#include <svsdk/SVError.h>

#include "Core/Security/Cryptor.h"
#include "Core/Utilities/DateParsing.h"
#include "Core/Utilities/Encoding.h"
#include "Core/Storing/UserRows.h"
#include "Core/Utilities/URL.h"
#include "Core/Utilities/UUID.h"

namespace svsdk {
namespace {

constexpr double kTimeSamplingInterval = 180.0;

// A required hex attribute as bytes.
Bytes requiredHex(const std::optional<std::string>& text) {
    if (!text) throw SVError::missingRequestedData();
    auto bytes = bytesFromHex(*text);
    if (!bytes) throw SVError::missingRequestedData();
    return std::move(*bytes);
}

}  // namespace

std::vector<SVUser> StorageLegacy::users(const StoreContext& context) {
    return usersOfRows([&] { return context.fetchKeyEntities(); },
                       [&](const SVKeyEntity& entity) { return makeUser(entity); });
}

SVUser StorageLegacy::makeUser(const SVKeyEntity& entity) {
    std::string userID = textOrEmpty(entity.userID);
    if (!entity.systemID) throw SVError::missingRequestedData();
    if (!entity.interactionExternalURL || !URL::parse(*entity.interactionExternalURL))
        throw SVError::missingRequestedData();
    Bytes keys = requiredHex(entity.keyValue);
    Bytes privateKey = requiredHex(entity.privateKey);
    Bytes publicKey = requiredHex(entity.publicKey);
    if (!entity.expirationDateString) throw SVError::missingRequestedData();
    auto expiration = dateFromAnyFormat(*entity.expirationDateString);
    if (!expiration) throw SVError::missingRequestedData();
    std::int64_t flags = integerOrZero(entity.keyFlags);

    // A fingerprint marks generation 1 unless the row carries flags of its own.
    std::int64_t userVersion = 2;
    if (entity.fingerprint && !entity.fingerprint->empty() && flags == 0) {
        userVersion = 1;
        flags = UserFlags::withFingerprint.rawValue;
    }

    return SVUser(std::move(userID), *entity.systemID, SVUserOptions{UserFlags(flags)}, *entity.interactionExternalURL,
                  entity.keyName, entity.deviceToken, std::nullopt, std::nullopt, {}, kTimeSamplingInterval,
                  kTimeSamplingInterval, storageID(entity), userVersion,
                  UserKeysContent::legacyStoredEncrypted(std::move(keys), std::move(privateKey), std::move(publicKey)),
                  *expiration);
}

std::optional<SVKeyEntity> StorageLegacy::keyEntity(const std::string& keyID, const StoreContext& context) {
    try {
        if (auto entity = context.fetchKeyEntity(keyID)) return entity;
        // Rows without a keyID are known by their derived identifier.
        for (auto& entity : context.fetchKeyEntities())
            if (!entity.keyID && storageID(entity) == keyID) return std::move(entity);
    } catch (...) {
        // A failed fetch finds nothing.
    }
    return std::nullopt;
}

std::string StorageLegacy::storageID(const SVKeyEntity& entity) {
    if (entity.keyID) return *entity.keyID;
    std::string source =
        "SVKeyEntity:" + std::to_string(entity.objectID.value_or(0)) + ":" + textOrEmpty(entity.keyValue);
    Bytes digest = Cryptor::sha256(source.data(), source.size());
    std::array<std::uint8_t, 16> bytes{};
    std::copy_n(digest.begin(), bytes.size(), bytes.begin());
    return uuidString(bytes);
}

}  // namespace svsdk
