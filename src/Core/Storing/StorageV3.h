#pragma once
// Users of the current storage generation (userVersion 3), one "SVUserEntity"
// row each. kAuth is stored wrapped by the device key pair "local" (ECIES);
// kHMAC is first encrypted under the user's password (Cryptor::encrypt) and
// then wrapped the same way.
//
// Every member works on the context of the caller's transaction.
#include <optional>
#include <string>
#include <vector>

#include <svsdk/SVUser.h>

#include "Core/Security/SecKey.h"
#include "Core/Storing/CoreDataManager.h"

namespace svsdk {

class StorageV3 {
public:
    StorageV3() = default;
    virtual ~StorageV3() = default;
    StorageV3(const StorageV3&) = delete;
    StorageV3& operator=(const StorageV3&) = delete;

    // Every row that reads as a user, in the store's order; unreadable rows
    // are left out.
    virtual std::vector<SVUser> fetchUsers(const StoreContext& context);
    // The user of a row. SVError::internalError when its interaction URL is
    // missing or not a URL.
    virtual SVUser makeUser(const SVUserEntity& entity);
    std::optional<SVUserEntity> fetchUserEntity(const std::string& storageID, const StoreContext& context);

    // What a new user's row becomes: the row is inserted, and the device
    // token it took over from the secret cache is reported so that the caller
    // drops that handle once the transaction has committed. Errors of `fill`
    // and of the store are thrown and nothing is written.
    struct Saved {
        std::optional<Bytes> tookDeviceToken;
    };
    Saved save(StoreContext& context, const SVUser& user, const std::string& name, const std::string& password);
    // Sets every attribute of a new row from the user and its cached keys,
    // touching neither the store nor the cache. SVError::userIsNotActivated
    // when the auth or hmac handle is missing (nothing is set then); errors of
    // the "local" key pair, of wrapping and of Cryptor::encrypt.
    Saved fill(SVUserEntity& entity, const SVUser& user, const std::string& name, const std::string& password);

    // The device key pair "local" and the two protections of the stored keys.
    static SecKey localPublicKey();
    static Bytes wrapAuthorizationKey(const Bytes& kAuth, const SecKey& local);
    static Bytes wrapHMACKey(const Bytes& kHMAC, const std::string& userID, const std::string& password,
                             const SecKey& local);
};

}  // namespace svsdk
