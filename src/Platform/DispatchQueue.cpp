#include "Platform/DispatchQueue.h"

#include <algorithm>
#include <cstdlib>
#include <future>

namespace svsdk {

DispatchQueue::DispatchQueue(std::string label) : label_(std::move(label)) {
    // The worker starts by taking the lock, so it sees both fields set.
    std::lock_guard guard(lock_);
    thread_ = std::thread([this] { run(); });
    worker_ = thread_.get_id();
}

DispatchQueue::~DispatchQueue() { stop(); }

DispatchQueue& DispatchQueue::main() {
    // Never destroyed (tasks may refer to other long-lived services); the
    // thread is stopped at exit, before those services go away.
    static DispatchQueue* queue = [] {
        auto q = new DispatchQueue("main");
        std::atexit([] { DispatchQueue::main().stop(); });
        return q;
    }();
    return *queue;
}

void DispatchQueue::async(Task task) { asyncAfter(0, std::move(task)); }

std::uint64_t DispatchQueue::asyncAfter(double delay, Task task) {
    // A century stands for "never": longer delays (infinity included) would
    // overflow the clock's tick count. NaN and negative delays are none.
    constexpr double longest = 100.0 * 365 * 24 * 3600;
    delay = delay > 0 ? std::min(delay, longest) : 0;
    auto due = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(delay));
    std::lock_guard guard(lock_);
    if (stopping_) return 0;
    auto id = nextId_++;
    tasks_.emplace(std::make_pair(due, id), std::move(task));
    dueById_.emplace(id, due);
    wake_.notify_one();
    return id;
}

bool DispatchQueue::cancel(std::uint64_t id) {
    std::lock_guard guard(lock_);
    auto it = dueById_.find(id);
    if (it == dueById_.end()) return false;
    tasks_.erase(std::make_pair(it->second, id));
    dueById_.erase(it);
    return true;
}

void DispatchQueue::sync(const Task& task) {
    if (isCurrent()) {
        task();
        return;
    }
    // If the queue drops the task, the promise is destroyed unset and the
    // wait ends with a broken promise instead of hanging.
    auto done = std::make_shared<std::promise<void>>();
    auto finished = done->get_future();
    if (asyncAfter(0, [done, &task] {
            task();
            done->set_value();
        }) == 0)
        return;
    done.reset();
    finished.wait();
}

bool DispatchQueue::isCurrent() const { return std::this_thread::get_id() == worker_; }

void DispatchQueue::stop() {
    decltype(tasks_) dropped;  // destroyed outside the lock: a task may own things that submit work
    {
        std::lock_guard guard(lock_);
        stopping_ = true;
        dropped.swap(tasks_);
        dueById_.clear();
        wake_.notify_all();
    }
    std::lock_guard guard(joinLock_);
    if (!thread_.joinable()) return;
    if (isCurrent())
        thread_.detach();
    else
        thread_.join();
}

void DispatchQueue::run() {
    std::unique_lock guard(lock_);
    while (!stopping_) {
        if (tasks_.empty()) {
            wake_.wait(guard);
            continue;
        }
        auto first = tasks_.begin();
        // A copy: the task may be cancelled, and its entry freed, while we wait.
        const Clock::time_point due = first->first.first;
        if (due > Clock::now()) {
            wake_.wait_until(guard, due);
            continue;
        }
        Task task = std::move(first->second);
        dueById_.erase(first->first.second);
        tasks_.erase(first);
        guard.unlock();
        task();
        task = nullptr;
        guard.lock();
    }
}

}  // namespace svsdk
