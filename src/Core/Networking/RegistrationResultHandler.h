#pragma once
// The clean-up of a failed user registration, applied to the registration's
// future with `failureHandled`: on failure it removes the key pair labelled
// with the user's uniqueID from the users' key store (when `removeKeyPair`)
// and the user's "deviceToken" handle (when `removeDeviceToken`); the future
// then fails with the same error. Success passes unchanged.
#include <functional>

#include <svsdk/SVResult.h>
#include <svsdk/SVUser.h>

namespace svsdk {

std::function<void(const SVFailure&)> registrationResultHandler(bool removeKeyPair, const SVUser& user,
                                                                bool removeDeviceToken);

}  // namespace svsdk
