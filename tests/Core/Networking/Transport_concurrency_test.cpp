#include <gtest/gtest.h>

#include <atomic>
#include <barrier>
#include <thread>
#include <vector>

#include "Core/Networking/APIInteractionManager.h"
#include "Core/Networking/Request.h"
#include "support/Await.h"
#include "support/LoopbackServer.h"
#include "support/TestUsers.h"

using namespace svsdk;
using svsdk::testing::await;
using svsdk::testing::LoopbackServer;
using svsdk::testing::userOf;
using svsdk::testing::RecordedRequest;
using svsdk::testing::ScriptedAnswer;

namespace {

struct PathBody {
    std::string path;
};
void to_json(nlohmann::ordered_json& json, const PathBody& body) { json["path"] = body.path; }

}  // namespace

TEST(TransportConcurrencyTest, ObserversAndSettlersRaceWithoutLosingOrRepeatingACallback) {
    constexpr int kRounds = 200, kObservers = 4, kPerObserver = 8, kSettlers = 3;
    for (int round = 0; round < kRounds; ++round) {
        Promise<int> promise;
        std::atomic<int> calls{0};
        std::atomic<int> wrongValue{0};
        std::barrier start(kObservers + kSettlers);
        std::vector<std::thread> threads;
        for (int t = 0; t < kObservers; ++t)
            threads.emplace_back([&] {
                start.arrive_and_wait();
                for (int i = 0; i < kPerObserver; ++i)
                    promise.observe([&](const SVResult<int>& r) {
                        ++calls;
                        if (r.value() != promise.result()->value()) ++wrongValue;
                    });
            });
        for (int t = 0; t < kSettlers; ++t)
            threads.emplace_back([&, t] {
                start.arrive_and_wait();
                promise.resolve(t);
            });
        for (auto& thread : threads) thread.join();
        EXPECT_EQ(calls.load(), kObservers * kPerObserver);
        EXPECT_EQ(wrongValue.load(), 0);
    }
}

TEST(TransportConcurrencyTest, ManyRequestsFromManyThreadsAllComplete) {
    LoopbackServer server;
    server.answerOthers(ScriptedAnswer::json(200, "{}"));
    constexpr int kThreads = 8, kRequests = 25;
    Bytes key(32, 0x5a);
    std::vector<Future<std::string>> answers(kThreads * kRequests);
    std::atomic<int> offNetworkThread{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < kRequests; ++i) {
                int n = t * kRequests + i;
                std::string component = "r" + std::to_string(n);
                Request<PathBody> request{Endpoint(URL::parse(server.baseURL()).value(), {component}),
                                          HTTPMethod::post, {component}};
                // A step added after the answer arrived runs at once on the
                // thread that adds it; every other step runs on the network thread.
                const auto adding = std::this_thread::get_id();
                answers[n] = sendRequest(request.urlRequest(key, false)).transformed([&, adding](const Bytes&) {
                    if (!HTTPSession::shared().isCurrent() && std::this_thread::get_id() != adding)
                        ++offNetworkThread;
                    return std::string("done");
                });
            }
        });
    for (auto& thread : threads) thread.join();
    for (auto& answer : answers) EXPECT_EQ(await(answer).value(), "done");
    EXPECT_EQ(offNetworkThread.load(), 0);

    auto received = server.requests();
    ASSERT_EQ(received.size(), answers.size());
    for (const RecordedRequest& request : received)
        EXPECT_EQ(request.body, R"({"path":")" + request.path.substr(1) + R"("})");
}

TEST(TransportConcurrencyTest, ConcurrentFirstRequestsForOneSystemStartOneProbe) {
    LoopbackServer server;
    ScriptedAnswer slow = ScriptedAnswer::json(200, R"({"sv_api_version":3})");
    slow.delay = 0.1;
    server.answer("GET", "/health_check", slow);
    APIInteractionManager manager;
    constexpr int kThreads = 16;
    std::vector<Future<APIInteractionManager::Interactor>> interactors(kThreads);
    std::barrier start(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            start.arrive_and_wait();
            interactors[t] = manager.makeInteractor(userOf("SYS", server.baseURL()));
        });
    for (auto& thread : threads) thread.join();
    for (auto& interactor : interactors) EXPECT_EQ(await(interactor).value()->version(), 3);
    EXPECT_EQ(server.requestCount(), 1u);
}
