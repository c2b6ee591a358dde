#pragma once
// A point in time as seconds since 1970-01-01 00:00:00 UTC.
#include <compare>

namespace svsdk {

struct SVDate {
    double timeIntervalSince1970 = 0;

    // The device's own (uncorrected) clock.
    static SVDate now();
    static constexpr SVDate fromTimeInterval(double seconds) { return SVDate{seconds}; }

    friend constexpr auto operator<=>(SVDate, SVDate) = default;
};

}  // namespace svsdk
