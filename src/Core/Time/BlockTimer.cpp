#include "Core/Time/BlockTimer.h"

#include <algorithm>
#include <chrono>

namespace svsdk {

BlockTimer::BlockTimer(DispatchQueue& queue, double interval, bool repeats, Handler handler)
    : queue_(queue),
      interval_(std::clamp(interval, 0.0, 100.0 * 365 * 24 * 3600)),  // NaN becomes 0 below
      repeats_(repeats),
      handler_(std::make_shared<Handler>(std::move(handler))),
      due_(DispatchQueue::Clock::now()) {}

std::shared_ptr<BlockTimer> BlockTimer::scheduledTimer(double timeInterval, bool repeats, Handler handler,
                                                       DispatchQueue& queue) {
    auto timer = std::make_shared<BlockTimer>(queue, timeInterval > 0 ? timeInterval : 0, repeats, std::move(handler));
    std::lock_guard guard(timer->lock_);
    timer->schedule();
    return timer;
}

void BlockTimer::schedule() {
    // A repeating timer that fires without a pause would starve its queue.
    auto step = std::chrono::duration_cast<DispatchQueue::Clock::duration>(
        std::chrono::duration<double>(repeats_ ? std::max(interval_, 0.001) : interval_));
    due_ += step;
    double delay = std::chrono::duration<double>(due_ - DispatchQueue::Clock::now()).count();
    pending_ = queue_.asyncAfter(delay, [self = shared_from_this()] { self->fire(); });
    if (pending_ == 0) handler_.reset();  // the queue has stopped
}

void BlockTimer::fire() {
    std::shared_ptr<Handler> handler;
    {
        std::lock_guard guard(lock_);
        if (!handler_) return;
        pending_ = 0;
        handler = repeats_ ? handler_ : std::move(handler_);
    }
    (*handler)(*this);
    handler.reset();
    std::lock_guard guard(lock_);
    if (repeats_ && handler_ && pending_ == 0) schedule();
}

void BlockTimer::invalidate() {
    std::shared_ptr<Handler> dropped;
    std::uint64_t pending;
    {
        std::lock_guard guard(lock_);
        dropped = std::move(handler_);
        pending = std::exchange(pending_, 0);
    }
    auto keep = shared_from_this();  // cancelling may drop the queue's reference
    if (pending) queue_.cancel(pending);
}

bool BlockTimer::isValid() const {
    std::lock_guard guard(lock_);
    return handler_ != nullptr;
}

}  // namespace svsdk
