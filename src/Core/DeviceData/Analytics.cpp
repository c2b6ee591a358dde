#include "Core/DeviceData/Analytics.h"

#include <chrono>

#include "Core/Utilities/UUID.h"

namespace svsdk {

Future<Analytics::CollectedData> Analytics::collect(UserFlags flags) {
    CollectedData data;
    if (flags.contains(UserFlags::collectEvents)) {
        const auto now = std::chrono::system_clock::now().time_since_epoch();
        data.event = Event{makeUUIDString(), std::string(),
                           std::chrono::duration_cast<std::chrono::milliseconds>(now).count(), std::nullopt};
        const std::int64_t parts = UserFlags::collectDeviceInfo.rawValue | UserFlags::collectSimInfo.rawValue |
                                   UserFlags::collectLocation.rawValue;
        if (flags.rawValue & parts) data.deviceInfo = DeviceInfo{};
    }
    return Promise<CollectedData>::resolved(std::move(data));
}

}  // namespace svsdk
