#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <future>
#include <limits>
#include <thread>
#include <vector>

#include "Platform/DispatchQueue.h"

using namespace svsdk;
using namespace std::chrono_literals;

TEST(DispatchQueueTest, RunsTasksInOrderAndDelayedOnesByDueTimeUnlessCancelled) {
    DispatchQueue queue("timers");
    std::vector<int> order;  // only touched on the queue
    std::promise<void> done;
    queue.asyncAfter(0.06, [&] { order.push_back(4), done.set_value(); });
    auto cancelled = queue.asyncAfter(0.02, [&] { order.push_back(99); });
    // Delays too long for the clock are "never", not a wrap into the past.
    auto never = queue.asyncAfter(std::numeric_limits<double>::infinity(), [&] { order.push_back(98); });
    queue.asyncAfter(1e300, [&] { order.push_back(97); });
    queue.asyncAfter(0.03, [&] { order.push_back(3); });
    for (int i : {1, 2}) queue.async([&, i] { order.push_back(i); });
    EXPECT_TRUE(queue.cancel(cancelled));
    EXPECT_FALSE(queue.cancel(cancelled));
    done.get_future().wait();
    queue.sync([&] {
        EXPECT_TRUE(queue.isCurrent());
        queue.sync([&] { order.push_back(5); });  // re-entrant: runs inline
    });
    EXPECT_FALSE(queue.isCurrent());
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3, 4, 5}));
    EXPECT_TRUE(queue.cancel(never));
}

TEST(DispatchQueueTest, ReadinessHandlersRunOnTheQueueUntilUnwatched) {
    DispatchQueue queue("sockets");
    int fds[2];
    ASSERT_EQ(::pipe2(fds, O_NONBLOCK | O_CLOEXEC), 0);
    std::atomic<int> calls{0};
    std::promise<void> first, second;
    auto drain = [&] {
        char byte;
        while (::read(fds[0], &byte, 1) == 1) {
        }
    };
    std::uint64_t id = queue.watch(fds[0], DispatchQueue::readable, [&](unsigned ready) {
        EXPECT_TRUE(queue.isCurrent() && ready == DispatchQueue::readable);
        drain();
        if (++calls == 1) first.set_value();
        if (calls == 2) queue.unwatch(id);  // from its own handler
    });
    std::thread([&] { EXPECT_EQ(::write(fds[1], "x", 1), 1); }).join();  // wakes the sleeping queue
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
    EXPECT_TRUE(calls == 2 && !queue.unwatch(id)) << "not called after unwatch";
    // A new watch of the descriptor gets its readiness.
    drain();
    queue.watch(fds[0], DispatchQueue::readable, [&](unsigned) { drain(), second.set_value(); });
    EXPECT_EQ(::write(fds[1], "w", 1), 1);
    EXPECT_EQ(second.get_future().wait_for(20s), std::future_status::ready);
    queue.stop();
    ::close(fds[0]), ::close(fds[1]);
}
