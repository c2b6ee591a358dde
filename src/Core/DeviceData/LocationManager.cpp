#include "Core/DeviceData/LocationManager.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include "Core/Diagnostics/Logger.h"
#include "Platform/DispatchQueue.h"
#include "Platform/PlatformConfiguration.h"

namespace svsdk {
namespace {

void log(std::string_view message) { Logger::log(SVLogCategory::events, message); }

constexpr double kDefaultTimeLimit = 10.0;
constexpr double kLongestTimeLimit = 3.0e9;  // about a century, the longest timer of the main queue

double timeLimit() {
    const double limit = platform::current()->locationTimeLimit;
    if (!std::isfinite(limit) || limit < 0) return kDefaultTimeLimit;
    return std::min(limit, kLongestTimeLimit);
}

}  // namespace

LocationManager& LocationManager::shared() {
    // Never destroyed: requests and timers may still be queued at exit.
    static auto* instance = new std::shared_ptr<LocationManager>(make(nullptr));
    return **instance;
}

std::shared_ptr<LocationManager> LocationManager::make(std::shared_ptr<LocationPlatform> platform) {
    return std::shared_ptr<LocationManager>(new LocationManager(std::move(platform)));
}

LocationManager::LocationManager(std::shared_ptr<LocationPlatform> platform) : platform_(std::move(platform)) {
    if (platform_) platform_->setDelegate(this);
}

LocationManager::~LocationManager() {
    std::lock_guard guard(platformLock_);
    if (platform_) platform_->setDelegate(nullptr);
}

std::shared_ptr<LocationPlatform> LocationManager::platform() {
    std::lock_guard guard(platformLock_);
    if (!platform_) {
        platform_ = std::make_shared<ProviderLocationPlatform>();
        platform_->setDelegate(this);
    }
    return platform_;
}

void LocationManager::setPlatform(std::shared_ptr<LocationPlatform> platform) {
    std::shared_ptr<LocationPlatform> previous;
    {
        std::lock_guard guard(platformLock_);
        previous = std::exchange(platform_, std::move(platform));
        if (previous) previous->setDelegate(nullptr);
        if (platform_) platform_->setDelegate(this);
    }
}

void LocationManager::setup() {
    // The delegate is set when the platform is made, so a request made
    // before this block has run is answered all the same.
    std::weak_ptr<LocationManager> weak = weak_from_this();
    DispatchQueue::main().async([weak] {
        if (auto self = weak.lock()) (void)self->platform();
    });
}

Future<Location> LocationManager::requestCurrentLocation() {
    log("Requested current location");
    Promise<Location> promise;
    std::weak_ptr<LocationManager> weak = weak_from_this();
    DispatchQueue::main().async([weak, promise] {
        if (auto self = weak.lock())
            self->startUpdating(promise);
        else
            promise.resolve(Location{});
    });
    return promise;
}

void LocationManager::startUpdating(const Promise<Location>& promise) {
    auto platform = this->platform();
    bool authorized = false;
    if (platform->locationServicesEnabled()) {
        const auto status = platform->authorizationStatus();
        authorized = status == SVLocationAuthorization::authorizedAlways ||
                     (status == SVLocationAuthorization::authorizedWhenInUse && isLocationWhenInUseAvailable());
    }
    if (!authorized) {
        log("Couldn't get location: not authorized");
        promise.resolve(Location{});
        return;
    }
    const std::uint64_t id = nextID_.fetch_add(1);
    // A request the platform never answers is answered after the time
    // limit. The timer runs on this queue, so it cannot fire before the entry
    // is in place.
    std::weak_ptr<LocationManager> weak = weak_from_this();
    const std::uint64_t timer = DispatchQueue::main().asyncAfter(timeLimit(), [weak, id] {
        if (auto self = weak.lock()) self->expire(id);
    });
    promises_.update([&](auto& pending) { pending[id] = Pending{promise, timer}; });
    platform->startUpdatingLocation();
    log("Starting updating location");
}

void LocationManager::expire(std::uint64_t id) {
    std::optional<Pending> expired;
    const bool nobodyWaits = promises_.update([&](auto& pending) {
        if (auto found = pending.find(id); found != pending.end()) {
            expired = std::move(found->second);
            pending.erase(found);
        }
        return pending.empty();
    });
    if (!expired) return;
    Logger::error(SVLogCategory::events, "Couldn't get location: no answer within the time limit");
    if (nobodyWaits) platform()->stopUpdatingLocation();
    expired->promise.resolve(Location{});
}

void LocationManager::didUpdateLocations(const std::vector<SVLocationFix>& fixes) {
    platform()->stopUpdatingLocation();
    log("Location is updated");
    resolvePromises(fixes.empty() ? Location{} : Location::from(fixes.back()));
}

void LocationManager::didFailWithError(const std::string& description) {
    platform()->stopUpdatingLocation();
    Logger::error(SVLogCategory::events, "Location manager did fail with error: " + description);
    resolvePromises(Location{});
}

void LocationManager::resolvePromises(const Location& location) {
    // Taken out in one step; resolved outside the guard, as their callbacks
    // may ask for the location again.
    auto pending = promises_.update([](auto& all) { return std::exchange(all, {}); });
    for (auto& [id, entry] : pending) {
        DispatchQueue::main().cancel(entry.timer);
        entry.promise.resolve(location);
    }
}

std::size_t LocationManager::pendingCount() const {
    return promises_.value().size();
}

}  // namespace svsdk
