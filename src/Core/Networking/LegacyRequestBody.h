#pragma once
// The legacy protocol's request envelope, as far as the attaching step of
// the collected device data needs it: the parameter record's event and
// device data. The legacy protocol fills in the rest.
#include <optional>

#include "Core/DeviceData/DeviceInfo.h"
#include "Core/Networking/Event.h"

namespace svsdk {

struct LegacyRequestParameters {
    std::optional<LegacyEvent> event;
    std::optional<DeviceInfo> deviceInfo;
};

struct LegacyRequestBody {
    LegacyRequestParameters parameters;
};

}  // namespace svsdk
