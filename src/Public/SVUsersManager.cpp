#include <svsdk/SVUsersManager.h>

#include "Core/Importing/ImportSource.h"
#include "Core/Importing/ImporterSupport.h"
#include "Core/Importing/Importers.h"
#include "Core/Networking/APIInteractionManager.h"
#include "Core/Networking/Dispatch.h"
#include "Core/Operations/Operations.h"
#include "Core/Networking/RegistrationResultHandler.h"
#include "Core/Security/Cryptor.h"
#include "Core/Security/HandlesManager.h"
#include "Core/Security/Keychain.h"
#include "Core/Security/SecureEnclave.h"
#include "Core/Storing/StorageManager.h"
#include "Core/Utilities/Encoding.h"

namespace svsdk {
namespace {

using operations::OnceCompletion;

void log(std::string_view message) { Logger::log(SVLogCategory::users, message); }

Bytes utf8Bytes(const std::string& text) { return Bytes(text.begin(), text.end()); }

// kAuth of a stored row, unwrapped with the device pair "local".
Bytes unwrapAuthorizationKey(const SVUserEntity& entity, const SecKey& localPrivateKey) {
    return SecureEnclave::decrypt(entity.keyAuth.value_or(Bytes{}), localPrivateKey);
}

// A new signing pair for the user. For a user read from the store it is made
// while the user's row exists, so that a removal running meanwhile cannot
// leave a pair behind without its user.
SecKey makeSigningKeyPair(const SVUser& user) {
    std::optional<SecKey> publicKey;
    auto make = [&] { publicKey = SecureEnclave::users().generateKeyPair(user.uniqueID()).publicKey; };
    if (user.userVersion() == StorageManager::currentStorageVersion &&
        user.keysContent().is<UserKeysContent::StoredEncrypted>())
        StorageManager::shared().performWhileStored(user, make);
    else
        make();
    return std::move(*publicKey);
}

// The item as it reads now: the operation may run on another thread after
// the host's object is gone.
class FixedExtendedAuth final : public SVExtendedAuth {
public:
    explicit FixedExtendedAuth(const SVExtendedAuth& item) : type_(item.type()), value_(item.value()) {}
    std::string type() const override { return type_; }
    std::string value() const override { return value_; }

private:
    std::string type_, value_;
};

}  // namespace

std::vector<SVUser> SVUsersManager::users() { return StorageManager::shared().users(); }

std::string SVUsersManager::fingerprint() { return Keychain::deviceFingerprint(); }

std::optional<SVUser> SVUsersManager::importUser(const std::string& from) {
    // Nothing an import meets (memory included) reaches the host: it gives nothing.
    return importing::guarded(SVLogCategory::users, [&]() -> std::optional<SVUser> {
        operations::logSecretLine(SVLogCategory::users, "Importing a user from string: ", from);
        ImportSource source = ImportSource::detect(from);
        if (source == ImportSource::unrecognized) return std::nullopt;
        std::optional<SVUser> user = makeUserImporter(source)->importUser(from);
        if (!user) return std::nullopt;
        log(std::string("The user is successfully imported from the ") + source.displayName() + " source");
        if (const auto* keys = user->keysContent().get<UserKeysContent::ImportedDecrypted>()) {
            auto& handles = HandlesManager::shared();
            handles.add(keys->kHMAC, HandleType::hmac, *user);
            handles.add(keys->kAuth, HandleType::auth, *user);
        }
        return user;
    });
}

void SVUsersManager::activate(const SVUser& user, const std::string& code) {
    operations::logSecretLine(SVLogCategory::users, "Activating the user using code: ", code);
    const auto* encrypted = user.keysContent().get<UserKeysContent::ImportedEncrypted>();
    if (!encrypted) return;
    if (code.empty()) throw SVError::invalidActivationCode();
    UserKeys keys;
    try {
        keys = Cryptor::decryptKeys(encrypted->content, user.userID(), code);
    } catch (...) {
        Logger::error(SVLogCategory::users, SVFailure::fromCurrentException().description());
        throw SVError::invalidActivationCode();
    }
    auto& handles = HandlesManager::shared();
    handles.add(keys.kHMAC, HandleType::hmac, user);
    handles.add(keys.kAuth, HandleType::auth, user);
    log("The user has been successfully activated");
}

void SVUsersManager::submit(const std::string& password, const SVUser& user) {
    if (password.empty()) throw SVError::invalidPassword();
    auto& storage = StorageManager::shared();
    if (user.userVersion() <= 2 && !storage.userEntity(user)) storage.transferLegacyUser(user, password);
    auto entity = storage.userEntity(user);
    if (!entity) throw SVError::internalError();
    SecKey local = SecureEnclave::local().retrieveKeyPair("local").privateKey;
    Bytes kAuth = unwrapAuthorizationKey(*entity, local);
    Bytes wrappedHMAC = SecureEnclave::decrypt(entity->keyHMAC.value_or(Bytes{}), local);
    Bytes kHMAC;
    try {
        kHMAC = Cryptor::decrypt(wrappedHMAC, user.userID(), password);
    } catch (...) {
        observedStep(APIInteractionManager::shared().makeInteractor(user),
                     [user](const APIInteractor& interactor) { interactor.sendPasswordIncorrectEvent(user); });
        throw SVError::invalidPassword();
    }
    auto& handles = HandlesManager::shared();
    handles.add(kHMAC, HandleType::hmac, user);
    handles.add(kAuth, HandleType::auth, user);
    handles.add(utf8Bytes(password), HandleType::password, user);
}

void SVUsersManager::store(const SVUser& user, const std::optional<std::string>& name,
                           const std::optional<std::string>& password) {
    StorageManager::shared().store(user, name, password);
}

void SVUsersManager::deleteUser(const SVUser& user) {
    auto& storage = StorageManager::shared();
    if (user.userVersion() >= 3) {
        if (auto entity = storage.userEntity(user)) {
            // The key-deleted event is signed with kAuth, which after the
            // removal only this handle holds.
            SecKey local = SecureEnclave::local().retrieveKeyPair("local").privateKey;
            HandlesManager::shared().add(unwrapAuthorizationKey(*entity, local), HandleType::auth, user);
        }
    }
    storage.remove(user);
    observedStep(APIInteractionManager::shared().makeInteractor(user),
                 [user](const APIInteractor& interactor) { interactor.sendKeyDeletedEvent(user); });
}

void SVUsersManager::registerUser(const SVUser& user, const std::optional<std::string>& deviceToken,
                                  SVCompletion completion) {
    operations::run(std::move(completion), [&](const OnceCompletion<void>& once) {
        auto& handles = HandlesManager::shared();
        std::optional<std::string> tokenToSend;
        if (deviceToken && deviceToken != user.registeredDeviceToken()) {
            handles.add(utf8Bytes(*deviceToken), HandleType::deviceToken, user);
            tokenToSend = deviceToken;
        }
        const bool tokenAdded = tokenToSend.has_value();
        std::optional<SecKey> publicKey;
        try {
            if (!user.hasKeyPair()) publicKey = makeSigningKeyPair(user);
        } catch (...) {
            // The keys cannot be read or made: nothing is sent, and the
            // token is not left behind to be recorded as registered.
            if (tokenAdded) handles.remove(HandleType::deviceToken, user);
            throw;
        }
        const bool keyCreated = publicKey.has_value();

        log("Registering the user with id: " + user.userID());
        log("- Device Token: " + tokenToSend.value_or("-"));
        Logger::secret([&] { return "- Public Key: " + (publicKey ? publicKey->spkiHexString() : std::string("-")); });

        auto registered = chainedStep(APIInteractionManager::shared().makeInteractor(user),
                                      [user, publicKey, tokenToSend](const APIInteractor& interactor) {
                                          return interactor.registerUser(user, publicKey, tokenToSend);
                                      });
        operations::deliver(registered.failureHandled(registrationResultHandler(keyCreated, user, tokenAdded)), once);
    });
}

void SVUsersManager::registerExtAuthTemplate(const SVUser& user, const SVExtendedAuth& extAuth,
                                             SVCompletion completion) {
    operations::run(std::move(completion), [&](const OnceCompletion<void>& once) {
        operations::deliver(chainedStep(APIInteractionManager::shared().makeInteractor(user),
                                        [user, item = std::make_shared<const FixedExtendedAuth>(extAuth)](const APIInteractor& interactor) {
                                            return interactor.registerExtAuthTemplate(user, *item);
                                        }),
                            once);
    });
}

void SVUsersManager::renew(const SVUser& user, SVCompletion completion) {
    operations::run(std::move(completion), [&](const OnceCompletion<void>& once) {
        operations::deliver(chainedStep(APIInteractionManager::shared().makeInteractor(user),
                                        [user](const APIInteractor& interactor) { return interactor.renew(user); }),
                            once);
    });
}

}  // namespace svsdk
