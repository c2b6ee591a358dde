#include <gtest/gtest.h>

#include <sys/wait.h>

#include <csignal>
#include <fstream>
#include <initializer_list>
#include <iterator>

#include "Platform/HostState.h"
#include "Core/Storing/UserKeyAccess.h"
#include "StorageTestSupport.h"
#include "support/ScopedClock.h"

using namespace svsdk;
using namespace svsdk::testing;

namespace {

constexpr const char* kPassword = "Secret-Pass-42";
constexpr std::int64_t kStrictPolicy = 96;  // long, with letters and digits

std::vector<std::string> storageLog(ScopedPlatform& platform) {
    std::vector<std::string> messages;
    for (const auto& e : platform.log().entries())
        if (e.category == SVLogCategory::storage) messages.push_back(e.message);
    return messages;
}

// Whether the user has every one (`all`) or any one of these handles.
bool hasHandles(const SVUser& user, std::initializer_list<HandleType> types, bool all = true) {
    for (HandleType type : types)
        if (StorageEnvironment::handle(type, user).has_value() != all) return !all;
    return all;
}
void addHandle(const std::string& text, HandleType type, const SVUser& user) {
    HandlesManager::shared().add(bytesOf(text), type, user);
}
bool hasKeyPair(SecureEnclave& store, const SVUser& user) {
    return errorCode([&] { store.retrieveKeyPair(user.uniqueID()); }) == -2;
}

// A trigger that makes every write of `action` on `table` fail.
void refuse(const std::string& path, const std::string& action, const std::string& table) {
    RawDatabase(path).exec("CREATE TRIGGER refuse_" + action + " BEFORE " + action + " ON " + table +
                           " BEGIN SELECT RAISE(ABORT, 'refused'); END");
}

// Runs `work` with a storage manager of its own over the store file at `path`
// (as another process would).
template <class F>
void withStorageAt(const std::string& path, F&& work) {
    CoreDataManager store({build::kDatabaseResourceName, build::kModelResourceName});
    store.setDatabaseURL(path);
    StorageManager storage(store);
    work(storage);
}

// Runs `work` in a child process that is killed when the storage reaches
// `step`; the child must get there.
void killedAtStep(const char* step, const std::function<void()>& work) {
    static const char* killAt = nullptr;
    killAt = step;
    StorageManager::setStepHook([](const char* reached) {
        if (std::string_view(reached) == killAt) ::raise(SIGKILL);
    });
    int status = runInChildProcess(work);
    StorageManager::setStepHook(nullptr);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << step;
}

}  // namespace

TEST(StorageManagerTest, NewUserChecksComeInOrderAndWriteNothing) {
    StorageEnvironment env;
    SVUser user = activatedUser("u1", "S1", kStrictPolicy);
    StorageEnvironment::activate(user);
    auto& storage = env.storage();
    EXPECT_EQ(errorCode([&] { storage.store(user, std::nullopt, std::nullopt); }), code(SVError::Code::emptyPassword));
    EXPECT_EQ(errorCode([&] { storage.store(user, "name", std::string()); }), code(SVError::Code::emptyPassword));
    EXPECT_EQ(errorCode([&] { storage.store(user, std::nullopt, std::string("short")); }),
              code(SVError::Code::passwordDoesNotMatchTheConditions));
    EXPECT_EQ(errorCode([&] { storage.store(user, std::nullopt, std::string(kPassword)); }),
              code(SVError::Code::emptyName));
    EXPECT_TRUE(hasHandles(user, {HandleType::auth, HandleType::hmac}));

    // Missing or expired key handles: not activated.
    SVUser halfway = activatedUser("u2", "S2");
    HandlesManager::shared().add(sampleKAuth(), HandleType::auth, halfway);
    EXPECT_EQ(errorCode([&] { storage.store(halfway, "n", std::string(kPassword)); }),
              code(SVError::Code::userIsNotActivated));
    ScopedClock clock(1700000000, 100);
    SVUser stale = activatedUser("u3", "S3");
    StorageEnvironment::activate(stale);
    clock.advance(7201);
    EXPECT_EQ(errorCode([&] { storage.store(stale, "n", std::string(kPassword)); }),
              code(SVError::Code::userIsNotActivated));
    EXPECT_EQ(env.userRows(), 0u);
}

TEST(StorageManagerTest, StoresANewUserWithItsKeysProtectedAndDropsTheKeyHandles) {
    StorageEnvironment env(SVLoggingOptions::debug);
    SVUser user = activatedUser("u1", "S1");
    StorageEnvironment::activate(user);
    addHandle(kPassword, HandleType::password, user);
    addHandle("pending-token", HandleType::deviceToken, user);
    env.platform().log().clear();
    env.storage().store(user, std::string(), std::string(kPassword));  // an empty name is a name

    auto entity = env.entity("S1").value();
    EXPECT_EQ(entity.name, std::optional<std::string>(""));
    EXPECT_EQ(entity.userID, std::optional<std::string>("u1"));
    EXPECT_EQ(entity.systemID, std::optional<std::string>("system-1"));
    EXPECT_EQ(entity.interactionURL, std::optional<std::string>(kURL));
    EXPECT_EQ(entity.systemName, std::optional<std::string>("Signing system"));
    EXPECT_EQ(entity.keyVersion, std::optional<std::int64_t>(3));
    EXPECT_EQ(entity.apiVersion, std::optional<std::int64_t>(3));
    EXPECT_EQ(StorageEnvironment::storedKAuth(entity), sampleKAuth());
    EXPECT_EQ(StorageEnvironment::storedKHMAC(entity, "u1", kPassword), sampleKHMAC());
    EXPECT_EQ(errorCode([&] { StorageEnvironment::storedKHMAC(entity, "u1", "Other-Pass-42"); }),
              code(SVError::Code::invalidPassword));
    EXPECT_FALSE(hasHandles(user, {HandleType::auth, HandleType::hmac, HandleType::deviceToken}, false));
    EXPECT_TRUE(hasHandles(user, {HandleType::password}));
    EXPECT_EQ(storageLog(env.platform()), (std::vector<std::string>{"Creating the user with id: u1", "Encrypting kAuth",
                                                                    "Encrypting kHMAC", "Saving user in DB"}));

    // Read back: the pending token rather than the one on record; what is not
    // stored comes back at its defaults.
    EXPECT_EQ(env.storage().users(), (std::vector<SVUser>{storedForm(user, "", "pending-token")}));
    EXPECT_EQ(env.storage().users().at(0).uniqueID(), user.uniqueID());
}

TEST(StorageManagerTest, AFailedNewStoreIsReportedWritesNothingAndKeepsTheHandles) {
    StorageEnvironment env;
    SVUser user = activatedUser("u1", "S1");
    StorageEnvironment::activate(user);
    addHandle("pending-token", HandleType::deviceToken, user);
    auto store = [&] { return errorCode([&] { env.storage().store(user, "n", std::string(kPassword)); }); };
    auto keptEverything = [&] {
        return hasHandles(user, {HandleType::auth, HandleType::hmac, HandleType::deviceToken}) && env.userRows() == 0;
    };

    SecureEnclave::local().removeKeyPair("local");
    EXPECT_EQ(store(), code(SVError::Code::secureEnclaveError));
    EXPECT_TRUE(keptEverything());
    SecureEnclave::local().checkLocalKeyPair();

    HandlesManager::shared().add(numbered(31), HandleType::hmac, user);  // not whole cipher blocks
    EXPECT_EQ(store(), code(SVError::Code::internalError));
    EXPECT_TRUE(keptEverything());
    HandlesManager::shared().add(sampleKHMAC(), HandleType::hmac, user);

    refuse(env.path(), "INSERT", "SVUserEntity");
    EXPECT_EQ(store(), -1);
    EXPECT_TRUE(keptEverything());
}

TEST(StorageManagerTest, UpdatingAStoredUser) {
    StorageEnvironment env(SVLoggingOptions::debug);
    SVUser user = activatedUser("u1", "S1", kStrictPolicy);
    StorageEnvironment::activate(user);
    env.storage().store(user, "First", std::string(kPassword));
    auto stored = env.entity("S1").value();

    // Neither password nor name: only a pending token is taken over, no password check.
    env.platform().log().clear();
    env.storage().store(user, std::nullopt, std::nullopt);
    addHandle("new-token", HandleType::deviceToken, user);
    env.storage().store(user, std::nullopt, std::nullopt);
    auto updated = env.entity("S1").value();
    EXPECT_EQ(updated.registeredDeviceToken, std::optional<std::string>("new-token"));
    EXPECT_EQ(updated.name, std::optional<std::string>("First"));
    EXPECT_EQ(updated.keyHMAC, stored.keyHMAC);
    EXPECT_FALSE(hasHandles(user, {HandleType::deviceToken}));
    EXPECT_EQ(storageLog(env.platform()),
              (std::vector<std::string>{"Saving updated user's information in DB", "Updating the device token",
                                        "Saving updated user's information in DB"}));

    // A new password: policy first (also for the empty one), then the hmac handle.
    EXPECT_EQ(errorCode([&] { env.storage().store(user, "Second", std::string()); }),
              code(SVError::Code::passwordDoesNotMatchTheConditions));
    EXPECT_EQ(errorCode([&] { env.storage().store(user, "Second", std::string("Other-Pass-77")); }),
              code(SVError::Code::handleInvalid));
    EXPECT_EQ(env.entity("S1")->name, std::optional<std::string>("First")) << "a failed update changes nothing";

    HandlesManager::shared().add(sampleKHMAC(), HandleType::hmac, user);
    addHandle("newer-token", HandleType::deviceToken, user);
    env.storage().store(user, "Second", std::string("Other-Pass-77"));
    updated = env.entity("S1").value();
    EXPECT_EQ(updated.name, std::optional<std::string>("Second"));
    EXPECT_EQ(updated.registeredDeviceToken, std::optional<std::string>("newer-token"));
    EXPECT_EQ(StorageEnvironment::storedKHMAC(updated, "u1", "Other-Pass-77"), sampleKHMAC());
    EXPECT_EQ(updated.keyAuth, stored.keyAuth) << "kAuth is left as it is";
    EXPECT_FALSE(hasHandles(user, {HandleType::hmac, HandleType::deviceToken}, false));
    EXPECT_EQ(env.userRows(), 1u);

    // A token that arrives while the store commits stays pending for the next save.
    static SVUser* racing = nullptr;
    racing = &user;
    addHandle("stored-token", HandleType::deviceToken, user);
    StorageManager::setStepHook([](const char* reached) {
        if (std::string_view(reached) == "written") addHandle("arrived-token", HandleType::deviceToken, *racing);
    });
    env.storage().store(user, std::nullopt, std::nullopt);
    StorageManager::setStepHook(nullptr);
    EXPECT_EQ(env.entity("S1")->registeredDeviceToken, std::optional<std::string>("stored-token"));
    EXPECT_EQ(HandlesManager::shared().handle(HandleType::deviceToken, user), bytesOf("arrived-token"));
    HandlesManager::shared().remove(HandleType::deviceToken, user);

    // A save that fails keeps the pending token and every other handle, and the row as it was.
    StorageEnvironment::activate(user);
    addHandle("last-token", HandleType::deviceToken, user);
    refuse(env.path(), "UPDATE", "SVUserEntity");
    EXPECT_EQ(errorCode([&] { env.storage().store(user, "Third", std::string("Third-Pass-99")); }), -1);
    EXPECT_TRUE(hasHandles(user, {HandleType::deviceToken, HandleType::auth, HandleType::hmac}));
    auto unchanged = env.entity("S1").value();
    EXPECT_EQ(unchanged.name, std::optional<std::string>("Second"));
    EXPECT_EQ(unchanged.keyHMAC, updated.keyHMAC);
}

TEST(StorageManagerTest, RemovingUsers) {
    StorageEnvironment env;
    SVUser user = activatedUser("u1", "S1");
    StorageEnvironment::activate(user);
    env.storage().store(user, "n", std::string(kPassword));
    SecureEnclave::users().generateKeyPair(user.uniqueID());
    SecureEnclave::autosign().generateKeyPair(user.uniqueID());

    for (std::int64_t version : {0, 4}) {
        SVUser other = storedForm(user, "n", std::nullopt, version);
        EXPECT_EQ(errorCode([&] { env.storage().remove(other); }), code(SVError::Code::unsupportedKeyVersion));
    }
    EXPECT_EQ(env.userRows(), 1u);
    EXPECT_TRUE(hasKeyPair(SecureEnclave::users(), user) && hasKeyPair(SecureEnclave::autosign(), user));

    env.storage().remove(user);
    EXPECT_EQ(env.userRows(), 0u);
    EXPECT_FALSE(hasKeyPair(SecureEnclave::users(), user) || hasKeyPair(SecureEnclave::autosign(), user));
    SecureEnclave::users().generateKeyPair(user.uniqueID());
    env.storage().remove(user);  // not stored: succeeds, and its pairs go all the same
    EXPECT_FALSE(hasKeyPair(SecureEnclave::users(), user));

    LegacyRows rows;
    LegacyRows::insert(env.path(), rows.row(kPassword));
    env.storage().remove(env.storage().users().at(0));
    EXPECT_EQ(env.keyRows(), 0u);
}

TEST(StorageManagerTest, StoringARenewedUser) {
    StorageEnvironment env;
    SVUser old = activatedUser("u1", "S1");
    StorageEnvironment::activate(old);
    env.storage().store(old, "Kept name", std::string(kPassword));
    auto before = env.entity("S1").value();
    SVUser renewed("u1-renewed", "system-2", SVUserOptions{UserFlags(6)}, "https://renewed.example.test/", "ignored",
                   std::nullopt, std::nullopt, std::nullopt, {}, 180, 180, "S1", 3,
                   UserKeysContent::importedDecrypted(numbered(32, 7), numbered(32, 9)), 2000000000);
    UserKeys keys{numbered(32, 9), numbered(32, 7)};

    // Not stored: nothing is touched.
    SVUser stranger = activatedUser("u9", "S9");
    StorageEnvironment::activate(stranger);
    addHandle(kPassword, HandleType::password, stranger);
    SecureEnclave::autosign().generateKeyPair(stranger.uniqueID());
    EXPECT_EQ(errorCode([&] { env.storage().storeRenewed(stranger, keys, kPassword, renewed); }),
              code(SVError::Code::userNotFound));
    EXPECT_TRUE(hasHandles(stranger, {HandleType::password, HandleType::auth, HandleType::hmac}));
    EXPECT_TRUE(hasKeyPair(SecureEnclave::autosign(), stranger));
    {
        // Without a store the store's own error comes back, not "not found".
        CoreDataManager noStore(CoreDataManager::Info{build::kDatabaseResourceName, build::kModelResourceName});
        StorageManager storage(noStore);
        EXPECT_THROW(storage.storeRenewed(stranger, keys, kPassword, renewed), SVPlatformError);
        EXPECT_TRUE(hasKeyPair(SecureEnclave::autosign(), stranger));
    }

    // A renewal that fails half-way leaves nothing behind for a later operation to write.
    UserKeys badKeys{numbered(32, 9), numbered(31, 7)};  // kHMAC the cipher refuses
    EXPECT_EQ(errorCode([&] { env.storage().storeRenewed(old, badKeys, kPassword, renewed); }),
              code(SVError::Code::internalError));
    SVUser other = activatedUser("u2", "S2");
    StorageEnvironment::activate(other);
    env.storage().store(other, "Other", std::string(kPassword));
    EXPECT_EQ(env.entity("S1")->userID, before.userID);

    // A failure after the new values are computed changes nothing.
    StorageEnvironment::activate(old);
    addHandle(kPassword, HandleType::password, old);
    SecureEnclave::autosign().generateKeyPair(old.uniqueID());
    refuse(env.path(), "UPDATE", "SVUserEntity");
    EXPECT_EQ(errorCode([&] { env.storage().storeRenewed(old, keys, kPassword, renewed); }), -1);
    auto after = env.entity("S1").value();
    EXPECT_EQ(after.userID, before.userID);
    EXPECT_EQ(after.keyAuth, before.keyAuth);
    EXPECT_TRUE(hasHandles(old, {HandleType::password}));
    RawDatabase(env.path()).exec("DROP TRIGGER refuse_UPDATE");

    // storageID and name stay, the old user's token and API version are kept.
    env.storage().storeRenewed(old, keys, kPassword, renewed);
    SVUser expected(renewed.userID(), renewed.systemID(), renewed.options(), renewed.interactionURL(), "Kept name",
                    "token-on-record", 3, std::nullopt, {}, 180, 180, "S1", 3, UserKeysContent::storedEncrypted(),
                    renewed.expirationTimestamp());
    EXPECT_EQ(env.storage().users().at(0), expected);
    after = env.entity("S1").value();
    EXPECT_EQ(StorageEnvironment::storedKAuth(after), keys.kAuth);
    EXPECT_EQ(StorageEnvironment::storedKHMAC(after, "u1-renewed", kPassword), keys.kHMAC);
    EXPECT_FALSE(hasHandles(old, {HandleType::password, HandleType::auth, HandleType::hmac}, false));
    EXPECT_FALSE(hasKeyPair(SecureEnclave::autosign(), old));
}

// A child process runs an update and is killed at one of its steps; the store
// must then hold the user entirely as before or entirely as after.
TEST(StorageManagerTest, AnUpdateKilledAtAnyStepLeavesTheUserWholeBeforeOrAfter) {
    StorageEnvironment env;
    SVUser old = activatedUser("u1", "S1");
    StorageEnvironment::activate(old);
    env.storage().store(old, "Name", std::string(kPassword));
    env.close();

    killedAtStep("written", [&] {
        HandlesManager::shared().add(sampleKHMAC(), HandleType::hmac, old);
        withStorageAt(env.path(), [&](StorageManager& s) { s.store(old, "Renamed", std::string("Changed-Pass-1")); });
    });
    env.open();
    auto entity = env.entity("S1").value();
    EXPECT_EQ(entity.name, std::optional<std::string>("Name"));
    EXPECT_EQ(StorageEnvironment::storedKHMAC(entity, "u1", kPassword), sampleKHMAC());
    env.close();

    SVUser renewed("u2", "system-2", SVUserOptions{UserFlags(6)}, "https://renewed.example.test/", std::nullopt,
                   std::nullopt, std::int64_t{4}, std::string("Renewed"), {}, 180, 180, "S1", 3,
                   UserKeysContent::storedEncrypted(), 2000000000);
    UserKeys keys{numbered(32, 9), numbered(32, 7)};
    for (auto [step, renewedExpected] : {std::pair{"computed", false}, {"written", false}, {"committed", true}}) {
        killedAtStep(step, [&] {
            withStorageAt(env.path(), [&](StorageManager& s) { s.storeRenewed(old, keys, kPassword, renewed); });
        });
        env.open();
        entity = env.entity("S1").value();
        bool isRenewed = entity.userID == std::optional<std::string>("u2");
        EXPECT_EQ(isRenewed, renewedExpected) << step;
        const SVUser& expected = isRenewed ? renewed : old;
        EXPECT_EQ(entity.systemID, std::optional<std::string>(expected.systemID()));
        EXPECT_EQ(entity.flags, std::optional<std::int64_t>(expected.options().flags.rawValue));
        EXPECT_EQ(entity.apiVersion, std::optional<std::int64_t>(isRenewed ? 4 : 3));
        EXPECT_EQ(StorageEnvironment::storedKAuth(entity), isRenewed ? keys.kAuth : sampleKAuth());
        EXPECT_EQ(StorageEnvironment::storedKHMAC(entity, expected.userID(), kPassword),
                  isRenewed ? keys.kHMAC : sampleKHMAC());
        env.close();
    }
}

TEST(StorageManagerTest, AStoredUserReadBackInANewProcess) {
    StorageEnvironment env;
    SVUser user = activatedUser("u1", "S1");
    env.close();
    int status = runInChildProcess([&] {
        StorageEnvironment::activate(user);
        withStorageAt(env.path(), [&](StorageManager& s) { s.store(user, "Name", std::string(kPassword)); });
    });
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    ASSERT_FALSE(hasHandles(user, {HandleType::auth})) << "nothing cached in this process";

    env.open();
    SVUser back = env.storage().users().at(0);
    EXPECT_EQ(authorizationKeyOf(back, env.storage()), sampleKAuth()) << "kAuth needs no password";
    EXPECT_FALSE(hasHandles(back, {HandleType::auth}));
    auto entity = env.storage().userEntity(back).value();
    EXPECT_EQ(StorageEnvironment::storedKHMAC(entity, back.userID(), kPassword), sampleKHMAC());
}

TEST(StorageManagerTest, NoSecretIsInTheStoreFilesInTheClearNorAnyRemovedOrReplacedKeyWrapped) {
    StorageEnvironment env;
    SVUser user = activatedUser("u1", "S1");
    SVUser gone = activatedUser("u2", "S2");
    std::vector<std::string> secrets = {kPassword, "Second-Pass-2", "Third-Pass-3"};
    // The wrapped keys of each stored state, unwrappable with the device key.
    auto keepWrapped = [&](const std::string& storageID) {
        auto entity = env.entity(storageID).value();
        for (const Bytes& wrapped : {entity.keyAuth.value(), entity.keyHMAC.value()}) secrets.push_back(stringOf(wrapped));
    };
    StorageEnvironment::activate(user);
    env.storage().store(user, "Name", std::string(kPassword));
    keepWrapped("S1");
    StorageEnvironment::activate(user);
    env.storage().store(user, std::nullopt, std::string("Second-Pass-2"));
    keepWrapped("S1");
    UserKeys renewedKeys{numbered(32, 0x11), numbered(32, 0x71)};
    env.storage().storeRenewed(user, renewedKeys, "Third-Pass-3", user);
    StorageEnvironment::activate(gone);
    env.storage().store(gone, "Gone", std::string(kPassword));
    keepWrapped("S2");
    env.storage().remove(gone);
    SVUser added = activatedUser("u3", "S3");
    StorageEnvironment::activate(added);
    env.storage().store(added, "Added", std::string(kPassword));

    for (const Bytes& key : {sampleKAuth(), sampleKHMAC(), renewedKeys.kAuth, renewedKeys.kHMAC})
        secrets.insert(secrets.end(), {stringOf(key), hexString(key), base64Encode(key)});
    auto contents = [](const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    };
    // Read while the store is open, so that the WAL holds whatever the writes left there.
    std::string wal = contents(env.path() + "-wal");
    EXPECT_NE(wal.find("S3"), std::string::npos) << "a write that removes nothing leaves the WAL as it is";
    env.close();
    std::string database = contents(env.path());
    ASSERT_NE(database.find("S1"), std::string::npos) << "the scan reads the rows";
    for (const auto& secret : secrets) {
        EXPECT_EQ(wal.find(secret), std::string::npos);
        EXPECT_EQ(database.find(secret), std::string::npos);
    }
}

TEST(StorageManagerTest, ListingPutsCurrentUsersFirstAndSkipsUnreadableRows) {
    StorageEnvironment env;
    LegacyRows rows;
    LegacyRows::insert(env.path(), rows.row(kPassword));
    for (const char* id : {"A", "B"}) {
        SVUser user = activatedUser(std::string("u") + id, id);
        StorageEnvironment::activate(user);
        env.storage().store(user, "n", std::string(kPassword));
    }
    RawDatabase(env.path()).exec("UPDATE SVUserEntity SET interactionURL = 'not a url' WHERE storageID = 'B'");
    auto users = env.storage().users();
    ASSERT_EQ(users.size(), 2u);
    EXPECT_EQ(users[0].storageID(), "A");
    EXPECT_EQ(users[1].storageID(), "legacy-key-1");
    EXPECT_EQ(users[1].userVersion(), 2);
}

TEST(StorageManagerTest, TransferringALegacyUser) {
    StorageEnvironment env(SVLoggingOptions::debug);
    LegacyRows rows;
    LegacyRows::insert(env.path(), rows.row(kPassword));
    SVUser legacy = env.storage().users().at(0);

    EXPECT_EQ(errorCode([&] { env.storage().transferLegacyUser(activatedUser("u", "S"), kPassword); }),
              code(SVError::Code::emptyKeys));
    EXPECT_TRUE(env.platform().log().contains(SVLogCategory::storage, "Unable to transfer: missing keys content"));

    // A wrong password: reported, nothing moves.
    EXPECT_EQ(errorCode([&] { env.storage().transferLegacyUser(legacy, "Wrong-Pass-1"); }),
              code(SVError::Code::transferStorage));
    EXPECT_TRUE(env.platform().log().anyContains("Transfering error: "));
    EXPECT_TRUE(env.keyRows() == 1u && env.userRows() == 0u);

    env.platform().log().clear();
    env.storage().transferLegacyUser(legacy, kPassword);
    EXPECT_EQ(env.keyRows(), 0u);
    auto entity = env.entity("legacy-key-1").value();
    EXPECT_EQ(entity.name, std::optional<std::string>("Legacy account"));
    EXPECT_EQ(StorageEnvironment::storedKAuth(entity), sampleKAuth());
    EXPECT_EQ(StorageEnvironment::storedKHMAC(entity, "legacy-user", kPassword), sampleKHMAC());
    EXPECT_EQ(SecureEnclave::users().retrieveKeyPair(legacy.uniqueID()).publicKey.spkiHexString(),
              rows.signingKey().spkiHexString());
    EXPECT_FALSE(hasHandles(legacy, {HandleType::auth, HandleType::hmac}, false));
    auto users = env.storage().users();
    ASSERT_EQ(users.size(), 1u);
    EXPECT_EQ(users[0].userVersion(), 3);
    EXPECT_EQ(users[0].uniqueID(), legacy.uniqueID()) << "its key pair and handles keep their label";
    EXPECT_EQ(storageLog(env.platform()),
              (std::vector<std::string>{
                  "Transfering user to the current storage", "Getting legacy local private key",
                  "Transfering legacy kHMAC and kAuth", "Transfering legacy public and private key",
                  "Storing legacy user to the current storage", "Creating the user with id: legacy-user",
                  "Encrypting kAuth", "Encrypting kHMAC", "Saving user in DB",
                  "Removing legacy user from the legacy storage", "Removing the user from DB"}));
}

// With an access group, as every look-up then asks for it.
TEST(StorageManagerTest, ATransferImportsAPairTheLookUpsFindAndRemovesOnlyItsOwn) {
    HostState::setAccessGroup("team.shared");
    struct Reset {
        ~Reset() { HostState::setAccessGroup(std::nullopt); }
    } reset;
    StorageEnvironment env;
    LegacyRows rows;
    LegacyRows::insert(env.path(), rows.row(kPassword));
    LegacyRows::insert(env.path(), rows.row(kPassword, {.keyID = "no-private", .privateKey = ""}));
    LegacyRows::insert(env.path(), rows.row(kPassword, {.keyID = "no-public", .publicKey = ""}));
    LegacyRows::insert(env.path(), rows.row(kPassword, {.keyID = "nameless", .keyName = std::nullopt}));
    LegacyRows::insert(env.path(), rows.row("weak", {.keyID = "weak", .userID = "weak-user", .keyFlags = 96}));
    auto users = env.storage().users();
    ASSERT_EQ(users.size(), 5u);
    auto transfer = [&](const SVUser& user, const std::string& password = kPassword) {
        return errorCode([&] { env.storage().transferLegacyUser(user, password); });
    };

    // An empty key part fails like any unreadable one, and a user that fails the
    // store's checks (no name, a password the policy refuses) like a failed
    // store: the user does not move, and its imported pair is removed again.
    for (int i : {1, 2, 3, 4}) {
        const SVUser& user = users[i];
        EXPECT_EQ(transfer(user, i == 4 ? "weak" : kPassword), code(SVError::Code::transferStorage))
            << user.storageID();
        EXPECT_FALSE(hasKeyPair(SecureEnclave::users(), user));
        if (i >= 3) {
            EXPECT_TRUE(hasHandles(user, {HandleType::auth, HandleType::hmac}));
        }
    }
    EXPECT_TRUE(env.keyRows() == 5u && env.userRows() == 0u);

    // A pair of another origin under the label (a current user of the same container) stays; the import fails.
    const SVUser& legacy = users[0];
    std::string other = SecureEnclave::users().generateKeyPair(legacy.uniqueID()).publicKey.spkiHexString();
    EXPECT_EQ(transfer(legacy), code(SVError::Code::transferStorage));
    EXPECT_EQ(SecureEnclave::users().retrieveKeyPair(legacy.uniqueID()).publicKey.spkiHexString(), other);
    SecureEnclave::users().removeKeyPair(legacy.uniqueID());

    // The legacy row cannot be deleted: the new row is not kept, and the clean-up finds the imported pair.
    refuse(env.path(), "DELETE", "SVKeyEntity");
    EXPECT_EQ(transfer(legacy), code(SVError::Code::transferStorage));
    EXPECT_TRUE(env.keyRows() == 5u && env.userRows() == 0u);
    KeyQuery anyGroup;
    anyGroup.applicationTag = bytesOf(SecureEnclave::users().applicationTag());
    EXPECT_EQ(KeychainStore::current().findKey(anyGroup), errSecItemNotFound);
    RawDatabase(env.path()).exec("DROP TRIGGER refuse_DELETE");

    // The pair a transfer cut short after its import left is taken over; afterwards the look-ups find it.
    SecureEnclave::users().importLegacyPrivateKey(*rows.signingKey().externalRepresentation(),
                                                  SecureEnclave::applicationLabel(legacy.uniqueID()));
    EXPECT_EQ(transfer(legacy), -2);
    EXPECT_EQ(SecureEnclave::users().retrieveKeyPair(legacy.uniqueID()).publicKey.spkiHexString(),
              rows.signingKey().spkiHexString());
}
