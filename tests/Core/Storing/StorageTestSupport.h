#pragma once
// A private store, key store and secret cache for storage tests, with users and legacy rows.
#include <gtest/gtest.h>

#include <memory>

#include <svsdk/SVError.h>

#include "BuildConstants.h"
#include "Core/Security/Cryptor.h"
#include "Core/Storing/StorageManager.h"
#include "Core/Utilities/Encoding.h"
#include "StoreTestSupport.h"
#include "support/SigningUser.h"
#include "support/TestEnvironment.h"

namespace svsdk::testing {

inline Bytes sampleKAuth() { return numbered(32, 0xA0); }
inline Bytes sampleKHMAC() { return numbered(32, 0x40); }

// An activated user of the current generation, not yet stored.
inline SVUser activatedUser(const std::string& userID, const std::string& storageID, std::int64_t flags = 0) {
    return SVUser(userID, "system-1", SVUserOptions{UserFlags(flags)}, "https://signing.example.test/api",
                  std::string("Imported name"), std::string("token-on-record"), std::int64_t{3},
                  std::string("Signing system"), {SVExtendedAuthMethod::codeword}, 30, 60, storageID, 3,
                  UserKeysContent::importedDecrypted(sampleKHMAC(), sampleKAuth()), 1900000000.5);
}

// The error an expression throws: the SVError case's code, -1 for another exception, -2 for none.
template <class F>
int errorCode(F&& f) {
    try {
        f();
    } catch (const SVError& e) {
        return e.rawCode();
    } catch (...) {
        return -1;
    }
    return -2;
}
inline int code(SVError::Code c) { return static_cast<int>(c); }

// For its life: an isolated platform with the device key pair, an empty secret cache, and a storage manager.
class StorageEnvironment {
public:
    explicit StorageEnvironment(SVLoggingOptions options = SVLoggingOptions{})
        : platform_(options), path_(platform_.dir().file("users.sqlite")) {
        HandlesManager::shared().removeAll();
        SecureEnclave::local().checkLocalKeyPair();
        store_ = std::make_unique<CoreDataManager>(CoreDataManager::Info{build::kDatabaseResourceName,
                                                                         build::kModelResourceName});
        store_->setDatabaseURL(path_);
        storage_ = std::make_unique<StorageManager>(*store_);
        store_->performTransaction([](StoreContext&) {});  // the file and its tables
    }
    ~StorageEnvironment() { close(), HandlesManager::shared().removeAll(); }

    ScopedPlatform& platform() { return platform_; }
    const std::string& path() const { return path_; }
    StorageManager& storage() { return *storage_; }
    void close() { storage_.reset(), store_.reset(); }

    // Caches kAuth and kHMAC of the user, as activation leaves them.
    static void activate(const SVUser& user, const Bytes& kAuth = sampleKAuth(), const Bytes& kHMAC = sampleKHMAC()) {
        HandlesManager::shared().add(kAuth, HandleType::auth, user);
        HandlesManager::shared().add(kHMAC, HandleType::hmac, user);
    }
    std::optional<SVUserEntity> entity(const std::string& storageID) {
        return store_->performTransaction([&](StoreContext& c) { return c.fetchUserEntity(storageID); });
    }
    // "users,keys": the rows of both tables.
    std::string rows() {
        return RawDatabase(path_).scalar(
            "SELECT (SELECT count(*) FROM SVUserEntity) || ',' || (SELECT count(*) FROM SVKeyEntity)");
    }

    // The stored keys, unwrapped as the SDK would: kAuth with the device key, kHMAC also with the password.
    static Bytes storedKAuth(const SVUserEntity& e) {
        return SecureEnclave::decrypt(*e.keyAuth, SecureEnclave::local().retrieveKeyPair("local").privateKey);
    }
    static Bytes storedKHMAC(const SVUserEntity& e, const std::string& userID, const std::string& password) {
        SVUserEntity wrapped;
        wrapped.keyAuth = e.keyHMAC;
        return Cryptor::decrypt(storedKAuth(wrapped), userID, password);
    }

private:
    ScopedPlatform platform_;
    std::string path_;
    std::unique_ptr<CoreDataManager> store_;
    std::unique_ptr<StorageManager> storage_;
};

// A legacy row; null members are left out, absent keys are computed.
struct LegacyRow {
    std::optional<std::string> keyID = "legacy-key-1", userID = "legacy-user", fingerprint = std::nullopt,
                               keyFlags = "2", keyName = "Legacy account", keyValue = std::nullopt,
                               privateKey = std::nullopt, publicKey = std::nullopt;
};

// What older SDKs wrote: the device's legacy key, and rows protected by it.
class LegacyRows {
public:
    LegacyRows() {
        KeyItem item;
        item.applicationTag = bytesOf(SecureEnclave::legacy().applicationTag() + ".privateKey");
        item.applicationLabel = bytesOf("legacy device key");
        item.keyData = *deviceKey_.externalRepresentation();
        EXPECT_EQ(KeychainStore::current().addKey(item), errSecSuccess);
    }
    const SecKey& signingKey() const { return signingKey_; }  // the one every row carries

    // Inserts the row of a user protected under `password` into the store at `path`.
    void insert(const std::string& path, const std::string& password, LegacyRow row = {}) const {
        auto wrap = [&](const Bytes& plain) {
            return hexString(SecureEnclave::encrypt(Cryptor::encrypt(plain, row.userID.value_or(""), password),
                                                    *deviceKey_.copyPublicKey()));
        };
        Bytes keys = sampleKHMAC(), kAuth = sampleKAuth(), full = *signingKey_.externalRepresentation();
        keys.insert(keys.end(), kAuth.begin(), kAuth.end());
        if (!row.keyValue) row.keyValue = wrap(keys);
        if (!row.privateKey) row.privateKey = wrap(Bytes(full.end() - 32, full.end()));
        if (!row.publicKey) row.publicKey = hexString(*signingKey_.publicPoint());
        std::string values = "'legacy-system', 'https://legacy.example.test/sv', '31.12.2035', 'legacy-token'";
        for (const auto& text : {row.keyID, row.userID, row.fingerprint, row.keyFlags, row.keyName, row.keyValue,
                                 row.privateKey, row.publicKey}) {
            char* quoted = sqlite3_mprintf("%Q", text ? text->c_str() : nullptr);
            values += ", " + std::string(quoted);
            sqlite3_free(quoted);
        }
        RawDatabase(path).exec("INSERT INTO SVKeyEntity (systemID, interactionExternalURL, expirationDateString, "
                               "deviceToken, keyID, userID, fingerprint, keyFlags, keyName, keyValue, privateKey, "
                               "publicKey) VALUES (" + values + ")");
    }

private:
    SecKey deviceKey_ = *SecKey::generateP256();
    SecKey signingKey_ = *SecKey::generateP256();
};

}  // namespace svsdk::testing
