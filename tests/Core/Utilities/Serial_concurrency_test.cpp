#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "Core/Utilities/Serial.h"

using namespace svsdk;

TEST(SerialConcurrencyTest, UpdatesLoseNothingAndReadersSeeWholeValuesWhileWritersReplaceThem) {
    constexpr int threads = 8, increments = 2000;
    Serial<std::map<std::string, int>> counts("counts");
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t)
        workers.emplace_back([&, t] {
            for (int i = 0; i < increments; ++i) counts.update([&](auto& map) { ++map["total"], ++map[std::to_string(t)]; });
        });
    for (auto& worker : workers) worker.join();
    auto result = counts.value();
    EXPECT_EQ(result["total"], threads * increments);
    for (int t = 0; t < threads; ++t) EXPECT_EQ(result[std::to_string(t)], increments);

    // Every written vector holds one number repeated; a reader that saw a
    // half-written value would find two different numbers.
    Serial<std::vector<int>> slot("slot", std::vector<int>(64, 0));
    std::atomic<bool> stop{false};
    std::atomic<int> torn{0};
    std::atomic<long> reads{0};
    std::vector<std::thread> readers;
    for (int r = 0; r < 4; ++r)
        readers.emplace_back([&] {
            for (; !stop; ++reads) {
                auto seen = slot.value();
                if (seen.size() != 64 || std::count(seen.begin(), seen.end(), seen.front()) != 64) ++torn;
            }
        });
    while (reads == 0) std::this_thread::yield();  // overlap with the readers
    std::thread other([&] {
        for (int i = 0; i < 3000; ++i) slot.write(std::vector<int>(64, 100000 + i));
    });
    for (int i = 0; i < 3000; ++i) slot.write(std::vector<int>(64, 200000 + i));
    other.join();
    stop = true;
    for (auto& t : readers) t.join();
    EXPECT_EQ(torn.load(), 0);
    const int last = slot.value().front();
    EXPECT_TRUE(last == 102999 || last == 202999) << last;
}
