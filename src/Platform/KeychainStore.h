#pragma once
// The SDK's keychain: one SQLite file, separate from the user database, that
// holds generic-password items and EC private-key items. Its operations answer
// with OSStatus codes the way a platform keychain does (errSecSuccess,
// errSecItemNotFound, errSecDuplicateItem, errSecParam, errSecIO, ...).
//
// The file is created 0600 (and tightened to 0600 when found wider), runs in
// WAL mode with synchronous=FULL, and every write is one transaction. Deleted
// rows are overwritten in the file (secure_delete), and after each write the
// WAL is checkpointed and truncated, so a deleted key is in none of the
// store's files. Access groups and
// accessibility are recorded and matched as attributes: a query with an
// access group matches only items of that group, a query without one matches
// items of every group, and an item added without a group belongs to the
// default group. Nothing enforces them on Linux; the file's permissions are
// the only protection.
//
// The process keeps one connection per store path, used by one operation at
// a time under its own mutex. A store value is cheap and may be used from any
// thread. Each read runs in a read transaction of its own, so it sees what
// other threads and processes committed before it. Each operation checks that
// the file at the path is still the one the connection holds, and reopens it
// when the file was deleted or replaced.
#include <optional>
#include <string>

#include <svsdk/SVBytes.h>

#include "Platform/OSStatus.h"

namespace svsdk {

enum class KeychainAccessibility {
    afterFirstUnlock,
    afterFirstUnlockThisDeviceOnly,
    alwaysThisDeviceOnly,
};

// Identifies generic-password items.
struct PasswordQuery {
    std::string service;
    std::string account;
    std::optional<std::string> accessGroup;  // absent: any group
};

struct PasswordItem {
    std::string service;
    std::string account;
    std::optional<std::string> accessGroup;  // absent: the default group
    Bytes value;
    KeychainAccessibility accessible = KeychainAccessibility::afterFirstUnlockThisDeviceOnly;
};

enum class KeyClass { privateKey, publicKey };

// The key type of every key item of the SDK: EC on the NIST P-256 curve.
inline constexpr const char* kKeyTypeECSECPrimeRandom = "ECSECPrimeRandom";

// Identifies key items; absent members match anything.
struct KeyQuery {
    std::optional<KeyClass> keyClass;
    std::string keyType = kKeyTypeECSECPrimeRandom;
    Bytes applicationTag;
    std::optional<Bytes> applicationLabel;
    std::optional<std::string> accessGroup;
    // Only the item holding exactly these key bytes.
    std::optional<Bytes> keyData;
};

struct KeyItem {
    KeyClass keyClass = KeyClass::privateKey;
    std::string keyType = kKeyTypeECSECPrimeRandom;
    int keySizeInBits = 256;
    Bytes applicationTag;
    Bytes applicationLabel;
    std::optional<std::string> accessGroup;  // absent: the default group
    // The token the key is bound to and its access control, as recorded at
    // creation; absent for an ordinary software key.
    std::optional<std::string> tokenID;
    std::optional<std::string> accessControl;
    // The key in its external representation (for an EC private key the
    // uncompressed public point followed by the private scalar).
    Bytes keyData;
};

class KeychainStore {
public:
    explicit KeychainStore(std::string path);
    // The store at the configured keychain path (resolved at this call).
    static KeychainStore current();

    const std::string& path() const { return path_; }

    // The first matching item, copied into `result` when one is given.
    OSStatus findPassword(const PasswordQuery& query, PasswordItem* result = nullptr) const;
    // Adds an item in the query's group (the default group when absent);
    // errSecDuplicateItem when one with the same service, account and group exists.
    OSStatus addPassword(const PasswordQuery& query, const Bytes& value, KeychainAccessibility accessible);
    // Sets value and accessibility of every matching item.
    OSStatus updatePassword(const PasswordQuery& query, const Bytes& value, KeychainAccessibility accessible);
    OSStatus deletePasswords(const PasswordQuery& query);

    OSStatus findKey(const KeyQuery& query, KeyItem* result = nullptr) const;
    // errSecDuplicateItem when a key of the same class, type, tag, label and
    // group exists.
    OSStatus addKey(const KeyItem& item);
    OSStatus deleteKeys(const KeyQuery& query);
    // In one transaction: deletes every key matching `old`, then adds `item`.
    // On any failure nothing changes. `removed`, when given, receives how many
    // keys went (none when it failed).
    OSStatus replaceKeys(const KeyQuery& old, const KeyItem& item, std::size_t* removed = nullptr);

private:
    std::string path_;
};

}  // namespace svsdk
