#pragma once
// The device-data collector: what one request's event and device data are,
// by the option flags of the user the request is made for.
#include <optional>

#include <svsdk/SVUserOptions.h>

#include "Core/DeviceData/DeviceInfo.h"
#include "Core/DeviceData/Event.h"
#include "Core/Concurrency/Future.h"

namespace svsdk {

struct Analytics {
    struct CollectedData {
        std::optional<Event> event;            // with bit 0x2; its deviceInfo is always absent
        std::optional<DeviceInfo> deviceInfo;  // with bit 0x2 and one of 0x4, 0x8, 0x10
    };

    // Never fails. Without bit 0x2 the result is the empty record and nothing
    // is read (the event session included). Everything but the location is
    // read at once on the caller's thread; with bit 0x10 the future settles
    // when the location service answers, on the main queue.
    static Future<CollectedData> collect(UserFlags flags);

    // `completed`'s record when it succeeds, `fallback` when it fails.
    static Future<CollectedData> resolveWithFallback(const Future<CollectedData>& completed, CollectedData fallback);

    Analytics() = delete;
};

}  // namespace svsdk
