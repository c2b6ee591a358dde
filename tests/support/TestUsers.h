#pragma once
#include <string>

#include <svsdk/SVUser.h>

namespace svsdk::testing {

// An activated, stored user of `systemID` reached at `interactionURL`.
inline SVUser userOf(const std::string& systemID, const std::string& interactionURL) {
    return SVUser("user-" + systemID, systemID, SVUserOptions{}, interactionURL, std::nullopt, std::nullopt,
                  std::nullopt, std::nullopt, {}, 30, 30, "storage-" + systemID, 3, UserKeysContent::storedEncrypted(),
                  4102444800);
}

}  // namespace svsdk::testing
