#pragma once
// The protocol object through which every server operation of a user goes:
// `APIInteractorV3` for servers of API version 3, `APIInteractorLegacy` for
// versions 1 and 2. Both are made by `APIInteractionManager::interactor`.
#include <cstdint>
#include <string>
#include <utility>

#include "Core/Utilities/URL.h"

namespace svsdk {

class APIInteractor {
public:
    virtual ~APIInteractor() = default;

    // The user's server base URL.
    const URL& interactionURL() const noexcept { return interactionURL_; }
    // The API version the object speaks.
    std::int64_t version() const noexcept { return version_; }
    // The interaction URL with the path component "jsonrequest_v" followed
    // by the version in decimal.
    URL endpointURL() const {
        return interactionURL_.appendingPathComponent("jsonrequest_v" + std::to_string(version_));
    }

protected:
    APIInteractor(URL interactionURL, std::int64_t version)
        : interactionURL_(std::move(interactionURL)), version_(version) {}
    APIInteractor(const APIInteractor&) = default;
    APIInteractor& operator=(const APIInteractor&) = default;

private:
    URL interactionURL_;
    std::int64_t version_;
};

// Version 3: resource paths below the endpoint URL.
class APIInteractorV3 final : public APIInteractor {
public:
    explicit APIInteractorV3(URL interactionURL) : APIInteractor(std::move(interactionURL), 3) {}
};

// Versions 1 and 2: a JSON envelope posted to the endpoint URL.
class APIInteractorLegacy final : public APIInteractor {
public:
    APIInteractorLegacy(URL interactionURL, std::int64_t version)
        : APIInteractor(std::move(interactionURL), version) {}
};

}  // namespace svsdk
