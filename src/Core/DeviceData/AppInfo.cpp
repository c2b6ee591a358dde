#include "Core/DeviceData/AppInfo.h"

#include "Core/Utilities/JSONDecoding.h"
#include "Core/Utilities/Text.h"
#include "Platform/PlatformConfiguration.h"

namespace svsdk {

AppInfo AppInfo::from(const SVAppInfo& app, const std::string& bundleIdentifier) {
    AppInfo info;
    auto code = parseInteger(app.buildNumber);
    if (!app.version.empty() && code && !app.name.empty()) {
        info.appVersionName = validUTF8(app.version);
        info.appVersionCode = *code;
        info.appName = validUTF8(app.name);
    }
    info.packageName = validUTF8(bundleIdentifier);
    return info;
}

AppInfo AppInfo::current() {
    auto config = platform::current();
    return from(config->appInfo, config->mainBundleIdentifier);
}

AppInfo AppInfo::decode(const nlohmann::json& json) {
    KeyedDecoder decoder(json);
    return AppInfo{decoder.required<std::string>("appVersionName"), decoder.required<std::int64_t>("appVersionCode"),
                   decoder.required<std::string>("packageName"), decoder.required<std::string>("appName")};
}

void to_json(nlohmann::ordered_json& json, const AppInfo& app) {
    json = nlohmann::ordered_json::object();
    json["appVersionName"] = app.appVersionName;
    json["appVersionCode"] = app.appVersionCode;
    json["packageName"] = app.packageName;
    json["appName"] = app.appName;
}

}  // namespace svsdk
