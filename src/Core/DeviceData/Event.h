#pragma once
// The event record every request may carry: which call this is, in which
// usage session, at what device time, and (v3 only) the device data collected
// for it. `LegacyEvent` is the same facts with the legacy protocol's keys.
#include <cstdint>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "Core/DeviceData/DeviceInfo.h"

namespace svsdk {

struct Event {
    std::string eventID;
    std::string sessionID;
    std::int64_t deviceTime = 0;
    std::optional<DeviceInfo> deviceInfo;
};

// "device_event_id", "session_id", "device_time", then "device_info" only
// when present.
inline void to_json(nlohmann::ordered_json& json, const Event& event) {
    json = nlohmann::ordered_json::object();
    json["device_event_id"] = event.eventID;
    json["session_id"] = event.sessionID;
    json["device_time"] = event.deviceTime;
    if (event.deviceInfo) json["device_info"] = *event.deviceInfo;
}

struct LegacyEvent {
    std::string eventID;
    std::string sessionID;
    std::int64_t deviceTime = 0;
};

// "eventID", "sessionID", "device_time": always all three.
inline void to_json(nlohmann::ordered_json& json, const LegacyEvent& event) {
    json = nlohmann::ordered_json::object();
    json["eventID"] = event.eventID;
    json["sessionID"] = event.sessionID;
    json["device_time"] = event.deviceTime;
}

}  // namespace svsdk
