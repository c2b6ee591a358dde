#include "Core/Security/Keychain.h"

#include <mutex>

#include "Platform/HostState.h"
#include "Core/Diagnostics/Logger.h"
#include "Core/Security/Cryptor.h"
#include "Core/Security/SecureEnclave.h"
#include "Core/Utilities/Encoding.h"
#include "Core/Utilities/Text.h"
#include "Platform/Device.h"
#include "Platform/KeychainStore.h"

namespace svsdk {
namespace {

constexpr const char* kFingerprintAccount = "svsdkFingerprint";
constexpr const char* kOlderFingerprintAccount = "quondamfp";

void log(const std::string& message) { Logger::log(SVLogCategory::keychain, message); }
void logError(const std::string& message) { Logger::error(SVLogCategory::keychain, message); }

// Bytes as UTF-8 text; each ill-formed sequence becomes U+FFFD.
std::string decodeUTF8(const Bytes& bytes) {
    return replacingInvalidUTF8(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

struct FingerprintCache {
    std::mutex lock;
    std::string value;  // empty: not yet known
};

FingerprintCache& fingerprintCache() {
    static FingerprintCache* cache = new FingerprintCache;
    return *cache;
}

}  // namespace

Keychain& Keychain::shared() {
    static Keychain* keychain = new Keychain;
    return *keychain;
}

std::optional<std::string> Keychain::read(const std::string& service, const std::string& account,
                                          const std::optional<std::string>& accessGroup) {
    log("Retrieving the item from the \"" + account + "\" account");
    PasswordItem item;
    OSStatus status = KeychainStore::current().findPassword({service, account, accessGroup}, &item);
    if (status == errSecSuccess) return decodeUTF8(item.value);
    logError("Could not retrieve the item from the keychain. OSStatus: " + osStatusErrorMessage(status));
    return std::nullopt;
}

void Keychain::save(const std::string& service, const std::string& account, const std::string& value,
                    const std::optional<std::string>& accessGroup, bool thisDeviceOnly) {
    log("Saving the item into the \"" + account + "\" account");
    PasswordQuery query{service, account, accessGroup};
    auto accessible = thisDeviceOnly ? KeychainAccessibility::afterFirstUnlockThisDeviceOnly
                                     : KeychainAccessibility::afterFirstUnlock;
    auto store = KeychainStore::current();
    if (store.findPassword(query) == errSecSuccess) {
        OSStatus status = store.updatePassword(query, bytesOf(value), accessible);
        if (status != errSecSuccess) logError("Could not update the item. OSStatus: " + osStatusErrorMessage(status));
        return;
    }
    OSStatus status = store.addPassword(query, bytesOf(value), accessible);
    if (status != errSecSuccess) {
        logError("Could not save the item. OSStatus: " + osStatusErrorMessage(status));
        return;
    }
    Logger::log(SVLogCategory::debug, "The item has been successfully created and saved");
}

void Keychain::deleteItem(const std::string& service, const std::string& account,
                          const std::optional<std::string>& accessGroup) {
    log("Deleting item of the \"" + account + "\" account");
    OSStatus status = KeychainStore::current().deletePasswords({service, account, accessGroup});
    if (status != errSecSuccess) logError("Could not delete the item. OSStatus: " + osStatusErrorMessage(status));
}

std::string Keychain::computeDeviceFingerprint() {
    auto host = HostState::hostBundleIdentifier();
    if (!host) return std::string();
    auto& keychain = shared();
    auto group = SecureEnclave::accessGroup();

    if (auto stored = keychain.read(*host, kFingerprintAccount, group)) {
        Logger::log(SVLogCategory::common, "The device's fingerprint: " + *stored);
        return *stored;
    }
    if (auto old = keychain.read(*host, kOlderFingerprintAccount, std::nullopt); old && !old->empty()) {
        keychain.save(*host, kFingerprintAccount, *old, group, true);
        keychain.deleteItem(*host, kOlderFingerprintAccount, std::nullopt);
        return *old;
    }
    auto vendor = UIDevice::vendorIdentifier();
    if (!vendor) return std::string();
    std::string identifier = *vendor + "/" + UIDevice::modelIdentifier();
    Logger::log(SVLogCategory::common, "The device's identifier: " + identifier);
    std::string fingerprint = hexString(Cryptor::sha256(identifier.data(), identifier.size()));
    Logger::log(SVLogCategory::common, "The device's fingerprint: " + fingerprint);
    keychain.save(*host, kFingerprintAccount, fingerprint, group, true);
    return fingerprint;
}

std::string Keychain::deviceFingerprint() {
    auto& cache = fingerprintCache();
    std::lock_guard guard(cache.lock);
    if (cache.value.empty()) cache.value = computeDeviceFingerprint();
    return cache.value;
}

void Keychain::resetDeviceFingerprint() {
    auto& cache = fingerprintCache();
    std::lock_guard guard(cache.lock);
    cache.value.clear();
}

}  // namespace svsdk
