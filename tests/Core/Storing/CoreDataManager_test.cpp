#include <gtest/gtest.h>

#include <sys/stat.h>

#include <csignal>
#include <filesystem>

#include <svsdk/SVError.h>

#include "BuildConstants.h"
#include "Core/Storing/CoreDataManager.h"
#include "StoreTestSupport.h"
#include "support/TestEnvironment.h"

using namespace svsdk;
using svsdk::testing::modeOf;
using svsdk::testing::RawDatabase;
using svsdk::testing::runInChildProcess;
using svsdk::testing::ScopedPlatform;

namespace {

CoreDataManager::Info buildInfo() { return {build::kDatabaseResourceName, build::kModelResourceName}; }

std::unique_ptr<CoreDataManager> storeAt(const std::string& path) {
    auto manager = std::make_unique<CoreDataManager>(buildInfo());
    manager->setDatabaseURL(path);
    return manager;
}

SVUserEntity sampleUser(const std::string& storageID) {
    SVUserEntity user;
    user.apiVersion = 3;
    user.expirationTimestamp = 1767139200.5;
    user.flags = 0x1E;
    user.interactionURL = "https://signing.example.test/api";
    user.keyAuth = Bytes{0x00, 0x01, 0xFF};
    user.keyHMAC = Bytes{0x10, 0x00, 0x20};
    user.keyVersion = 3;
    user.name = "Main account";
    user.registeredDeviceToken = "token-1";
    user.storageID = storageID;
    user.systemID = "SYS";
    user.systemName = "Signing system";
    user.userID = "user-42";
    return user;
}

std::vector<std::string> storageMessages(ScopedPlatform& platform) {
    std::vector<std::string> messages;
    for (const auto& e : platform.log().entries())
        if (e.category == SVLogCategory::storage) messages.push_back(e.message);
    return messages;
}

// The current store as a plain connection sees it: the storageIDs in row order.
std::vector<std::string> storedIDs(CoreDataManager& manager) {
    return manager.performTransaction([](StoreContext& context) {
        std::vector<std::string> ids;
        for (const auto& user : context.fetchUserEntities()) ids.push_back(textOrEmpty(user.storageID));
        return ids;
    });
}

}  // namespace

TEST(CoreDataManagerTest, OpensANewPrivateStoreInWriteAheadMode) {
    ScopedPlatform platform(SVLoggingOptions::debug);
    std::string path = platform.dir().file("store with space.sqlite");
    auto manager = storeAt(path);
    manager->performTransaction([](StoreContext& context) {
        auto user = sampleUser("S1");
        context.insert(user);
    });

    EXPECT_EQ(storageMessages(platform),
              (std::vector<std::string>{"Making the Managed Object Context", "Making the Persistent Store Coordinator",
                                        "Looking for the Managed Object Model file",
                                        "Using persistent store at file://" + platform.dir().path() +
                                            "/store%20with%20space.sqlite"}));
    for (const char* suffix : {"", "-wal", "-shm"}) EXPECT_EQ(modeOf(path + suffix), 0600u) << suffix;
    RawDatabase raw(path);
    EXPECT_EQ(raw.scalar("PRAGMA journal_mode"), "wal");
    EXPECT_EQ(raw.scalar("PRAGMA user_version"), std::to_string(CoreDataManager::schemaVersion));
    EXPECT_EQ(raw.scalar("SELECT storageID FROM SVUserEntity"), "S1");
}

TEST(CoreDataManagerTest, AttributesRoundTripAndUnsetOnesReadBackAsDocumented) {
    ScopedPlatform platform;
    std::string path = platform.dir().file("store.sqlite");
    {
        RawDatabase raw(path);  // key entities come only from older SDKs: write them directly
        ASSERT_EQ(::chmod(path.c_str(), 0644), 0);
        storeAt(path)->performTransaction([](StoreContext&) {});
        EXPECT_EQ(modeOf(path), 0600u) << "a store found readable by others is made private";
        raw.exec(
            "INSERT INTO SVKeyEntity (keyID, keyFlags, hwEncrypted, keyValue) VALUES ('K1', 2, 1, 'ab01');"
            "INSERT INTO SVKeyEntity (keyID) VALUES ('K2');"
            "INSERT INTO SVKeyEntity (keyID) VALUES ('K2');");
    }
    auto manager = storeAt(path);
    manager->performTransaction([](StoreContext& context) {
        auto full = sampleUser("FULL");
        context.insert(full);
        SVUserEntity bare;
        bare.storageID = "BARE";
        context.insert(bare);
        SVUserEntity empty;  // empty values are values, not unset
        empty.storageID = "EMPTY";
        empty.name = "";
        empty.keyAuth = Bytes{};
        context.insert(empty);
        EXPECT_TRUE(full.objectID && bare.objectID && empty.objectID);
        EXPECT_NE(*full.objectID, *bare.objectID);
    });

    manager->performTransaction([](StoreContext& context) {
        auto users = context.fetchUserEntities();
        ASSERT_EQ(users.size(), 3u);
        auto expected = sampleUser("FULL");
        const auto& full = users[0];
        EXPECT_EQ(full.apiVersion, expected.apiVersion);
        EXPECT_EQ(full.expirationTimestamp, expected.expirationTimestamp);
        EXPECT_EQ(full.flags, expected.flags);
        EXPECT_EQ(full.interactionURL, expected.interactionURL);
        EXPECT_EQ(full.keyAuth, expected.keyAuth);
        EXPECT_EQ(full.keyHMAC, expected.keyHMAC);  // bytes with a zero inside stay whole
        EXPECT_EQ(full.keyVersion, expected.keyVersion);
        EXPECT_EQ(full.name, expected.name);
        EXPECT_EQ(full.registeredDeviceToken, expected.registeredDeviceToken);
        EXPECT_EQ(full.systemID, expected.systemID);
        EXPECT_EQ(full.systemName, expected.systemName);
        EXPECT_EQ(full.userID, expected.userID);

        const auto& bare = users[1];
        EXPECT_FALSE(bare.apiVersion || bare.flags || bare.keyVersion || bare.interactionURL || bare.name ||
                     bare.registeredDeviceToken || bare.systemID || bare.systemName || bare.userID ||
                     bare.keyAuth || bare.keyHMAC);
        EXPECT_EQ(bare.expirationTimestamp, 0.0);
        EXPECT_EQ(textOrEmpty(bare.name), "");
        EXPECT_EQ(textOrEmpty(bare.userID), "");
        EXPECT_EQ(integerOrZero(bare.flags), 0);
        EXPECT_EQ(integerOrZero(bare.apiVersion), 0);

        const auto& empty = users[2];
        EXPECT_EQ(empty.name, std::optional<std::string>(""));
        EXPECT_EQ(empty.keyAuth, std::optional<Bytes>(Bytes{}));
        EXPECT_FALSE(empty.keyHMAC.has_value());

        auto keys = context.fetchKeyEntities();
        ASSERT_EQ(keys.size(), 3u);
        EXPECT_EQ(keys[0].keyFlags, 2);
        EXPECT_TRUE(keys[0].hwEncrypted);
        EXPECT_EQ(keys[0].keyValue, "ab01");
        EXPECT_FALSE(keys[1].hwEncrypted);
        EXPECT_FALSE(keys[1].keyFlags || keys[1].keyValue || keys[1].fingerprint || keys[1].deviceToken);
        EXPECT_EQ(integerOrZero(keys[1].keyFlags), 0);
        EXPECT_EQ(textOrEmpty(keys[1].userID), "");
        // A look-up gives the first match.
        EXPECT_EQ(context.fetchKeyEntity("K2")->objectID, keys[1].objectID);
        EXPECT_FALSE(context.fetchKeyEntity("K9"));
        context.remove(keys[1]);
    });
    RawDatabase raw(path);
    EXPECT_EQ(raw.scalar("SELECT group_concat(keyID, ',') FROM SVKeyEntity"), "K1,K2");
}

TEST(CoreDataManagerTest, LooksUpUpdatesAndRemovesEntities) {
    ScopedPlatform platform;
    std::string path = platform.dir().file("store.sqlite");
    auto manager = storeAt(path);
    manager->performTransaction([](StoreContext& context) {
        for (const char* id : {"A", "B", "A"}) {
            auto user = sampleUser(id);
            user.name = std::string("copy of ") + id;
            context.insert(user);
        }
    });
    manager->performTransaction([](StoreContext& context) {
        auto a = context.fetchUserEntity("A");
        ASSERT_TRUE(a);
        EXPECT_EQ(a->objectID, context.fetchUserEntities()[0].objectID) << "the first match";
        EXPECT_FALSE(context.fetchUserEntity("Z"));
        EXPECT_FALSE(context.fetchUserEntity("a")) << "look-ups are exact";

        a->name = "renamed";
        a->systemName.reset();  // unset again
        context.update(*a);
        auto b = context.fetchUserEntity("B");
        context.remove(*b);
        context.remove(*b);  // already gone: no change
        EXPECT_THROW(context.update(*b), SVPlatformError);
        EXPECT_THROW(context.update(SVUserEntity{}), SVPlatformError);
    });
    RawDatabase raw(path);
    EXPECT_EQ(raw.scalar("SELECT group_concat(storageID || ':' || name, ',') FROM SVUserEntity"),
              "A:renamed,A:copy of A");
    EXPECT_EQ(raw.scalar("SELECT count(*) FROM SVUserEntity WHERE systemName IS NULL"), "1");
}

TEST(CoreDataManagerTest, AnOperationKeepsAllItsChangesOrNone) {
    ScopedPlatform platform;
    auto manager = storeAt(platform.dir().file("store.sqlite"));
    int answer = manager->performTransaction([](StoreContext& context) {
        auto user = sampleUser("KEPT");
        context.insert(user);
        return 42;
    });
    EXPECT_EQ(answer, 42);

    // A failing operation is undone as a whole and its error passes unchanged.
    try {
        manager->performTransaction([](StoreContext& context) {
            auto user = sampleUser("LOST");
            context.insert(user);
            auto kept = context.fetchUserEntity("KEPT");
            context.remove(*kept);
            throw SVError::userIsNotActivated();
        });
        FAIL() << "the error should pass";
    } catch (const SVError& error) {
        EXPECT_EQ(error.code(), SVError::Code::userIsNotActivated);
    }
    EXPECT_EQ(storedIDs(*manager), std::vector<std::string>{"KEPT"});

    // A nested operation that fails undoes only its own changes.
    manager->performTransaction([&](StoreContext& context) {
        auto outer = sampleUser("OUTER");
        context.insert(outer);
        EXPECT_THROW(manager->performTransaction([](StoreContext& inner) {
            auto user = sampleUser("INNER");
            inner.insert(user);
            throw SVError::internalError();
        }),
                     SVError);
        manager->performTransaction([](StoreContext& inner) {
            auto user = sampleUser("NESTED");
            inner.insert(user);
        });
    });
    EXPECT_EQ(storedIDs(*manager), (std::vector<std::string>{"KEPT", "OUTER", "NESTED"}));
}

TEST(CoreDataManagerTest, WithoutADatabaseURLNothingIsStoredForTheLifeOfTheManager) {
    ScopedPlatform platform(SVLoggingOptions::debug);
    CoreDataManager manager(buildInfo());
    auto work = [](StoreContext& context) {
        EXPECT_FALSE(context.hasStore());
        EXPECT_TRUE(context.fetchUserEntities().empty());
        EXPECT_TRUE(context.fetchKeyEntities().empty());
        EXPECT_FALSE(context.fetchUserEntity("A"));
        auto user = sampleUser("A");
        try {
            context.insert(user);
            ADD_FAILURE() << "a write without a store must throw";
        } catch (const SVPlatformError& error) {
            EXPECT_EQ(error.domain(), "store");
            EXPECT_EQ(error.code(), CoreDataManager::noStore);
        }
        EXPECT_THROW(context.remove(SVKeyEntity{}), SVPlatformError);
        EXPECT_THROW(context.requireStore(), SVPlatformError);
    };
    manager.performTransaction(work);
    std::string path = platform.dir().file("late.sqlite");
    manager.setDatabaseURL(path);  // too late: the stack is made once
    manager.performTransaction(work);

    int errors = 0;
    for (const auto& e : platform.log().entries())
        if (e.message == "Could not create persistent store. Database URL not set") {
            EXPECT_EQ(e.type, SVLogType::error);
            EXPECT_EQ(e.category, SVLogCategory::storage);
            ++errors;
        }
    EXPECT_EQ(errors, 1);
    EXPECT_FALSE(std::filesystem::exists(path)) << "no file is made";
}

TEST(CoreDataManagerTest, WithoutTheModelThereIsNoStore) {
    for (std::optional<std::string> model : {std::optional<std::string>(), std::optional<std::string>("Other")}) {
        ScopedPlatform platform(SVLoggingOptions::debug);
        CoreDataManager manager({build::kDatabaseResourceName, model});
        std::string path = platform.dir().file("store.sqlite");
        manager.setDatabaseURL(path);
        manager.performTransaction([](StoreContext& context) {
            EXPECT_FALSE(context.hasStore());
            EXPECT_THROW(context.requireStore(), SVPlatformError);
        });
        EXPECT_TRUE(platform.log().contains(SVLogCategory::storage, "Unable to load managed object model"));
        EXPECT_FALSE(platform.log().anyContains("Using persistent store at"));
        EXPECT_FALSE(std::filesystem::exists(path));
        EXPECT_EQ(manager.modelResourceName(), model);
    }
}

TEST(CoreDataManagerTest, AStoreThatCannotBeOpenedIsLoggedAndRefusesWrites) {
    ScopedPlatform platform(SVLoggingOptions::debug);
    // A folder that does not exist.
    {
        auto manager = storeAt(platform.dir().file("missing/store.sqlite"));
        manager->performTransaction([](StoreContext& context) {
            EXPECT_FALSE(context.hasStore());
            EXPECT_THROW(context.requireStore(), SVPlatformError);
        });
        EXPECT_TRUE(platform.log().contains(SVLogCategory::storage, "No such file or directory"));
    }
    // A file that is not a database is left as it was.
    {
        std::string path = platform.dir().file("text.sqlite");
        FILE* file = std::fopen(path.c_str(), "w");
        std::string junk(4096, 'x');
        std::fwrite(junk.data(), 1, junk.size(), file);
        std::fclose(file);
        auto manager = storeAt(path);
        manager->performTransaction([](StoreContext& context) {
            EXPECT_FALSE(context.hasStore());
            auto user = sampleUser("A");
            try {
                context.insert(user);
                ADD_FAILURE();
            } catch (const SVPlatformError& error) {
                EXPECT_EQ(error.domain(), "sqlite");
            }
        });
        EXPECT_TRUE(platform.log().contains(SVLogCategory::storage, "not a database"));
    }
    // A store of a newer schema is not touched.
    {
        std::string path = platform.dir().file("newer.sqlite");
        {
            RawDatabase raw(path);
            raw.exec("CREATE TABLE SVUserEntity (id INTEGER PRIMARY KEY, storageID TEXT, futureColumn BLOB);"
                     "INSERT INTO SVUserEntity (storageID) VALUES ('F');"
                     "PRAGMA user_version = 99;");
        }
        auto manager = storeAt(path);
        manager->performTransaction([](StoreContext& context) {
            EXPECT_TRUE(context.fetchUserEntities().empty());
            try {
                context.requireStore();
                ADD_FAILURE();
            } catch (const SVPlatformError& error) {
                EXPECT_EQ(error.domain(), "store");
                EXPECT_EQ(error.code(), CoreDataManager::incompatibleStore);
            }
        });
        RawDatabase raw(path);
        EXPECT_EQ(raw.scalar("PRAGMA user_version"), "99");
        EXPECT_EQ(raw.scalar("SELECT storageID FROM SVUserEntity"), "F");
    }
}

TEST(CoreDataManagerTest, AStoreOfTheFirstSchemaVersionOpensWithItsRows) {
    ScopedPlatform platform;
    std::string path = platform.dir().file("v1.sqlite");
    {
        RawDatabase raw(path);
        raw.exec(
            "CREATE TABLE SVUserEntity (id INTEGER PRIMARY KEY, expirationTimestamp REAL, flags INTEGER,"
            " interactionURL TEXT, keyAuth BLOB, keyHMAC BLOB, keyVersion INTEGER, name TEXT,"
            " registeredDeviceToken TEXT, storageID TEXT, systemID TEXT, userID TEXT);"
            "CREATE TABLE SVKeyEntity (id INTEGER PRIMARY KEY, deviceToken TEXT, encryptingAlgorithm TEXT,"
            " expirationDateString TEXT, fingerprint TEXT, hwEncrypted INTEGER, interactionExternalURL TEXT,"
            " keyFlags INTEGER, keyID TEXT, keyName TEXT, keyType INTEGER, keyValue TEXT, onlineConfirmURL TEXT,"
            " privateKey TEXT, publicKey TEXT, systemID TEXT, userID TEXT);"
            "INSERT INTO SVUserEntity (storageID, name, flags, keyAuth) VALUES ('OLD', 'Old user', 6, x'0102');"
            "INSERT INTO SVKeyEntity (keyID, fingerprint) VALUES ('LEGACY', 'fp');"
            "PRAGMA user_version = 1;");
    }
    auto manager = storeAt(path);
    manager->performTransaction([](StoreContext& context) {
        ASSERT_TRUE(context.hasStore());
        auto old = context.fetchUserEntity("OLD");
        ASSERT_TRUE(old);
        EXPECT_EQ(old->name, "Old user");
        EXPECT_EQ(old->flags, 6);
        EXPECT_EQ(old->keyAuth, (Bytes{1, 2}));
        EXPECT_FALSE(old->systemName);
        EXPECT_FALSE(old->apiVersion);
        EXPECT_EQ(integerOrZero(old->apiVersion), 0);
        old->systemName = "Named later";
        old->apiVersion = 2;
        context.update(*old);
        EXPECT_EQ(context.fetchKeyEntity("LEGACY")->fingerprint, "fp");
    });
    manager.reset();
    RawDatabase raw(path);
    EXPECT_EQ(raw.scalar("PRAGMA user_version"), std::to_string(CoreDataManager::schemaVersion));
    EXPECT_EQ(raw.scalar("SELECT systemName || '/' || apiVersion FROM SVUserEntity"), "Named later/2");
}

TEST(CoreDataManagerTest, RowsOutliveTheProcessThatWroteThem) {
    ScopedPlatform platform;
    std::string path = platform.dir().file("store.sqlite");
    int status = runInChildProcess([&] {
        auto manager = storeAt(path);
        manager->performTransaction([](StoreContext& context) {
            auto user = sampleUser("FROM-CHILD");
            context.insert(user);
        });
        manager.release();  // ends without closing the store, as a process that just exits
    });
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;

    auto manager = storeAt(path);
    manager->performTransaction([](StoreContext& context) {
        auto user = context.fetchUserEntity("FROM-CHILD");
        ASSERT_TRUE(user);
        EXPECT_EQ(user->keyHMAC, sampleUser("").keyHMAC);
        EXPECT_EQ(user->systemName, "Signing system");
    });
}

TEST(CoreDataManagerTest, AWriteCutShortByACrashLeavesTheLastCommittedState) {
    ScopedPlatform platform;
    std::string path = platform.dir().file("store.sqlite");
    {
        auto manager = storeAt(path);
        manager->performTransaction([](StoreContext& context) {
            auto user = sampleUser("COMMITTED");
            context.insert(user);
        });
    }
    int status = runInChildProcess([&] {
        auto manager = storeAt(path);
        manager->performTransaction([](StoreContext& context) {
            auto user = context.fetchUserEntity("COMMITTED");
            user->name = "half-written";
            context.update(*user);
            auto second = sampleUser("UNCOMMITTED");
            context.insert(second);
            ::raise(SIGKILL);  // dies between two statements of one operation
            context.remove(*user);
        });
    });
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;

    auto manager = storeAt(path);
    manager->performTransaction([](StoreContext& context) {
        auto users = context.fetchUserEntities();
        ASSERT_EQ(users.size(), 1u);
        EXPECT_EQ(users[0].storageID, "COMMITTED");
        EXPECT_EQ(users[0].name, "Main account");
        auto next = sampleUser("AFTER");
        context.insert(next);  // the store takes writes again
    });
    EXPECT_EQ(storedIDs(*manager), (std::vector<std::string>{"COMMITTED", "AFTER"}));
}

TEST(CoreDataManagerDeathTest, AMissingDatabaseResourceNameStopsTheProcess) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    CoreDataManager manager({std::nullopt, build::kModelResourceName});
    EXPECT_DEATH(manager.databaseResourceName(), "Database Resource Name key is missing in the plist file");
    EXPECT_EQ(CoreDataManager::shared().databaseResourceName(), build::kDatabaseResourceName);
}
