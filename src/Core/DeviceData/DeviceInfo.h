#pragma once
// The device-data snapshot a request's event carries: seven optional parts,
// each written under its key only when present. The collector (Analytics)
// fills the parts the user's flags ask for.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "Core/DeviceData/AppInfo.h"
#include "Core/DeviceData/Device.h"
#include "Core/DeviceData/Location.h"
#include "Core/DeviceData/SimInfo.h"
#include "Core/DeviceData/WifiInfo.h"

namespace svsdk {

struct MemoryInfo {
    std::string totalRAM;  // physical memory in bytes, decimal digits

    static constexpr std::int64_t hasExternalSDCard = 0;
    static constexpr std::string_view totalInternalMemorySize = "";
    static constexpr std::string_view totalExternalMemorySize = "";

    static MemoryInfo current();

    friend bool operator==(const MemoryInfo&, const MemoryInfo&) = default;
};

// No sensor is read: every record holds the same placeholder values.
struct SensorInfo {
    static constexpr std::string_view name = "";
    static constexpr std::string_view vendor = "";
    static constexpr std::int64_t version = 0;
    static constexpr std::int64_t type = 0;
    static constexpr std::int64_t maxRange = 0;
    static constexpr std::int64_t minDelay = 0;
    static constexpr std::int64_t resolution = 0;

    // Any JSON object gives the constant record; anything else is a
    // typeMismatch (SVDecodingError).
    static SensorInfo decode(const nlohmann::json& json);

    friend bool operator==(const SensorInfo&, const SensorInfo&) = default;
};

struct DeviceInfo {
    std::optional<Device> device;           // "device"
    std::optional<AppInfo> appInfo;         // "app"
    std::optional<SimInfo> simInfo;         // "sim"
    std::optional<WifiInfo> wifiInfo;       // "wifi"
    std::optional<SensorInfo> sensorInfo;   // "sensor"
    std::optional<MemoryInfo> memoryInfo;   // "memory"
    std::optional<Location> locationInfo;   // "location"

    friend bool operator==(const DeviceInfo&, const DeviceInfo&) = default;
};

void to_json(nlohmann::ordered_json& json, const MemoryInfo& memory);
void to_json(nlohmann::ordered_json& json, const SensorInfo& sensor);
void to_json(nlohmann::ordered_json& json, const DeviceInfo& info);

}  // namespace svsdk
