#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <thread>
#include <vector>

#include "Core/DeviceData/Analytics.h"
#include "Core/DeviceData/SessionManager.h"
#include "support/Await.h"
#include "support/FakeLocationPlatform.h"
#include "support/TestEnvironment.h"

using namespace svsdk;
using namespace svsdk::testing;

// Collections on many threads at once, while the user agent is fetched again
// on the main queue, the extension switch flips and sessions refresh: every
// collection completes with all its parts, and events never share an
// identifier.
TEST(DeviceDataConcurrencyTest, ManyCollectionsAtOnce) {
    ScopedPlatform platform;
    auto config = platform.configuration();
    config.userAgentProvider = [] { return std::string("Agent/1.0"); };
    config.carrierProvider = [] { return std::vector<SVCarrier>{{"A", "310", "us"}}; };
    platform.apply(config);
    ScopedFakeLocation location;
    location->status = SVLocationAuthorization::authorizedAlways;
    location->answer = SVLocationFix{10, -0.5, 0, 65, 0, 0};

    constexpr int kThreads = 8, kPerThread = 40;
    std::atomic<bool> done{false};
    std::thread churn([&] {
        for (bool available = false; !done; available = !available) {
            DispatchQueue::main().async([] { WifiInfo::loadUserAgent(); });
            LocationManager::shared().setLocationWhenInUseAvailable(available);
            SessionManager::shared().refreshSession();
            std::this_thread::yield();
        }
    });
    std::vector<std::vector<Analytics::CollectedData>> results(kThreads);
    std::vector<std::thread> collectors;
    for (int t = 0; t < kThreads; ++t)
        collectors.emplace_back([&, t] {
            std::vector<Future<Analytics::CollectedData>> futures;
            for (int i = 0; i < kPerThread; ++i) futures.push_back(Analytics::collect(UserFlags(0x1E)));
            for (const auto& future : futures) results[t].push_back(await(future).value());
        });
    for (auto& thread : collectors) thread.join();
    done = true;
    churn.join();

    std::set<std::string> eventIDs;
    for (const auto& perThread : results)
        for (const auto& data : perThread) {
            ASSERT_TRUE(data.event && data.deviceInfo && data.deviceInfo->locationInfo);
            eventIDs.insert(data.event->eventID);
            EXPECT_EQ(data.deviceInfo->locationInfo->latitude, "10.0");
            EXPECT_EQ(data.deviceInfo->simInfo->simOperatorName, "A");
            const std::string agent = data.deviceInfo->wifiInfo->userAgent;
            EXPECT_TRUE(agent.empty() || agent == "Agent/1.0") << agent;
        }
    EXPECT_EQ(eventIDs.size(), std::size_t(kThreads * kPerThread));
    drainMainQueue();
    EXPECT_EQ(LocationManager::shared().pendingCount(), 0u);
}
