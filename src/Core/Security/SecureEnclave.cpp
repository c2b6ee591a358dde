#include "Core/Security/SecureEnclave.h"

#include <openssl/crypto.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string_view>
#include <variant>
#include <vector>

#include <svsdk/SVError.h>

#include "BuildConstants.h"
#include "Platform/HostState.h"
#include "Core/Diagnostics/Logger.h"
#include "Core/Security/Ecies.h"
#include "Platform/OSStatus.h"
#include "Platform/Device.h"

namespace svsdk {
namespace {

// Recorded with keys made where the hardware would be present.
constexpr const char* kSecureEnclaveToken = "secureEnclave";
constexpr const char* kPrivateKeyUsageAccessControl = "protection=alwaysThisDeviceOnly;flags=privateKeyUsage";

// Models without secure key hardware, and the simulator.
constexpr std::array<std::string_view, 25> kModelsWithoutHardware = {
    "x86_64",
    "iPhone1,1", "iPhone1,2", "iPhone2,1", "iPhone3,1", "iPhone3,2", "iPhone3,3",
    "iPhone4,1", "iPhone5,1", "iPhone5,2", "iPhone5,3", "iPhone5,4",
    "iPad2,1", "iPad2,2", "iPad2,3", "iPad2,4", "iPad2,5", "iPad2,6", "iPad2,7",
    "iPad3,1", "iPad3,2", "iPad3,3", "iPad3,4", "iPad3,5", "iPad3,6",
};

void log(std::string_view message) { Logger::log(SVLogCategory::security, message); }
void logError(std::string_view message) { Logger::error(SVLogCategory::security, message); }

[[noreturn]] void fail(std::string message) { throw SVError::secureEnclaveError(std::move(message)); }

// Private keys parsed from the store, found by their exact stored bytes, so
// that reading the same key again skips the parse and its point check; with
// each its public half once derived. The bytes identify the key completely, so
// an entry cannot go stale when the store changes. The least recently used
// entry goes first; its bytes are wiped as they are released. Removing or
// replacing a pair empties the cache, so that a removed key is not kept here;
// a look-up that read the store before such a clearing adds nothing after it
// (each clearing starts a new generation, and a key read in an earlier one is
// parsed but not kept).
class ParsedKeys {
public:
    static ParsedKeys& shared() {
        static ParsedKeys* keys = new ParsedKeys;
        return *keys;
    }

    // The generation to pass to privateKey(): read it before reading the store.
    std::uint64_t generation() {
        std::lock_guard guard(lock_);
        return generation_;
    }

    // The key stored as `data`, read from the store in `generation`.
    std::optional<SecKey> privateKey(const Bytes& data, std::uint64_t generation) {
        {
            std::lock_guard guard(lock_);
            if (auto key = findUsed(data)) return key;
        }
        auto key = SecKey::privateKeyFromData(data);
        if (!key) return std::nullopt;
        std::lock_guard guard(lock_);
        if (auto parsed = findUsed(data)) return parsed;  // another thread parsed it meanwhile
        if (generation != generation_) return key;  // the store changed since it was read
        if (entries_.size() == kCapacity) entries_.erase(entries_.begin());
        entries_.push_back(Entry{data, *key, std::nullopt});
        return key;
    }

    // The public half of `of`. A key held here is the same object as long as
    // it is held, so the object identifies it.
    std::optional<SecKey> publicKey(const SecKey& of) {
        {
            std::lock_guard guard(lock_);
            if (Entry* entry = find(of); entry && entry->publicKey) return entry->publicKey;
        }
        auto key = of.copyPublicKey();
        if (!key) return std::nullopt;
        std::lock_guard guard(lock_);
        if (Entry* entry = find(of)) entry->publicKey = key;
        return key;
    }

    void clear() {
        std::lock_guard guard(lock_);
        entries_.clear();
        ++generation_;
    }

    bool holds(const Bytes& data) {
        std::lock_guard guard(lock_);
        for (const auto& entry : entries_)
            if (entry.data == data) return true;
        return false;
    }

private:
    static constexpr std::size_t kCapacity = 32;
    struct Entry {
        Bytes data;
        SecKey privateKey;
        std::optional<SecKey> publicKey;
    };

    ParsedKeys() { entries_.reserve(kCapacity); }

    // The key parsed from `data`, made the most recently used.
    std::optional<SecKey> findUsed(const Bytes& data) {
        for (std::size_t i = 0; i < entries_.size(); ++i) {
            if (entries_[i].data.size() != data.size() ||
                CRYPTO_memcmp(entries_[i].data.data(), data.data(), data.size()) != 0)
                continue;
            SecKey key = entries_[i].privateKey;
            if (i + 1 != entries_.size()) {
                Entry used = std::move(entries_[i]);
                entries_.erase(entries_.begin() + static_cast<std::ptrdiff_t>(i));
                entries_.push_back(std::move(used));
            }
            return key;
        }
        return std::nullopt;
    }

    Entry* find(const SecKey& privateKey) {
        for (auto& entry : entries_)
            if (entry.privateKey.get() == privateKey.get()) return &entry;
        return nullptr;
    }

    std::mutex lock_;
    std::vector<Entry> entries_;
    std::uint64_t generation_ = 0;
};

}  // namespace

SecureEnclave::SecureEnclave(std::string applicationTag) : applicationTag_(std::move(applicationTag)) {}

SecureEnclave& SecureEnclave::users() {
    static SecureEnclave* store = new SecureEnclave(std::string(build::kBaseIdentifier) + ".users");
    return *store;
}

SecureEnclave& SecureEnclave::autosign() {
    static SecureEnclave* store = new SecureEnclave(std::string(build::kBaseIdentifier) + ".autosign");
    return *store;
}

SecureEnclave& SecureEnclave::local() {
    static SecureEnclave* store = new SecureEnclave(std::string(build::kBaseIdentifier) + ".local");
    return *store;
}

SecureEnclave& SecureEnclave::legacy() {
    static SecureEnclave* store = new SecureEnclave(build::kFrameworkBundleIdentifier);
    return *store;
}

std::optional<std::string> SecureEnclave::accessGroup() { return HostState::accessGroup(); }

bool SecureEnclave::isAvailable() {
    static const bool available = [] {
        std::string model = UIDevice::modelIdentifier();
        log("Checking if SecureEnclave is available for " + model);
        bool result = true;
        for (auto known : kModelsWithoutHardware)
            if (known == model) result = false;
        log(result ? "SecureEnclave is available" : "SecureEnclave is not available");
        return result;
    }();
    return available;
}

Bytes SecureEnclave::applicationLabel(const std::string& label) { return bytesOf(label + "-private"); }

KeyItem SecureEnclave::newKeyItem(const std::string& label) const {
    KeyItem item;
    item.keyClass = KeyClass::privateKey;
    item.applicationTag = bytesOf(applicationTag_);
    item.applicationLabel = applicationLabel(label);
    item.accessGroup = accessGroup();
    if (isAvailable()) {
        item.tokenID = kSecureEnclaveToken;
        item.accessControl = kPrivateKeyUsageAccessControl;
    }
    return item;
}

SecureEnclave::KeyPair SecureEnclave::storeNewKeyPair(const std::string& label, bool replacing,
                                                      std::optional<SecKey> key) {
    // The old pair goes in the keychain transaction that stores the new one:
    // its lines come first, the outcome of the removal once the transaction ran.
    if (replacing) {
        log("The keypair with this label will be overwritten");
        log("Removing a keypair with label: " + label);
        log("Removing a key of class: Private key");
    } else {
        log("Generating a keypair with label: " + label);
    }
    KeyItem item = newKeyItem(label);
    OSStatus status = errSecInternalComponent;
    std::optional<SecKey> publicKey;
    std::size_t removed = 0;
    if (!key) key = SecKey::generateP256();
    if (key && (!key->isPrivate() || !key->isP256())) key.reset();
    if (key) {
        auto data = key->externalRepresentation();
        publicKey = key->copyPublicKey();
        if (data && publicKey) {
            item.keyData = std::move(*data);
            if (replacing) {
                KeyQuery old;
                old.applicationTag = item.applicationTag;
                old.applicationLabel = item.applicationLabel;
                old.accessGroup = item.accessGroup;
                status = KeychainStore::current().replaceKeys(old, item, &removed);
                ParsedKeys::shared().clear();
            } else {
                status = KeychainStore::current().addKey(item);
            }
        }
    }
    if (replacing) {
        // A failed transaction removed nothing either: the old pair stays.
        if (removed == 0) {
            OSStatus outcome = status == errSecSuccess ? errSecItemNotFound : status;
            log("Could not remove the key. " + osStatusErrorMessage(outcome));
        }
        log("Generating a keypair with label: " + label);
    }
    if (status != errSecSuccess) {
        std::string text = osStatusErrorMessage(status);
        logError("Could not generate the keypair. " + text);
        fail(text);
    }
    return KeyPair{std::move(*publicKey), std::move(*key)};
}

SecureEnclave::KeyPair SecureEnclave::generateKeyPair(const std::string& label) {
    return storeNewKeyPair(label, true);
}

SecureEnclave::KeyPair SecureEnclave::createKeyPair(const std::string& label) { return storeNewKeyPair(label, false); }

SecureEnclave::KeyPair SecureEnclave::storeKeyPair(const std::string& label, const SecKey& privateKey) {
    return storeNewKeyPair(label, true, privateKey);
}

void SecureEnclave::removeKeyPair(const std::string& label) {
    log("Removing a keypair with label: " + label);
    removeKey(KeyClass::privateKey, applicationLabel(label));
}

void SecureEnclave::removeKey(KeyClass keyClass, const Bytes& tag) {
    log(std::string("Removing a key of class: ") + (keyClass == KeyClass::privateKey ? "Private key" : "Public key"));
    KeyQuery query;
    query.applicationTag = bytesOf(applicationTag_);
    query.applicationLabel = tag;
    query.accessGroup = accessGroup();
    OSStatus status = KeychainStore::current().deleteKeys(query);
    ParsedKeys::shared().clear();
    if (status != errSecSuccess) log("Could not remove the key. " + osStatusErrorMessage(status));
}

void SecureEnclave::removeImportedKeyPair(const std::string& label, const Bytes& key) {
    log("Removing a keypair with label: " + label);
    KeyQuery query;
    query.applicationTag = bytesOf(applicationTag_);
    query.applicationLabel = applicationLabel(label);
    query.accessGroup = accessGroup();
    query.keyData = key;
    OSStatus status = KeychainStore::current().deleteKeys(query);
    ParsedKeys::shared().clear();
    if (status != errSecSuccess) log("Could not remove the key. " + osStatusErrorMessage(status));
}

bool SecureEnclave::holdsParsedKey(const Bytes& keyData) { return ParsedKeys::shared().holds(keyData); }

SecureEnclave::KeyPair SecureEnclave::retrieveKeyPair(const std::string& label) {
    log("Retrieving the keypair with label: " + label);
    SecKey privateKey = this->privateKey(applicationLabel(label));
    SecKey publicKey = this->publicKey(privateKey);
    return KeyPair{std::move(publicKey), std::move(privateKey)};
}

SecKey SecureEnclave::privateKey(const Bytes& label) {
    log("Getting the private key");
    KeyQuery query;
    query.applicationTag = bytesOf(applicationTag_);
    query.applicationLabel = label;
    query.accessGroup = accessGroup();
    return copyMatching(query);
}

SecKey SecureEnclave::copyMatching(const KeyQuery& query) {
    KeyItem item;
    std::uint64_t generation = ParsedKeys::shared().generation();
    OSStatus status = KeychainStore::current().findKey(query, &item);
    std::optional<SecKey> key;
    if (status == errSecSuccess) {
        key = ParsedKeys::shared().privateKey(item.keyData, generation);
        if (!key) status = errSecDecode;  // the stored key is damaged
    }
    if (status != errSecSuccess) {
        std::string text = osStatusErrorMessage(status);
        logError("Could not retrieve the key from the keychain. " + text);
        fail(text);
    }
    return std::move(*key);
}

SecKey SecureEnclave::publicKey(const SecKey& of) {
    log("Getting the public key");
    auto key = ParsedKeys::shared().publicKey(of);
    if (!key) fail("Could not retrieve the key");
    Logger::secret([&] { return "Public key: " + key->spkiHexString(); });
    return std::move(*key);
}

void SecureEnclave::checkLocalKeyPair() {
    log("Checking the local keypair");
    try {
        retrieveKeyPair("local");
    } catch (...) {
        try {
            createKeyPair("local");
        } catch (...) {
            // A missing device pair shows at its first use.
        }
    }
}

SecKey SecureEnclave::legacyPrivateKey() {
    std::string tag = applicationTag_ + ".privateKey";
    log("Getting the legacy private key with tag: " + tag);
    KeyQuery query;
    query.keyClass = KeyClass::privateKey;
    query.applicationTag = bytesOf(tag);
    return copyMatching(query);
}

void SecureEnclave::importLegacyPrivateKey(const Bytes& key, const Bytes& label) {
    auto imported = SecKey::privateKeyFromData(key);
    if (!imported) {
        std::string text =
            "Unable to import legacy user's private key: the data is not a P-256 private key in its external "
            "representation";
        logError(text);
        fail(text);
    }
    KeyItem item;
    item.keyClass = KeyClass::privateKey;
    item.applicationTag = bytesOf(applicationTag_);
    item.applicationLabel = label;
    // In the group every later look-up and removal asks for.
    item.accessGroup = accessGroup();
    item.keyData = key;
    OSStatus status = KeychainStore::current().addKey(item);
    if (status != errSecSuccess) {
        std::string text = osStatusErrorMessage(status);
        logError("Unable to import legacy user's private key. " + text);
        fail(text);
    }
}

Bytes SecureEnclave::encrypt(const Bytes& data, const SecKey& with) { return crypt(true, data, with); }

Bytes SecureEnclave::decrypt(const Bytes& data, const SecKey& with) { return crypt(false, data, with); }

Bytes SecureEnclave::crypt(bool encrypting, const Bytes& data, const SecKey& with) {
    // Encryption takes a public key, decryption a private one.
    if (!with.isP256() || with.isPrivate() == encrypting) {
        logError("Algorithm is not supported");
        fail("Algorithm is not supported");
    }
    auto outcome = encrypting ? ecies::encrypt(data, with) : ecies::decrypt(data, with);
    if (auto* error = std::get_if<std::string>(&outcome)) {
        logError((encrypting ? "Could not encrypt the data. " : "Could not decrypt the data. ") + *error);
        fail(*error);
    }
    return std::move(std::get<Bytes>(outcome));
}

}  // namespace svsdk
