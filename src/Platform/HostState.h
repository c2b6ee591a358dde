#pragma once
// Process-wide facts about the host that start-up records and the key and
// keychain code reads: the host application's bundle identifier (or the
// containing application's, for an extension) and the keychain access group.
// Both are absent until set. Thread-safe.
#include <optional>
#include <string>

namespace svsdk {

class HostState {
public:
    HostState() = delete;

    static std::optional<std::string> hostBundleIdentifier();
    static void setHostBundleIdentifier(std::optional<std::string> identifier);

    // The keychain access group of key pairs and keychain items. An empty
    // text is taken as no group.
    static std::optional<std::string> accessGroup();
    static void setAccessGroup(std::optional<std::string> group);
};

}  // namespace svsdk
