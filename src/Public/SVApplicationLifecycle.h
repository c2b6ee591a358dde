#pragma once
// The host reports its application's lifecycle here; the SDK has no other way
// to learn it on Linux. The secret cache drops its unlocked secrets when the
// application terminates or returns after a long absence, so a host should
// call these where its own lifecycle events happen. Each call runs the SDK's
// handlers on the SDK's main queue and returns when they have run.
namespace svsdk {

class SVApplicationLifecycle {
public:
    SVApplicationLifecycle() = delete;

    // The application is about to become inactive (leaves the foreground).
    static void willResignActive();
    // The application is active again (or for the first time).
    static void didBecomeActive();
    // The application is about to terminate.
    static void willTerminate();
};

}  // namespace svsdk
