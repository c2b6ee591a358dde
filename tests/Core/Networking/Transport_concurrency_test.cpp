#include <gtest/gtest.h>

#include <atomic>
#include <barrier>
#include <cstdlib>
#include <thread>
#include <vector>

#include "Core/Networking/APIInteractionManager.h"
#include "Core/Networking/HTTPSession.h"
#include "Core/Networking/NetSupport.h"
#include "Core/Networking/Request.h"
#include "support/TestUsers.h"

using namespace svsdk;
using namespace svsdk::testing;

namespace {

// Runs `body(thread)` on `count` threads released at once.
template <class F>
void onThreads(int count, F body) {
    std::barrier start(count);
    std::vector<std::thread> threads;
    for (int t = 0; t < count; ++t)
        threads.emplace_back([&, t] {
            start.arrive_and_wait();
            body(t);
        });
    for (auto& thread : threads) thread.join();
}

// The incorrect-password event 100 times from 4 threads, every outcome dropped.
void sendManyEvents(const LegacyServer& server, const SVUser& user) {
    APIInteractorLegacy legacy(server.url(), 2);
    onThreads(4, [&](int) {
        for (int i = 0; i < 25; ++i) legacy.sendPasswordIncorrectEvent(user);
    });
}

}  // namespace

TEST(TransportConcurrencyTest, ObserversAndSettlersRaceWithoutLosingOrRepeatingACallback) {
    for (int round = 0; round < 200; ++round) {
        Promise<int> promise;
        std::atomic<int> calls{0}, wrongValue{0};
        onThreads(7, [&](int t) {
            if (t >= 4) return promise.resolve(t);
            for (int i = 0; i < 8; ++i)
                promise.observe([&](const SVResult<int>& r) {
                    ++calls;
                    if (r.value() != promise.result()->value()) ++wrongValue;
                });
        });
        EXPECT_EQ(calls.load(), 32);
        EXPECT_EQ(wrongValue.load(), 0);
    }
}

// Every request is sent with its own signed body and completes; later steps run on the network thread.
TEST(TransportConcurrencyTest, ManyRequestsFromManyThreadsAllComplete) {
    LoopbackServer server;
    server.answerOthers(ScriptedAnswer::json(200, "{}"));
    Bytes key(32, 0x5a);
    std::vector<Future<std::string>> answers(200);
    std::atomic<int> offNetworkThread{0};
    onThreads(8, [&](int t) {
        for (int n = t * 25; n < t * 25 + 25; ++n) {
            std::string component = "r" + std::to_string(n);
            Request<nlohmann::ordered_json> request{Endpoint(URL::parse(server.baseURL()).value(), {component}),
                                                    HTTPMethod::post, {{"path", component}}};
            // A step added after the answer arrived runs at once on the thread that adds it.
            const auto adding = std::this_thread::get_id();
            answers[n] = sendRequest(request.urlRequest(key, false)).transformed([&, adding](const Bytes&) {
                if (!HTTPSession::shared().isCurrent() && std::this_thread::get_id() != adding) ++offNetworkThread;
                return std::string("done");
            });
        }
    });
    for (auto& answer : answers) EXPECT_EQ(await(answer).value(), "done");
    EXPECT_EQ(offNetworkThread.load(), 0);
    auto received = server.requests();
    ASSERT_EQ(received.size(), answers.size());
    for (const RecordedRequest& request : received) {
        EXPECT_EQ(request.body, R"({"path":")" + request.path.substr(1) + R"("})");
        EXPECT_EQ(request.header("SV-Authorization"), expectedSignature(key, request.body));
    }
}

TEST(TransportConcurrencyTest, ConcurrentFirstRequestsForOneSystemStartOneProbe) {
    LoopbackServer server;
    ScriptedAnswer slow = ScriptedAnswer::json(200, R"({"sv_api_version":3})");
    slow.delay = 0.1;  // the others ask while the first probe waits
    server.answer("GET", "/health_check", slow);
    APIInteractionManager manager;
    std::vector<Future<APIInteractionManager::Interactor>> interactors(16);
    onThreads(16, [&](int t) { interactors[t] = manager.makeInteractor(userOf("SYS", server.baseURL())); });
    for (auto& interactor : interactors) EXPECT_EQ(await(interactor).value()->version(), 3);
    EXPECT_EQ(server.requestCount(), 1u);
}

// Each answer reaches its request's completion although nobody holds the request's future.
TEST(TransportConcurrencyTest, UnobservedLegacyEventsRunToTheirEndOnTheNetworkThread) {
    ScopedPlatform platform(SVLoggingOptions::debug);
    LegacyServer server(2);
    ScopedLegacyUser scoped(legacyUser("user-1", 0x2, server.baseURL()));
    sendManyEvents(server, scoped.user());
    ASSERT_TRUE(server.server.waitForRequests(100, 20));
    auto answered = [&] {
        std::size_t count = 0;
        for (const auto& entry : platform.log().entries())
            count += entry.category == SVLogCategory::network && entry.message.rfind("Response: 200", 0) == 0;
        return count;
    };
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (answered() < 100 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(answered(), 100u);
    for (const auto& request : server.server.requests())
        EXPECT_EQ(request.header("Authorization"), expectedSignature(legacyKAuth(), request.body));
}

TEST(TransportConcurrencyTest, TheProcessExitsWhileLegacyEventsAreInFlight) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            ScopedPlatform platform;
            auto* server = new LegacyServer(2);  // left running: the process ends under it
            ScriptedAnswer slow = ScriptedAnswer::json(200, "{}");
            slow.delay = 5;
            server->answer("password_invalid", slow);
            ScopedLegacyUser scoped(legacyUser("user-1", 0x2, server->baseURL()));
            sendManyEvents(*server, scoped.user());
            // Every connection the session may open has sent its request: exit tears down
            // the server library's own state under threads inside the slow answer.
            server->server.waitForRequests(HTTPSession::kMaximumConnectionsPerHost, 5);
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "");
}
