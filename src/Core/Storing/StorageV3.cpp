#include "Core/Storing/StorageV3.h"

#include <svsdk/SVError.h>

#include "Core/Diagnostics/Logger.h"
#include "Core/Security/Cryptor.h"
#include "Core/Security/HandlesManager.h"
#include "Core/Security/SecureEnclave.h"
#include "Core/Storing/UserRows.h"
#include "Core/Utilities/URL.h"

namespace svsdk {
namespace {

constexpr double kTimeSamplingInterval = 180.0;
constexpr std::int64_t kStorageVersion = 3;

void log(std::string_view message) { Logger::log(SVLogCategory::storage, message); }

}  // namespace

std::vector<SVUser> StorageV3::fetchUsers(const StoreContext& context) {
    return usersOfRows([&] { return context.fetchUserEntities(); },
                       [&](const SVUserEntity& entity) { return makeUser(entity); });
}

SVUser StorageV3::makeUser(const SVUserEntity& entity) {
    if (!entity.interactionURL || !URL::parse(*entity.interactionURL)) throw SVError::internalError();
    return SVUser(textOrEmpty(entity.userID), textOrEmpty(entity.systemID),
                  SVUserOptions{UserFlags(integerOrZero(entity.flags))}, *entity.interactionURL,
                  textOrEmpty(entity.name), entity.registeredDeviceToken, integerOrZero(entity.apiVersion),
                  entity.systemName, {}, kTimeSamplingInterval, kTimeSamplingInterval, textOrEmpty(entity.storageID),
                  integerOrZero(entity.keyVersion), UserKeysContent::storedEncrypted(), entity.expirationTimestamp);
}

std::optional<SVUserEntity> StorageV3::fetchUserEntity(const std::string& storageID, const StoreContext& context) {
    try {
        return context.fetchUserEntity(storageID);
    } catch (...) {
        return std::nullopt;  // a failed fetch finds nothing
    }
}

StorageV3::Saved StorageV3::save(StoreContext& context, const SVUser& user, const std::string& name,
                                 const std::string& password) {
    SVUserEntity entity;
    Saved saved = fill(entity, user, name, password);
    log("Saving user in DB");
    context.insert(entity);
    return saved;
}

StorageV3::Saved StorageV3::fill(SVUserEntity& entity, const SVUser& user, const std::string& name,
                                 const std::string& password) {
    log("Creating the user with id: " + user.userID());
    auto& handles = HandlesManager::shared();
    auto kAuth = handles.handle(HandleType::auth, user);
    auto kHMAC = handles.handle(HandleType::hmac, user);
    if (!kAuth || !kHMAC) throw SVError::userIsNotActivated();

    // Everything that can fail comes before the first attribute is set.
    SecKey local = localPublicKey();
    log("Encrypting kAuth");
    Bytes keyAuth = wrapAuthorizationKey(*kAuth, local);
    log("Encrypting kHMAC");
    Bytes keyHMAC = wrapHMACKey(*kHMAC, user.userID(), password, local);

    entity.name = name;
    entity.storageID = user.storageID();
    entity.userID = user.userID();
    entity.systemID = user.systemID();
    entity.interactionURL = user.interactionURL();
    entity.systemName = user.systemName();
    entity.flags = user.options().flags.rawValue;
    entity.expirationTimestamp = user.expirationTimestamp();
    Saved saved;
    if (auto token = handles.handle(HandleType::deviceToken, user)) {
        entity.registeredDeviceToken = stringOf(*token);
        saved.tookDeviceToken = std::move(*token);
    }
    entity.keyVersion = kStorageVersion;
    if (user.apiVersion()) entity.apiVersion = *user.apiVersion();
    entity.keyAuth = std::move(keyAuth);
    entity.keyHMAC = std::move(keyHMAC);
    return saved;
}

SecKey StorageV3::localPublicKey() { return SecureEnclave::local().retrieveKeyPair("local").publicKey; }

Bytes StorageV3::wrapAuthorizationKey(const Bytes& kAuth, const SecKey& local) {
    return SecureEnclave::encrypt(kAuth, local);
}

Bytes StorageV3::wrapHMACKey(const Bytes& kHMAC, const std::string& userID, const std::string& password,
                             const SecKey& local) {
    return SecureEnclave::encrypt(Cryptor::encrypt(kHMAC, userID, password), local);
}

}  // namespace svsdk
