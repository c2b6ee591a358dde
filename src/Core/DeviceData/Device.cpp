#include "Core/DeviceData/Device.h"

#include <unicode/locid.h>
#include <unicode/timezone.h>
#include <unicode/unistr.h>

#include <cmath>
#include <memory>
#include <vector>

#include "Core/Utilities/JSONDecoding.h"
#include "Core/Utilities/Text.h"
#include "Platform/Device.h"
#include "Platform/PlatformConfiguration.h"

namespace svsdk {
namespace {

SVScreen screen() {
    auto provider = platform::current()->screenProvider;
    if (!provider) return SVScreen{};
    try {
        return provider();
    } catch (...) {
        return SVScreen{};
    }
}

std::string timeZoneIdentifier() {
    std::unique_ptr<icu::TimeZone> zone(icu::TimeZone::createDefault());
    if (!zone) return std::string();
    icu::UnicodeString id;
    zone->getID(id);
    std::string text;
    id.toUTF8String(text);
    return text;
}

}  // namespace

std::int64_t Device::majorVersion(std::string_view version) {
    std::string_view first = "0";
    while (!version.empty()) {
        const auto dot = version.find('.');
        const auto piece = version.substr(0, dot);
        if (!piece.empty()) {
            first = piece;
            break;
        }
        if (dot == std::string_view::npos) break;
        version.remove_prefix(dot + 1);
    }
    return decimalInteger(first).value_or(0);
}

std::int64_t Device::screenLength(double points) {
    // Converting a value outside the range, or not a number, is undefined.
    const double truncated = std::trunc(points);
    if (!std::isfinite(truncated) || truncated < -9223372036854775808.0 || truncated >= 9223372036854775808.0)
        return 0;
    return static_cast<std::int64_t>(truncated);
}

Device Device::current() {
    Device device;
    device.model = replacingInvalidUTF8(UIDevice::modelIdentifier());
    device.name = replacingInvalidUTF8(UIDevice::name());
    device.product = replacingInvalidUTF8(UIDevice::systemName());
    device.deviceID = UIDevice::vendorIdentifier().value_or(std::string());
    device.osVersion = replacingInvalidUTF8(UIDevice::systemVersion());
    device.sdkVersion = majorVersion(device.osVersion);
    const SVScreen screen = svsdk::screen();
    // A scale that is not a number reads as no screen, never as "nan".
    device.screenDensity = decimalText(std::isfinite(screen.scale) ? screen.scale : 0.0);
    device.screenHeight = screenLength(screen.height);
    device.screenWidth = screenLength(screen.width);
    device.timeZone = replacingInvalidUTF8(timeZoneIdentifier());
    device.locale = replacingInvalidUTF8(icu::Locale::getDefault().getName());
    device.root = UIDevice::isRunningAsRoot() ? 1 : 0;
    return device;
}

Device Device::decode(const nlohmann::json& json) {
    KeyedDecoder decoder(json);
    Device device;
    device.buildVersionCodeName = decoder.required<std::string>("buildVersionCodeName");
    device.manufacturer = decoder.required<std::string>("manufacturer");
    device.model = decoder.required<std::string>("model");
    device.product = decoder.required<std::string>("product");
    device.deviceID = decoder.required<std::string>("deviceID");
    device.osVersion = decoder.required<std::string>("osVersion");
    device.sdkVersion = decoder.required<std::int64_t>("sdkVersion");
    device.name = decoder.required<std::string>("name");
    device.screenDensity = decoder.required<std::string>("screenDensity");
    device.screenHeight = decoder.required<std::int64_t>("screenHeight");
    device.screenWidth = decoder.required<std::int64_t>("screenWidth");
    device.simulator = decoder.required<std::int64_t>("simulator");
    device.timeZone = decoder.required<std::string>("timeZone");
    device.locale = decoder.required<std::string>("locale");
    device.root = decoder.required<std::int64_t>("root");
    return device;
}

void to_json(nlohmann::ordered_json& json, const Device& device) {
    json = nlohmann::ordered_json::object();
    json["releaseBuildVersion"] = Device::releaseBuildVersion;
    json["buildVersionCodeName"] = device.buildVersionCodeName;
    json["manufacturer"] = device.manufacturer;
    json["model"] = device.model;
    json["product"] = device.product;
    json["fingerprint"] = Device::fingerprint;
    json["hardware"] = Device::hardware;
    json["radioVersion"] = Device::radioVersion;
    json["device"] = Device::device;
    json["deviceID"] = device.deviceID;
    json["board"] = Device::board;
    json["displayVersion"] = Device::displayVersion;
    json["buildBrand"] = Device::buildBrand;
    json["buildHost"] = Device::buildHost;
    json["buildTime"] = Device::buildTime;
    json["buildUser"] = Device::buildUser;
    json["serial"] = Device::serial;
    json["osVersion"] = device.osVersion;
    json["sdkVersion"] = device.sdkVersion;
    json["name"] = device.name;
    json["bootloader"] = Device::bootloader;
    json["screenDensity"] = device.screenDensity;
    json["screenHeight"] = device.screenHeight;
    json["screenWidth"] = device.screenWidth;
    json["simulator"] = device.simulator;
    json["timeZone"] = device.timeZone;
    json["locale"] = device.locale;
    json["defaultBrowser"] = Device::defaultBrowser;
    json["defaultSms"] = Device::defaultSms;
    json["cpu"] = Device::cpu;
    json["certificates"] = nlohmann::ordered_json::array();
    json["root"] = device.root;
}

}  // namespace svsdk
