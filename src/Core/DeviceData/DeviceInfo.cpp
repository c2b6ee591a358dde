#include "Core/DeviceData/DeviceInfo.h"

#include "Core/Utilities/JSONDecoding.h"
#include "Platform/Device.h"

namespace svsdk {

MemoryInfo MemoryInfo::current() { return MemoryInfo{std::to_string(UIDevice::physicalMemory())}; }

SensorInfo SensorInfo::decode(const nlohmann::json& json) {
    (void)KeyedDecoder(json);  // must be an object; no member is read
    return SensorInfo{};
}

void to_json(nlohmann::ordered_json& json, const MemoryInfo& memory) {
    json = nlohmann::ordered_json::object();
    json["hasExternalSDCard"] = MemoryInfo::hasExternalSDCard;
    json["totalRAM"] = memory.totalRAM;
    json["totalInternalMemorySize"] = MemoryInfo::totalInternalMemorySize;
    json["totalExternalMemorySize"] = MemoryInfo::totalExternalMemorySize;
}

void to_json(nlohmann::ordered_json& json, const SensorInfo&) {
    json = nlohmann::ordered_json::object();
    json["name"] = SensorInfo::name;
    json["vendor"] = SensorInfo::vendor;
    json["version"] = SensorInfo::version;
    json["type"] = SensorInfo::type;
    json["maxRange"] = SensorInfo::maxRange;
    json["minDelay"] = SensorInfo::minDelay;
    json["resolution"] = SensorInfo::resolution;
}

void to_json(nlohmann::ordered_json& json, const DeviceInfo& info) {
    json = nlohmann::ordered_json::object();
    if (info.device) json["device"] = *info.device;
    if (info.appInfo) json["app"] = *info.appInfo;
    if (info.simInfo) json["sim"] = *info.simInfo;
    if (info.wifiInfo) json["wifi"] = *info.wifiInfo;
    if (info.sensorInfo) json["sensor"] = *info.sensorInfo;
    if (info.memoryInfo) json["memory"] = *info.memoryInfo;
    if (info.locationInfo) json["location"] = *info.locationInfo;
}

}  // namespace svsdk
