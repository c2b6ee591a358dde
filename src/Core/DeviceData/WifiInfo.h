#pragma once
// The device's Wi-Fi attachment and its web user agent.
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace svsdk {

struct WifiInfo {
    // Collected.
    std::string localIp;
    std::string SSID;
    std::string userAgent;

    // Fixed.
    static constexpr std::string_view macAddress = "";

    // The Wi-Fi provider's network, or without one the address of the
    // configured Wi-Fi interface and no name; the kept user agent.
    static WifiInfo current();
    // Reads "localIp", "SSID" and "userAgent", each a required text.
    static WifiInfo decode(const nlohmann::json& json);

    // The numeric address of the configured Wi-Fi interface.
    static std::optional<std::string> localIPAddress();

    // Fetches the user agent from the configured provider and keeps it for
    // the life of the process (the empty text when there is no provider or it
    // fails). Runs on the main queue: start-up queues it there.
    static void loadUserAgent();
    // The kept user agent; "" until the first fetch has completed.
    static std::string cachedUserAgent();

    friend bool operator==(const WifiInfo&, const WifiInfo&) = default;
};

void to_json(nlohmann::ordered_json& json, const WifiInfo& wifi);

}  // namespace svsdk
