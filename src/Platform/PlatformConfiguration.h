#pragma once
// Internal access to the platform configuration, with defaults resolved.
#include <memory>
#include <optional>
#include <string>

#include <svsdk/SVPlatformConfiguration.h>

namespace svsdk::platform {

// The configuration in force; a snapshot that stays valid while held.
std::shared_ptr<const SVPlatformConfiguration> current();

// The SDK's data folder, created 0700 when missing. One found writable by
// group or others is set to 0700 when this user owns it. Throws
// SVPlatformError when it cannot be made, is writable by others and owned by
// another user, or when none is configured and the environment names no home.
std::string dataDirectory();
// Resolved store paths (the folder is created; the files are not).
std::string keychainPath();
std::string defaultsPath();


// The vendor identifier: the configured one, or one derived from the machine
// identifier; absent when neither exists.
std::optional<std::string> vendorIdentifier();

// Makes `path` a directory with mode 0700 (and its parents as needed).
// Throws SVPlatformError on failure.
void makeDirectory(const std::string& path);

}  // namespace svsdk::platform
