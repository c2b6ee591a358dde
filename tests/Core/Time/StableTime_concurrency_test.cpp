#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "Core/Time/StableTimeStore.h"
#include "Core/Time/TimeManager.h"
#include "Platform/DefaultsStore.h"
#include "support/ScopedClock.h"
#include "support/TestEnvironment.h"

using namespace svsdk;
using svsdk::testing::ScopedClock;
using svsdk::testing::ScopedPlatform;

namespace {

bool whole(const StableTime& t) { return t.uptime == t.timestamp && t.timestamp == t.offset; }

// Runs `writers` threads of `write(thread, i)` and `readers` threads of
// `read()` until the writers are done.
template <class Write, class Read>
void race(int writers, int iterations, int readers, Write write, Read read) {
    std::atomic<bool> done{false};
    std::vector<std::thread> threads;
    for (int r = 0; r < readers; ++r)
        threads.emplace_back([&] {
            while (!done.load()) read();
        });
    std::vector<std::thread> writing;
    for (int w = 0; w < writers; ++w)
        writing.emplace_back([&, w] {
            for (int i = 0; i < iterations; ++i) write(w, i);
        });
    for (auto& t : writing) t.join();
    done = true;
    for (auto& t : threads) t.join();
}

}  // namespace

TEST(StableTimeConcurrencyTest, ReadersSeeWholeRecordsInMemory) {
    ScopedClock clock(1'700'000'000, 500);
    std::atomic<int> mixed{0}, seen{0};
    race(
        4, 20'000, 4,
        [](int w, int i) {
            double k = w * 100'000 + i + 1;
            TimeManager::setStableTime(StableTime{k, k, k});
        },
        [&] {
            if (auto t = TimeManager::stableTime()) {
                ++seen;
                if (!whole(*t)) ++mixed;
            }
            (void)TimeManager::shared().now();
        });
    EXPECT_EQ(mixed.load(), 0);
    EXPECT_GT(seen.load(), 0);
}

TEST(StableTimeConcurrencyTest, ReportsAndTheStoreStayWhole) {
    ScopedPlatform platform;
    ScopedClock clock(1'700'000'000, 500);
    std::atomic<int> mixed{0};
    auto handler = TimeManager::recordStableTime();
    race(
        3, 20, 3,
        [&](int w, int i) {
            double k = w * 1'000 + i + 1;
            if (i % 2) {
                handler(k, i + 1, 20);  // records (500, 1.7e9, k) in memory and in the store
            } else {
                TimeManager::saveStableTime(StableTime{k, k, k});
            }
        },
        [&] {
            auto stored = DefaultsStore::value(stable_time_store::recordKey);
            if (!stored) return;
            auto numbers = stable_time_store::numbers(*stored);
            if (!numbers || numbers->size() != 3) {
                ++mixed;
                return;
            }
            StableTime t{numbers->at("Uptime"), numbers->at("Timestamp"), numbers->at("Offset")};
            bool fromReport = t.uptime == 500 && t.timestamp == 1'700'000'000;
            if (!whole(t) && !fromReport) ++mixed;
            auto current = TimeManager::stableTime();
            if (current && !(current->uptime == 500 && current->timestamp == 1'700'000'000)) ++mixed;
        });
    EXPECT_EQ(mixed.load(), 0);
}

TEST(StableTimeConcurrencyTest, ConcurrentWritersKeepEveryKey) {
    ScopedPlatform platform;
    race(
        4, 10, 2, [](int w, int i) { DefaultsStore::setValue("key" + std::to_string(w * 100 + i), w * 100 + i); },
        [] { (void)DefaultsStore::value("key0"); });
    for (int w = 0; w < 4; ++w)
        for (int i = 0; i < 10; ++i) EXPECT_EQ(DefaultsStore::value("key" + std::to_string(w * 100 + i)), w * 100 + i);
}
