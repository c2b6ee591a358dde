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
using svsdk::testing::modeOf;
using svsdk::testing::RawDatabase;
using svsdk::testing::ScopedPlatform;

namespace {

KeyItem keyItem(const std::string& label, std::optional<std::string> group = std::nullopt) {
    KeyItem item;
    item.applicationTag = bytesOf("org.svsdk.tests");
    item.applicationLabel = bytesOf(label);
    item.accessGroup = std::move(group);
    item.keyData = bytesOf("key of " + label);
    return item;
}

KeyQuery keyQuery(const std::string& label, std::optional<std::string> group = std::nullopt) {
    KeyQuery query;
    query.applicationTag = bytesOf("org.svsdk.tests");
    query.applicationLabel = bytesOf(label);
    query.accessGroup = std::move(group);
    return query;
}

}  // namespace

TEST(KeychainStoreTest, FileIsPrivateAndRunsInWalWithFullSync) {
    ScopedPlatform platform;
    auto store = KeychainStore::current();
    EXPECT_EQ(store.path(), platform.dir().file("data/keychain.sqlite"));
    EXPECT_EQ(store.findPassword({"service", "account", std::nullopt}), errSecItemNotFound);
    EXPECT_EQ(modeOf(store.path()), 0600u);
    EXPECT_EQ(RawDatabase(store.path()).scalar("PRAGMA journal_mode"), "wal");

    // A file found with wider permissions is tightened at the next use.
    ASSERT_EQ(::chmod(store.path().c_str(), 0644), 0);
    EXPECT_EQ(store.addPassword({"service", "account", std::nullopt}, bytesOf("v"),
                                KeychainAccessibility::afterFirstUnlock),
              errSecSuccess);
    EXPECT_EQ(modeOf(store.path()), 0600u);
}

TEST(KeychainStoreTest, UnusableFilesAnswerWithAStatus) {
    ScopedPlatform platform;
    std::string notADatabase = platform.dir().file("garbage.sqlite");
    std::ofstream(notADatabase) << std::string(4096, 'x');
    EXPECT_EQ(KeychainStore(notADatabase).findPassword({"s", "a", std::nullopt}), errSecDecode);
    EXPECT_EQ(KeychainStore(platform.dir().path()).findPassword({"s", "a", std::nullopt}), errSecIO);
    EXPECT_EQ(KeychainStore("").findPassword({"s", "a", std::nullopt}), errSecParam);
}

TEST(KeychainStoreTest, GenericPasswordsAddFindUpdateDelete) {
    ScopedPlatform platform;
    auto store = KeychainStore::current();
    const PasswordQuery query{"host.app", "account", std::nullopt};
    const auto shared = KeychainAccessibility::afterFirstUnlock;
    const auto local = KeychainAccessibility::afterFirstUnlockThisDeviceOnly;
    EXPECT_EQ(store.updatePassword(query, bytesOf("x"), shared), errSecItemNotFound);
    EXPECT_EQ(store.deletePasswords(query), errSecItemNotFound);
    ASSERT_EQ(store.addPassword(query, bytesOf("one"), shared), errSecSuccess);
    EXPECT_EQ(store.addPassword(query, bytesOf("two"), shared), errSecDuplicateItem);

    PasswordItem item;
    ASSERT_EQ(store.findPassword(query, &item), errSecSuccess);
    EXPECT_EQ(stringOf(item.value), "one");
    EXPECT_EQ(item.accessible, shared);
    EXPECT_FALSE(item.accessGroup.has_value());
    ASSERT_EQ(store.updatePassword(query, bytesOf("three"), local), errSecSuccess);
    ASSERT_EQ(store.findPassword(query, &item), errSecSuccess);
    EXPECT_EQ(stringOf(item.value), "three");
    EXPECT_EQ(item.accessible, local);

    // An empty value is a value.
    const PasswordQuery empty{"host.app", "empty", std::nullopt};
    ASSERT_EQ(store.addPassword(empty, Bytes{}, shared), errSecSuccess);
    ASSERT_EQ(store.findPassword(empty, &item), errSecSuccess);
    EXPECT_TRUE(item.value.empty());
    EXPECT_EQ(store.deletePasswords(query), errSecSuccess);
    EXPECT_EQ(store.findPassword(query), errSecItemNotFound);
    EXPECT_EQ(store.findPassword(empty), errSecSuccess);
}

TEST(KeychainStoreTest, AccessGroupsAreMatchedLikeAttributes) {
    ScopedPlatform platform;
    auto store = KeychainStore::current();
    auto accessible = KeychainAccessibility::afterFirstUnlockThisDeviceOnly;
    ASSERT_EQ(store.addPassword({"svc", "acc", "group.a"}, bytesOf("a"), accessible), errSecSuccess);
    // The same service and account in another group (or the default one) is another item.
    ASSERT_EQ(store.addPassword({"svc", "acc", "group.b"}, bytesOf("b"), accessible), errSecSuccess);
    ASSERT_EQ(store.addPassword({"svc", "acc", std::nullopt}, bytesOf("default"), accessible), errSecSuccess);

    PasswordItem item;
    ASSERT_EQ(store.findPassword({"svc", "acc", "group.b"}, &item), errSecSuccess);
    EXPECT_EQ(stringOf(item.value), "b");
    EXPECT_EQ(item.accessGroup, "group.b");
    EXPECT_EQ(store.findPassword({"svc", "acc", "group.c"}), errSecItemNotFound);
    // Without a group a query matches every group; an empty group is no group.
    ASSERT_EQ(store.findPassword({"svc", "acc", std::nullopt}, &item), errSecSuccess);
    EXPECT_EQ(stringOf(item.value), "a");
    EXPECT_EQ(store.findPassword({"svc", "acc", ""}), errSecSuccess);

    ASSERT_EQ(store.deletePasswords({"svc", "acc", "group.a"}), errSecSuccess);
    ASSERT_EQ(store.findPassword({"svc", "acc", std::nullopt}, &item), errSecSuccess);
    EXPECT_EQ(stringOf(item.value), "b");
    ASSERT_EQ(store.deletePasswords({"svc", "acc", std::nullopt}), errSecSuccess);
    EXPECT_EQ(store.findPassword({"svc", "acc", std::nullopt}), errSecItemNotFound);
}

TEST(KeychainStoreTest, KeysAddFindDeleteAndDuplicates) {
    ScopedPlatform platform;
    auto store = KeychainStore::current();
    auto item = keyItem("alpha");
    item.tokenID = "token";
    item.accessControl = "control";
    ASSERT_EQ(store.addKey(item), errSecSuccess);
    EXPECT_EQ(store.addKey(keyItem("alpha")), errSecDuplicateItem);
    EXPECT_EQ(store.addKey(keyItem("alpha", "group")), errSecSuccess);

    KeyItem found;
    ASSERT_EQ(store.findKey(keyQuery("alpha"), &found), errSecSuccess);
    EXPECT_EQ(stringOf(found.keyData), "key of alpha");
    EXPECT_EQ(found.tokenID, "token");
    EXPECT_EQ(found.accessControl, "control");
    EXPECT_EQ(found.keySizeInBits, 256);
    EXPECT_EQ(found.keyClass, KeyClass::privateKey);

    // Labels and tags match exactly, classes when asked for.
    EXPECT_EQ(store.findKey(keyQuery("alph")), errSecItemNotFound);
    auto otherTag = keyQuery("alpha");
    otherTag.applicationTag = bytesOf("org.svsdk.other");
    EXPECT_EQ(store.findKey(otherTag), errSecItemNotFound);
    auto publicOnly = keyQuery("alpha");
    publicOnly.keyClass = KeyClass::publicKey;
    EXPECT_EQ(store.findKey(publicOnly), errSecItemNotFound);
    auto anyLabel = keyQuery("alpha");
    anyLabel.applicationLabel.reset();
    EXPECT_EQ(store.findKey(anyLabel), errSecSuccess);

    EXPECT_EQ(store.deleteKeys(keyQuery("alpha", "group")), errSecSuccess);
    EXPECT_EQ(store.findKey(keyQuery("alpha", "group")), errSecItemNotFound);
    EXPECT_EQ(store.findKey(keyQuery("alpha")), errSecSuccess);
    EXPECT_EQ(store.deleteKeys(keyQuery("alpha")), errSecSuccess);
    EXPECT_EQ(store.deleteKeys(keyQuery("alpha")), errSecItemNotFound);
    EXPECT_EQ(store.addKey(KeyItem{}), errSecParam) << "a key item needs key data";
}

TEST(KeychainStoreTest, ReplacementIsOneTransaction) {
    ScopedPlatform platform;
    auto store = KeychainStore::current();
    ASSERT_EQ(store.addKey(keyItem("alpha")), errSecSuccess);
    auto next = keyItem("alpha");
    next.keyData = bytesOf("new key");
    ASSERT_EQ(store.replaceKeys(keyQuery("alpha"), next), errSecSuccess);
    KeyItem found;
    ASSERT_EQ(store.findKey(keyQuery("alpha"), &found), errSecSuccess);
    EXPECT_EQ(stringOf(found.keyData), "new key");
    // Nothing to replace is no error.
    EXPECT_EQ(store.replaceKeys(keyQuery("beta"), keyItem("beta")), errSecSuccess);

    // Make every insert fail: the deletion that came first is rolled back.
    svsdk::testing::refuseKeyInserts(store.path());
    auto third = keyItem("alpha");
    third.keyData = bytesOf("third key");
    EXPECT_NE(store.replaceKeys(keyQuery("alpha"), third), errSecSuccess);
    ASSERT_EQ(store.findKey(keyQuery("alpha"), &found), errSecSuccess);
    EXPECT_EQ(stringOf(found.keyData), "new key");
}

TEST(KeychainStoreTest, AFileDeletedOrReplacedUnderTheStoreIsNotUsedStale) {
    ScopedPlatform platform;
    auto store = KeychainStore::current();
    ASSERT_EQ(store.addKey(keyItem("alpha")), errSecSuccess);

    // Deleted: the next operation makes a new, empty, private file.
    for (const char* suffix : {"", "-wal", "-shm"}) std::remove((store.path() + suffix).c_str());
    EXPECT_EQ(store.findKey(keyQuery("alpha")), errSecItemNotFound);
    EXPECT_EQ(modeOf(store.path()), 0600u);
    ASSERT_EQ(store.addKey(keyItem("beta")), errSecSuccess);

    // Replaced by a copy of another store moved over it: reads and writes go
    // to the new file. (Each write is checkpointed, so the file alone holds
    // the other store's items.)
    KeychainStore other(platform.dir().file("other.sqlite"));
    ASSERT_EQ(other.addKey(keyItem("gamma")), errSecSuccess);
    std::string copy = platform.dir().file("copy.sqlite");
    std::filesystem::copy_file(other.path(), copy);
    ASSERT_EQ(std::rename(copy.c_str(), store.path().c_str()), 0);
    EXPECT_EQ(store.findKey(keyQuery("beta")), errSecItemNotFound);
    EXPECT_EQ(store.findKey(keyQuery("gamma")), errSecSuccess);
    ASSERT_EQ(store.addKey(keyItem("delta")), errSecSuccess);
    EXPECT_EQ(RawDatabase(store.path()).scalar("SELECT group_concat(label) FROM (SELECT CAST(application_label AS"
                                               " TEXT) AS label FROM keys ORDER BY rowid)"),
              "gamma,delta");

    // A symbolic link put in its place is refused.
    ASSERT_EQ(std::rename(store.path().c_str(), platform.dir().file("moved.sqlite").c_str()), 0);
    ASSERT_EQ(::symlink(platform.dir().file("moved.sqlite").c_str(), store.path().c_str()), 0);
    EXPECT_EQ(store.findKey(keyQuery("gamma")), errSecIO);
}
