#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "Core/Storing/StoreTestSupport.h"
#include "Platform/KeychainStore.h"
#include "support/KeyStoreFaults.h"
#include "support/TestEnvironment.h"

using namespace svsdk;
using namespace svsdk::testing;

namespace {

KeyItem keyItem(const std::string& label, std::optional<std::string> group = std::nullopt, std::string data = "") {
    KeyItem item;
    item.applicationTag = bytesOf("org.svsdk.tests");
    item.applicationLabel = bytesOf(label);
    item.accessGroup = std::move(group);
    item.keyData = bytesOf(data.empty() ? "key of " + label : data);
    return item;
}
KeyQuery keyQuery(const std::string& label, std::optional<std::string> group = std::nullopt) {
    KeyQuery query;
    query.applicationTag = bytesOf("org.svsdk.tests");
    query.applicationLabel = bytesOf(label);
    query.accessGroup = std::move(group);
    return query;
}
std::string keyData(KeychainStore& store, const KeyQuery& query) {
    KeyItem found;
    return store.findKey(query, &found) == errSecSuccess ? stringOf(found.keyData) : "(none)";
}

}  // namespace

TEST(KeychainStoreTest, PasswordsAndAccessGroups) {
    ScopedPlatform platform;
    auto store = KeychainStore::current();
    const auto shared = KeychainAccessibility::afterFirstUnlock;
    const auto local = KeychainAccessibility::afterFirstUnlockThisDeviceOnly;
    EXPECT_EQ(store.path(), platform.dir().file("data/keychain.sqlite"));
    EXPECT_EQ(store.updatePassword({"svc", "acc", std::nullopt}, bytesOf("x"), shared), errSecItemNotFound);
    EXPECT_EQ(store.deletePasswords({"svc", "acc", std::nullopt}), errSecItemNotFound);
    EXPECT_EQ(modeOf(store.path()), 0600u);
    EXPECT_EQ(RawDatabase(store.path()).scalar("PRAGMA journal_mode"), "wal");
    ASSERT_EQ(::chmod(store.path().c_str(), 0644), 0);
    ASSERT_EQ(store.addPassword({"svc", "acc", "group.a"}, bytesOf("a"), shared), errSecSuccess);
    EXPECT_EQ(modeOf(store.path()), 0600u) << "a file found readable by others is made private";
    EXPECT_EQ(store.addPassword({"svc", "acc", "group.a"}, bytesOf("again"), shared), errSecDuplicateItem);
    ASSERT_EQ(store.addPassword({"svc", "acc", "group.b"}, Bytes{}, local), errSecSuccess);
    ASSERT_EQ(store.updatePassword({"svc", "acc", "group.b"}, bytesOf("b"), shared), errSecSuccess);
    ASSERT_EQ(store.addPassword({"svc", "other", ""}, bytesOf("default"), local), errSecSuccess);

    // {query's group, value found, group found}; no group (or an empty one) matches every group.
    struct Row { std::optional<std::string> group; const char* value; std::optional<std::string> found; };
    for (const Row& row : {Row{"group.b", "b", "group.b"}, Row{std::nullopt, "a", "group.a"}, Row{"", "a", "group.a"},
                           Row{"group.c", "(none)", std::nullopt}}) {
        PasswordItem item;
        OSStatus status = store.findPassword({"svc", "acc", row.group}, &item);
        EXPECT_EQ(status == errSecSuccess ? stringOf(item.value) : "(none)", row.value) << row.group.value_or("-");
        EXPECT_EQ(item.accessGroup, row.found);
    }
    PasswordItem empty;
    ASSERT_EQ(store.findPassword({"svc", "other", "group.x"}), errSecItemNotFound);
    ASSERT_EQ(store.findPassword({"svc", "other", std::nullopt}, &empty), errSecSuccess);
    EXPECT_EQ(empty.accessible, local);
    EXPECT_EQ(store.deletePasswords({"svc", "acc", "group.a"}), errSecSuccess);
    EXPECT_EQ(store.findPassword({"svc", "acc", "group.b"}), errSecSuccess);
    EXPECT_EQ(store.deletePasswords({"svc", "acc", std::nullopt}), errSecSuccess);
    EXPECT_EQ(store.findPassword({"svc", "acc", std::nullopt}), errSecItemNotFound);
}

TEST(KeychainStoreTest, KeysMatchExactlyAndAReplacementIsOneTransaction) {
    ScopedPlatform platform;
    auto store = KeychainStore::current();
    auto item = keyItem("alpha");
    item.tokenID = "token";
    item.accessControl = "control";
    ASSERT_EQ(store.addKey(item), errSecSuccess);
    EXPECT_EQ(store.addKey(keyItem("alpha")), errSecDuplicateItem);
    EXPECT_EQ(store.addKey(keyItem("alpha", "group", "grouped")), errSecSuccess);
    EXPECT_EQ(store.addKey(KeyItem{}), errSecParam) << "a key item needs key data";
    KeyItem found;
    ASSERT_EQ(store.findKey(keyQuery("alpha"), &found), errSecSuccess);
    EXPECT_TRUE(found.tokenID == "token" && found.accessControl == "control" && found.keySizeInBits == 256 &&
                found.keyClass == KeyClass::privateKey && !found.accessGroup);

    auto otherTag = keyQuery("alpha"), publicOnly = keyQuery("alpha"), anyLabel = keyQuery("alpha");
    otherTag.applicationTag = bytesOf("org.svsdk.other");
    publicOnly.keyClass = KeyClass::publicKey;
    anyLabel.applicationLabel.reset();
    for (auto [query, data] : {std::pair{keyQuery("alph"), "(none)"}, {otherTag, "(none)"}, {publicOnly, "(none)"},
                               {anyLabel, "key of alpha"}, {keyQuery("alpha", "group"), "grouped"}})
        EXPECT_EQ(keyData(store, query), data);

    EXPECT_EQ(store.replaceKeys(keyQuery("alpha", "group"), keyItem("alpha", "group", "new key")), errSecSuccess);
    EXPECT_EQ(keyData(store, keyQuery("alpha", "group")), "new key");
    EXPECT_EQ(store.replaceKeys(keyQuery("beta"), keyItem("beta")), errSecSuccess) << "nothing to replace is no error";
    refuseKeyInserts(store.path());  // the deletion that came first is rolled back
    EXPECT_NE(store.replaceKeys(keyQuery("alpha", "group"), keyItem("alpha", "group", "third")), errSecSuccess);
    EXPECT_EQ(keyData(store, keyQuery("alpha", "group")), "new key");
    EXPECT_EQ(store.deleteKeys(keyQuery("alpha", "group")), errSecSuccess);
    EXPECT_EQ(keyData(store, keyQuery("alpha")), "key of alpha");
    EXPECT_EQ(store.deleteKeys(keyQuery("alpha")), errSecSuccess);
    EXPECT_EQ(store.deleteKeys(keyQuery("alpha")), errSecItemNotFound);
}

// Deleted, replaced by another store or by a symbolic link, or not a store at all.
TEST(KeychainStoreTest, AFileChangedUnderTheStoreIsNeverUsedStale) {
    ScopedPlatform platform;
    auto store = KeychainStore::current();
    ASSERT_EQ(store.addKey(keyItem("alpha")), errSecSuccess);
    for (const char* suffix : {"", "-wal", "-shm"}) std::remove((store.path() + suffix).c_str());
    EXPECT_EQ(store.findKey(keyQuery("alpha")), errSecItemNotFound);
    EXPECT_EQ(modeOf(store.path()), 0600u);
    ASSERT_EQ(store.addKey(keyItem("beta")), errSecSuccess);

    // Another store moved over it (each write is checkpointed: the file alone holds its items).
    KeychainStore other(platform.dir().file("other.sqlite"));
    ASSERT_EQ(other.addKey(keyItem("gamma")), errSecSuccess);
    std::filesystem::copy_file(other.path(), platform.dir().file("copy.sqlite"));
    ASSERT_EQ(std::rename(platform.dir().file("copy.sqlite").c_str(), store.path().c_str()), 0);
    EXPECT_EQ(keyData(store, keyQuery("beta")), "(none)");
    ASSERT_EQ(store.addKey(keyItem("delta")), errSecSuccess);
    EXPECT_EQ(RawDatabase(store.path()).scalar("SELECT group_concat(l) FROM (SELECT CAST(application_label AS TEXT) l FROM keys ORDER BY rowid)"),
              "gamma,delta");

    // A store gone for good holds no descriptor once another store is opened.
    std::remove(other.path().c_str());
    ASSERT_EQ(KeychainStore(platform.dir().file("third.sqlite")).findKey(keyQuery("x")), errSecItemNotFound);
    for (const auto& fd : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code error;
        EXPECT_NE(std::filesystem::read_symlink(fd.path(), error).string(), other.path() + " (deleted)");
    }

    ASSERT_EQ(std::rename(store.path().c_str(), platform.dir().file("moved.sqlite").c_str()), 0);
    ASSERT_EQ(::symlink(platform.dir().file("moved.sqlite").c_str(), store.path().c_str()), 0);
    EXPECT_EQ(store.findKey(keyQuery("gamma")), errSecIO) << "a symbolic link is refused";
    std::ofstream(platform.dir().file("garbage.sqlite")) << std::string(4096, 'x');
    EXPECT_EQ(KeychainStore(platform.dir().file("garbage.sqlite")).findKey(keyQuery("x")), errSecDecode);
    EXPECT_EQ(KeychainStore(platform.dir().path()).findKey(keyQuery("x")), errSecIO);
    EXPECT_EQ(KeychainStore("").findKey(keyQuery("x")), errSecParam);
}
