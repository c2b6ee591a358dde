#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <limits>
#include <thread>
#include <vector>

#include "Platform/DispatchQueue.h"

using namespace svsdk;
using namespace std::chrono_literals;

TEST(DispatchQueueTest, RunsTasksInSubmissionOrderOnItsOwnThread) {
    DispatchQueue queue("test");
    std::vector<int> order;
    std::promise<void> done;
    std::thread::id worker;
    for (int i = 0; i < 100; ++i) queue.async([&, i] { order.push_back(i); });
    queue.async([&] {
        worker = std::this_thread::get_id();
        EXPECT_TRUE(queue.isCurrent());
        done.set_value();
    });
    done.get_future().wait();
    EXPECT_NE(worker, std::this_thread::get_id());
    ASSERT_EQ(order.size(), 100u);
    for (int i = 0; i < 100; ++i) EXPECT_EQ(order[i], i);
}

TEST(DispatchQueueTest, DelayedTasksRunByDueTimeAndCanBeCancelled) {
    DispatchQueue queue("timers");
    std::vector<int> order;
    std::promise<void> done;
    queue.asyncAfter(0.06, [&] {
        order.push_back(3);
        done.set_value();
    });
    auto cancelled = queue.asyncAfter(0.02, [&] { order.push_back(99); });
    // Delays too long for the clock are "never", not a wrap into the past.
    auto never = queue.asyncAfter(std::numeric_limits<double>::infinity(), [&] { order.push_back(98); });
    queue.asyncAfter(1e300, [&] { order.push_back(97); });
    queue.asyncAfter(0.03, [&] { order.push_back(2); });
    queue.async([&] { order.push_back(1); });
    EXPECT_TRUE(queue.cancel(cancelled));
    EXPECT_FALSE(queue.cancel(cancelled));
    done.get_future().wait();
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
    EXPECT_TRUE(queue.cancel(never));
}

TEST(DispatchQueueTest, SyncFromManyThreadsAndFromTheQueueItself) {
    DispatchQueue queue("sync");
    int counter = 0;  // only touched on the queue
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 200; ++i) queue.sync([&] { ++counter; });
        });
    for (auto& t : threads) t.join();
    queue.sync([&] { queue.sync([&] { ++counter; }); });  // re-entrant: runs inline
    queue.sync([&] { EXPECT_EQ(counter, 8 * 200 + 1); });
}

TEST(DispatchQueueTest, StopDropsPendingWorkWithoutHangingWaiters) {
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
    stopper.join();
    waiter.join();
    EXPECT_FALSE(ran);
    queue->async([&] { ran = true; });  // dropped after stop
    queue.reset();
    EXPECT_FALSE(ran);
}

TEST(DispatchQueueTest, StoppingWhileOtherThreadsSubmitAndStopToo) {
    for (int round = 0; round < 20; ++round) {
        DispatchQueue queue("racing");
        std::atomic<bool> go{false};
        std::vector<std::thread> threads;
        for (int t = 0; t < 3; ++t)
            threads.emplace_back([&] {
                while (!go) std::this_thread::yield();
                for (int i = 0; i < 50; ++i) {
                    EXPECT_FALSE(queue.isCurrent());
                    queue.async([] {});
                }
            });
        for (int t = 0; t < 2; ++t)
            threads.emplace_back([&] {
                while (!go) std::this_thread::yield();
                queue.stop();
            });
        go = true;
        for (auto& t : threads) t.join();
    }
}
