#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <thread>

#include "Core/Time/DNSResolver.h"
#include "Core/Time/NTPClient.h"
#include "Core/Time/StableTimeStore.h"
#include "Platform/DefaultsStore.h"
#include "Platform/DispatchQueue.h"
#include "support/ScopedClock.h"
#include "support/TestEnvironment.h"
#include "support/UdpResponder.h"

using namespace svsdk;
using namespace svsdk::testing;
using namespace std::chrono_literals;

namespace {

// Runs `write(thread, i)` on 3 threads, i < `iterations`, and `read()` on 3 more until the writers are done.
void race(int iterations, std::function<void(int, int)> write, std::function<void()> read) {
    std::atomic<bool> done{false};
    std::vector<std::thread> readers, writers;
    for (int t = 0; t < 3; ++t) {
        readers.emplace_back([&] { while (!done) read(); });
        writers.emplace_back([&, t] { for (int i = 0; i < iterations; ++i) write(t, i); });
    }
    for (auto& t : writers) t.join();
    done = true;
    for (auto& t : readers) t.join();
}

}  // namespace

TEST(StableTimeConcurrencyTest, ReadersSeeWholeRecordsInMemoryAndInTheStore) {
    ScopedPlatform platform;
    ScopedClock clock(1'700'000'000, 500);
    std::atomic<int> mixed{0}, seen{0};
    auto whole = [](const StableTime& t) {  // (k, k, k) written directly, or (500, 1.7e9, k) from a report
        return (t.uptime == t.timestamp && t.timestamp == t.offset) || (t.uptime == 500 && t.timestamp == 1.7e9);
    };
    race(20'000, [](int w, int i) {
        double k = w * 100'000 + i + 1;
        TimeManager::setStableTime(StableTime{k, k, k});
    }, [&] {
        if (auto t = TimeManager::stableTime()) mixed += !whole(*t), ++seen;
        (void)TimeManager::shared().now();
    });
    auto handler = TimeManager::recordStableTime();
    race(20, [&](int w, int i) {
        double k = w * 1'000 + i + 1;
        i % 2 ? handler(k, i + 1, 20) : TimeManager::saveStableTime(StableTime{k, k, k});
    }, [&] {
        auto stored = DefaultsStore::value(stable_time_store::recordKey);
        auto numbers = stored ? stable_time_store::numbers(*stored) : std::nullopt;
        if (stored && (!numbers || numbers->size() != 3)) return (void)++mixed;
        if (numbers) mixed += !whole({numbers->at("Uptime"), numbers->at("Timestamp"), numbers->at("Offset")});
    });
    EXPECT_EQ(mixed.load(), 0);
    EXPECT_GT(seen.load(), 0);
}

TEST(StableTimeConcurrencyTest, ConcurrentWritersKeepEveryKey) {
    ScopedPlatform platform;
    race(10, [](int w, int i) { DefaultsStore::setValue("key" + std::to_string(w * 100 + i), w * 100 + i); },
         [] { (void)DefaultsStore::value("key0"); });
    for (int w = 0; w < 3; ++w)
        for (int i = 0; i < 10; ++i) EXPECT_EQ(DefaultsStore::value("key" + std::to_string(w * 100 + i)), w * 100 + i);
}

TEST(TimeSyncConcurrencyTest, AnAnswerAndATimeoutOnTwoThreadsEndTheResolutionOnce) {
    std::atomic<int> completions{0};
    for (int round = 0; round < 300; ++round) {
        auto resolver = std::make_shared<DNSResolver>([&](std::vector<InternetAddress>) { ++completions; });
        std::atomic<int> ready{0};
        race(1, [&](int t, int) {
            for (++ready; ready < 3;) std::this_thread::yield();
            t == 0 ? resolver->onAnswer({}) : t == 1 ? resolver->onTimeout() : resolver->onAnswer({});
        }, [] {});
    }
    DispatchQueue::main().sync([] {});  // the channels' clean-up has run
    EXPECT_EQ(completions, 300);
}

// The host exits while a resolution waits for its name server and a run waits for replies: the main queue
// stops with sockets open and timers pending, and everything they held is released without a use after free
// or a race.
TEST(TimeSyncConcurrencyTest, RunsAndResolutionsAbandonedAtExit) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT({
        auto* silent = new UdpResponder([](const UdpResponder::Bytes&) { return std::vector<UdpResponder::Reply>{}; });
        DNSResolver::setServersForTesting("127.0.0.1:" + std::to_string(silent->port()));
        std::atomic<int> reports{0};
        DNSResolver::resolve("pending.test", 30, [&](std::vector<InternetAddress>) { ++reports; });
        NTPClient::query("127.0.0.1", silent->port(), 3, 30, 4, 5, [&](auto...) { ++reports; });
        NTPClient::query("pending.test", 123, 3, 30, 4, 5, [&](auto...) { ++reports; });
        for (int i = 0; i < 500 && silent->requestCount() < 3; ++i) std::this_thread::sleep_for(2ms);
        std::exit(silent->requestCount() >= 3 && reports == 0 ? 0 : 1);
    }, ::testing::ExitedWithCode(0), "");
}

TEST(TimeSyncConcurrencyTest, AStoppedQueueReleasesItsWatchesAndTimers) {
    auto queue = std::make_unique<DispatchQueue>("sockets");
    auto held = std::make_shared<int>(0);
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    std::atomic<unsigned> seen{0};
    queue->watch(fd, DispatchQueue::readable, [held](unsigned) {});
    queue->watch(fd, DispatchQueue::writable, [held, &seen](unsigned ready) { seen |= ready; });
    queue->asyncAfter(60, [held] {});
    while (!(seen & DispatchQueue::writable)) std::this_thread::yield();
    std::thread([&] { queue->stop(); }).join();
    EXPECT_EQ(held.use_count(), 1) << "handlers and timers dropped";
    EXPECT_EQ(queue->watch(fd, DispatchQueue::readable, [](unsigned) {}), 0u);
    queue.reset();
    ::close(fd);
}
