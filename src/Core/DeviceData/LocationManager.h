#pragma once
// The location service: it switches updates on only while a request waits
// and the host holds a sufficient authorisation, and hands every waiting
// request the first fix that arrives.
#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Core/DeviceData/Location.h"
#include "Core/Concurrency/Future.h"
#include "Core/Utilities/Serial.h"
#include "Platform/LocationPlatform.h"

namespace svsdk {

class LocationManager : public LocationDelegate, public std::enable_shared_from_this<LocationManager> {
public:
    // The SDK's one service, on the configured location provider.
    static LocationManager& shared();
    // A service of its own on `platform` (tests use a double).
    static std::shared_ptr<LocationManager> make(std::shared_ptr<LocationPlatform> platform);

    // Replaces the platform; null returns to the configured provider.
    void setPlatform(std::shared_ptr<LocationPlatform> platform);

    // Makes the service the platform's delegate, on the main queue.
    void setup();

    // Whether "when in use" authorisation suffices (true by default; an app
    // extension allows only "always").
    bool isLocationWhenInUseAvailable() const { return whenInUseAvailable_.load(); }
    void setLocationWhenInUseAvailable(bool available) { whenInUseAvailable_.store(available); }

    // The next fix. Never fails: without location services or authorisation,
    // after a failure, or when no answer came within the configured time
    // limit, it resolves with the empty location. Any thread.
    Future<Location> requestCurrentLocation();

    // Platform reports, on the main queue.
    void didUpdateLocations(const std::vector<SVLocationFix>& fixes) override;
    void didFailWithError(const std::string& description) override;

    // The number of requests waiting for a fix.
    std::size_t pendingCount() const;

    ~LocationManager() override;

private:
    struct Pending {
        Promise<Location> promise;
        std::uint64_t timer = 0;
    };

    explicit LocationManager(std::shared_ptr<LocationPlatform> platform);
    std::shared_ptr<LocationPlatform> platform();
    void startUpdating(const Promise<Location>& promise);
    void expire(std::uint64_t id);
    void resolvePromises(const Location& location);

    mutable std::mutex platformLock_;
    std::shared_ptr<LocationPlatform> platform_;  // null: made from the configuration on first use
    Serial<std::map<std::uint64_t, Pending>> promises_{"Location queue"};
    std::atomic<std::uint64_t> nextID_{1};
    std::atomic<bool> whenInUseAvailable_{true};
};

}  // namespace svsdk
