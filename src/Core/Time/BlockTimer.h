#pragma once
// A timer that runs a callback on a serial queue (the main queue unless
// told otherwise), once or every interval until invalidated. The queue holds
// the timer while it is scheduled; invalidating it drops its callback, so a
// callback may refer to the timer's owner without keeping it alive forever.
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

#include "Platform/DispatchQueue.h"

namespace svsdk {

class BlockTimer : public std::enable_shared_from_this<BlockTimer> {
public:
    using Handler = std::function<void(BlockTimer& timer)>;

    // Fires after `timeInterval` seconds, and with `repeats` every interval
    // after that (measured from the first due time, so it does not drift).
    static std::shared_ptr<BlockTimer> scheduledTimer(double timeInterval, bool repeats, Handler handler,
                                                      DispatchQueue& queue = DispatchQueue::main());

    // Stops the timer: a firing not yet started never runs. Any thread; also
    // from its own callback.
    void invalidate();
    bool isValid() const;

    BlockTimer(DispatchQueue& queue, double interval, bool repeats, Handler handler);

private:
    void schedule();  // under lock_
    void fire();

    DispatchQueue& queue_;
    const double interval_;
    const bool repeats_;
    mutable std::mutex lock_;
    std::shared_ptr<Handler> handler_;  // none once invalid
    std::uint64_t pending_ = 0;
    DispatchQueue::Clock::time_point due_;
};

}  // namespace svsdk
