#pragma once
// The device record of the risk-scoring data: 32 keys, written every time.
// Fixed fields are constants of the record; collected fields are read from
// the system (or the configured screen provider) at each collection.
#include <cstdint>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace svsdk {

struct Device {
    // Collected, in the order of the keys.
    std::string buildVersionCodeName = "REL";
    std::string manufacturer = "Apple";
    std::string model;         // uname machine
    std::string product;       // the system's name
    std::string deviceID;      // the vendor identifier, "" without one
    std::string osVersion;     // the kernel release
    std::int64_t sdkVersion = 0;  // its major number
    std::string name;          // the host name
    std::string screenDensity = "0.0";
    std::int64_t screenHeight = 0;
    std::int64_t screenWidth = 0;
    std::int64_t simulator = 0;
    std::string timeZone;  // IANA identifier
    std::string locale;
    std::int64_t root = 0;  // 1 when the process runs as the superuser

    // Fixed.
    static constexpr std::string_view releaseBuildVersion = "";
    static constexpr std::string_view fingerprint = "";
    static constexpr std::string_view hardware = "";
    static constexpr std::string_view radioVersion = "";
    static constexpr std::string_view device = "";
    static constexpr std::string_view board = "";
    static constexpr std::string_view displayVersion = "";
    static constexpr std::string_view buildBrand = "Apple";
    static constexpr std::string_view buildHost = "";
    static constexpr std::int64_t buildTime = 0;
    static constexpr std::string_view buildUser = "";
    static constexpr std::string_view serial = "";
    static constexpr std::string_view bootloader = "";
    static constexpr std::string_view defaultBrowser = "Safari";
    static constexpr std::string_view defaultSms = "";
    static constexpr std::string_view cpu = "";
    // `certificates`: always the empty list.

    // The running device.
    static Device current();
    // Reads the 15 collected keys, each required with its type
    // (SVDecodingError); the fixed keys are not read.
    static Device decode(const nlohmann::json& json);

    // The major number of a version text: its first "."-separated non-empty
    // piece as an integer; 0 when that is not one.
    static std::int64_t majorVersion(std::string_view version);
    // A screen length in points, truncated; 0 when not finite or out of range.
    static std::int64_t screenLength(double points);

    friend bool operator==(const Device&, const Device&) = default;
};

void to_json(nlohmann::ordered_json& json, const Device& device);

}  // namespace svsdk
