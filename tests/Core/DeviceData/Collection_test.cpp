#include <gtest/gtest.h>

#include <future>
#include <thread>

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

const Location kEmpty{};
const SVLocationFix kFix{10, -0.5, 0, 65, 0, 0};
const Location kFixTexts{"10.0", "-0.5", "65.0"};

Location awaited(const Future<Location>& future) { return await(future).value(); }

// Holds the main queue until the returned promise is set.
std::promise<void> holdMainQueue() {
    std::promise<void> release;
    DispatchQueue::main().async([held = release.get_future().share()] { held.wait(); });
    return release;
}

struct LocationTest : ::testing::Test {
    ScopedPlatform platform{SVLoggingOptions::debug};
    std::shared_ptr<FakeLocationPlatform> fake = std::make_shared<FakeLocationPlatform>();
    std::shared_ptr<LocationManager> manager = LocationManager::make(fake);
    bool logged(const std::string& message) { return platform.log().contains(SVLogCategory::events, message); }
};

TEST_F(LocationTest, AuthorisationDecidesWhetherUpdatesStartAndWaitingRequestsShareTheFix) {
    using A = SVLocationAuthorization;
    struct Case {
        bool services;
        A status;
        bool whenInUseAvailable, authorised;
    } cases[] = {
        {true, A::authorizedWhenInUse, true, true}, {true, A::authorizedAlways, true, true},
        {true, A::authorizedAlways, false, true},   {true, A::authorizedWhenInUse, false, false},  // extension
        {true, A::notDetermined, true, false},      {true, A::restricted, true, false},
        {true, A::denied, true, false},             {false, A::authorizedAlways, true, false},
        {false, A::authorizedWhenInUse, true, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.services << " " << int(c.status) << " " << c.whenInUseAvailable);
        fake->servicesEnabled = c.services;
        fake->status = c.status;
        fake->starts = fake->stops = 0;
        manager->setLocationWhenInUseAvailable(c.whenInUseAvailable);
        platform.log().clear();
        auto first = manager->requestCurrentLocation(), second = manager->requestCurrentLocation();
        drainMainQueue();
        EXPECT_EQ(first.isSettled(), !c.authorised);
        EXPECT_EQ(manager->pendingCount(), c.authorised ? 2u : 0u);
        EXPECT_EQ(fake->starts, c.authorised ? 2 : 0);
        EXPECT_EQ(logged("Starting updating location"), c.authorised);
        EXPECT_EQ(logged("Couldn't get location: not authorized"), !c.authorised);
        if (c.authorised) fake->deliver({kFix});
        EXPECT_EQ(awaited(first), c.authorised ? kFixTexts : kEmpty);
        EXPECT_EQ(awaited(second), c.authorised ? kFixTexts : kEmpty);
        EXPECT_EQ(fake->stops, c.authorised ? 1 : 0);
        EXPECT_EQ(manager->pendingCount(), 0u);
    }
}

TEST_F(LocationTest, AReportResolvesEveryPendingRequestAndStopsUpdates) {
    struct Case {
        const char* name;
        int requests;
        std::vector<SVLocationFix> fixes;  // empty with `failure`: a failure report
        bool failure;
        Location expected;
    } cases[] = {
        {"nothing pending", 0, {kFix}, false, kEmpty},
        {"nothing pending, a failure", 0, {}, true, kEmpty},
        {"several fixes: the last", 2, {{1, 2, 0, 3, 0, 0}, {51.5074123, -0.1277583, 0, 4.5, 0, 0}}, false,
         {"51.5074123", "-0.1277583", "4.5"}},
        {"invalid accuracy and tiny values", 2, {{0, 0.00001, 0, -1, 0, 0}}, false, {"0.0", "1e-05", "-1.0"}},
        {"an empty list", 2, {}, false, kEmpty},
        {"a failure", 2, {}, true, kEmpty},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fake->stops = 0;
        std::vector<Future<Location>> requests;
        for (int i = 0; i < c.requests; ++i) requests.push_back(manager->requestCurrentLocation());
        drainMainQueue();
        c.failure ? fake->fail("boom") : fake->deliver(c.fixes);
        for (const auto& request : requests) EXPECT_EQ(awaited(request), c.expected);
        EXPECT_EQ(fake->stops, 1);
        EXPECT_EQ(manager->pendingCount(), 0u);
    }
    EXPECT_TRUE(logged("Location is updated"));
    const auto entries = platform.log().entries();
    EXPECT_TRUE(std::any_of(entries.begin(), entries.end(), [](const auto& e) {
        return e.type == SVLogType::error && e.message == "Location manager did fail with error: boom";
    }));
    // A service that is gone leaves the platform without a delegate.
    manager.reset();
    EXPECT_EQ(fake->delegate(), nullptr);
}

TEST_F(LocationTest, ARequestWithoutAnswerEndsAtTheTimeLimitAndOthersStillGetTheFix) {
    auto config = platform.configuration();
    config.locationTimeLimit = 0.3;
    platform.apply(config);
    auto expiring = manager->requestCurrentLocation();
    drainMainQueue();
    config.locationTimeLimit = 60;
    platform.apply(config);
    auto waiting = manager->requestCurrentLocation();
    EXPECT_EQ(awaited(expiring), kEmpty);
    EXPECT_EQ(manager->pendingCount(), 1u);
    EXPECT_EQ(fake->stops, 0);  // another request still waits
    fake->deliver({kFix});
    EXPECT_EQ(awaited(waiting), kFixTexts);

    // The last waiting request ending at its limit switches updates off.
    config.locationTimeLimit = 0.01;
    platform.apply(config);
    EXPECT_EQ(awaited(manager->requestCurrentLocation()), kEmpty);
    drainMainQueue();
    EXPECT_EQ(fake->stops, 2);
    EXPECT_EQ(manager->pendingCount(), 0u);
}

// The host's provider behind the platform interface, answering from another thread.
struct Provider : SVLocationProvider {
    bool enabled = true;
    std::optional<SVLocationFix> answer;
    std::atomic<int> requests{0};
    bool locationServicesEnabled() override { return enabled; }
    SVLocationAuthorization authorizationStatus() override { return SVLocationAuthorization::authorizedAlways; }
    void requestLocation(std::function<void(std::optional<SVLocationFix>)> completion) override {
        ++requests;
        std::thread([completion, fix = answer] { completion(fix); }).detach();
    }
};

TEST_F(LocationTest, TheHostProviderAnswersThroughThePlatformInterface) {
    struct Case {
        bool configured, enabled;
        std::optional<SVLocationFix> answer;
        Location expected;
        int requests;
    } cases[] = {{false, true, kFix, kEmpty, 0},
                 {true, false, kFix, kEmpty, 0},
                 {true, true, kFix, kFixTexts, 1},
                 {true, true, std::nullopt, kEmpty, 1}};
    for (const auto& c : cases) {
        auto provider = std::make_shared<Provider>();
        provider->enabled = c.enabled;
        provider->answer = c.answer;
        auto config = platform.configuration();
        config.locationProvider = c.configured ? provider : nullptr;
        platform.apply(config);
        // No setup() call: the service is the platform's delegate from the start.
        auto service = LocationManager::make(std::make_shared<ProviderLocationPlatform>());
        EXPECT_EQ(awaited(service->requestCurrentLocation()), c.expected) << c.requests;
        EXPECT_EQ(provider->requests, c.requests);
    }
}

struct AnalyticsTest : ::testing::Test {
    ScopedPlatform platform{SVLoggingOptions::debug};
    ScopedFakeLocation location;

    void SetUp() override {
        auto config = platform.configuration();
        config.carrierProvider = [] { return std::vector<SVCarrier>{{"A", "310", "us"}}; };
        config.wifiProvider = [] { return SVWifiNetwork{"Home", "192.168.1.20"}; };
        platform.apply(config);
        location->answer = kFix;
    }
    Analytics::CollectedData collect(std::int64_t flags) { return await(Analytics::collect(UserFlags(flags))).value(); }
};

TEST_F(AnalyticsTest, FlagsDecideWhatIsCollected) {
    const std::vector<std::string> all = {"device", "app", "sim", "wifi", "sensor", "memory", "location"};
    const std::string events = "Adding events", device = "Adding Device's information",
                      sim = "Adding Sim-cards information";
    struct Case {
        std::int64_t flags;
        bool event;
        std::vector<std::string> parts;  // keys of the encoded device information; none: absent
        std::vector<std::string> messages;
    } cases[] = {
        {0x0, false, {}, {}},
        {0x1C, false, {}, {}},
        {0x1FD, false, {}, {}},  // every other bit, without collecting events
        {0x2, true, {}, {events}},
        {0x6, true, {"device", "app", "wifi", "sensor", "memory"}, {events, device}},
        {0xA, true, {"sim"}, {events, sim}},
        {0x12, true, {"location"}, {events}},
        {0x1E, true, all, {events, device, sim}},
        {0x1F | 0x600, true, all, {events, device, sim}},
    };
    ScopedClock clock(4000000000.0, 100);  // after any session of earlier tests
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << "flags 0x" << std::hex << c.flags);
        platform.log().clear();
        clock.advance(3600);  // a new session when the collection makes an event
        const Session before = SessionManager::shared().currentSession();
        const auto data = collect(c.flags);
        EXPECT_EQ(SessionManager::shared().currentSession().lastEventDate != before.lastEventDate, c.event);
        EXPECT_EQ(data.event && data.event->sessionID != before.sessionID, c.event);
        EXPECT_FALSE(data.event && data.event->deviceInfo);
        ASSERT_EQ(data.deviceInfo.has_value(), !c.parts.empty());
        std::vector<std::string> parts, messages;
        const Json json = data.deviceInfo ? Json(*data.deviceInfo) : Json::object();
        for (const auto& [key, value] : json.items()) parts.push_back(key);
        EXPECT_EQ(parts, c.parts);
        for (const auto& entry : platform.log().entries())
            if (entry.message.rfind("Adding ", 0) == 0) messages.push_back(entry.message);
        EXPECT_EQ(messages, c.messages);
        EXPECT_EQ(platform.log().contains(SVLogCategory::events, "Requested current location"),
                  c.event && (c.flags & 0x10));
        if (c.parts == all) {
            EXPECT_EQ(*data.deviceInfo->locationInfo, kFixTexts);
            EXPECT_EQ(data.deviceInfo->simInfo->simOperatorName, "A");
            EXPECT_EQ(data.deviceInfo->wifiInfo->SSID, "Home");
        }
    }
}

TEST_F(AnalyticsTest, TheLocationBranchWaitsForTheMainQueueAndFallsBackWithoutIt) {
    auto release = holdMainQueue();
    auto future = Analytics::collect(UserFlags(0x1E));
    EXPECT_FALSE(future.isSettled());
    EXPECT_TRUE(Analytics::collect(UserFlags(0xE)).isSettled());  // no location: complete on return
    release.set_value();
    const auto data = await(future).value();
    EXPECT_TRUE(data.deviceInfo->device && data.deviceInfo->simInfo && data.deviceInfo->locationInfo);

    // A failed location step gives the record without the location.
    Analytics::CollectedData fallback;
    fallback.deviceInfo.emplace().simInfo = SimInfo{};
    Analytics::CollectedData complete = fallback;
    complete.deviceInfo->locationInfo = Location{"1.0", "2.0", "3.0"};
    auto failed = Analytics::resolveWithFallback(Promise<Analytics::CollectedData>::rejected(SVError::internalError()),
                                                 fallback);
    EXPECT_EQ(await(failed).value().deviceInfo, fallback.deviceInfo);
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
    auto release = holdMainQueue();
    DispatchQueue::main().async([] { WifiInfo::loadUserAgent(); });
    EXPECT_EQ(collect(0x6).deviceInfo->wifiInfo->userAgent, "");
    release.set_value();
    drainMainQueue();
    EXPECT_EQ(collect(0x6).deviceInfo->wifiInfo->userAgent, "Agent/1.0");
}

}  // namespace
