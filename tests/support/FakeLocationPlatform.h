#pragma once
// A location platform the test drives: services switch, authorisation,
// counted starts and stops, and reports handed to the service on the main
// queue when the test says so (or after every start, when `answer` is set).
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "Core/DeviceData/LocationManager.h"
#include "Platform/DispatchQueue.h"
#include "Platform/LocationPlatform.h"

namespace svsdk::testing {

// Waits until the main queue has run what was queued on it so far.
inline void drainMainQueue() { DispatchQueue::main().sync([] {}); }

class FakeLocationPlatform : public LocationPlatform {
public:
    std::atomic<bool> servicesEnabled{true};
    std::atomic<SVLocationAuthorization> status{SVLocationAuthorization::authorizedWhenInUse};
    std::atomic<int> starts{0}, stops{0};
    std::optional<SVLocationFix> answer;  // set before the first request

    // Hand the service a report on the main queue and wait until it ran.
    void deliver(std::vector<SVLocationFix> fixes) { report([=](auto& d) { d.didUpdateLocations(fixes); }); }
    void fail(std::string error) { report([=](auto& d) { d.didFailWithError(error); }); }

    void setDelegate(LocationDelegate* delegate) override {
        std::lock_guard guard(lock_);
        delegate_ = delegate;
    }
    bool locationServicesEnabled() override { return servicesEnabled; }
    SVLocationAuthorization authorizationStatus() override { return status; }
    void startUpdatingLocation() override {
        ++starts;
        if (answer)
            DispatchQueue::main().async([this, fix = *answer] { call([=](auto& d) { d.didUpdateLocations({fix}); }); });
    }
    void stopUpdatingLocation() override { ++stops; }
    LocationDelegate* delegate() {
        std::lock_guard guard(lock_);
        return delegate_;
    }

private:
    void report(std::function<void(LocationDelegate&)> f) { DispatchQueue::main().sync([&] { call(f); }); }
    void call(const std::function<void(LocationDelegate&)>& f) {
        if (auto* d = delegate()) f(*d);
    }
    std::mutex lock_;
    LocationDelegate* delegate_ = nullptr;
};

// For the life of the value, the SDK's location service runs on a fake.
struct ScopedFakeLocation {
    std::shared_ptr<FakeLocationPlatform> fake = std::make_shared<FakeLocationPlatform>();
    ScopedFakeLocation() { LocationManager::shared().setPlatform(fake); }
    ~ScopedFakeLocation() {
        drainMainQueue();  // let queued reports land first
        LocationManager::shared().setPlatform(nullptr);
    }
    FakeLocationPlatform* operator->() { return fake.get(); }
};

}  // namespace svsdk::testing
