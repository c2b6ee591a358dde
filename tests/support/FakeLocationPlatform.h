#pragma once
// A location platform the test drives: services switch, authorisation,
// counted starts and stops, and fixes or failures handed to the service on
// the main queue when the test says so (or at every start, when set).
#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "Core/DeviceData/LocationManager.h"
#include "Platform/DispatchQueue.h"
#include "Platform/LocationPlatform.h"

namespace svsdk::testing {

class FakeLocationPlatform : public LocationPlatform {
public:
    std::atomic<bool> servicesEnabled{true};
    std::atomic<SVLocationAuthorization> status{SVLocationAuthorization::authorizedWhenInUse};
    std::atomic<int> starts{0};
    std::atomic<int> stops{0};

    // A fix delivered on the main queue after every start.
    void answerEveryStartWith(std::optional<SVLocationFix> fix) {
        std::lock_guard guard(lock_);
        immediate_ = fix;
    }

    // Hands the service a report on the main queue and waits until it ran.
    void deliver(const std::vector<SVLocationFix>& fixes) {
        DispatchQueue::main().sync([&] {
            if (auto* d = delegate()) d->didUpdateLocations(fixes);
        });
    }
    void fail(const std::string& description) {
        DispatchQueue::main().sync([&] {
            if (auto* d = delegate()) d->didFailWithError(description);
        });
    }

    void setDelegate(LocationDelegate* delegate) override {
        std::lock_guard guard(lock_);
        delegate_ = delegate;
    }
    bool locationServicesEnabled() override { return servicesEnabled; }
    SVLocationAuthorization authorizationStatus() override { return status; }
    void startUpdatingLocation() override {
        ++starts;
        std::optional<SVLocationFix> fix;
        {
            std::lock_guard guard(lock_);
            fix = immediate_;
        }
        if (fix)
            DispatchQueue::main().async([this, fix] {
                if (auto* d = delegate()) d->didUpdateLocations({*fix});
            });
    }
    void stopUpdatingLocation() override { ++stops; }

private:
    LocationDelegate* delegate() {
        std::lock_guard guard(lock_);
        return delegate_;
    }

    std::mutex lock_;
    LocationDelegate* delegate_ = nullptr;
    std::optional<SVLocationFix> immediate_;
};

// For the life of the value, the SDK's location service runs on a fake.
class ScopedFakeLocation {
public:
    ScopedFakeLocation() : fake_(std::make_shared<FakeLocationPlatform>()) {
        LocationManager::shared().setPlatform(fake_);
    }
    ~ScopedFakeLocation() {
        DispatchQueue::main().sync([] {});  // let queued reports land first
        LocationManager::shared().setPlatform(nullptr);
    }
    ScopedFakeLocation(const ScopedFakeLocation&) = delete;
    ScopedFakeLocation& operator=(const ScopedFakeLocation&) = delete;
    FakeLocationPlatform& operator*() { return *fake_; }
    FakeLocationPlatform* operator->() { return fake_.get(); }

private:
    std::shared_ptr<FakeLocationPlatform> fake_;
};

// Waits until the main queue has run what was queued on it so far.
inline void drainMainQueue() { DispatchQueue::main().sync([] {}); }

}  // namespace svsdk::testing
