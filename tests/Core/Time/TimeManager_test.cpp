#include <gtest/gtest.h>

#include <cmath>

#include "Core/Time/TimeManager.h"
#include "support/ScopedClock.h"
#include "support/TestEnvironment.h"

using namespace svsdk;
using svsdk::testing::ScopedClock;
using svsdk::testing::ScopedPlatform;

TEST(TimeManagerTest, TheDeviceClockCorrectedByTheStableTime) {
    ScopedClock clock(1'650'000'000.25, 42);
    EXPECT_EQ(TimeManager::shared().now().timeIntervalSince1970, 1'650'000'000.25) << "no stable time";
    clock.set(1'234'567'890, 1060);  // from here the device clock plays no part
    TimeManager::setStableTime(StableTime{1000, 1'700'000'000, 2.5});
    EXPECT_EQ(TimeManager::shared().now().timeIntervalSince1970, 1'700'000'062.5);
    clock.set(1'234'567'890, 160);
    TimeManager::setStableTime(StableTime{100, 1'700'000'000, 2.5});
    EXPECT_EQ(TimeManager::shared().now().timeIntervalSince1970, 1'700'000'062.5);
}

TEST(TimeManagerTest, DiscreteTimeIntervalIsUnroundedAndLogged) {
    ScopedPlatform platform(SVLoggingOptions::debug);
    ScopedClock clock(0, 1060);
    TimeManager::setStableTime(StableTime{1000, 1'700'000'000, 2.5});
    double d = TimeManager::shared().discreteTimeInterval(180);
    EXPECT_EQ(d, 1'700'000'062.5 / 180);
    EXPECT_NE(d, std::trunc(d));
    auto entries = platform.log().entries();
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].category, SVLogCategory::common);
    EXPECT_EQ(entries[0].message, "Time Interval 1700000062.5");
    EXPECT_EQ(entries[1].message, "Discrete Time Interval 9444444.791666666");
    EXPECT_TRUE(std::isinf(TimeManager::shared().discreteTimeInterval(0)));
}

TEST(TimeManagerTest, RealClocksAreConsistent) {
    double uptime = TimeManager::systemUptime();
    double wall = TimeManager::deviceClock();
    EXPECT_GT(uptime, 0);
    EXPECT_LT(uptime, wall);
    EXPECT_GT(wall, 1'600'000'000);
    EXPECT_NEAR(TimeManager::shared().now().timeIntervalSince1970, SVDate::now().timeIntervalSince1970, 1.0);
    double later = TimeManager::systemUptime();
    EXPECT_GE(later, uptime);
}
