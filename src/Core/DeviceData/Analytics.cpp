#include "Core/DeviceData/Analytics.h"

#include "Core/DeviceData/LocationManager.h"
#include "Core/DeviceData/SessionManager.h"
#include "Core/Diagnostics/Logger.h"

namespace svsdk {
namespace {

void log(std::string_view message) { Logger::log(SVLogCategory::events, message); }

}  // namespace

Future<Analytics::CollectedData> Analytics::collect(UserFlags flags) {
    CollectedData data;
    if (!flags.contains(UserFlags::collectEvents)) return Promise<CollectedData>::resolved(std::move(data));

    log("Adding events");
    data.event = SessionManager::shared().makeEvent();

    const bool deviceParts = flags.contains(UserFlags::collectDeviceInfo);
    const bool simPart = flags.contains(UserFlags::collectSimInfo);
    const bool locationPart = flags.contains(UserFlags::collectLocation);
    if (!deviceParts && !simPart && !locationPart) return Promise<CollectedData>::resolved(std::move(data));

    DeviceInfo& info = data.deviceInfo.emplace();
    if (deviceParts) {
        log("Adding Device's information");
        info.device = Device::current();
        info.appInfo = AppInfo::current();
        info.memoryInfo = MemoryInfo::current();
        info.sensorInfo = SensorInfo{};
        info.wifiInfo = WifiInfo::current();
    }
    if (simPart) {
        log("Adding Sim-cards information");
        info.simInfo = SimInfo::current();
    }
    if (!locationPart) return Promise<CollectedData>::resolved(std::move(data));

    // The location step gets its own copy of the record, so the fallback and
    // the complete record never share state.
    CollectedData fallback = data;
    auto completed = LocationManager::shared().requestCurrentLocation().transformed(
        [data = std::move(data)](const Location& location) mutable {
            data.deviceInfo->locationInfo = location;
            return std::move(data);
        });
    return resolveWithFallback(completed, std::move(fallback));
}

Future<Analytics::CollectedData> Analytics::resolveWithFallback(const Future<CollectedData>& completed,
                                                               CollectedData fallback) {
    Promise<CollectedData> result;
    completed.observe([result, fallback = std::move(fallback)](const SVResult<CollectedData>& outcome) {
        result.resolve(outcome.ok() ? outcome.value() : fallback);
    });
    return result;
}

}  // namespace svsdk
