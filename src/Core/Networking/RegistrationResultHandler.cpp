#include "Core/Networking/RegistrationResultHandler.h"

#include <memory>

#include "Core/Security/HandlesManager.h"
#include "Core/Security/SecureEnclave.h"

namespace svsdk {

std::function<void(const SVFailure&)> registrationResultHandler(bool removeKeyPair, const SVUser& user,
                                                                bool removeDeviceToken) {
    auto box = std::make_shared<const SVUser>(user);
    return [removeKeyPair, box, removeDeviceToken](const SVFailure&) {
        if (removeKeyPair) SecureEnclave::users().removeKeyPair(box->uniqueID());
        if (removeDeviceToken) HandlesManager::shared().remove(HandleType::deviceToken, *box);
    };
}

}  // namespace svsdk
