#pragma once
// A current-store user ready to sign: its kHMAC in the secret cache and its
// key pair in the users' store, both removed afterwards. Needs an isolated
// platform (ScopedPlatform); sets a host, for the fingerprint.
#include <string>

#include <svsdk/SVUser.h>

#include "Core/Security/HandlesManager.h"
#include "Core/Security/Keychain.h"
#include "Core/Security/SecureEnclave.h"
#include "Platform/HostState.h"

namespace svsdk::testing {

inline SVUser makeUser(const std::string& userID, std::int64_t flags = 0, double confirmationTSI = 180,
                       double authorizationTSI = 180, const std::string& storageID = "storage-1",
                       std::int64_t userVersion = 3, UserKeysContent content = UserKeysContent::storedEncrypted()) {
    return SVUser(userID, "system-1", SVUserOptions{UserFlags(flags)}, "https://signing.example.org", std::nullopt,
                  std::nullopt, std::int64_t{3}, std::nullopt, {}, confirmationTSI, authorizationTSI, storageID,
                  userVersion, std::move(content), 1900000000);
}

inline Bytes numbered(std::size_t count, std::uint8_t first = 1) {
    Bytes bytes(count);
    for (std::size_t i = 0; i < count; ++i) bytes[i] = static_cast<std::uint8_t>(first + i);
    return bytes;
}

class ScopedSigningUser {
public:
    explicit ScopedSigningUser(SVUser user, Bytes kHMAC = numbered(32)) : user_(std::move(user)), kHMAC_(kHMAC) {
        HostState::setHostBundleIdentifier("org.example.host");
        Keychain::resetDeviceFingerprint();
        HandlesManager::shared().add(kHMAC_, HandleType::hmac, user_);
        publicKey_ = SecureEnclave::users().generateKeyPair(user_.uniqueID()).publicKey;
    }
    ~ScopedSigningUser() {
        HandlesManager::shared().remove(HandleType::hmac, user_);
        SecureEnclave::users().removeKeyPair(user_.uniqueID());
        HostState::setHostBundleIdentifier(std::nullopt);
        Keychain::resetDeviceFingerprint();
    }
    ScopedSigningUser(const ScopedSigningUser&) = delete;
    ScopedSigningUser& operator=(const ScopedSigningUser&) = delete;

    const SVUser& user() const { return user_; }
    const Bytes& kHMAC() const { return kHMAC_; }
    const SecKey& publicKey() const { return publicKey_; }

private:
    SVUser user_;
    Bytes kHMAC_;
    SecKey publicKey_;
};

}  // namespace svsdk::testing
