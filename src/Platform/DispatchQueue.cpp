#include "Platform/DispatchQueue.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <future>
#include <system_error>

namespace svsdk {

DispatchQueue::DispatchQueue(std::string label) : label_(std::move(label)) {
    wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeFd_ < 0) throw std::system_error(errno, std::generic_category(), "eventfd");
    // The worker starts by taking the lock, so it sees both fields set.
    std::lock_guard guard(lock_);
    thread_ = std::thread([this] { run(); });
    worker_ = thread_.get_id();
}

DispatchQueue::~DispatchQueue() {
    stop();
    ::close(wakeFd_);
}

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
    if (!isCurrent()) wake();
    return id;
}

bool DispatchQueue::cancel(std::uint64_t id) {
    Task dropped;  // destroyed outside the lock: it may own things that submit work
    std::lock_guard guard(lock_);
    auto it = dueById_.find(id);
    if (it == dueById_.end()) return false;
    auto task = tasks_.find(std::make_pair(it->second, id));
    if (task != tasks_.end()) {
        dropped = std::move(task->second);
        tasks_.erase(task);
    }
    dueById_.erase(it);
    return true;
}

std::uint64_t DispatchQueue::watch(int fd, unsigned events, ReadinessHandler handler) {
    auto shared = std::make_shared<ReadinessHandler>(std::move(handler));
    std::lock_guard guard(lock_);
    if (stopping_) return 0;
    auto id = nextId_++;
    watches_.emplace(id, Watch{fd, events, std::move(shared)});
    if (!isCurrent()) wake();
    return id;
}

bool DispatchQueue::unwatch(std::uint64_t id) {
    std::shared_ptr<ReadinessHandler> dropped;  // released outside the lock
    std::lock_guard guard(lock_);
    auto it = watches_.find(id);
    if (it == watches_.end()) return false;
    dropped = std::move(it->second.handler);
    watches_.erase(it);
    return true;
}

void DispatchQueue::wake() {
    const std::uint64_t one = 1;
    // Fails only when the counter is full, and then a wake-up is pending anyway.
    [[maybe_unused]] auto written = ::write(wakeFd_, &one, sizeof one);
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
    // Destroyed outside the lock, after the thread has ended: a task or a
    // handler may own things that submit work or close their descriptors.
    decltype(tasks_) dropped;
    decltype(watches_) droppedWatches;
    {
        std::lock_guard guard(lock_);
        stopping_ = true;
        dropped.swap(tasks_);
        droppedWatches.swap(watches_);
        dueById_.clear();
        wake();
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
    std::vector<pollfd> fds;
    std::vector<std::pair<std::uint64_t, unsigned>> watched, ready;
    while (!stopping_) {
        if (!tasks_.empty() && tasks_.begin()->first.first <= Clock::now()) {
            auto first = tasks_.begin();
            Task task = std::move(first->second);
            dueById_.erase(first->first.second);
            tasks_.erase(first);
            guard.unlock();
            task();
            task = nullptr;
            guard.lock();
            continue;
        }
        // Sleep until the earliest timer, a submission or a ready descriptor.
        fds.assign(1, pollfd{wakeFd_, POLLIN, 0});
        watched.clear();
        for (const auto& [id, watch] : watches_) {
            short events = 0;
            if (watch.events & readable) events |= POLLIN;
            if (watch.events & writable) events |= POLLOUT;
            fds.push_back(pollfd{watch.fd, events, 0});
            watched.emplace_back(id, watch.events);
        }
        timespec wait{};
        timespec* timeout = nullptr;
        if (!tasks_.empty()) {
            // At most an hour at a time; the loop comes back for the rest.
            auto left = std::clamp<Clock::duration>(tasks_.begin()->first.first - Clock::now(), Clock::duration::zero(),
                                                    std::chrono::hours(1));
            auto seconds = std::chrono::duration_cast<std::chrono::seconds>(left);
            wait.tv_sec = static_cast<time_t>(seconds.count());
            wait.tv_nsec = static_cast<long>(std::chrono::duration_cast<std::chrono::nanoseconds>(left - seconds).count());
            timeout = &wait;
        }
        guard.unlock();
        int count = ::ppoll(fds.data(), fds.size(), timeout, nullptr);
        if (count > 0 && (fds[0].revents & POLLIN)) {
            std::uint64_t signals = 0;
            [[maybe_unused]] auto read = ::read(wakeFd_, &signals, sizeof signals);
        }
        ready.clear();
        for (std::size_t i = 1; count > 0 && i < fds.size(); ++i) {
            auto revents = fds[i].revents;
            if (revents == 0) continue;
            auto [id, asked] = watched[i - 1];
            unsigned events = 0;
            if (revents & POLLIN) events |= readable;
            if (revents & POLLOUT) events |= writable;
            if (revents & (POLLERR | POLLHUP)) events |= asked;
            // A descriptor closed while watched: the watch can never fire again.
            if (revents & POLLNVAL) events = 0;
            ready.emplace_back(id, events & asked);
        }
        guard.lock();
        dispatchReady(guard, ready);
    }
}

void DispatchQueue::dispatchReady(std::unique_lock<std::mutex>& guard,
                                  const std::vector<std::pair<std::uint64_t, unsigned>>& ready) {
    for (auto [id, events] : ready) {
        if (stopping_) return;
        auto it = watches_.find(id);  // an earlier handler may have ended it
        if (it == watches_.end()) continue;
        if (events == 0) {
            auto dropped = std::move(it->second.handler);
            watches_.erase(it);
            guard.unlock();
            dropped.reset();
            guard.lock();
            continue;
        }
        auto handler = it->second.handler;
        guard.unlock();
        (*handler)(events);
        handler.reset();
        guard.lock();
    }
}

}  // namespace svsdk
