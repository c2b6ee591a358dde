#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <thread>
#include <vector>

#include "Core/Time/DNSResolver.h"
#include "Core/Time/NTPClient.h"
#include "Platform/DispatchQueue.h"
#include "support/LoopbackServer.h"
#include "support/UdpResponder.h"

using namespace svsdk;
using namespace svsdk::testing;
using Bytes = std::vector<std::uint8_t>;

TEST(TimeSyncConcurrencyTest, AnAnswerAndATimeoutOnTwoThreadsEndTheResolutionOnce) {
    constexpr int rounds = 300;
    std::atomic<int> completions{0};
    for (int round = 0; round < rounds; ++round) {
        auto resolver = std::make_shared<DNSResolver>([&](std::vector<InternetAddress>) { ++completions; });
        std::atomic<int> ready{0};
        auto meet = [&](auto ending) {
            return std::thread([&, ending] {
                ++ready;
                while (ready < 2) std::this_thread::yield();
                ending();
            });
        };
        auto answer = meet([resolver] { resolver->onAnswer({}); });
        auto timeout = meet([resolver] { resolver->onTimeout(); });
        answer.join();
        timeout.join();
    }
    DispatchQueue::main().sync([] {});  // the channels' clean-up has run
    EXPECT_EQ(completions, rounds);
}

// The host exits while a resolution waits for its name server and a run waits
// for replies: the main queue stops with sockets open and timers pending,
// and everything they held is released without a use after free or a race.
TEST(TimeSyncConcurrencyTest, RunsAndResolutionsAbandonedAtExit) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            auto* silent = new UdpResponder([](const Bytes&) { return std::vector<UdpResponder::Reply>{}; });
            DNSResolver::setServersForTesting("127.0.0.1:" + std::to_string(silent->port()));
            std::atomic<int> reports{0};
            DNSResolver::resolve("pending.test", 30, [&](std::vector<InternetAddress>) { ++reports; });
            NTPClient::query("127.0.0.1", silent->port(), 3, 30, 4, 5, [&](auto...) { ++reports; });
            NTPClient::query("pending.test", 123, 3, 30, 4, 5, [&](auto...) { ++reports; });
            for (int i = 0; i < 500 && silent->requestCount() < 3; ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            std::exit(silent->requestCount() >= 3 && reports == 0 ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST(TimeSyncConcurrencyTest, AStoppedQueueReleasesItsWatchesAndTimers) {
    auto queue = std::make_unique<DispatchQueue>("sockets");
    UdpResponder silent([](const Bytes&) { return std::vector<UdpResponder::Reply>{}; });
    auto held = std::make_shared<int>(0);
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    std::atomic<int> writable{0};
    queue->watch(fd, DispatchQueue::readable, [held](unsigned) {});
    queue->watch(fd, DispatchQueue::writable, [held, &writable](unsigned ready) {
        if (ready & DispatchQueue::writable) ++writable;
    });
    queue->asyncAfter(60, [held] {});
    while (writable == 0) std::this_thread::yield();
    std::thread stopper([&] { queue->stop(); });
    stopper.join();
    EXPECT_EQ(held.use_count(), 1) << "handlers and timers dropped";
    EXPECT_EQ(queue->watch(fd, DispatchQueue::readable, [](unsigned) {}), 0u);
    queue.reset();
    ::close(fd);
}
