#include "Core/DeviceData/WifiInfo.h"

#include <mutex>

#include "Core/Utilities/JSONDecoding.h"
#include "Core/Utilities/Text.h"
#include "Platform/Device.h"
#include "Platform/PlatformConfiguration.h"

namespace svsdk {
namespace {

// Written on the main queue, read by every collection on any thread.
struct UserAgentCache {
    std::mutex lock;
    std::string value;
};

UserAgentCache& userAgentCache() {
    static auto* cache = new UserAgentCache;  // never destroyed: collections may run during exit
    return *cache;
}

}  // namespace

std::optional<std::string> WifiInfo::localIPAddress() {
    return UIDevice::interfaceAddress(platform::current()->wifiInterfaceName);
}

WifiInfo WifiInfo::current() {
    WifiInfo wifi;
    wifi.userAgent = cachedUserAgent();
    auto provider = platform::current()->wifiProvider;
    if (!provider) {
        wifi.localIp = validUTF8(localIPAddress().value_or(std::string()));
        return wifi;
    }
    try {
        const SVWifiNetwork network = provider();
        wifi.localIp = validUTF8(network.localIp);
        wifi.SSID = validUTF8(network.ssid);
    } catch (...) {
        // A provider that fails gives the empty values.
    }
    return wifi;
}

WifiInfo WifiInfo::decode(const nlohmann::json& json) {
    KeyedDecoder decoder(json);
    return WifiInfo{decoder.required<std::string>("localIp"), decoder.required<std::string>("SSID"),
                    decoder.required<std::string>("userAgent")};
}

void WifiInfo::loadUserAgent() {
    std::string userAgent;
    if (auto provider = platform::current()->userAgentProvider) {
        try {
            userAgent = validUTF8(provider());
        } catch (...) {
            userAgent.clear();
        }
    }
    auto& cache = userAgentCache();
    std::lock_guard guard(cache.lock);
    cache.value.swap(userAgent);
}

std::string WifiInfo::cachedUserAgent() {
    auto& cache = userAgentCache();
    std::lock_guard guard(cache.lock);
    return cache.value;
}

void to_json(nlohmann::ordered_json& json, const WifiInfo& wifi) {
    json = nlohmann::ordered_json::object();
    json["macAddress"] = WifiInfo::macAddress;
    json["localIp"] = wifi.localIp;
    json["SSID"] = wifi.SSID;
    json["userAgent"] = wifi.userAgent;
}

}  // namespace svsdk
