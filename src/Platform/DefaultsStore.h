#pragma once
// The defaults store: small records kept across runs in one JSON object file
// (platform::defaultsPath(), resolved at every call). Reads never fail: a
// missing, unreadable or corrupt file reads as empty. Every write replaces the
// whole file atomically (a 0600 temporary file in the same folder, flushed to
// disk and renamed over it), under a lock held across the read-modify-write,
// so concurrent writers of different keys never lose each other's values.
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

namespace svsdk {

class DefaultsStore {
public:
    DefaultsStore() = delete;

    // The value stored under `key`, or none.
    static std::optional<nlohmann::json> value(const std::string& key);
    // Stores `value` under `key`. Throws SVPlatformError when the file cannot
    // be written; a failure before the final rename leaves the file as it was.
    static void setValue(const std::string& key, const nlohmann::json& value);
    // Removes `key`; nothing is written when it is absent. Throws as setValue.
    static void removeValue(const std::string& key);
};

}  // namespace svsdk
