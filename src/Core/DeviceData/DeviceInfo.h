#pragma once
// The device-data snapshot a request's event carries. The records it is made
// of are filled by the collector (Analytics).
#include <nlohmann/json.hpp>

namespace svsdk {

struct DeviceInfo {};

inline void to_json(nlohmann::ordered_json& json, const DeviceInfo&) { json = nlohmann::ordered_json::object(); }

}  // namespace svsdk
