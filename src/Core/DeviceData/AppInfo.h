#pragma once
// The host application: its version name and build number, bundle
// identifier and name, from the platform configuration.
#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

#include <svsdk/SVPlatformConfiguration.h>

namespace svsdk {

struct AppInfo {
    std::string appVersionName;
    std::int64_t appVersionCode = 0;
    std::string packageName;
    std::string appName;

    // The configured host application. The version name, build number and
    // name are taken together or not at all: each must be set and the build
    // number a plain integer, otherwise all three are empty (0).
    static AppInfo current();
    static AppInfo from(const SVAppInfo& app, const std::string& bundleIdentifier);
    // All four keys required with their types (SVDecodingError).
    static AppInfo decode(const nlohmann::json& json);

    friend bool operator==(const AppInfo&, const AppInfo&) = default;
};

void to_json(nlohmann::ordered_json& json, const AppInfo& app);

}  // namespace svsdk
