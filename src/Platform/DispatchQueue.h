#pragma once
// A serial queue: one thread that runs submitted tasks in order, with
// delayed tasks (timers). `DispatchQueue::main()` stands in for the
// platform's main queue and run loop: timers, lifecycle notifications and
// other main-thread work of the SDK run there.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace svsdk {

class DispatchQueue {
public:
    using Task = std::function<void()>;
    using Clock = std::chrono::steady_clock;

    explicit DispatchQueue(std::string label);
    ~DispatchQueue();  // stops the thread; tasks not yet started are dropped
    DispatchQueue(const DispatchQueue&) = delete;
    DispatchQueue& operator=(const DispatchQueue&) = delete;

    // The SDK's main queue, started on first use and stopped at process exit.
    static DispatchQueue& main();

    const std::string& label() const { return label_; }

    void async(Task task);
    // Runs `task` after `delay` seconds (at most a century); the result cancels it.
    std::uint64_t asyncAfter(double delay, Task task);
    // Cancels a delayed task that has not started; true when it was pending.
    bool cancel(std::uint64_t id);
    // Runs `task` on the queue and waits for it (runs inline when called from
    // the queue's own thread).
    void sync(const Task& task);
    bool isCurrent() const;
    // Stops the thread after the running task; later submissions are dropped.
    // Safe to call from any thread, also more than once at a time.
    void stop();

private:
    void run();

    std::string label_;
    mutable std::mutex lock_;
    std::condition_variable wake_;
    // Ordered by due time, then by submission order.
    std::map<std::pair<Clock::time_point, std::uint64_t>, Task> tasks_;
    std::map<std::uint64_t, Clock::time_point> dueById_;
    std::uint64_t nextId_ = 1;
    bool stopping_ = false;
    std::mutex joinLock_;  // one stop() at a time joins the thread
    std::thread thread_;
    std::thread::id worker_;  // set before any task runs, never changed
};

}  // namespace svsdk
