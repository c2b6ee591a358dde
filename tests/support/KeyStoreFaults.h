#pragma once
// Makes a keychain store refuse every new key item, so that a key generation
// or replacement fails inside the store's own transaction.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <string>

#include "Platform/KeychainStore.h"

namespace svsdk::testing {

inline void refuseKeyInserts(const std::string& path) {
    KeychainStore(path).findKey(KeyQuery{});  // creates the store
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    EXPECT_EQ(sqlite3_exec(db, "CREATE TRIGGER refuse BEFORE INSERT ON keys BEGIN SELECT RAISE(ABORT, 'refused'); END",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(db);
}

}  // namespace svsdk::testing
