#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <future>
#include <iterator>
#include <limits>
#include <numeric>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include "Platform/DispatchQueue.h"

using namespace svsdk;
using namespace std::chrono_literals;

TEST(DispatchQueueTest, RunsTasksInOrderOnItsOwnThreadAlsoWhenWaitedFor) {
    DispatchQueue queue("test");
    std::vector<int> order;  // only touched on the queue
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 100; ++i) queue.sync([&] { order.push_back(i); });
        });
    for (int i = 100; i < 200; ++i) queue.async([&, i] { order.push_back(i); });
    for (auto& t : threads) t.join();
    queue.sync([&] {
        EXPECT_TRUE(queue.isCurrent());
        queue.sync([&] { order.push_back(-1); });  // re-entrant: runs inline
    });
    EXPECT_FALSE(queue.isCurrent());
    ASSERT_EQ(order.size(), 501u);
    EXPECT_EQ(order.back(), -1);
    std::vector<int> asynchronous, expected(100);
    std::copy_if(order.begin(), order.end(), std::back_inserter(asynchronous), [](int i) { return i >= 100; });
    std::iota(expected.begin(), expected.end(), 100);
    EXPECT_EQ(asynchronous, expected) << "in submission order";
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
    std::this_thread::sleep_for(10ms);  // the queue now waits for the earliest task left
    EXPECT_TRUE(queue.cancel(never));
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
        for (int t = 0; t < 5; ++t)
            threads.emplace_back([&, t] {
                while (!go) std::this_thread::yield();
                if (t < 2) return queue.stop();
                for (int i = 0; i < 50; ++i) {
                    EXPECT_FALSE(queue.isCurrent());
                    queue.async([] {});
                }
            });
        go = true;
        for (auto& t : threads) t.join();
    }
}

TEST(DispatchQueueTest, ReadinessHandlersRunOnTheQueueUntilUnwatched) {
    DispatchQueue queue("sockets");
    int fds[2];
    ASSERT_EQ(::pipe2(fds, O_NONBLOCK | O_CLOEXEC), 0);
    std::atomic<int> calls{0};
    std::promise<void> first;
    std::uint64_t id = 0;
    id = queue.watch(fds[0], DispatchQueue::readable, [&](unsigned ready) {
        EXPECT_TRUE(queue.isCurrent());
        EXPECT_EQ(ready, DispatchQueue::readable);
        char byte;
        while (::read(fds[0], &byte, 1) == 1) {
        }
        if (++calls == 1) first.set_value();
        if (calls == 2) queue.unwatch(id);  // from its own handler
    });
    std::thread writer([&] { EXPECT_EQ(::write(fds[1], "x", 1), 1); });  // wakes the sleeping queue
    writer.join();
    first.get_future().wait();
    // A timer and a descriptor both due: both run.
    std::promise<void> timer;
    queue.asyncAfter(0.01, [&] { timer.set_value(); });
    EXPECT_EQ(::write(fds[1], "y", 1), 1);
    timer.get_future().wait();
    queue.sync([] {});
    EXPECT_EQ(::write(fds[1], "z", 1), 1);
    std::this_thread::sleep_for(30ms);
    queue.sync([] {});
    EXPECT_EQ(calls, 2) << "not called after unwatch";
    EXPECT_FALSE(queue.unwatch(id));
    ::close(fds[0]);
    ::close(fds[1]);
}
