#include "Platform/LocationPlatform.h"

#include "Platform/DispatchQueue.h"
#include "Platform/PlatformConfiguration.h"

namespace svsdk {

void ProviderLocationPlatform::setDelegate(LocationDelegate* delegate) {
    std::lock_guard guard(lock_);
    delegate_ = delegate;
}

bool ProviderLocationPlatform::locationServicesEnabled() {
    auto provider = platform::current()->locationProvider;
    if (!provider) return false;
    try {
        return provider->locationServicesEnabled();
    } catch (...) {
        return false;
    }
}

SVLocationAuthorization ProviderLocationPlatform::authorizationStatus() {
    auto provider = platform::current()->locationProvider;
    if (!provider) return SVLocationAuthorization::notDetermined;
    try {
        return provider->authorizationStatus();
    } catch (...) {
        return SVLocationAuthorization::notDetermined;
    }
}

void ProviderLocationPlatform::startUpdatingLocation() {
    std::uint64_t generation = 0;
    {
        std::lock_guard guard(lock_);
        if (updating_) return;
        updating_ = true;
        generation = ++generation_;
    }
    auto provider = platform::current()->locationProvider;
    std::weak_ptr<ProviderLocationPlatform> weak = weak_from_this();
    auto answer = [weak, generation](std::optional<SVLocationFix> fix) {
        DispatchQueue::main().async([weak, generation, fix] {
            if (auto self = weak.lock()) self->deliver(generation, fix);
        });
    };
    if (!provider) {
        answer(std::nullopt);
        return;
    }
    try {
        provider->requestLocation(answer);
    } catch (...) {
        answer(std::nullopt);
    }
}

void ProviderLocationPlatform::stopUpdatingLocation() {
    std::lock_guard guard(lock_);
    updating_ = false;
}

void ProviderLocationPlatform::deliver(std::uint64_t generation, const std::optional<SVLocationFix>& fix) {
    LocationDelegate* delegate = nullptr;
    {
        std::lock_guard guard(lock_);
        // An answer of stopped updates, or a second answer, is dropped.
        if (!updating_ || generation != generation_) return;
        delegate = delegate_;
    }
    if (!delegate) return;
    if (fix)
        delegate->didUpdateLocations({*fix});
    else
        delegate->didFailWithError("The location provider has no fix");
}

}  // namespace svsdk
