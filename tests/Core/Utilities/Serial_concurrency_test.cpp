#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "Core/Utilities/Serial.h"

using namespace svsdk;

TEST(SerialConcurrencyTest, ConcurrentUpdatesLoseNothing) {
    constexpr int threads = 8;
    constexpr int increments = 2000;
    Serial<std::map<std::string, int>> counts("counts");
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t)
        workers.emplace_back([&, t] {
            for (int i = 0; i < increments; ++i)
                counts.update([&](auto& map) {
                    ++map["total"];
                    ++map["thread " + std::to_string(t)];
                });
        });
    for (auto& worker : workers) worker.join();
    auto result = counts.value();
    EXPECT_EQ(result["total"], threads * increments);
    for (int t = 0; t < threads; ++t) EXPECT_EQ(result["thread " + std::to_string(t)], increments);
}

TEST(SerialConcurrencyTest, ReadersSeeWholeValuesWhileWritersReplaceThem) {
    // Every written vector holds one number repeated; a reader that saw a
    // half-written value would find two different numbers.
    Serial<std::vector<int>> slot("slot", std::vector<int>(64, 0));
    std::atomic<bool> stop{false};
    std::atomic<int> torn{0};
    std::atomic<long> reads{0};
    std::vector<std::thread> threads;
    for (int w = 1; w <= 2; ++w)
        threads.emplace_back([&, w] {
            while (reads.load() == 0) std::this_thread::yield();  // overlap with the readers
            for (int i = 0; i < 3000; ++i) slot.write(std::vector<int>(64, w * 100000 + i));
        });
    for (int r = 0; r < 4; ++r)
        threads.emplace_back([&] {
            while (!stop.load()) {
                auto seen = slot.value();
                ++reads;
                if (seen.size() != 64) ++torn;
                for (int v : seen)
                    if (v != seen.front()) ++torn;
            }
        });
    threads[0].join();
    threads[1].join();
    stop = true;
    for (std::size_t i = 2; i < threads.size(); ++i) threads[i].join();
    EXPECT_EQ(torn.load(), 0);
    EXPECT_GT(reads.load(), 0);
    int last = slot.value().front();
    EXPECT_TRUE(last == 102999 || last == 202999) << last;
}
