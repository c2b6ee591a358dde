#include <gtest/gtest.h>

#include <thread>

#include "Core/DeviceData/LocationManager.h"
#include "support/Await.h"
#include "support/FakeLocationPlatform.h"
#include "support/TestEnvironment.h"

using namespace svsdk;
using namespace svsdk::testing;

namespace {

const Location kEmpty{};
const SVLocationFix kFix{10, -0.5, 0, 65, 0, 0};
const Location kFixTexts{"10.0", "-0.5", "65.0"};

struct LocationTest : ::testing::Test {
    ScopedPlatform platform{SVLoggingOptions::debug};
    std::shared_ptr<FakeLocationPlatform> fake = std::make_shared<FakeLocationPlatform>();
    std::shared_ptr<LocationManager> manager = LocationManager::make(fake);

    Location awaitLocation(const Future<Location>& future) { return await(future).value(); }
};

TEST_F(LocationTest, TwoRequestsShareOneFixAndUpdatesStopOnce) {
    auto first = manager->requestCurrentLocation();
    auto second = manager->requestCurrentLocation();
    drainMainQueue();
    EXPECT_EQ(manager->pendingCount(), 2u);
    EXPECT_EQ(fake->starts, 2);
    EXPECT_FALSE(first.isSettled());

    fake->deliver({kFix});
    EXPECT_EQ(awaitLocation(first), kFixTexts);
    EXPECT_EQ(awaitLocation(second), kFixTexts);
    EXPECT_EQ(fake->stops, 1);
    EXPECT_EQ(manager->pendingCount(), 0u);
    EXPECT_TRUE(platform.log().contains(SVLogCategory::events, "Starting updating location"));
    EXPECT_TRUE(platform.log().contains(SVLogCategory::events, "Location is updated"));
}

TEST_F(LocationTest, AuthorisationDecidesWhetherUpdatesStart) {
    using A = SVLocationAuthorization;
    struct Case {
        bool services;
        A status;
        bool whenInUseAvailable;
        bool authorised;
    } cases[] = {
        {true, A::authorizedWhenInUse, true, true},   {true, A::authorizedAlways, true, true},
        {true, A::authorizedAlways, false, true},     {true, A::authorizedWhenInUse, false, false},  // extension
        {true, A::notDetermined, true, false},        {true, A::restricted, true, false},
        {true, A::denied, true, false},               {false, A::authorizedAlways, true, false},
        {false, A::authorizedWhenInUse, true, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << "services " << c.services << " status " << static_cast<int>(c.status)
                                          << " when-in-use " << c.whenInUseAvailable);
        fake->servicesEnabled = c.services;
        fake->status = c.status;
        fake->starts = 0;
        manager->setLocationWhenInUseAvailable(c.whenInUseAvailable);
        platform.log().clear();

        auto request = manager->requestCurrentLocation();
        drainMainQueue();
        if (c.authorised) {
            EXPECT_FALSE(request.isSettled());
            EXPECT_EQ(fake->starts, 1);
            fake->deliver({kFix});
            EXPECT_EQ(awaitLocation(request), kFixTexts);
        } else {
            ASSERT_TRUE(request.isSettled());
            EXPECT_EQ(awaitLocation(request), kEmpty);
            EXPECT_EQ(fake->starts, 0);
            EXPECT_EQ(manager->pendingCount(), 0u);
            EXPECT_TRUE(platform.log().contains(SVLogCategory::events, "Couldn't get location: not authorized"));
        }
    }
}

TEST_F(LocationTest, ReportsResolveEveryPendingRequest) {
    struct Case {
        const char* name;
        std::vector<SVLocationFix> fixes;  // empty with `failure`: a failure report
        bool failure;
        Location expected;
    } cases[] = {
        {"several fixes: the last", {{1, 2, 0, 3, 0, 0}, {51.5074123, -0.1277583, 0, 4.5, 0, 0}}, false,
         {"51.5074123", "-0.1277583", "4.5"}},
        {"invalid accuracy and tiny values", {{0, 0.00001, 0, -1, 0, 0}}, false, {"0.0", "1e-05", "-1.0"}},
        {"an empty list", {}, false, kEmpty},
        {"a failure", {}, true, kEmpty},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fake->stops = 0;
        auto first = manager->requestCurrentLocation();
        auto second = manager->requestCurrentLocation();
        drainMainQueue();
        if (c.failure)
            fake->fail("boom");
        else
            fake->deliver(c.fixes);
        EXPECT_EQ(awaitLocation(first), c.expected);
        EXPECT_EQ(awaitLocation(second), c.expected);
        EXPECT_EQ(fake->stops, 1);
        EXPECT_EQ(manager->pendingCount(), 0u);
    }
    const auto entries = platform.log().entries();
    EXPECT_TRUE(std::any_of(entries.begin(), entries.end(), [](const auto& e) {
        return e.type == SVLogType::error && e.message == "Location manager did fail with error: boom";
    }));
}

TEST_F(LocationTest, AReportWithNothingPendingOnlyStopsUpdates) {
    fake->deliver({kFix});
    fake->fail("late");
    EXPECT_EQ(fake->stops, 2);
    EXPECT_EQ(manager->pendingCount(), 0u);
    // The service stays usable: the next request starts updates again.
    auto request = manager->requestCurrentLocation();
    drainMainQueue();
    EXPECT_EQ(fake->starts, 1);
    fake->deliver({kFix});
    EXPECT_EQ(awaitLocation(request), kFixTexts);
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

    EXPECT_EQ(awaitLocation(expiring), kEmpty);
    EXPECT_EQ(manager->pendingCount(), 1u);
    EXPECT_EQ(fake->stops, 0);  // another request still waits
    EXPECT_FALSE(waiting.isSettled());
    fake->deliver({kFix});
    EXPECT_EQ(awaitLocation(waiting), kFixTexts);

    // The last waiting request ending at its limit switches updates off.
    config.locationTimeLimit = 0.01;
    platform.apply(config);
    auto alone = manager->requestCurrentLocation();
    EXPECT_EQ(awaitLocation(alone), kEmpty);
    drainMainQueue();
    EXPECT_EQ(fake->stops, 2);
    EXPECT_EQ(manager->pendingCount(), 0u);
}

// The host's provider behind the platform interface.
struct Provider : SVLocationProvider {
    bool enabled = true;
    SVLocationAuthorization status = SVLocationAuthorization::authorizedAlways;
    std::optional<SVLocationFix> answer;
    std::atomic<int> requests{0};
    bool locationServicesEnabled() override { return enabled; }
    SVLocationAuthorization authorizationStatus() override { return status; }
    void requestLocation(std::function<void(std::optional<SVLocationFix>)> completion) override {
        ++requests;
        // From another thread, as a host's provider may.
        std::thread([completion, fix = answer] { completion(fix); }).detach();
    }
};

TEST_F(LocationTest, TheHostProviderAnswersThroughThePlatformInterface) {
    struct Case {
        const char* name;
        bool configured;
        bool enabled;
        std::optional<SVLocationFix> answer;
        Location expected;
        int requests;
    } cases[] = {
        {"no provider", false, true, kFix, kEmpty, 0},
        {"services off", true, false, kFix, kEmpty, 0},
        {"a fix", true, true, kFix, kFixTexts, 1},
        {"no fix", true, true, std::nullopt, kEmpty, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto provider = std::make_shared<Provider>();
        provider->enabled = c.enabled;
        provider->answer = c.answer;
        auto config = platform.configuration();
        config.locationProvider = c.configured ? provider : nullptr;
        platform.apply(config);
        // No setup() call: the service is the platform's delegate from the start.
        auto service = LocationManager::make(std::make_shared<ProviderLocationPlatform>());
        EXPECT_EQ(awaitLocation(service->requestCurrentLocation()), c.expected);
        EXPECT_EQ(provider->requests, c.requests);
    }
}

}  // namespace
