#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <thread>
#include <vector>

#include "Core/Networking/HTTPSession.h"
#include "Core/Networking/NetSupport.h"
#include "support/TestEnvironment.h"

using namespace svsdk;
using namespace svsdk::testing;

namespace {

constexpr int kThreads = 4, kPerThread = 25;

// Sends the incorrect-password event kThreads * kPerThread times, from
// kThreads threads at once, and drops every outcome.
void sendMany(const APIInteractorLegacy& legacy, const SVUser& user) {
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < kPerThread; ++i) legacy.sendPasswordIncorrectEvent(user);
        });
    for (auto& thread : threads) thread.join();
}

std::size_t answered(RecordingSink& log) {
    std::size_t count = 0;
    for (const auto& entry : log.entries())
        if (entry.category == SVLogCategory::network && entry.message.rfind("Response: 200", 0) == 0) ++count;
    return count;
}

}  // namespace

TEST(LegacyEventsConcurrencyTest, UnobservedEventsRunToTheirEndOnTheNetworkThread) {
    ScopedPlatform platform(SVLoggingOptions::debug);
    LegacyServer server(2);
    ScopedLegacyUser scoped(legacyUser("user-1", 0x2, server.baseURL()));
    APIInteractorLegacy legacy(server.url(), 2);
    sendMany(legacy, scoped.user());
    constexpr std::size_t kAll = kThreads * kPerThread;
    ASSERT_TRUE(server.server.waitForRequests(kAll, 20));
    // Each answer reaches its request's completion although nobody holds the
    // request's future.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (answered(platform.log()) < kAll && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(answered(platform.log()), kAll);
    for (const auto& request : server.server.requests())
        EXPECT_EQ(request.header("Authorization"), expectedSignature(legacyKAuth(), request.body));
}

TEST(LegacyEventsConcurrencyTest, TheProcessExitsWhileEventsAreInFlight) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            ScopedPlatform platform;
            // Left running: the process ends under it.
            auto* server = new LegacyServer(2);
            ScriptedAnswer slow = ScriptedAnswer::json(200, "{}");
            slow.delay = 5;
            server->answer("password_invalid", slow);
            ScopedLegacyUser scoped(legacyUser("user-1", 0x2, server->baseURL()));
            sendMany(APIInteractorLegacy(server->url(), 2), scoped.user());
            // Every connection the session may open has sent its request, so
            // the server's threads are all inside the slow answer when exit
            // tears down the server library's own state under them.
            server->server.waitForRequests(HTTPSession::kMaximumConnectionsPerHost, 5);
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "");
}
