#pragma once
// The SDK's clock: the device's wall clock corrected by the last network-time
// sample, and the discrete time values that codes are computed over.
#include <functional>
#include <map>
#include <optional>
#include <string>

#include <svsdk/SVDate.h>

namespace svsdk {

// One network-time sample, all taken at one moment: the seconds since boot,
// the device's wall clock (seconds since 1970) and the network offset
// (network time minus device time, seconds).
struct StableTime {
    double uptime = 0;
    double timestamp = 0;
    double offset = 0;

    friend bool operator==(const StableTime&, const StableTime&) = default;
};

class TimeManager {
public:
    // The one instance, made on first use.
    static TimeManager& shared();

    // The corrected current time: the device clock when there is no stable
    // time, otherwise offset + (timestamp + (systemUptime() - uptime)).
    SVDate now() const;
    // now() in seconds since 1970 divided by `step`, unrounded. Logs both
    // numbers ("Common"). A step of zero gives an infinite or NaN result.
    double discreteTimeInterval(double step) const;

    // Seconds since the device booted (the boot-time clock, which also runs
    // while the device sleeps).
    static double systemUptime();
    // The device's wall clock, seconds since 1970, microsecond resolution.
    static double deviceClock();
    // The corrected time a stable time gives now; the device clock for none.
    static SVDate correctedTime(const std::optional<StableTime>& stableTime);

    // The process-wide stable time, read and replaced as one whole record.
    static std::optional<StableTime> stableTime();
    static void setStableTime(std::optional<StableTime> stableTime);

    // Replaces the device clock and the uptime source (for tests); an empty
    // function restores the real one.
    static void setClockForTesting(std::function<double()> wall, std::function<double()> uptime);

    // --- The stored copy of the stable time (the defaults key "SVStableTime").

    // The record of a stored dictionary with "Uptime", "Timestamp" and
    // "Offset": none when a key is missing, a value is not finite, or the
    // record was made before the device last booted (the boot instant then
    // and now differ when both are rounded to whole seconds).
    static std::optional<StableTime> storedStableTime(const std::map<std::string, double>& from);
    // The stored record, as `storedStableTime` judges it; none when nothing
    // is stored or the value is not an object of numbers.
    static std::optional<StableTime> loadStableTime();
    // Stores a record; none stores and removes nothing. Failures are logged,
    // never reported.
    static void saveStableTime(const std::optional<StableTime>& stableTime);

    // The handler of network-time reports (offset, done, total). Each report
    // with an offset records and stores a new stable time; `firstReport` gets
    // the corrected time and offset of the report with done 1; `completion`
    // gets the corrected time (none without a stable time) and the report's
    // offset once done equals total.
    using ProgressHandler = std::function<void(std::optional<double> offset, int done, int total)>;
    using FirstReportHandler = std::function<void(SVDate now, double offset)>;
    using CompletionHandler = std::function<void(std::optional<SVDate> now, std::optional<double> offset)>;
    static ProgressHandler recordStableTime(FirstReportHandler firstReport = {}, CompletionHandler completion = {});

private:
    TimeManager() = default;
};

}  // namespace svsdk
