#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>
#include <vector>

#include "Platform/DispatchQueue.h"

using namespace svsdk;
using namespace std::chrono_literals;

TEST(DispatchQueueConcurrencyTest, SyncFromManyThreadsKeepsEachThreadsOrder) {
    DispatchQueue queue("test");
    std::vector<int> seen(4, -1);  // only touched on the queue
    std::atomic<int> outOfOrder{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 100; ++i) queue.sync([&, t, i] { outOfOrder += seen[t] + 1 != i, seen[t] = i; });
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(outOfOrder, 0);
    EXPECT_EQ(seen, std::vector<int>(4, 99));
}

TEST(DispatchQueueConcurrencyTest, StopDropsPendingWorkWithoutHangingWaiters) {
    auto queue = std::make_unique<DispatchQueue>("stopping");
    std::atomic<bool> ran{false};
    queue->asyncAfter(10, [&] { ran = true; });
    std::promise<void> blocker;
    auto release = blocker.get_future().share();
    queue->async([release] { release.wait(); });
    std::thread waiter([&] { queue->sync([] {}); });  // queued behind the blocker
    std::this_thread::sleep_for(20ms);
    std::thread stopper([&] { queue->stop(); });
    std::this_thread::sleep_for(20ms);
    blocker.set_value();
    stopper.join(), waiter.join();
    queue->async([&] { ran = true; });  // dropped after stop
    queue.reset();
    EXPECT_FALSE(ran);
}

TEST(DispatchQueueConcurrencyTest, StoppingWhileOtherThreadsSubmitAndStopToo) {
    for (int round = 0; round < 20; ++round) {
        DispatchQueue queue("racing");
        std::atomic<bool> go{false};
        std::vector<std::thread> threads;
        for (int t = 0; t < 5; ++t)
            threads.emplace_back([&, t] {
                while (!go) std::this_thread::yield();
                if (t < 2) return queue.stop();
                for (int i = 0; i < 50; ++i) queue.async([] {});
            });
        go = true;
        for (auto& t : threads) t.join();
    }
}
