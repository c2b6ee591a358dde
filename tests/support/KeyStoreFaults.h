#pragma once
// Makes a keychain store refuse every new key item, so that a key generation
// or replacement fails inside the store's own transaction.
#include <gtest/gtest.h>

#include "Core/Storing/StoreTestSupport.h"
#include "Platform/KeychainStore.h"

namespace svsdk::testing {

inline void refuseKeyInserts(const std::string& path) {
    KeychainStore(path).findKey(KeyQuery{});  // creates the store
    EXPECT_NO_THROW(
        RawDatabase(path).exec("CREATE TRIGGER refuse BEFORE INSERT ON keys BEGIN SELECT RAISE(ABORT, 'no'); END"));
}

}  // namespace svsdk::testing
