#pragma once
// The location service's view of the platform: whether location services are
// on, the host's authorisation, and updates that are started and stopped,
// with fixes and failures handed to a delegate. `ProviderLocationPlatform`
// puts the host's SVLocationProvider behind it.
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <svsdk/SVPlatformConfiguration.h>

namespace svsdk {

class LocationDelegate {
public:
    virtual ~LocationDelegate() = default;
    // New fixes, oldest first. Called on the main queue.
    virtual void didUpdateLocations(const std::vector<SVLocationFix>& fixes) = 0;
    // No fix can be had. Called on the main queue.
    virtual void didFailWithError(const std::string& description) = 0;
};

class LocationPlatform {
public:
    virtual ~LocationPlatform() = default;
    // Where fixes and failures go; the delegate outlives the platform's use.
    virtual void setDelegate(LocationDelegate* delegate) = 0;
    virtual bool locationServicesEnabled() = 0;
    virtual SVLocationAuthorization authorizationStatus() = 0;
    // Called on the main queue. Starting while updates run does no harm;
    // after a stop no report of the stopped updates reaches the delegate.
    virtual void startUpdatingLocation() = 0;
    virtual void stopUpdatingLocation() = 0;
};

// The configured SVLocationProvider, read at each call: without one,
// location services are off. Each start asks the provider for one fix
// (unless an answer is awaited already); its answer reaches the delegate on
// the main queue, as a fix, or as a failure when it brought none.
class ProviderLocationPlatform : public LocationPlatform, public std::enable_shared_from_this<ProviderLocationPlatform> {
public:
    void setDelegate(LocationDelegate* delegate) override;
    bool locationServicesEnabled() override;
    SVLocationAuthorization authorizationStatus() override;
    void startUpdatingLocation() override;
    void stopUpdatingLocation() override;

private:
    void deliver(std::uint64_t generation, const std::optional<SVLocationFix>& fix);

    std::mutex lock_;
    LocationDelegate* delegate_ = nullptr;
    bool updating_ = false;
    std::uint64_t generation_ = 0;  // the updates an answer belongs to
};

}  // namespace svsdk
