#pragma once
// The SDK's long-lived EC P-256 key pairs. Each store is told apart by its
// application tag; inside a store a pair is found by its label. Only the
// private key is kept (in the keychain store, Platform/KeychainStore.h); the
// public key is derived from it.
//
// Linux has no secure key hardware: every pair is a software key in the
// keychain store. When `isAvailable` says the hardware would be there, the
// hardware token and access control are recorded with the key, nothing more.
//
// Every failure is thrown as SVError::secureEnclaveError with the message
// the operation describes.
#include <optional>
#include <string>

#include <svsdk/SVBytes.h>

#include "Core/Security/SecKey.h"
#include "Platform/KeychainStore.h"

namespace svsdk {

class SecureEnclave {
public:
    struct KeyPair {
        SecKey publicKey;
        SecKey privateKey;
    };

    explicit SecureEnclave(std::string applicationTag);
    virtual ~SecureEnclave() = default;
    SecureEnclave(const SecureEnclave&) = delete;
    SecureEnclave& operator=(const SecureEnclave&) = delete;

    // The shared stores: users' signing pairs, autosign pairs, the device pair
    // "local", and the store of the older storage.
    static SecureEnclave& users();
    static SecureEnclave& autosign();
    static SecureEnclave& local();
    static SecureEnclave& legacy();

    const std::string& applicationTag() const { return applicationTag_; }

    // The keychain access group of key generation, lookup and removal.
    static std::optional<std::string> accessGroup();
    // Whether the device model has secure key hardware (computed once).
    static bool isAvailable();

    // A new pair under `label`, replacing any old one. The new pair is made
    // first and swapped in with the old one's removal in one keychain
    // transaction: when anything fails the old pair stays.
    virtual KeyPair generateKeyPair(const std::string& label);
    // Removes the pair; never fails (a failure is only logged).
    virtual void removeKeyPair(const std::string& label);
    virtual void removeKey(KeyClass keyClass, const Bytes& tag);
    virtual KeyPair retrieveKeyPair(const std::string& label);
    // The private key whose application label is `label` (label bytes
    // followed by "-private").
    virtual SecKey privateKey(const Bytes& label);

    // A new pair under `label`; fails when one exists.
    KeyPair createKeyPair(const std::string& label);
    // Stores the pair of `privateKey` (made beforehand) under `label`,
    // replacing any old one in one keychain transaction, as generateKeyPair.
    KeyPair storeKeyPair(const std::string& label, const SecKey& privateKey);
    SecKey copyMatching(const KeyQuery& query);
    SecKey publicKey(const SecKey& of);
    // Makes the pair "local" unless it exists (on `local()`); never fails.
    void checkLocalKeyPair();
    // The private key of the older storage (on `legacy()`).
    SecKey legacyPrivateKey();
    // Stores an older software private key (its external representation:
    // public point then private scalar) under `label` (on `users()`), in the
    // access group of the other key operations, so that they find it.
    void importLegacyPrivateKey(const Bytes& key, const Bytes& label);
    // Removes the pair under `label` only when it holds exactly `key` (as
    // imported by importLegacyPrivateKey); a pair of another origin stays.
    // Never fails.
    void removeImportedKeyPair(const std::string& label, const Bytes& key);
    // Whether the cache of parsed keys holds the key stored as `keyData`.
    static bool holdsParsedKey(const Bytes& keyData);

    // ECIES (cofactor ECDH, X9.63 KDF with SHA-256, AES-GCM).
    static Bytes encrypt(const Bytes& data, const SecKey& with);
    static Bytes decrypt(const Bytes& data, const SecKey& with);

    // The application label of a pair: the label's bytes then "-private".
    static Bytes applicationLabel(const std::string& label);

private:
    static Bytes crypt(bool encrypting, const Bytes& data, const SecKey& with);
    KeyItem newKeyItem(const std::string& label) const;
    KeyPair storeNewKeyPair(const std::string& label, bool replacing, std::optional<SecKey> key = std::nullopt);

    std::string applicationTag_;
};

}  // namespace svsdk
