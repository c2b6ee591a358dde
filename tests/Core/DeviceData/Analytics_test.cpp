#include <gtest/gtest.h>

#include <future>

#include "Core/DeviceData/Analytics.h"
#include "Core/DeviceData/SessionManager.h"
#include "support/Await.h"
#include "support/FakeLocationPlatform.h"
#include "support/ScopedClock.h"
#include "support/TestEnvironment.h"

using namespace svsdk;
using namespace svsdk::testing;
using Json = nlohmann::ordered_json;

namespace {

const SVLocationFix kFix{10, -0.5, 0, 65, 0, 0};

struct AnalyticsTest : ::testing::Test {
    ScopedPlatform platform{SVLoggingOptions::debug};
    ScopedFakeLocation location;

    void SetUp() override {
        auto config = platform.configuration();
        config.carrierProvider = [] { return std::vector<SVCarrier>{{"A", "310", "us"}}; };
        config.wifiProvider = [] { return SVWifiNetwork{"Home", "192.168.1.20"}; };
        platform.apply(config);
        location->answerEveryStartWith(kFix);
    }

    Analytics::CollectedData collect(std::int64_t flags) { return await(Analytics::collect(UserFlags(flags))).value(); }

    std::vector<std::string> collectorMessages() {
        std::vector<std::string> messages;
        for (const auto& entry : platform.log().entries())
            if (entry.message.rfind("Adding ", 0) == 0) messages.push_back(entry.message);
        return messages;
    }
};

TEST_F(AnalyticsTest, FlagsDecideWhatIsCollected) {
    struct Case {
        std::int64_t flags;
        bool event;
        std::vector<std::string> parts;  // keys of the encoded device information; none: absent
        std::vector<std::string> messages;
    } cases[] = {
        {0x0, false, {}, {}},
        {0x4, false, {}, {}},
        {0x1C, false, {}, {}},
        {0x1FD, false, {}, {}},  // every other bit, without collecting events
        {0x2, true, {}, {"Adding events"}},
        {0x6, true, {"device", "app", "wifi", "sensor", "memory"}, {"Adding events", "Adding Device's information"}},
        {0xA, true, {"sim"}, {"Adding events", "Adding Sim-cards information"}},
        {0x12, true, {"location"}, {"Adding events"}},
        {0x1E,
         true,
         {"device", "app", "sim", "wifi", "sensor", "memory", "location"},
         {"Adding events", "Adding Device's information", "Adding Sim-cards information"}},
        {0x1F | 0x600, true, {"device", "app", "sim", "wifi", "sensor", "memory", "location"},
         {"Adding events", "Adding Device's information", "Adding Sim-cards information"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << "flags 0x" << std::hex << c.flags);
        platform.log().clear();
        location->starts = 0;
        const auto data = collect(c.flags);
        EXPECT_EQ(data.event.has_value(), c.event);
        if (data.event) {
            EXPECT_FALSE(data.event->deviceInfo);
        }
        EXPECT_EQ(data.deviceInfo.has_value(), !c.parts.empty());
        std::vector<std::string> parts;
        if (data.deviceInfo) {
            Json json = *data.deviceInfo;
            for (const auto& [key, value] : json.items()) parts.push_back(key);
        }
        EXPECT_EQ(parts, c.parts);
        EXPECT_EQ(collectorMessages(), c.messages);
        const bool locationAsked = c.event && (c.flags & 0x10);
        EXPECT_EQ(platform.log().contains(SVLogCategory::events, "Requested current location"), locationAsked);
        if (data.deviceInfo && data.deviceInfo->locationInfo) {
            EXPECT_EQ(*data.deviceInfo->locationInfo, (Location{"10.0", "-0.5", "65.0"}));
        }
        if (data.deviceInfo && data.deviceInfo->simInfo) {
            EXPECT_EQ(data.deviceInfo->simInfo->simOperatorName, "A");
        }
        if (data.deviceInfo && data.deviceInfo->wifiInfo) {
            EXPECT_EQ(data.deviceInfo->wifiInfo->SSID, "Home");
        }
    }
}

TEST_F(AnalyticsTest, WithoutCollectingEventsTheSessionIsUntouched) {
    ScopedClock clock(4000000000.0, 100);  // after any session of earlier tests
    const Session before = SessionManager::shared().currentSession();
    clock.advance(3600);
    auto future = Analytics::collect(UserFlags(0x1C));
    ASSERT_TRUE(future.isSettled());
    EXPECT_FALSE(await(future).value().event);
    EXPECT_EQ(SessionManager::shared().currentSession().lastEventDate, before.lastEventDate);
    drainMainQueue();
    EXPECT_EQ(location->starts, 0);

    // Two collections with events: one session, two events.
    const auto first = collect(0x2);
    const auto second = collect(0x2);
    EXPECT_NE(first.event->eventID, second.event->eventID);
    EXPECT_EQ(first.event->sessionID, second.event->sessionID);
    EXPECT_NE(first.event->sessionID, before.sessionID);  // long idle: a new session
    EXPECT_EQ(first.event->deviceTime, 4000003600000);
}

TEST_F(AnalyticsTest, TheLocationBranchWaitsForTheMainQueue) {
    // Held main queue: the record is pending until the location service runs.
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    DispatchQueue::main().async([released] { released.wait(); });
    auto future = Analytics::collect(UserFlags(0x1E));
    EXPECT_FALSE(future.isSettled());
    release.set_value();
    const auto data = await(future).value();
    ASSERT_TRUE(data.deviceInfo);
    EXPECT_TRUE(data.deviceInfo->device && data.deviceInfo->simInfo && data.deviceInfo->locationInfo);

    // Without the location bit the record is complete on return.
    EXPECT_TRUE(Analytics::collect(UserFlags(0xE)).isSettled());
}

TEST_F(AnalyticsTest, AnUnauthorisedLocationGivesTheEmptyLocationInTheEvent) {
    location->status = SVLocationAuthorization::denied;
    auto data = collect(0x12);
    ASSERT_TRUE(data.event && data.deviceInfo);
    Event event = *data.event;
    event.deviceInfo = data.deviceInfo;
    Json json = event;
    std::vector<std::string> keys;
    for (const auto& [key, value] : json.items()) keys.push_back(key);
    EXPECT_EQ(keys, (std::vector<std::string>{"device_event_id", "session_id", "device_time", "device_info"}));
    EXPECT_EQ(json["device_info"].dump(), R"({"location":{"latitude":"","longitude":"","accuracy":""}})");
}

TEST_F(AnalyticsTest, AFailedLocationStepGivesTheRecordWithoutTheLocation) {
    Analytics::CollectedData fallback;
    fallback.event = Event{"E", "S", 1, std::nullopt};
    fallback.deviceInfo.emplace().simInfo = SimInfo{};
    Analytics::CollectedData complete = fallback;
    complete.deviceInfo->locationInfo = Location{"1.0", "2.0", "3.0"};

    auto failed = Analytics::resolveWithFallback(Promise<Analytics::CollectedData>::rejected(SVError::internalError()),
                                                 fallback);
    auto result = await(failed);
    ASSERT_TRUE(result.ok());
    EXPECT_EQ(result.value().deviceInfo, fallback.deviceInfo);

    Promise<Analytics::CollectedData> later;
    auto succeeded = Analytics::resolveWithFallback(later, fallback);
    EXPECT_FALSE(succeeded.isSettled());
    later.resolve(complete);
    EXPECT_EQ(await(succeeded).value().deviceInfo, complete.deviceInfo);
}

TEST_F(AnalyticsTest, ACollectionBeforeTheUserAgentFetchHasRunHasAnEmptyUserAgent) {
    auto config = platform.configuration();
    platform.apply(config);
    WifiInfo::loadUserAgent();  // no provider: the kept user agent is empty
    config.userAgentProvider = [] { return std::string("Agent/1.0"); };
    platform.apply(config);

    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    DispatchQueue::main().async([released] { released.wait(); });
    DispatchQueue::main().async([] { WifiInfo::loadUserAgent(); });
    EXPECT_EQ(collect(0x6).deviceInfo->wifiInfo->userAgent, "");
    release.set_value();
    drainMainQueue();
    EXPECT_EQ(collect(0x6).deviceInfo->wifiInfo->userAgent, "Agent/1.0");
}

}  // namespace
