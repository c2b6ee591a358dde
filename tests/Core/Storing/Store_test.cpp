#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "Core/Storing/UserKeyAccess.h"
#include "Platform/HostState.h"
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

constexpr const char* kPassword = "Secret-Pass-42";
using C = SVError::Code;
using H = HandleType;

bool has(H type, const SVUser& user) { return HandlesManager::shared().handle(type, user).has_value(); }
void add(const std::string& text, H type, const SVUser& u) { HandlesManager::shared().add(bytesOf(text), type, u); }
bool hasPair(SecureEnclave& s, const SVUser& u) { return errorCode([&] { s.retrieveKeyPair(u.uniqueID()); }) == -2; }
// Makes every `action` ("INSERT", "UPDATE", "DELETE") on `table` fail; "DROP" ends that.
void refuse(const std::string& path, const std::string& action, const std::string& table = "SVUserEntity") {
    RawDatabase(path).exec(action == "DROP" ? "DROP TRIGGER refuse"
                                            : "CREATE TRIGGER refuse BEFORE " + action + " ON " + table +
                                                  " BEGIN SELECT RAISE(ABORT, 'no'); END");
}
std::string contents(const std::string& path) {
    return std::string(std::istreambuf_iterator<char>(std::ifstream(path, std::ios::binary).rdbuf()), {});
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
    EXPECT_EQ(raw.scalar("SELECT group_concat(storageID) FROM (SELECT storageID FROM SVUserEntity ORDER BY id)"),
              "KEPT,OUTER,NESTED");
    // Another connection opens the store of the current schema as it is.
    EXPECT_EQ(storeAt(path)->performTransaction([](StoreContext& c) { return c.fetchUserEntities().size(); }), 3u);
}

// A store of the first schema, whose user rows lack systemName and apiVersion,
// gains both columns when opened: its rows stay as they were, the new
// attributes read back unset until written, and the upgrade is done once.
TEST(CoreDataManagerTest, AStoreOfTheFirstSchemaIsUpgradedKeepingItsRows) {
    ScopedPlatform platform;
    std::string path = platform.dir().file("first.sqlite");
    RawDatabase raw(path);
    raw.exec("CREATE TABLE SVUserEntity (id INTEGER PRIMARY KEY, expirationTimestamp REAL, flags INTEGER, "
             "interactionURL TEXT, keyAuth BLOB, keyHMAC BLOB, keyVersion INTEGER, name TEXT, registeredDeviceToken "
             "TEXT, storageID TEXT, systemID TEXT, userID TEXT); CREATE TABLE SVKeyEntity (id INTEGER PRIMARY KEY, "
             "deviceToken TEXT, encryptingAlgorithm TEXT, expirationDateString TEXT, fingerprint TEXT, hwEncrypted "
             "INTEGER, interactionExternalURL TEXT, keyFlags INTEGER, keyID TEXT, keyName TEXT, keyType INTEGER, "
             "keyValue TEXT, onlineConfirmURL TEXT, privateKey TEXT, publicKey TEXT, systemID TEXT, userID TEXT); "
             "INSERT INTO SVUserEntity (expirationTimestamp, flags, interactionURL, keyAuth, keyHMAC, keyVersion, name, "
             "registeredDeviceToken, storageID, systemID, userID) VALUES (1767139200.5, 30, 'https://a.example.test/', "
             "x'0001FF', x'100020', 3, 'Main account', 'token-1', 'A', 'SYS', 'user-42'); INSERT INTO SVKeyEntity "
             "(keyID, keyFlags, keyValue) VALUES ('K1', 2, 'ab01'); PRAGMA user_version = 1");
    SVUserEntity old = sampleUser("A");
    old.objectID = 1, old.apiVersion.reset(), old.systemName.reset();
    auto manager = storeAt(path);
    auto listed = StorageManager(*manager).users();
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_TRUE(listed[0].apiVersion() == 0 && !listed[0].systemName() && listed[0].userVersion() == 3);
    manager->performTransaction([&](StoreContext& c) {
        EXPECT_EQ(c.fetchUserEntities(), std::vector<SVUserEntity>{old});
        auto key = c.fetchKeyEntity("K1");
        EXPECT_TRUE(key && key->keyFlags == 2 && key->keyValue == "ab01" && c.fetchKeyEntities().size() == 1);
        old.systemName = "Named later", old.apiVersion = 2;
        c.update(old);
        insert(c, "B");
    });
    EXPECT_EQ(raw.scalar("PRAGMA user_version"), "2");
    manager.reset();
    storeAt(path)->performTransaction([&](StoreContext& c) {
        EXPECT_TRUE(c.fetchUserEntity("A") == old && c.fetchUserEntity("B") && c.fetchKeyEntity("K1"));
    });
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

// Store, update, renew and remove; afterwards no password or key is in the
// store files in the clear, nor any removed or replaced key wrapped.
TEST(StorageManagerTest, AUserStoredUpdatedRenewedAndRemovedLeavesNoKeyMaterialBehind) {
    StorageEnvironment env;
    SVUser user = activatedUser("u1", "S1", 96);  // a long password with letters and digits
    auto store = [&](std::optional<std::string> name, std::optional<std::string> password) {
        return errorCode([&] { env.storage().store(user, name, password); });
    };
    // {what comes first, name, password, error}: nothing written, every handle kept.
    struct Row { std::function<void()> before; std::optional<std::string> name, password; int error; };
    auto none = [] {};
    auto noHMAC = [&] { HandlesManager::shared().remove(H::hmac, user); };
    auto badHMAC = [&] { HandlesManager::shared().add(numbered(31), H::hmac, user); };
    auto noDeviceKey = [] { SecureEnclave::local().removeKeyPair("local"); };
    auto noInsert = [&] { refuse(env.path(), "INSERT"); };
    for (const Row& row : {Row{none, std::nullopt, std::nullopt, code(C::emptyPassword)},
                           {none, "n", "", code(C::emptyPassword)},
                           {none, std::nullopt, "short", code(C::passwordDoesNotMatchTheConditions)},
                           {none, std::nullopt, kPassword, code(C::emptyName)},
                           {noHMAC, "n", kPassword, code(C::userIsNotActivated)},
                           {noDeviceKey, "n", kPassword, code(C::secureEnclaveError)},
                           {badHMAC, "n", kPassword, code(C::internalError)}, {noInsert, "n", kPassword, -1}}) {
        StorageEnvironment::activate(user);
        add("pending-token", H::deviceToken, user);
        row.before();
        EXPECT_EQ(store(row.name, row.password), row.error);
        EXPECT_TRUE(env.rows() == "0,0" && has(H::auth, user) && has(H::deviceToken, user)) << row.error;
        SecureEnclave::local().checkLocalKeyPair();
    }
    refuse(env.path(), "DROP");
    StorageEnvironment::activate(user);
    add(kPassword, H::password, user);
    ASSERT_EQ(store("", kPassword), -2);  // an empty name is a name
    auto entity = env.entity("S1").value();
    std::vector<std::string> secrets = {kPassword, "Other-Pass-77", "Third-Pass-3"};
    auto keepWrapped = [&](const SVUserEntity& e) {
        secrets.insert(secrets.end(), {stringOf(*e.keyAuth), stringOf(*e.keyHMAC)});
    };
    keepWrapped(entity);
    EXPECT_TRUE(StorageEnvironment::storedKAuth(entity) == sampleKAuth() &&
                StorageEnvironment::storedKHMAC(entity, "u1", kPassword) == sampleKHMAC());
    EXPECT_FALSE(has(H::auth, user) || has(H::hmac, user) || has(H::deviceToken, user) || !has(H::password, user));
    EXPECT_EQ(authorizationKeyOf(user, env.storage()), sampleKAuth()) << "stored kAuth needs no password";

    // Updates: a pending token alone, a password the policy refuses or without
    // kHMAC, then all at once; kAuth is left as it is.
    add("new-token", H::deviceToken, user);
    EXPECT_EQ(store(std::nullopt, std::nullopt), -2);
    EXPECT_EQ(store("Second", ""), code(C::passwordDoesNotMatchTheConditions));
    EXPECT_EQ(store("Second", "Other-Pass-77"), code(C::handleInvalid));
    auto updated = env.entity("S1").value();
    EXPECT_TRUE(updated.registeredDeviceToken == "new-token" && updated.name == "" &&
                updated.keyHMAC == entity.keyHMAC && !has(H::deviceToken, user));
    HandlesManager::shared().add(sampleKHMAC(), H::hmac, user);
    add("newer-token", H::deviceToken, user);
    EXPECT_EQ(store("Second", "Other-Pass-77"), -2);
    EXPECT_EQ(contents(env.path() + "-wal").find(stringOf(*entity.keyHMAC)), std::string::npos) << "checkpointed";
    updated = env.entity("S1").value();
    keepWrapped(updated);
    EXPECT_TRUE(updated.name == "Second" && updated.registeredDeviceToken == "newer-token" &&
                updated.keyAuth == entity.keyAuth && env.rows() == "1,0" && !has(H::hmac, user));
    EXPECT_EQ(StorageEnvironment::storedKHMAC(updated, "u1", "Other-Pass-77"), sampleKHMAC());

    // A failed save or renewal, or the renewal of a user not stored, touches nothing.
    SVUser renewed("u1-renewed", "system-2", SVUserOptions{UserFlags(6)}, "https://renewed.example.test/", "ignored",
                   std::nullopt, std::nullopt, std::nullopt, {}, 180, 180, "S1", 3,
                   UserKeysContent::importedDecrypted(numbered(32, 7), numbered(32, 9)), 2000000000);
    UserKeys keys{numbered(32, 9), numbered(32, 7)};
    SVUser stranger = activatedUser("u9", "S9");
    auto renew = [&](const SVUser& old, const UserKeys& k) {
        return errorCode([&] { env.storage().storeRenewed(old, k, "Third-Pass-3", renewed); });
    };
    for (const SVUser* u : {&user, &stranger}) {
        StorageEnvironment::activate(*u);
        add(kPassword, H::password, *u);
        SecureEnclave::autosign().generateKeyPair(u->uniqueID());
    }
    auto before = env.entity("S1").value();
    EXPECT_EQ(renew(stranger, keys), code(C::userNotFound));
    EXPECT_EQ(renew(user, UserKeys{numbered(32, 9), numbered(31, 7)}), code(C::internalError));
    refuse(env.path(), "UPDATE");
    EXPECT_EQ(renew(user, keys), -1);
    EXPECT_EQ(store("Third", "Third-Pass-99"), -1);
    refuse(env.path(), "DROP");
    EXPECT_EQ(env.entity("S1"), before);
    for (const SVUser* u : {&user, &stranger})
        EXPECT_TRUE(has(H::password, *u) && has(H::hmac, *u) && hasPair(SecureEnclave::autosign(), *u));

    // storageID and name stay, the old user's token and API version are kept.
    EXPECT_EQ(renew(user, keys), -2);
    EXPECT_EQ(env.storage().users().at(0),
              SVUser("u1-renewed", "system-2", renewed.options(), renewed.interactionURL(), "Second", "token-on-record",
                     3, std::nullopt, {}, 180, 180, "S1", 3, UserKeysContent::storedEncrypted(), 2000000000));
    auto after = env.entity("S1").value();
    EXPECT_TRUE(StorageEnvironment::storedKAuth(after) == keys.kAuth &&
                StorageEnvironment::storedKHMAC(after, "u1-renewed", "Third-Pass-3") == keys.kHMAC);
    EXPECT_FALSE(has(H::password, user) || has(H::auth, user) || hasPair(SecureEnclave::autosign(), user));

    // Removal: of its generation only; the row and both pairs go.
    EXPECT_EQ(errorCode([&] { env.storage().remove(SVUser("u1", "s", {}, "https://a.test/", {}, {}, {}, {}, {}, 1, 1,
                                                          "S1", 4, UserKeysContent::storedEncrypted(), 0)); }),
              code(C::unsupportedKeyVersion));
    SecureEnclave::users().generateKeyPair(user.uniqueID());
    SecureEnclave::autosign().generateKeyPair(user.uniqueID());
    keepWrapped(after);
    env.storage().remove(user);
    EXPECT_TRUE(env.rows() == "0,0" && !hasPair(SecureEnclave::users(), user) &&
                !hasPair(SecureEnclave::autosign(), user));

    // Writes that remove nothing leave the WAL as it is (read while the store is open).
    env.storage().store(stranger, "Added", kPassword);
    add("token-9", H::deviceToken, stranger);
    env.storage().store(stranger, std::nullopt, std::nullopt);
    std::string wal = contents(env.path() + "-wal");
    env.close();
    std::string database = contents(env.path());
    ASSERT_TRUE(wal.find("S9") != std::string::npos && database.find("token-9") != std::string::npos);
    for (const Bytes& key : {sampleKAuth(), sampleKHMAC(), keys.kAuth, keys.kHMAC})
        secrets.insert(secrets.end(), {stringOf(key), hexString(key), base64Encode(key)});
    for (const auto& secret : secrets)
        EXPECT_TRUE(wal.find(secret) == std::string::npos && database.find(secret) == std::string::npos);
}

// With an access group, as every look-up then asks for it.
TEST(StorageManagerTest, ATransferImportsAPairTheLookUpsFindAndRemovesOnlyItsOwn) {
    HostState::setAccessGroup("team.shared");
    struct Reset { ~Reset() { HostState::setAccessGroup(std::nullopt); } } reset;
    StorageEnvironment env(SVLoggingOptions::debug);
    LegacyRows rows;
    for (const LegacyRow& row : {LegacyRow{}, {.keyID = "no-private", .privateKey = ""}, {.keyID = "no-public",
                                 .publicKey = ""}, {.keyID = "no-name", .keyName = {}}, {.keyID = "weak", .keyFlags =
                                 "96"}, {.keyID = "first", .fingerprint = "fp", .keyFlags = "0"}})
        rows.insert(env.path(), row.keyID == "weak" ? "weak" : kPassword, row);
    rows.insert(env.path(), kPassword, {.keyID = "unreadable", .keyValue = "abc"});
    auto users = env.storage().users();
    std::string generations;  // a fingerprint without flags is generation 1
    for (const SVUser& user : users) generations += std::to_string(user.userVersion()) + "/" +
                                                    std::to_string(user.options().flags.rawValue) + " ";
    ASSERT_EQ(generations, "2/2 2/2 2/2 2/2 2/96 1/1 ") << "an unreadable row is left out";
    EXPECT_TRUE(publicKeyOf(users[0], env.storage()) == hexString(*rows.signingKey().publicPoint()) &&
                !users[0].isRegisteredToAutosign());
    const SVUser& legacy = users[0];
    auto pair = [&] { return SecureEnclave::users().retrieveKeyPair(legacy.uniqueID()).publicKey.spkiHexString(); };
    auto transfer = [&](const SVUser& user, const std::string& password = kPassword) {
        return errorCode([&] { env.storage().transferLegacyUser(user, password); });
    };
    EXPECT_EQ(transfer(activatedUser("u", "S")), code(C::emptyKeys)) << "not a legacy user";
    // A wrong password, an empty key part, a user the store refuses (no name,
    // a password the policy refuses): the user does not move, its imported pair goes.
    for (int i : {0, 1, 2, 3, 4}) {
        EXPECT_EQ(transfer(users[i], i == 0 ? "Wrong-Pass-1" : i == 4 ? "weak" : kPassword), code(C::transferStorage));
        EXPECT_FALSE(hasPair(SecureEnclave::users(), users[i])) << i;
    }
    EXPECT_TRUE(env.platform().log().anyContains("Transfering error: ") && env.rows() == "0,7");

    // A pair of another origin under the label stays; the import fails.
    std::string other = SecureEnclave::users().generateKeyPair(legacy.uniqueID()).publicKey.spkiHexString();
    EXPECT_EQ(transfer(legacy), code(C::transferStorage));
    EXPECT_EQ(pair(), other);
    SecureEnclave::users().removeKeyPair(legacy.uniqueID());

    // The legacy row cannot be deleted: the new row is not kept, and the clean-up finds the imported pair.
    refuse(env.path(), "DELETE", "SVKeyEntity");
    EXPECT_EQ(transfer(legacy), code(C::transferStorage));
    KeyQuery anyGroup;
    anyGroup.applicationTag = bytesOf(SecureEnclave::users().applicationTag());
    EXPECT_TRUE(env.rows() == "0,7" && KeychainStore::current().findKey(anyGroup) == errSecItemNotFound);
    refuse(env.path(), "DROP");

    // The pair a transfer cut short after its import left is taken over; afterwards the look-ups find it.
    SecureEnclave::users().importLegacyPrivateKey(*rows.signingKey().externalRepresentation(),
                                                  SecureEnclave::applicationLabel(legacy.uniqueID()));
    EXPECT_EQ(transfer(legacy), -2);
    EXPECT_EQ(pair(), rows.signingKey().spkiHexString());
    auto entity = env.entity("legacy-key-1").value();
    EXPECT_TRUE(entity.name == "Legacy account" && env.rows() == "1,6" && !has(H::auth, legacy) &&
                StorageEnvironment::storedKAuth(entity) == sampleKAuth() &&
                StorageEnvironment::storedKHMAC(entity, "legacy-user", kPassword) == sampleKHMAC());
    EXPECT_EQ(env.storage().users().at(0).uniqueID(), legacy.uniqueID()) << "its pair and handles keep their label";
    // A row without a keyID is known by its derived identifier only.
    rows.insert(env.path(), kPassword, {.keyID = std::nullopt});
    auto keyless = env.storage().users().back();
    EXPECT_TRUE(env.storage().legacyKeyEntity(keyless) && !env.storage().legacyKeyEntity(legacy));
}
