#include "Core/Time/StableTimeStore.h"

#include <cmath>

#include "Core/Diagnostics/Logger.h"
#include "Platform/DefaultsStore.h"

namespace svsdk {

namespace stable_time_store {

nlohmann::json record(const StableTime& stableTime) {
    return {{uptimeKey, stableTime.uptime}, {timestampKey, stableTime.timestamp}, {offsetKey, stableTime.offset}};
}

std::optional<std::map<std::string, double>> numbers(const nlohmann::json& value) {
    if (!value.is_object()) return std::nullopt;
    std::map<std::string, double> result;
    for (const auto& [key, member] : value.items()) {
        if (!member.is_number()) return std::nullopt;
        result.emplace(key, member.get<double>());
    }
    return result;
}

}  // namespace stable_time_store

using namespace stable_time_store;

std::optional<StableTime> TimeManager::storedStableTime(const std::map<std::string, double>& from) {
    auto uptime = from.find(uptimeKey);
    auto timestamp = from.find(timestampKey);
    auto offset = from.find(offsetKey);
    if (uptime == from.end() || timestamp == from.end() || offset == from.end()) return std::nullopt;
    StableTime stored{uptime->second, timestamp->second, offset->second};
    if (!std::isfinite(stored.uptime) || !std::isfinite(stored.timestamp) || !std::isfinite(stored.offset))
        return std::nullopt;
    double u = systemUptime();
    double n = deviceClock();
    // Both differences are minus the boot instant, now and at the recording;
    // rounded to whole seconds (halves to even) they match within one boot.
    if (std::rint(u - n) - std::rint(stored.uptime - stored.timestamp) != 0) return std::nullopt;
    return stored;
}

std::optional<StableTime> TimeManager::loadStableTime() {
    auto value = DefaultsStore::value(recordKey);
    if (!value) return std::nullopt;
    auto dictionary = numbers(*value);
    if (!dictionary) return std::nullopt;
    return storedStableTime(*dictionary);
}

void TimeManager::saveStableTime(const std::optional<StableTime>& stableTime) {
    if (!stableTime) return;
    try {
        DefaultsStore::setValue(recordKey, record(*stableTime));
    } catch (const std::exception& e) {
        Logger::error(SVLogCategory::common, std::string("Cannot store the stable time: ") + e.what());
    }
}

TimeManager::ProgressHandler TimeManager::recordStableTime(FirstReportHandler firstReport,
                                                           CompletionHandler completion) {
    return [firstReport = std::move(firstReport), completion = std::move(completion)](std::optional<double> offset,
                                                                                      int done, int total) {
        if (offset) {
            double n = deviceClock();
            double u = systemUptime();
            StableTime recorded{u, n, *offset};
            setStableTime(recorded);
            saveStableTime(recorded);
            if (done == 1 && firstReport) firstReport(correctedTime(recorded), *offset);
        }
        if (done == total && completion) {
            auto current = stableTime();
            completion(current ? std::optional<SVDate>(correctedTime(current)) : std::nullopt, offset);
        }
    };
}

}  // namespace svsdk
