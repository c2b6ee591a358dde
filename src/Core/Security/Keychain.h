#pragma once
// Generic-password items of the keychain store (Platform/KeychainStore.h) and
// the device fingerprint kept in one of them. Keychain failures never reach
// the caller: they are logged, a read answers absent.
#include <optional>
#include <string>

namespace svsdk {

class Keychain {
public:
    static Keychain& shared();

    // The item's value as UTF-8 text (invalid sequences become U+FFFD).
    std::optional<std::string> read(const std::string& service, const std::string& account,
                                    const std::optional<std::string>& accessGroup);
    // Updates the item (value and accessibility) or adds it.
    void save(const std::string& service, const std::string& account, const std::string& value,
              const std::optional<std::string>& accessGroup, bool thisDeviceOnly);
    void deleteItem(const std::string& service, const std::string& account,
                    const std::optional<std::string>& accessGroup);

    // The device fingerprint: read from the keychain, carried over from the
    // older item, or made from the vendor and model identifiers and stored.
    // The first non-empty value is kept for the life of the process; an empty
    // one (no host bundle identifier or vendor identifier yet) is not kept,
    // so a later read computes it again. Concurrent first readers wait for
    // one computation.
    static std::string deviceFingerprint();

    // One computation of the fingerprint, without the process-wide cache.
    static std::string computeDeviceFingerprint();
    // Forgets the kept fingerprint (tests).
    static void resetDeviceFingerprint();
};

}  // namespace svsdk
