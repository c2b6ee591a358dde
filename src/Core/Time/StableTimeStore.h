#pragma once
// The stored form of the stable time: an object of three numbers under one
// defaults key. The operations on it are members of TimeManager.
#include <map>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "Core/Time/TimeManager.h"

namespace svsdk::stable_time_store {

inline constexpr const char* recordKey = "SVStableTime";
inline constexpr const char* uptimeKey = "Uptime";
inline constexpr const char* timestampKey = "Timestamp";
inline constexpr const char* offsetKey = "Offset";

// {"Uptime": uptime, "Timestamp": timestamp, "Offset": offset}.
nlohmann::json record(const StableTime& stableTime);
// The members of a stored value that is an object whose every member is a
// number; none for anything else.
std::optional<std::map<std::string, double>> numbers(const nlohmann::json& value);

}  // namespace svsdk::stable_time_store
