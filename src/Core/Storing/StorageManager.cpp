#include "Core/Storing/StorageManager.h"

#include <svsdk/SVError.h>
#include <svsdk/SVResult.h>

#include "Core/Diagnostics/Logger.h"
#include "Core/Security/HandlesManager.h"
#include "Core/Security/SecureEnclave.h"

namespace svsdk {
namespace {

void log(std::string_view message) { Logger::log(SVLogCategory::storage, message); }

// A look-up finds nothing in a store that cannot be read.
template <class Body>
auto lookUp(CoreDataManager& store, Body&& body) -> std::invoke_result_t<Body&, StoreContext&> {
    try {
        return store.performTransaction(std::forward<Body>(body));
    } catch (...) {
        return {};
    }
}

}  // namespace

// Secret handles an operation drops once its transaction has committed.
struct StorageManager::Cleanup {
    std::optional<Bytes> deviceToken;  // the pending token that was stored
};

StorageManager::StorageManager(CoreDataManager& store) : store_(store) {}

StorageManager& StorageManager::shared() {
    // Never destroyed: storage work may still run while the process exits.
    static auto* manager = new StorageManager();
    return *manager;
}

void StorageManager::store(const SVUser& user, const std::optional<std::string>& name,
                           const std::optional<std::string>& password) {
    Cleanup cleanup = store_.performTransaction(
        [&](StoreContext& context) { return storeInTransaction(context, user, name, password); });
    step("committed");
    finish(user, cleanup);
}

StorageManager::Cleanup StorageManager::storeInTransaction(StoreContext& context, const SVUser& user,
                                                           const std::optional<std::string>& name,
                                                           const std::optional<std::string>& password) {
    if (auto entity = currentStorage_.fetchUserEntity(user.storageID(), context))
        return updateSavedUser(context, std::move(*entity), user, name, password);
    // Its row was removed after it was read: storing it now would bring back
    // a user without its key pairs.
    if (user.keysContent().is<UserKeysContent::StoredEncrypted>()) {
        context.requireStore();
        throw SVError::userNotFound();
    }
    if (!password || password->empty()) throw SVError::emptyPassword();
    if (!validate(user.options().passwordPolicy(), *password)) throw SVError::passwordDoesNotMatchTheConditions();
    if (!name) throw SVError::emptyName();
    StorageV3::Saved saved = currentStorage_.save(context, user, *name, *password);
    return Cleanup{std::move(saved.tookDeviceToken)};
}

StorageManager::Cleanup StorageManager::updateSavedUser(StoreContext& context, SVUserEntity entity,
                                                        const SVUser& user, const std::optional<std::string>& name,
                                                        const std::optional<std::string>& password) {
    auto& handles = HandlesManager::shared();
    Cleanup cleanup;
    if (password) {
        log("Updating the user's password");
        // Every policy refuses the empty password.
        if (!validate(user.options().passwordPolicy(), *password))
            throw SVError::passwordDoesNotMatchTheConditions();
        SecKey local = StorageV3::localPublicKey();
        auto kHMAC = handles.handle(HandleType::hmac, user);
        if (!kHMAC) throw SVError::handleInvalid();
        entity.keyHMAC = StorageV3::wrapHMACKey(*kHMAC, user.userID(), *password, local);
    }
    if (auto token = handles.handle(HandleType::deviceToken, user)) {
        log("Updating the device token");
        entity.registeredDeviceToken = stringOf(*token);
        cleanup.deviceToken = std::move(*token);
    }
    if (name) {
        log("Updating the user's name");
        entity.name = *name;
    }
    step("computed");
    log("Saving updated user's information in DB");
    context.update(entity);
    step("written");
    return cleanup;
}

void StorageManager::finish(const SVUser& user, const Cleanup& cleanup) {
    auto& handles = HandlesManager::shared();
    // A token that replaced the stored one meanwhile is still pending: keep it.
    if (cleanup.deviceToken) handles.removeIfEqual(HandleType::deviceToken, user, *cleanup.deviceToken);
    handles.remove(HandleType::auth, user);
    handles.remove(HandleType::hmac, user);
}

void StorageManager::remove(const SVUser& user) {
    store_.performTransaction([&](StoreContext& context) { removeInTransaction(context, user); });
    if (user.userVersion() != currentStorageVersion) return;
    SecureEnclave::users().removeKeyPair(user.uniqueID());
    SecureEnclave::autosign().removeKeyPair(user.uniqueID());
}

void StorageManager::removeInTransaction(StoreContext& context, const SVUser& user) {
    log("Removing the user from DB");
    switch (user.userVersion()) {
        case 1:
        case 2:
            if (auto entity = legacyStorage_.keyEntity(user.storageID(), context)) context.remove(*entity);
            break;
        case 3:
            if (auto entity = currentStorage_.fetchUserEntity(user.storageID(), context)) context.remove(*entity);
            break;
        default:
            throw SVError::unsupportedKeyVersion();
    }
    context.requireStore();
}

void StorageManager::storeRenewed(const SVUser& user, const UserKeys& keys, const std::string& password,
                                  const SVUser& renewed, const std::function<void()>& beforeCommit) {
    log("Updating the user " + renewed.userID() + " in storage");
    store_.performTransaction([&](StoreContext& context) {
        auto entity = currentStorage_.fetchUserEntity(user.storageID(), context);
        if (!entity) {
            context.requireStore();  // a store that cannot be read reports its own error
            throw SVError::userNotFound();
        }
        // storageID and name stay.
        entity->userID = renewed.userID();
        entity->systemID = renewed.systemID();
        entity->systemName = renewed.systemName();
        entity->interactionURL = renewed.interactionURL();
        entity->flags = renewed.options().flags.rawValue;
        entity->expirationTimestamp = renewed.expirationTimestamp();
        entity->registeredDeviceToken = user.registeredDeviceToken();
        entity->keyVersion = currentStorageVersion;
        if (renewed.apiVersion()) entity->apiVersion = *renewed.apiVersion();
        SecKey local = StorageV3::localPublicKey();
        log("Encrypting kAuth");
        entity->keyAuth = StorageV3::wrapAuthorizationKey(keys.kAuth, local);
        log("Encrypting kHMAC");
        entity->keyHMAC = StorageV3::wrapHMACKey(keys.kHMAC, renewed.userID(), password, local);
        step("computed");
        context.update(*entity);
        if (beforeCommit) beforeCommit();
        step("written");
    });
    step("committed");
    SecureEnclave::autosign().removeKeyPair(user.uniqueID());
    auto& handles = HandlesManager::shared();
    handles.remove(HandleType::password, user);
    handles.remove(HandleType::auth, user);
    handles.remove(HandleType::hmac, user);
}

void StorageManager::transferLegacyUser(const SVUser& user, const std::string& password) {
    log("Transfering user to the current storage");
    const auto* legacy = user.keysContent().get<UserKeysContent::LegacyStoredEncrypted>();
    if (!legacy) {
        Logger::error(SVLogCategory::storage, "Unable to transfer: missing keys content");
        throw SVError::emptyKeys();
    }
    std::optional<Bytes> imported;  // the key pair this transfer imported
    Cleanup cleanup;
    try {
        log("Getting legacy local private key");
        SecKey legacyKey = SecureEnclave::legacy().legacyPrivateKey();
        log("Transfering legacy kHMAC and kAuth");
        UserKeys keys = Cryptor::decryptKeys(SecureEnclave::decrypt(legacy->keys, legacyKey), user.userID(), password);
        auto& handles = HandlesManager::shared();
        handles.add(keys.kHMAC, HandleType::hmac, user);
        handles.add(keys.kAuth, HandleType::auth, user);

        // Both parts are always read: an empty one fails to decrypt or to
        // import, and the user is not moved without its signing pair.
        log("Transfering legacy public and private key");
        Bytes privatePart =
            Cryptor::decrypt(SecureEnclave::decrypt(legacy->privateKey, legacyKey), user.userID(), password);
        Bytes key = legacy->publicKey;
        key.insert(key.end(), privatePart.begin(), privatePart.end());
        // The same key left by a transfer that was cut short would refuse the
        // import; a pair of another origin under this label stays and does.
        SecureEnclave::users().removeImportedKeyPair(user.uniqueID(), key);
        SecureEnclave::users().importLegacyPrivateKey(key, SecureEnclave::applicationLabel(user.uniqueID()));
        imported = std::move(key);

        // The new row and the deletion of the legacy one are kept together or not at all.
        cleanup = store_.performTransaction([&](StoreContext& context) {
            log("Storing legacy user to the current storage");
            Cleanup stored = storeInTransaction(context, user, user.name(), password);
            log("Removing legacy user from the legacy storage");
            removeInTransaction(context, user);
            return stored;
        });
    } catch (...) {
        if (imported) SecureEnclave::users().removeImportedKeyPair(user.uniqueID(), *imported);
        Logger::error(SVLogCategory::storage, "Transfering error: " + SVFailure::fromCurrentException().description());
        throw SVError::transferStorage();
    }
    finish(user, cleanup);
}

std::optional<SVUserEntity> StorageManager::userEntity(const SVUser& user) {
    return lookUp(store_,
                  [&](StoreContext& context) { return currentStorage_.fetchUserEntity(user.storageID(), context); });
}

void StorageManager::performWhileStored(const SVUser& user, const std::function<void()>& body) {
    store_.performTransaction([&](StoreContext& context) {
        if (!currentStorage_.fetchUserEntity(user.storageID(), context)) {
            context.requireStore();
            throw SVError::userNotFound();
        }
        body();
    });
}

std::optional<SVKeyEntity> StorageManager::legacyKeyEntity(const SVUser& user) {
    return lookUp(store_, [&](StoreContext& context) { return legacyStorage_.keyEntity(user.storageID(), context); });
}

std::vector<SVUser> StorageManager::users() {
    return lookUp(store_, [&](StoreContext& context) {
        std::vector<SVUser> users = currentStorage_.fetchUsers(context);
        std::vector<SVUser> legacy = legacyStorage_.users(context);
        users.insert(users.end(), std::make_move_iterator(legacy.begin()), std::make_move_iterator(legacy.end()));
        return users;
    });
}

}  // namespace svsdk
