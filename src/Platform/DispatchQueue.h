#pragma once
// A serial queue: one thread that runs submitted tasks in order, with
// delayed tasks (timers) and readiness callbacks for file descriptors.
// `DispatchQueue::main()` stands in for the platform's main queue and run
// loop: timers, sockets, lifecycle notifications and other main-thread work of
// the SDK run there. The thread sleeps in poll(2) on the watched descriptors
// and an eventfd that submissions signal, until the earliest timer is due.
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

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

    // Readiness of a watched descriptor: what a watch asks for and what its
    // handler is told. Errors and hang-ups are reported as every event asked
    // for, so the handler finds them on its next read or write.
    enum Readiness : unsigned { readable = 1, writable = 2 };
    using ReadinessHandler = std::function<void(unsigned ready)>;
    // Calls `handler` on the queue's thread whenever `fd` is ready for one of
    // `events` (level-triggered: on every turn while it stays ready). The
    // descriptor stays the caller's; unwatch it before closing it. Returns 0
    // after stop().
    std::uint64_t watch(int fd, unsigned events, ReadinessHandler handler);
    // Ends a watch; on the queue's thread, its handler is not called again
    // once this returns. True when the watch existed.
    bool unwatch(std::uint64_t id);

    // Stops the thread after the running task; later submissions are dropped.
    // Safe to call from any thread, also more than once at a time.
    void stop();

private:
    struct Watch {
        int fd;
        unsigned events;
        std::shared_ptr<ReadinessHandler> handler;
    };

    void run();
    void wake();  // interrupts the thread's poll (callable under lock_)
    // Runs the handlers of the descriptors that poll found ready.
    void dispatchReady(std::unique_lock<std::mutex>& guard, const std::vector<std::pair<std::uint64_t, unsigned>>& ready);

    std::string label_;
    mutable std::mutex lock_;
    int wakeFd_ = -1;  // eventfd, counts submissions since the last turn
    // Ordered by due time, then by submission order.
    std::map<std::pair<Clock::time_point, std::uint64_t>, Task> tasks_;
    std::map<std::uint64_t, Clock::time_point> dueById_;
    std::map<std::uint64_t, Watch> watches_;
    std::uint64_t nextId_ = 1;
    bool stopping_ = false;
    std::mutex joinLock_;  // one stop() at a time joins the thread
    std::thread thread_;
    std::thread::id worker_;  // set before any task runs, never changed
};

}  // namespace svsdk
