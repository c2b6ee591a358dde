#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "support/KeyStoreFaults.h"
#include "support/TestEnvironment.h"

using namespace svsdk;
using namespace svsdk::testing;

namespace {

KeyQuery keyQuery(const std::string& label, std::optional<std::string> group = std::nullopt) {
    KeyQuery query;
    query.applicationTag = bytesOf("tests"), query.applicationLabel = bytesOf(label), query.accessGroup = group;
    return query;
}
KeyItem keyItem(const std::string& label, std::optional<std::string> group = std::nullopt, std::string data = "") {
    KeyItem item;
    item.applicationTag = bytesOf("tests"), item.applicationLabel = bytesOf(label), item.accessGroup = group;
    item.keyData = bytesOf(data.empty() ? "key of " + label : data);
    return item;
}
// The key data the query finds, or "-".
std::string found(const KeychainStore& store, const KeyQuery& query) {
    KeyItem item;
    return store.findKey(query, &item) == errSecSuccess ? stringOf(item.keyData) : "-";
}

}  // namespace

// Items without a group are in the default one; a query without a group (or
// with an empty one) matches every group.
TEST(KeychainStoreTest, PasswordsAndKeysMatchTheirAttributesAndGroupsExactly) {
    ScopedPlatform platform;
    auto store = KeychainStore::current();
    const auto shared = KeychainAccessibility::afterFirstUnlock, local = KeychainAccessibility::alwaysThisDeviceOnly;
    EXPECT_EQ(store.updatePassword({"svc", "acc", {}}, Bytes{}, shared) + store.deletePasswords({"svc", "acc", {}}),
              2 * errSecItemNotFound);
    ASSERT_EQ(store.addPassword({"svc", "acc", "group.a"}, bytesOf("a"), shared), errSecSuccess);
    EXPECT_EQ(store.addPassword({"svc", "acc", "group.a"}, bytesOf("again"), shared), errSecDuplicateItem);
    ASSERT_EQ(store.addPassword({"svc", "acc", "group.b"}, Bytes{}, shared), errSecSuccess);
    ASSERT_EQ(store.updatePassword({"svc", "acc", "group.b"}, bytesOf("b"), local), errSecSuccess);
    for (auto [group, value] : {std::pair<std::optional<std::string>, const char*>{"group.b", "b/group.b/2"},
                                {std::nullopt, "a/group.a/0"}, {"", "a/group.a/0"}, {"group.c", "-"}}) {
        PasswordItem item;
        EXPECT_EQ(store.findPassword({"svc", "acc", group}, &item) == errSecSuccess
                      ? stringOf(item.value) + "/" + item.accessGroup.value_or("") + "/" +
                            std::to_string(static_cast<int>(item.accessible))
                      : "-",
                  value);
    }
    EXPECT_EQ(store.deletePasswords({"svc", "acc", "group.a"}) + store.findPassword({"svc", "acc", "group.b"}) +
                  store.deletePasswords({"svc", "acc", ""}) + store.findPassword({"svc", "acc", {}}),
              errSecItemNotFound);

    auto item = keyItem("alpha");
    item.tokenID = "token", item.accessControl = "control";
    ASSERT_EQ(store.addKey(item), errSecSuccess);
    EXPECT_EQ(store.addKey(keyItem("alpha")) + store.addKey(keyItem("alpha", "group", "grouped")), errSecDuplicateItem);
    EXPECT_EQ(store.addKey(KeyItem{}), errSecParam) << "a key item needs key data";
    ASSERT_EQ(store.findKey(keyQuery("alpha"), &item), errSecSuccess);
    EXPECT_TRUE(item.tokenID == "token" && item.accessControl == "control" && item.keySizeInBits == 256 &&
                item.keyClass == KeyClass::privateKey && !item.accessGroup);
    auto otherTag = keyQuery("alpha"), publicOnly = keyQuery("alpha"), anyLabel = keyQuery("alpha");
    otherTag.applicationTag = bytesOf("other"), publicOnly.keyClass = KeyClass::publicKey;
    anyLabel.applicationLabel.reset();
    for (auto [query, data] : {std::pair{keyQuery("alph"), "-"}, {otherTag, "-"}, {publicOnly, "-"},
                               {anyLabel, "key of alpha"}, {keyQuery("alpha", "group"), "grouped"}})
        EXPECT_EQ(found(store, query), data);

    // A replacement is one transaction: when the insert fails the deletion before it is undone.
    EXPECT_EQ(store.replaceKeys(keyQuery("alpha", "group"), keyItem("alpha", "group", "new")), errSecSuccess);
    EXPECT_EQ(store.replaceKeys(keyQuery("beta"), keyItem("beta")), errSecSuccess) << "nothing to replace is no error";
    refuseKeyInserts(store.path());
    EXPECT_NE(store.replaceKeys(keyQuery("alpha", "group"), keyItem("alpha", "group", "third")), errSecSuccess);
    EXPECT_EQ(found(store, keyQuery("alpha", "group")), "new");
    EXPECT_EQ(store.deleteKeys(keyQuery("alpha", "group")), errSecSuccess);
    EXPECT_EQ(store.deleteKeys(keyQuery("alpha")) + store.deleteKeys(keyQuery("alpha")), errSecItemNotFound);
}

// Private, in WAL mode; deleted, replaced by another store or by a symbolic
// link, or not a store at all: never used stale.
TEST(KeychainStoreTest, TheStoreFileIsPrivateAndNeverUsedStale) {
    ScopedPlatform platform;
    auto store = KeychainStore::current();
    ASSERT_EQ(store.addKey(keyItem("alpha")), errSecSuccess);
    EXPECT_EQ(RawDatabase(store.path()).scalar("PRAGMA journal_mode"), "wal");
    for (const char* suffix : {"", "-wal", "-shm"}) std::remove((store.path() + suffix).c_str());
    EXPECT_EQ(found(store, keyQuery("alpha")), "-");
    EXPECT_EQ(modeOf(store.path()), 0600u);
    ASSERT_EQ(::chmod(store.path().c_str(), 0644), 0);
    ASSERT_EQ(store.addKey(keyItem("beta")), errSecSuccess);
    EXPECT_EQ(modeOf(store.path()), 0600u) << "a file found readable by others is made private";

    // Another store moved over it (each write is checkpointed: the file alone holds its items).
    KeychainStore other(platform.dir().file("other.sqlite"));
    ASSERT_EQ(other.addKey(keyItem("gamma")), errSecSuccess);
    std::filesystem::copy_file(other.path(), platform.dir().file("copy.sqlite"));
    ASSERT_EQ(std::rename(platform.dir().file("copy.sqlite").c_str(), store.path().c_str()), 0);
    EXPECT_EQ(found(store, keyQuery("beta")) + found(store, keyQuery("gamma")), "-key of gamma");

    // A store replaced under an idle connection holds no descriptor once another store is opened.
    std::filesystem::copy_file(other.path(), platform.dir().file("copy2.sqlite"));
    ASSERT_EQ(std::rename(platform.dir().file("copy2.sqlite").c_str(), other.path().c_str()), 0);
    EXPECT_EQ(found(KeychainStore(platform.dir().file("third.sqlite")), keyQuery("x")), "-");
    for (const auto& fd : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code error;
        EXPECT_NE(std::filesystem::read_symlink(fd.path(), error).string(), other.path() + " (deleted)");
    }

    ASSERT_EQ(std::rename(store.path().c_str(), platform.dir().file("moved.sqlite").c_str()), 0);
    ASSERT_EQ(::symlink(platform.dir().file("moved.sqlite").c_str(), store.path().c_str()), 0);
    std::ofstream(platform.dir().file("text.sqlite")) << std::string(4096, 'x');
    for (auto [path, status] : {std::pair{store.path(), errSecIO}, {platform.dir().file("text.sqlite"), errSecDecode},
                                {platform.dir().path(), errSecIO}, {std::string(), errSecParam}})
        EXPECT_EQ(KeychainStore(path).findKey(keyQuery("gamma")), status) << path;
}
