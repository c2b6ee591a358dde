#include <gtest/gtest.h>

#include <ctime>

#include "Core/Storing/StorageLegacy.h"
#include "StorageTestSupport.h"

using namespace svsdk;
using namespace svsdk::testing;

namespace {

SVKeyEntity validEntity() {
    SVKeyEntity entity;
    entity.objectID = 7;
    entity.keyID = "K1";
    entity.userID = "legacy-user";
    entity.systemID = "legacy-system";
    entity.interactionExternalURL = "https://legacy.example.test/sv";
    entity.keyValue = "00ff10";
    entity.privateKey = "AbCd";
    entity.publicKey = "";
    entity.expirationDateString = "2025-12-31";
    entity.keyName = "Legacy account";
    entity.deviceToken = "token";
    return entity;
}

double localMidnight(int year, int month, int day) {
    std::tm parts{};
    parts.tm_year = year - 1900;
    parts.tm_mon = month - 1;
    parts.tm_mday = day;
    parts.tm_isdst = -1;
    return static_cast<double>(std::mktime(&parts));
}

}  // namespace

TEST(StorageLegacyTest, MapsARowOntoAUserOfItsGeneration) {
    StorageLegacy legacy;
    SVUser expected("legacy-user", "legacy-system", SVUserOptions{}, "https://legacy.example.test/sv",
                    "Legacy account", "token", std::nullopt, std::nullopt, {}, 180, 180, "K1", 2,
                    UserKeysContent::legacyStoredEncrypted(Bytes{0x00, 0xff, 0x10}, Bytes{0xab, 0xcd}, Bytes{}),
                    localMidnight(2025, 12, 31));
    EXPECT_EQ(legacy.makeUser(validEntity()), expected);
    auto dotted = validEntity();
    dotted.expirationDateString = "31.12.2025";
    EXPECT_EQ(legacy.makeUser(dotted).expirationTimestamp(), localMidnight(2025, 12, 31));

    auto bare = validEntity();
    bare.userID.reset();
    bare.keyName.reset();
    bare.deviceToken.reset();
    SVUser plain = legacy.makeUser(bare);
    EXPECT_EQ(plain.userID(), "");
    EXPECT_FALSE(plain.name() || plain.registeredDeviceToken());

    // Generation and options: a fingerprint without flags is generation 1.
    struct Case {
        std::optional<std::string> fingerprint;
        std::optional<std::int64_t> flags;
        std::int64_t version;
        std::int64_t options;
    };
    for (const Case& c : {Case{"fp", 0, 1, 1}, Case{"fp", std::nullopt, 1, 1}, Case{"fp", 2, 2, 2},
                          Case{std::nullopt, 0, 2, 0}, Case{"", 0, 2, 0}, Case{"", 6, 2, 6},
                          Case{std::nullopt, std::nullopt, 2, 0}}) {
        auto entity = validEntity();
        entity.fingerprint = c.fingerprint;
        entity.keyFlags = c.flags;
        SVUser made = legacy.makeUser(entity);
        EXPECT_EQ(made.userVersion(), c.version) << c.fingerprint.value_or("(none)");
        EXPECT_EQ(made.options().flags.rawValue, c.options) << c.fingerprint.value_or("(none)");
    }
}

TEST(StorageLegacyTest, EveryMissingOrUnreadableAttributeIsMissingRequestedData) {
    StorageLegacy legacy;
    using Change = void (*)(SVKeyEntity&);
    const Change changes[] = {
        [](SVKeyEntity& e) { e.systemID.reset(); },
        [](SVKeyEntity& e) { e.interactionExternalURL.reset(); },
        [](SVKeyEntity& e) { e.interactionExternalURL = "https://exa mple.test"; },
        [](SVKeyEntity& e) { e.keyValue.reset(); },
        [](SVKeyEntity& e) { e.keyValue = "abc"; },  // odd length
        [](SVKeyEntity& e) { e.privateKey = "zz"; },  // not a hex pair
        [](SVKeyEntity& e) { e.privateKey.reset(); },
        [](SVKeyEntity& e) { e.publicKey = "0g"; },
        [](SVKeyEntity& e) { e.publicKey.reset(); },
        [](SVKeyEntity& e) { e.expirationDateString.reset(); },
        [](SVKeyEntity& e) { e.expirationDateString = "2025/12/31"; },
    };
    int index = 0;
    for (Change change : changes) {
        auto entity = validEntity();
        change(entity);
        EXPECT_EQ(errorCode([&] { legacy.makeUser(entity); }), code(SVError::Code::missingRequestedData)) << index;
        ++index;
    }
}

TEST(StorageLegacyTest, RowsWithoutKeyIDKeepOneIdentifierAndAreRemovedAndTransferredOnce) {
    StorageEnvironment env;
    LegacyRows rows;
    LegacyRows::insert(env.path(), rows.row("pw-123456"));
    auto odd = rows.row("pw-123456", {.keyID = "odd"});
    odd.keyValue = odd.keyValue->substr(1);
    LegacyRows::insert(env.path(), odd);
    LegacyRows::insert(env.path(), rows.row("pw-123456", {.keyID = std::nullopt, .userID = "anonymous-1"}));
    LegacyRows::insert(env.path(), rows.row("pw-123456", {.keyID = std::nullopt, .userID = "anonymous-2",
                                                          .fingerprint = "fp", .keyFlags = 0}));

    auto first = env.storage().users();
    ASSERT_EQ(first.size(), 3u) << "the row with odd hex is left out without an error";
    EXPECT_EQ(first[0].storageID(), "legacy-key-1");
    auto second = env.storage().users();
    ASSERT_EQ(second.size(), 3u);
    EXPECT_EQ(first[1].storageID(), second[1].storageID()) << "the same identifier at every read";
    EXPECT_EQ(first[2].storageID(), second[2].storageID());
    EXPECT_NE(first[1].storageID(), first[2].storageID());

    auto found = env.storage().legacyKeyEntity(first[2]);
    ASSERT_TRUE(found.has_value());
    EXPECT_EQ(found->userID, std::optional<std::string>("anonymous-2"));
    EXPECT_FALSE(env.storage().legacyKeyEntity(activatedUser("x", "nobody")).has_value());

    env.storage().remove(first[1]);
    auto after = env.storage().users();
    ASSERT_EQ(after.size(), 2u) << "a removed row without keyID stays removed";
    EXPECT_EQ(after[1].userID(), "anonymous-2");
    EXPECT_EQ(after[1].storageID(), first[2].storageID());

    SVUser generation1 = after[1];
    EXPECT_EQ(generation1.userVersion(), 1);
    env.storage().transferLegacyUser(generation1, "pw-123456");
    auto transferred = env.storage().users();
    ASSERT_EQ(transferred.size(), 2u) << "the transferred row does not come back";
    EXPECT_EQ(transferred[0].userVersion(), 3);
    EXPECT_EQ(transferred[0].storageID(), generation1.storageID());
    EXPECT_EQ(transferred[0].options().flags.rawValue, 1);
    EXPECT_EQ(transferred[1].storageID(), "legacy-key-1");
}
