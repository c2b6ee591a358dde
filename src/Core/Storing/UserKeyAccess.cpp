#include "Core/Storing/UserKeyAccess.h"

#include <svsdk/SVError.h>

#include "Core/Diagnostics/Logger.h"
#include "Core/Security/HandlesManager.h"
#include "Core/Security/SecureEnclave.h"

namespace svsdk {

std::optional<std::string> publicKeyOf(const SVUser& user, StorageManager& storage) {
    if (user.userVersion() != StorageManager::currentStorageVersion) {
        auto entity = storage.legacyKeyEntity(user);
        if (!entity) return std::nullopt;
        return entity->publicKey;
    }
    try {
        return SecureEnclave::users().retrieveKeyPair(user.uniqueID()).publicKey.spkiHexString();
    } catch (...) {
        return std::nullopt;  // no pair, no key
    }
}

Bytes authorizationKeyOf(const SVUser& user, StorageManager& storage) {
    if (auto kAuth = HandlesManager::shared().handle(HandleType::auth, user)) return std::move(*kAuth);
    auto entity = storage.userEntity(user);
    if (!entity) throw SVError::missingKAuth();
    auto local = SecureEnclave::local().retrieveKeyPair("local");
    return SecureEnclave::decrypt(entity->keyAuth.value_or(Bytes{}), local.privateKey);
}

std::optional<std::string> SVUser::publicKey() const { return publicKeyOf(*this, StorageManager::shared()); }

bool SVUser::hasKeyPair() const {
    Logger::log(SVLogCategory::users, "Checking if user has keypair");
    return publicKey().has_value();
}

bool SVUser::isRegisteredToAutosign() const {
    if (userVersion_ != StorageManager::currentStorageVersion) return false;
    try {
        SecureEnclave::autosign().retrieveKeyPair(uniqueID());
        return true;
    } catch (...) {
        return false;
    }
}

Bytes SVUser::authorizationKey() const { return authorizationKeyOf(*this, StorageManager::shared()); }

}  // namespace svsdk
