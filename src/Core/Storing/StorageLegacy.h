#pragma once
// Users that older versions of the SDK stored as "SVKeyEntity" rows, read as
// users of generation 1 or 2 whose keys are still under the legacy device
// key. The SDK never writes such a row; it lists, finds and deletes them.
//
// Every member works on the context of the caller's transaction.
#include <optional>
#include <string>
#include <vector>

#include <svsdk/SVUser.h>

#include "Core/Storing/CoreDataManager.h"

namespace svsdk {

class StorageLegacy {
public:
    StorageLegacy() = default;
    virtual ~StorageLegacy() = default;
    StorageLegacy(const StorageLegacy&) = delete;
    StorageLegacy& operator=(const StorageLegacy&) = delete;

    // Every row that reads as a user, in the store's order; unreadable rows
    // are left out.
    virtual std::vector<SVUser> users(const StoreContext& context);
    // The user of a row. SVError::missingRequestedData when systemID, the
    // interaction URL, one of the three keys (hex text) or the expiry date is
    // missing or unreadable.
    virtual SVUser makeUser(const SVKeyEntity& entity);
    // The row whose storage identifier is `keyID` (see `storageID`).
    std::optional<SVKeyEntity> keyEntity(const std::string& keyID, const StoreContext& context);

    // The storage identifier of a row: its keyID, or for a row without one an
    // identifier derived from the row (its id and key content), the same at
    // every read, so the user can be found, removed and transferred by it.
    static std::string storageID(const SVKeyEntity& entity);
};

}  // namespace svsdk
