#include <gtest/gtest.h>

#include <sys/stat.h>

#include <csignal>
#include <filesystem>
#include <fstream>

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
    return {.objectID = std::nullopt, .apiVersion = 3, .expirationTimestamp = 1767139200.5, .flags = 0x1E,
            .interactionURL = "https://signing.example.test/api", .keyAuth = Bytes{0x00, 0x01, 0xFF},
            .keyHMAC = Bytes{0x10, 0x00, 0x20}, .keyVersion = 3, .name = "Main account",
            .registeredDeviceToken = "token-1", .storageID = storageID, .systemID = "SYS",
            .systemName = "Signing system", .userID = "user-42"};
}

void insertUser(StoreContext& context, const std::string& storageID) {
    auto user = sampleUser(storageID);
    context.insert(user);
}

// One operation that finds no store: nothing to fetch, and every write throws
// the error that kept the store from opening.
void expectNoStore(CoreDataManager& manager, const std::string& domain, std::optional<int> code = std::nullopt) {
    manager.performTransaction([&](StoreContext& context) {
        EXPECT_FALSE(context.hasStore());
        EXPECT_TRUE(context.fetchUserEntities().empty());
        EXPECT_TRUE(context.fetchKeyEntities().empty());
        EXPECT_FALSE(context.fetchUserEntity("A"));
        auto user = sampleUser("A");
        try {
            context.insert(user);
            ADD_FAILURE() << "a write without a store must throw";
        } catch (const SVPlatformError& error) {
            EXPECT_EQ(error.domain(), domain);
            EXPECT_EQ(error.code(), code.value_or(error.code()));
        }
        EXPECT_THROW(context.remove(SVKeyEntity{}), SVPlatformError);
        EXPECT_THROW(context.requireStore(), SVPlatformError);
    });
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
    manager->performTransaction([](StoreContext& context) { insertUser(context, "S1"); });

    std::vector<std::string> messages;
    for (const auto& e : platform.log().entries())
        if (e.category == SVLogCategory::storage) messages.push_back(e.message);
    EXPECT_EQ(messages, (std::vector<std::string>{"Making the Managed Object Context", "Making the Persistent Store Coordinator",
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
        raw.exec("INSERT INTO SVKeyEntity (keyID, keyFlags, hwEncrypted, keyValue) VALUES ('K1', 2, 1, 'ab01');"
                 "INSERT INTO SVKeyEntity (keyID) VALUES ('K2'), ('K2');");
    }
    SVUserEntity full = sampleUser("FULL"), bare, empty;
    bare.storageID = "BARE";
    empty.storageID = "EMPTY";  // empty values are values, not unset
    empty.name = "";
    empty.keyAuth = Bytes{};
    auto manager = storeAt(path);
    manager->performTransaction([&](StoreContext& context) {
        for (auto* user : {&full, &bare, &empty}) context.insert(*user);
    });
    EXPECT_TRUE(full.objectID && bare.objectID && empty.objectID && *full.objectID != *bare.objectID);

    manager->performTransaction([&](StoreContext& context) {
        // Bytes with a zero inside stay whole; unset attributes read back unset.
        auto users = context.fetchUserEntities();
        EXPECT_EQ(users, (std::vector<SVUserEntity>{full, bare, empty}));
        EXPECT_EQ(textOrEmpty(users.at(1).name), "");
        EXPECT_EQ(integerOrZero(users.at(1).flags), 0);

        auto keys = context.fetchKeyEntities();
        ASSERT_EQ(keys.size(), 3u);
        EXPECT_EQ(keys[0].keyFlags, 2);
        EXPECT_TRUE(keys[0].hwEncrypted);
        EXPECT_EQ(keys[0].keyValue, "ab01");
        SVKeyEntity bareKey;
        bareKey.objectID = keys[1].objectID;
        bareKey.keyID = "K2";
        EXPECT_EQ(keys[1], bareKey) << "unset: absent, and false for the flag";
        EXPECT_EQ(context.fetchKeyEntity("K2")->objectID, keys[1].objectID) << "a look-up gives the first match";
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
        insertUser(context, "KEPT");
        return 42;
    });
    EXPECT_EQ(answer, 42);

    // A failing operation is undone as a whole and its error passes unchanged.
    try {
        manager->performTransaction([](StoreContext& context) {
            insertUser(context, "LOST");
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
        insertUser(context, "OUTER");
        EXPECT_THROW(manager->performTransaction([](StoreContext& inner) {
            insertUser(inner, "INNER");
            throw SVError::internalError();
        }),
                     SVError);
        manager->performTransaction([](StoreContext& inner) { insertUser(inner, "NESTED"); });
    });
    EXPECT_EQ(storedIDs(*manager), (std::vector<std::string>{"KEPT", "OUTER", "NESTED"}));
}

// Every way of finding no store: nothing to fetch, writes refused with the
// cause, the cause logged, and no file made or touched.
TEST(CoreDataManagerTest, AStoreThatCannotBeOpenedIsLoggedAndRefusesWrites) {
    struct Case {
        const char* name;
        std::optional<std::string> model;
        const char* file;  // nullptr: no database URL
        std::string content;  // written to the file first, when not empty
        const char* domain;
        std::optional<int> code;
        const char* logged;
    } cases[] = {
        {"no URL", build::kModelResourceName, nullptr, "", "store", CoreDataManager::noStore,
         "Could not create persistent store. Database URL not set"},
        {"no model", std::nullopt, "store.sqlite", "", "store", CoreDataManager::noStore,
         "Unable to load managed object model"},
        {"other model", "Other", "store.sqlite", "", "store", CoreDataManager::noStore,
         "Unable to load managed object model"},
        {"missing folder", build::kModelResourceName, "missing/store.sqlite", "", "posix", std::nullopt,
         "No such file or directory"},
        {"not a database", build::kModelResourceName, "text.sqlite", std::string(4096, 'x'), "sqlite", std::nullopt,
         "not a database"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ScopedPlatform platform(SVLoggingOptions::debug);
        std::string path = platform.dir().file(c.file ? c.file : "late.sqlite");
        if (!c.content.empty()) std::ofstream(path) << c.content;
        CoreDataManager manager({build::kDatabaseResourceName, c.model});
        if (c.file) manager.setDatabaseURL(path);
        expectNoStore(manager, c.domain, c.code);
        if (!c.file) {
            manager.setDatabaseURL(path);  // too late: the stack is made once
            expectNoStore(manager, c.domain, c.code);
        }
        int errors = 0;
        for (const auto& e : platform.log().entries())
            if (e.message.find(c.logged) != std::string::npos) {
                EXPECT_EQ(e.type, SVLogType::error);
                EXPECT_EQ(e.category, SVLogCategory::storage);
                ++errors;
            }
        EXPECT_EQ(errors, 1);
        if (std::string_view(c.domain) == "store") {  // the stack was never made
            EXPECT_FALSE(platform.log().anyContains("Using persistent store at"));
        }
        if (c.content.empty()) {
            EXPECT_FALSE(std::filesystem::exists(path)) << "no file is made";
        } else {
            EXPECT_EQ(std::filesystem::file_size(path), c.content.size()) << "the file is left as it was";
        }
    }

    // A store of a newer schema is not touched.
    ScopedPlatform platform;
    std::string newer = platform.dir().file("newer.sqlite");
    RawDatabase(newer).exec(
        "CREATE TABLE SVUserEntity (id INTEGER PRIMARY KEY, storageID TEXT, futureColumn BLOB);"
        "INSERT INTO SVUserEntity (storageID) VALUES ('F'); PRAGMA user_version = 99;");
    expectNoStore(*storeAt(newer), "store", CoreDataManager::incompatibleStore);
    RawDatabase raw(newer);
    EXPECT_EQ(raw.scalar("PRAGMA user_version"), "99");
    EXPECT_EQ(raw.scalar("SELECT storageID FROM SVUserEntity"), "F");
}

TEST(CoreDataManagerTest, AStoreOfTheFirstSchemaVersionOpensWithItsRows) {
    ScopedPlatform platform;
    std::string path = platform.dir().file("v1.sqlite");
    RawDatabase(path).exec(
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
    auto manager = storeAt(path);
    manager->performTransaction([](StoreContext& context) {
        ASSERT_TRUE(context.hasStore());
        auto old = context.fetchUserEntity("OLD");
        ASSERT_TRUE(old);
        SVUserEntity expected;
        expected.objectID = old->objectID;
        expected.storageID = "OLD";
        expected.name = "Old user";
        expected.flags = 6;
        expected.keyAuth = Bytes{1, 2};
        EXPECT_EQ(*old, expected) << "the columns added later read back unset";
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

// A child commits one operation, then dies between two statements of the
// next without closing the store: the first is kept whole, the second not at all.
TEST(CoreDataManagerTest, AWriteCutShortByACrashLeavesTheLastCommittedState) {
    ScopedPlatform platform;
    std::string path = platform.dir().file("store.sqlite");
    int status = runInChildProcess([&] {
        auto manager = storeAt(path);
        manager->performTransaction([](StoreContext& context) { insertUser(context, "COMMITTED"); });
        manager->performTransaction([](StoreContext& context) {
            auto user = context.fetchUserEntity("COMMITTED");
            user->name = "half-written";
            context.update(*user);
            insertUser(context, "UNCOMMITTED");
            ::raise(SIGKILL);
            context.remove(*user);
        });
    });
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;

    auto manager = storeAt(path);
    manager->performTransaction([](StoreContext& context) {
        auto users = context.fetchUserEntities();
        ASSERT_EQ(users.size(), 1u);
        auto expected = sampleUser("COMMITTED");
        expected.objectID = users[0].objectID;
        EXPECT_EQ(users[0], expected);
        insertUser(context, "AFTER");  // the store takes writes again
    });
    EXPECT_EQ(storedIDs(*manager), (std::vector<std::string>{"COMMITTED", "AFTER"}));
}

TEST(CoreDataManagerDeathTest, AMissingDatabaseResourceNameStopsTheProcess) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    CoreDataManager manager({std::nullopt, build::kModelResourceName});
    EXPECT_DEATH(manager.databaseResourceName(), "Database Resource Name key is missing in the plist file");
}
