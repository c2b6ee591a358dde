#include "Platform/ApplicationLifecycle.h"

#include <vector>

#include <svsdk/SVApplicationLifecycle.h>

#include "Platform/DispatchQueue.h"

namespace svsdk {

LifecycleNotifications& LifecycleNotifications::shared() {
    static LifecycleNotifications* center = new LifecycleNotifications;
    return *center;
}

LifecycleNotifications::Token LifecycleNotifications::addObserver(LifecycleEvent event,
                                                                  std::function<void()> handler) {
    std::lock_guard guard(lock_);
    Token token = nextToken_++;
    observers_.emplace(token, Observer{event, std::move(handler)});
    return token;
}

void LifecycleNotifications::removeObserver(Token token) {
    // Handlers run on the main queue; removing there too means a handler is
    // never cut off halfway or started after its removal.
    DispatchQueue::main().sync([&] {
        std::lock_guard guard(lock_);
        observers_.erase(token);
    });
    // The main queue drops work once it has stopped at exit; then nothing runs
    // handlers any more and the removal can happen here.
    std::lock_guard guard(lock_);
    observers_.erase(token);
}

void LifecycleNotifications::post(LifecycleEvent event) {
    DispatchQueue::main().sync([&] {
        std::vector<std::function<void()>> handlers;
        {
            std::lock_guard guard(lock_);
            for (auto& [token, observer] : observers_)
                if (observer.event == event) handlers.push_back(observer.handler);
        }
        for (auto& handler : handlers) handler();
    });
}

void SVApplicationLifecycle::willResignActive() {
    LifecycleNotifications::shared().post(LifecycleEvent::willResignActive);
}

void SVApplicationLifecycle::didBecomeActive() {
    LifecycleNotifications::shared().post(LifecycleEvent::didBecomeActive);
}

void SVApplicationLifecycle::willTerminate() { LifecycleNotifications::shared().post(LifecycleEvent::willTerminate); }

}  // namespace svsdk
