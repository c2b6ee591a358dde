#pragma once
// The application's lifecycle notifications. Linux has no application object:
// the host reports the events through SVApplicationLifecycle, and the
// observers registered here run on the main queue.
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>

namespace svsdk {

enum class LifecycleEvent { willTerminate, didBecomeActive, willResignActive };

class LifecycleNotifications {
public:
    using Token = std::uint64_t;

    static LifecycleNotifications& shared();

    Token addObserver(LifecycleEvent event, std::function<void()> handler);
    // Once this returns, the handler is not running and never runs again.
    void removeObserver(Token token);
    // Runs the observers of `event`, in the order they were added, on the main
    // queue, and waits for them.
    void post(LifecycleEvent event);

private:
    struct Observer {
        LifecycleEvent event;
        std::function<void()> handler;
    };
    std::mutex lock_;
    std::map<Token, Observer> observers_;
    Token nextToken_ = 1;
};

}  // namespace svsdk
