#include <gtest/gtest.h>

#include <limits>
#include <regex>
#include <set>

#include "Core/DeviceData/SessionManager.h"
#include "support/ScopedClock.h"
#include "support/TestEnvironment.h"

using namespace svsdk;
using namespace svsdk::testing;

namespace {

constexpr double kStart = 1700000000.0;

bool isUUIDText(const std::string& text) {
    static const std::regex form("[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}");
    return std::regex_match(text, form);
}

TEST(SessionManagerTest, SessionRollsOverAfterMoreThanFifteenIdleMinutes) {
    // Each step: move the clock by `advance` seconds, make an event, and say
    // whether it continues the session of the event before.
    struct Step {
        double advance;
        bool sameSession;
    } steps[] = {
        {0, true},        // the first event makes the session
        {14 * 60, true},  // 14 minutes, then another 14: counted from the last event
        {14 * 60, true},
        {900, true},      // exactly 15 minutes keeps it
        {900.001, false},
        {-3600, true},    // a clock set back keeps it
        {14 * 60, true},  // counted from the set-back event's own time
        {16 * 60, false},
    };
    ScopedPlatform platform{SVLoggingOptions::debug};
    ScopedClock clock(kStart, 100);
    SessionManager sessions;
    std::string previous = sessions.currentSession().sessionID;
    EXPECT_TRUE(isUUIDText(previous));
    std::set<std::string> eventIDs;
    int index = 0;
    for (const auto& step : steps) {
        SCOPED_TRACE(index++);
        clock.advance(step.advance);
        Event event = sessions.makeEvent();
        EXPECT_EQ(event.sessionID == previous, step.sameSession);
        EXPECT_EQ(event.sessionID, sessions.currentSession().sessionID);
        EXPECT_TRUE(isUUIDText(event.eventID));
        EXPECT_TRUE(eventIDs.insert(event.eventID).second) << "event identifiers repeat";
        EXPECT_FALSE(event.deviceInfo);
        EXPECT_TRUE(platform.log().contains(SVLogCategory::events, "Using the session with ID: " + event.sessionID));
        previous = event.sessionID;
    }
}

TEST(SessionManagerTest, RefreshCreatesTheFirstSessionAndMarksItUsed) {
    ScopedPlatform platform{SVLoggingOptions::debug};
    ScopedClock clock(kStart, 100);
    SessionManager sessions;
    sessions.refreshSession();
    const Session first = sessions.currentSession();
    EXPECT_EQ(first.lastEventDate, kStart);
    EXPECT_TRUE(platform.log().contains(SVLogCategory::events, "Using the session with ID: " + first.sessionID));
    clock.advance(600);
    sessions.refreshSession();
    EXPECT_EQ(sessions.currentSession().sessionID, first.sessionID);
    EXPECT_EQ(sessions.currentSession().lastEventDate, kStart + 600);
}

TEST(SessionManagerTest, DeviceTimeIsTheDeviceClockInRoundedMilliseconds) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    struct Case {
        double seconds;
        std::int64_t milliseconds;
    } cases[] = {
        {kStart, 1700000000000},
        {1700000000.0625, 1700000000063},  // exactly halfway: away from zero
        {1.0625, 1063},
        {-1.0625, -1063},
        {0.0004, 0},
        {nan, 0},
        {inf, 0},
        {-inf, 0},
        {9.3e15, 0},                           // beyond 2^63 milliseconds
        {-9223372036854775.808, std::numeric_limits<std::int64_t>::min()},
    };
    ScopedClock clock(kStart, 100);
    SessionManager sessions;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.seconds);
        EXPECT_EQ(millisecondsSince1970(c.seconds), c.milliseconds);
        clock.set(c.seconds, 100);
        EXPECT_EQ(sessions.makeEvent().deviceTime, c.milliseconds);
    }
}

}  // namespace
