#include <gtest/gtest.h>

#include <limits>
#include <vector>

#include <svsdk/Common/SVSDK.h>

#include "Core/Time/StableTimeStore.h"
#include "Core/Time/TimeManager.h"
#include "Platform/DefaultsStore.h"
#include "support/ScopedClock.h"
#include "support/TestEnvironment.h"

using namespace svsdk;
using nlohmann::json;
using svsdk::testing::ScopedClock;
using svsdk::testing::ScopedPlatform;

namespace {

constexpr double kBoot = 1'699'999'900;  // the boot instant of the device in these tests
const StableTime kRecord{100, 1'700'000'000, 2.5};

std::optional<json> storedValue() { return DefaultsStore::value("SVStableTime"); }

class StableTimeStoreTest : public ::testing::Test {
protected:
    ScopedPlatform platform;
    ScopedClock clock{kBoot + 160, 160};
};

}  // namespace

TEST_F(StableTimeStoreTest, RestoresARecordOnlyFromThisBootAndKeepsItStored) {
    TimeManager::saveStableTime(kRecord);
    EXPECT_EQ(storedValue(), json({{"Uptime", 100.0}, {"Timestamp", 1'700'000'000.0}, {"Offset", 2.5}}));
    struct Case {
        double wall, uptime;
        bool sameBoot;
    } cases[] = {
        {kBoot + 160.4, 160, true},   // same boot within rounding
        {kBoot + 160, 158, false},    // booted two seconds later than when the record was made
        {kBoot + 160, 158.6, false},  // 1.4 s: still another boot
        {kBoot + 3600, 3600, true},   // same boot, an hour on
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.uptime);
        TimeManager::setStableTime(std::nullopt);
        clock.set(c.wall, c.uptime);
        SVSDK::restoreClockOffset();
        EXPECT_EQ(TimeManager::stableTime(), c.sameBoot ? std::optional(kRecord) : std::nullopt);
        EXPECT_EQ(TimeManager::shared().now().timeIntervalSince1970,
                  c.sameBoot ? 1'700'000'002.5 + c.uptime - 100 : c.wall);
        EXPECT_EQ(storedValue(), stable_time_store::record(kRecord)) << "kept, or written back unchanged";
    }
}

TEST_F(StableTimeStoreTest, MalformedStoredValuesGiveNoRecord) {
    std::vector<json> values = {
        json({{"Uptime", 100.0}, {"Timestamp", 1'700'000'000.0}}),
        json("a string"),
        json::array({100.0, 1'700'000'000.0, 2.5}),
        json({{"Uptime", 100.0}, {"Timestamp", 1'700'000'000.0}, {"Offset", "2.5"}}),
        json({{"Uptime", 100.0}, {"Timestamp", 1'700'000'000.0}, {"Offset", nullptr}}),
        json({{"Uptime", 100.0}, {"Timestamp", 1'700'000'000.0}, {"Offset", true}}),
        json({{"Uptime", 100.0}, {"Timestamp", 1'700'000'000.0}, {"Offset", 2.5}, {"Note", "x"}}),
    };
    for (const auto& value : values) {
        DefaultsStore::setValue("SVStableTime", value);
        SVSDK::restoreClockOffset();
        EXPECT_EQ(TimeManager::stableTime(), std::nullopt) << value.dump();
        EXPECT_EQ(storedValue(), value) << "a refused value is left alone";
    }
    DefaultsStore::setValue("SVStableTime", json({{"Uptime", 100}, {"Timestamp", 1'700'000'000}, {"Offset", 2}}));
    EXPECT_EQ(TimeManager::loadStableTime(), (StableTime{100, 1'700'000'000, 2})) << "integers are numbers too";
}

TEST_F(StableTimeStoreTest, NonFiniteValuesGiveNoRecord) {
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    std::map<std::string, double> good{{"Uptime", 100}, {"Timestamp", 1'700'000'000}, {"Offset", 2.5}};
    EXPECT_EQ(TimeManager::storedStableTime(good), kRecord);
    for (const char* key : {"Uptime", "Timestamp", "Offset"})
        for (double bad : {inf, -inf, nan}) {
            auto dictionary = good;
            dictionary[key] = bad;
            EXPECT_EQ(TimeManager::storedStableTime(dictionary), std::nullopt) << key << " " << bad;
        }
    // JSON has no non-finite numbers: such a record is stored with null and
    // reads back as no record.
    TimeManager::saveStableTime(StableTime{100, 1'700'000'000, nan});
    EXPECT_EQ(storedValue(), json({{"Uptime", 100.0}, {"Timestamp", 1'700'000'000.0}, {"Offset", nullptr}}));
    EXPECT_EQ(TimeManager::loadStableTime(), std::nullopt);
}

TEST_F(StableTimeStoreTest, EveryReportWithAnOffsetReplacesTheRecord) {
    std::vector<std::pair<double, double>> firstReports;
    std::vector<std::pair<std::optional<double>, std::optional<double>>> completions;
    auto handler = TimeManager::recordStableTime(
        [&](SVDate now, double offset) { firstReports.emplace_back(now.timeIntervalSince1970, offset); },
        [&](std::optional<SVDate> now, std::optional<double> offset) {
            completions.emplace_back(now ? std::optional(now->timeIntervalSince1970) : std::nullopt, offset);
        });
    for (int done = 1; done <= 20; ++done) {
        clock.advance(1);
        double offset = 0.25 * done;
        handler(offset, done, 20);
        StableTime expected{160.0 + done, kBoot + 160 + done, offset};
        EXPECT_EQ(TimeManager::stableTime(), expected);
        EXPECT_EQ(storedValue(), stable_time_store::record(expected)) << "written at report " << done;
    }
    ASSERT_EQ(firstReports.size(), 1u);
    EXPECT_EQ(firstReports[0], std::make_pair(kBoot + 161 + 0.25, 0.25));
    ASSERT_EQ(completions.size(), 1u);
    EXPECT_EQ(completions[0].first, kBoot + 180 + 5.0);
    EXPECT_EQ(completions[0].second, 5.0);

    // A report without an offset keeps the record in force.
    clock.advance(10);
    handler(std::nullopt, 20, 20);
    EXPECT_EQ(TimeManager::stableTime(), (StableTime{180, kBoot + 180, 5.0}));
    ASSERT_EQ(completions.size(), 2u);
    EXPECT_EQ(completions[1].first, kBoot + 190 + 5.0);
    EXPECT_EQ(completions[1].second, std::nullopt);
}

TEST_F(StableTimeStoreTest, NothingRecordsNothing) {
    int calls = 0;
    auto handler = TimeManager::recordStableTime({}, [&](std::optional<SVDate> now, std::optional<double> offset) {
        ++calls;
        EXPECT_EQ(now, std::nullopt);
        EXPECT_EQ(offset, std::nullopt);
    });
    handler(std::nullopt, 0, 0);  // an empty resolution completes at once
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(TimeManager::stableTime(), std::nullopt);
    TimeManager::saveStableTime(std::nullopt);
    EXPECT_EQ(storedValue(), std::nullopt);

    // Without callbacks a report only records; saving none afterwards keeps it.
    TimeManager::recordStableTime()(1.5, 1, 1);
    StableTime recorded{160, kBoot + 160, 1.5};
    EXPECT_EQ(TimeManager::stableTime(), recorded);
    TimeManager::saveStableTime(std::nullopt);
    EXPECT_EQ(storedValue(), stable_time_store::record(recorded));
}
