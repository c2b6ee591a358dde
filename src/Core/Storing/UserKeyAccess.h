#pragma once
// What SVUser tells about its keys, against a given storage manager (the
// SVUser members use the shared one).
#include <optional>
#include <string>

#include <svsdk/SVUser.h>

#include "Core/Storing/StorageManager.h"

namespace svsdk {

std::optional<std::string> publicKeyOf(const SVUser& user, StorageManager& storage);
Bytes authorizationKeyOf(const SVUser& user, StorageManager& storage);

}  // namespace svsdk
