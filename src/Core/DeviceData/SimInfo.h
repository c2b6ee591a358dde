#pragma once
// The SIM cards' carriers, from the configured carrier provider; the values
// of several carriers are joined with " | ".
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include <svsdk/SVPlatformConfiguration.h>

namespace svsdk {

struct SimInfo {
    // Collected.
    std::string simOperatorName;    // carrier names
    std::string simCountryIso;      // mobile country codes (numeric)
    std::string networkCountryIso;  // ISO country codes
    std::int64_t simCount = 0;      // carriers, also those without values

    // Fixed.
    static constexpr std::string_view IMSI = "";
    static constexpr std::string_view phoneType = "";
    static constexpr std::string_view networkOperatorName = "";
    static constexpr std::string_view simSerial = "";
    static constexpr std::int64_t roaming = 0;
    static constexpr std::string_view imei = "";
    static constexpr std::string_view mmsAgent = "";
    static constexpr std::string_view mmsUrl = "";

    static SimInfo current();
    // The carriers in the order given; an empty value is left out of its own
    // list only.
    static SimInfo from(const std::vector<SVCarrier>& carriers);
    // Reads the four collected keys, each required with its type.
    static SimInfo decode(const nlohmann::json& json);

    friend bool operator==(const SimInfo&, const SimInfo&) = default;
};

void to_json(nlohmann::ordered_json& json, const SimInfo& sim);

}  // namespace svsdk
