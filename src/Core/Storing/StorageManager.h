#pragma once
// The one way into local storage: users are stored, updated, renewed,
// carried over from the legacy storage, removed and listed here. Users of
// generation 3 live in the current storage (StorageV3), those of generations
// 1 and 2 in the legacy storage (StorageLegacy) until they are transferred.
//
// Each operation runs as one transaction of the store (on its lock, from any
// thread): it commits everything it changes in the store or nothing. Secret
// handles and key pairs that an operation drops are dropped only after its
// transaction has committed.
#include <atomic>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <svsdk/SVUser.h>

#include "Core/Security/Cryptor.h"
#include "Core/Storing/CoreDataManager.h"
#include "Core/Storing/StorageLegacy.h"
#include "Core/Storing/StorageV3.h"

namespace svsdk {

class StorageManager {
public:
    static constexpr std::int64_t currentStorageVersion = 3;

    // A storage manager over `store`.
    explicit StorageManager(CoreDataManager& store = CoreDataManager::shared());
    virtual ~StorageManager() = default;
    StorageManager(const StorageManager&) = delete;
    StorageManager& operator=(const StorageManager&) = delete;

    // The process-wide manager over the shared store, made on first use.
    static StorageManager& shared();

    // Stores a new user, or updates the stored one with the same storageID.
    // A user read from the store (stored key content) whose row is gone
    // meanwhile is not written again: SVError::userNotFound.
    // New user: SVError::emptyPassword, passwordDoesNotMatchTheConditions,
    // emptyName (an empty name is accepted), then userIsNotActivated when
    // its auth or hmac handle is missing, the errors of the "local" key pair
    // and of encryption, and the store's error; nothing is written then.
    // Stored user: a given password re-protects kHMAC from the hmac handle
    // (passwordDoesNotMatchTheConditions, the key pair's errors,
    // handleInvalid); a pending device token is taken over; a given name
    // replaces the name. On success the auth and hmac handles (and a
    // device-token handle that was taken over) are dropped.
    virtual void store(const SVUser& user, const std::optional<std::string>& name,
                       const std::optional<std::string>& password);
    // Deletes the user's row (legacy or current); for a current user then
    // its signing and autosign key pairs. Removing a user that is not stored
    // succeeds. SVError::unsupportedKeyVersion for a version other than
    // 1, 2 or 3 (nothing is touched); the store's error.
    virtual void remove(const SVUser& user);
    // Replaces the stored row of `user` by the renewed user `renewed` with
    // its new keys (storageID and name stay). SVError::userNotFound when the
    // user is not stored; errors of the "local" key pair, of encryption and
    // of the store, after which nothing has changed. On success the old
    // user's autosign pair and its password, auth and hmac handles are dropped.
    // `beforeCommit`, when given, runs inside the transaction once the row is
    // changed: when it throws, nothing is stored.
    virtual void storeRenewed(const SVUser& user, const UserKeys& keys, const std::string& password,
                              const SVUser& renewed, const std::function<void()>& beforeCommit = {});
    // Moves a legacy user into the current storage under `password`: its
    // keys are unwrapped with the legacy device key and the password, the
    // signing key is imported, and the new row is written and the legacy row
    // deleted in one transaction. SVError::emptyKeys for a user without
    // legacy keys; SVError::transferStorage for every other failure.
    virtual void transferLegacyUser(const SVUser& user, const std::string& password);
    virtual std::optional<SVUserEntity> userEntity(const SVUser& user);
    // Runs `body` inside a transaction in which the user's current row
    // exists, so a removal cannot pass in between; SVError::userNotFound (or
    // the store's error) when the row is gone, and `body` does not run.
    virtual void performWhileStored(const SVUser& user, const std::function<void()>& body);
    virtual std::optional<SVKeyEntity> legacyKeyEntity(const SVUser& user);
    // Current users first, then legacy users, each in the store's order.
    virtual std::vector<SVUser> users();

    // Called with the name of each step an update passes ("computed" when
    // every new value is ready, "written" when the row is changed but not yet
    // committed, "committed"); null, and so free, unless a test sets it.
    using StepHook = void (*)(const char* step);
    static void setStepHook(StepHook hook) { stepHook_.store(hook, std::memory_order_relaxed); }

private:
    struct Cleanup;
    // The store step of `store` inside a transaction; returns what to drop
    // after the commit.
    Cleanup storeInTransaction(StoreContext& context, const SVUser& user, const std::optional<std::string>& name,
                               const std::optional<std::string>& password);
    Cleanup updateSavedUser(StoreContext& context, SVUserEntity entity, const SVUser& user,
                            const std::optional<std::string>& name, const std::optional<std::string>& password);
    // Deletes the user's row (legacy or current) inside a transaction.
    void removeInTransaction(StoreContext& context, const SVUser& user);
    void finish(const SVUser& user, const Cleanup& cleanup);
    static void step(const char* name) {
        if (auto hook = stepHook_.load(std::memory_order_relaxed)) hook(name);
    }

    CoreDataManager& store_;
    StorageV3 currentStorage_;
    StorageLegacy legacyStorage_;
    static inline std::atomic<StepHook> stepHook_{nullptr};
};

}  // namespace svsdk
