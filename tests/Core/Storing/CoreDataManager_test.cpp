#include <gtest/gtest.h>

#include <sys/stat.h>

#include <csignal>
#include <filesystem>
#include <fstream>

#include "StorageTestSupport.h"

using namespace svsdk;
using namespace svsdk::testing;

namespace {

std::unique_ptr<CoreDataManager> storeAt(const std::string& path,
                                         std::optional<std::string> model = build::kModelResourceName) {
    auto manager = std::make_unique<CoreDataManager>(CoreDataManager::Info{build::kDatabaseResourceName, model});
    if (!path.empty()) manager->setDatabaseURL(path);
    return manager;
}
SVUserEntity sampleUser(const std::string& storageID, std::optional<std::string> name = "Main account") {
    return {std::nullopt, 3, 1767139200.5, 0x1E, "https://a.example.test/", Bytes{0, 1, 0xFF}, Bytes{0x10, 0, 0x20},
            3, name, "token-1", storageID, "SYS", "Signing system", "user-42"};
}
void insert(StoreContext& c, const std::string& id) { auto user = sampleUser(id); c.insert(user); }
// "domain:code" of the SVPlatformError `f` throws ("" for none).
std::string errorOf(const std::function<void()>& f) {
    try {
        f();
    } catch (const SVPlatformError& error) {
        return error.domain() + ":" + std::to_string(error.code());
    }
    return "";
}

}  // namespace

TEST(CoreDataManagerTest, APrivateStoreInWalModeKeepsEntitiesAsWritten) {
    ScopedPlatform platform(SVLoggingOptions::debug);
    std::string path = platform.dir().file("store with space.sqlite");
    RawDatabase raw(path);
    ASSERT_EQ(::chmod(path.c_str(), 0644), 0);
    SVUserEntity full = sampleUser("A"), copy = sampleUser("A", "copy"), bare, empty;
    bare.storageID = "B";
    empty.name = "", empty.keyAuth = Bytes{};  // empty values are values, not unset
    auto manager = storeAt(path);
    manager->performTransaction([&](StoreContext& c) {
        for (auto* user : {&full, &bare, &empty, &copy}) c.insert(*user);
    });
    EXPECT_TRUE(platform.log().contains(SVLogCategory::storage, "Using persistent store at file://" +
                                                                    platform.dir().path() + "/store%20with%20space"));
    for (const char* suffix : {"", "-wal", "-shm"}) EXPECT_EQ(modeOf(path + suffix), 0600u) << suffix;
    EXPECT_EQ(raw.scalar("PRAGMA journal_mode") + raw.scalar("PRAGMA user_version"), "wal2");
    raw.exec("INSERT INTO SVKeyEntity (keyID, keyFlags, hwEncrypted, keyValue) VALUES ('K1', 2, 1, 'ab01'), ('K2', "
             "NULL, NULL, NULL), ('K2', NULL, NULL, NULL)");  // only older SDKs wrote these
    manager->performTransaction([&](StoreContext& c) {
        EXPECT_EQ(c.fetchUserEntities(), (std::vector<SVUserEntity>{full, bare, empty, copy}));
        EXPECT_TRUE(c.fetchUserEntity("A") == full && !c.fetchUserEntity("a")) << "the first exact match";
        auto keys = c.fetchKeyEntities();
        SVKeyEntity bareKey;
        bareKey.objectID = keys.at(1).objectID, bareKey.keyID = "K2";
        EXPECT_TRUE(keys[0].keyFlags == 2 && keys[0].hwEncrypted && keys[0].keyValue == "ab01" && keys[1] == bareKey &&
                    c.fetchKeyEntity("K2") == bareKey && !c.fetchKeyEntity("K9"));
        c.remove(keys[1]);
        full.name = "renamed", full.systemName.reset();
        c.update(full);
        c.remove(bare);
        c.remove(bare);  // already gone: no change
        EXPECT_EQ(errorOf([&] { c.update(bare); }) + errorOf([&] { c.update(SVUserEntity{}); }), "store:3store:3");
    });
    EXPECT_EQ(raw.scalar("SELECT group_concat(keyID) FROM SVKeyEntity"), "K1,K2");
}

TEST(CoreDataManagerTest, AnOperationKeepsAllItsChangesOrNone) {
    ScopedPlatform platform;
    std::string path = platform.dir().file("store.sqlite");
    auto manager = storeAt(path);
    EXPECT_EQ(manager->performTransaction([](StoreContext& c) { return insert(c, "KEPT"), 42; }), 42);
    RawDatabase raw(path);
    raw.exec("CREATE TRIGGER fatal BEFORE INSERT ON SVUserEntity WHEN NEW.storageID = 'FATAL' "
             "BEGIN SELECT RAISE(ROLLBACK, 'rolled back'); END");
    // A failing operation is undone as a whole and its error passes unchanged.
    EXPECT_EQ(errorCode([&] {
                  manager->performTransaction([&](StoreContext& c) {
                      insert(c, "LOST");
                      c.remove(*c.fetchUserEntity("KEPT"));
                      throw SVError::userIsNotActivated();
                  });
              }),
              code(SVError::Code::userIsNotActivated));
    // A nested operation that fails undoes only its own changes.
    manager->performTransaction([&](StoreContext& c) {
        insert(c, "OUTER");
        EXPECT_THROW(manager->performTransaction([&](StoreContext& inner) {
            insert(inner, "INNER");
            throw SVError::internalError();
        }), SVError);
        manager->performTransaction([&](StoreContext& inner) { insert(inner, "NESTED"); });
    });
    // After an error that made SQLite roll the whole transaction back, no
    // later write of the operation is kept on its own.
    EXPECT_ANY_THROW(manager->performTransaction([&](StoreContext& c) {
        insert(c, "BEFORE");
        EXPECT_ANY_THROW(insert(c, "FATAL"));
        EXPECT_EQ(errorOf([&] { manager->performTransaction([&](StoreContext& inner) { insert(inner, "N"); }); }) +
                      errorOf([&] { insert(c, "AFTER"); }) + errorOf([&] { c.remove(*c.fetchUserEntity("KEPT")); }),
                  "sqlite:4sqlite:4sqlite:4");
    }));
    // A process killed inside an operation leaves the last committed state.
    int status = runInChildProcess([&] {
        storeAt(path)->performTransaction([](StoreContext& c) {
            insert(c, "CRASHED");
            c.remove(*c.fetchUserEntity("KEPT"));
            ::raise(SIGKILL);
        });
    });
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
    EXPECT_EQ(raw.scalar("SELECT group_concat(storageID) FROM (SELECT storageID FROM SVUserEntity ORDER BY id)"),
              "KEPT,OUTER,NESTED");
}

// Every way of finding no store: nothing to fetch, writes refused with the
// cause, the cause logged once, and the file not made or left as it was.
TEST(CoreDataManagerTest, AStoreThatCannotBeOpenedIsLoggedAndRefusesWrites) {
    const std::optional<std::string> model = build::kModelResourceName, other = "X", none;
    const std::string newer = "CREATE TABLE SVUserEntity (id INTEGER PRIMARY KEY); PRAGMA user_version = 9";
    for (auto [model, file, setup, error] : {std::tuple{model, "", "-", "store:1"}, {none, "a", "-", "store:1"},
                                             {other, "a", "-", "store:1"}, {model, "no/a", "-", "posix:2"},
                                             {model, "t", "", "sqlite:26"}, {model, "b", newer.c_str(), "store:2"}}) {
        ScopedPlatform platform(SVLoggingOptions::debug);
        std::string path = platform.dir().file(*file ? file : "late");
        if (!*setup) std::ofstream(path) << std::string(4096, 'x');
        if (*setup && *setup != '-') RawDatabase(path).exec(setup);
        auto size = *setup != '-' ? std::filesystem::file_size(path) : 0;
        storeAt(*file ? path : "", model)->performTransaction([&](StoreContext& context) {
            EXPECT_TRUE(!context.hasStore() && context.fetchUserEntities().empty() &&
                        context.fetchKeyEntities().empty() && !context.fetchUserEntity("F"));
            auto user = sampleUser("A");
            SVKeyEntity key;
            user.objectID = key.objectID = 1;
            EXPECT_EQ(errorOf([&] { context.insert(user); }) + errorOf([&] { context.update(user); }) +
                          errorOf([&] { context.remove(user); }) + errorOf([&] { context.remove(key); }),
                      std::string(error) + error + error + error) << file;
        });
        int errors = 0;
        for (const auto& e : platform.log().entries())
            errors += e.type == SVLogType::error && e.category == SVLogCategory::storage;
        EXPECT_EQ(errors, 1);
        EXPECT_EQ(platform.log().anyContains("Using persistent store at"), std::string_view(error) != "store:1");
        EXPECT_EQ(std::filesystem::exists(path) ? std::filesystem::file_size(path) : 0, size);
    }
}
