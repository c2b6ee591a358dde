#include <gtest/gtest.h>

#include "Core/Storing/UserKeyAccess.h"
#include "StorageTestSupport.h"

using namespace svsdk;
using namespace svsdk::testing;

TEST(UserKeyAccessTest, PublicKeyAndKeyPairComeFromTheKeyStoreOrTheLegacyRow) {
    StorageEnvironment env(SVLoggingOptions::debug);
    SVUser user = activatedUser("u1", "S1");
    EXPECT_FALSE(user.publicKey().has_value());
    auto pair = SecureEnclave::users().generateKeyPair(user.uniqueID());
    EXPECT_EQ(user.publicKey(), std::optional<std::string>(pair.publicKey.spkiHexString()));
    env.platform().log().clear();
    EXPECT_TRUE(user.hasKeyPair());
    EXPECT_TRUE(env.platform().log().contains(SVLogCategory::users, "Checking if user has keypair"));
    SecureEnclave::users().removeKeyPair(user.uniqueID());
    EXPECT_FALSE(user.hasKeyPair());

    // A legacy user: the text of its row, whatever the key stores hold.
    LegacyRows rows;
    auto row = rows.row("pw-123456");
    row.publicKey = "0a0b";
    LegacyRows::insert(env.path(), row);
    SVUser legacy = env.storage().users().at(0);
    SecureEnclave::users().generateKeyPair(legacy.uniqueID());
    EXPECT_EQ(publicKeyOf(legacy, env.storage()), std::optional<std::string>("0a0b"));
    env.storage().remove(legacy);
    EXPECT_FALSE(publicKeyOf(legacy, env.storage()).has_value());
}

TEST(UserKeyAccessTest, AutosignRegistrationNeedsACurrentUserWithAnAutosignPair) {
    StorageEnvironment env;
    SVUser user = activatedUser("u1", "S1");
    EXPECT_FALSE(user.isRegisteredToAutosign());
    SecureEnclave::users().generateKeyPair(user.uniqueID());
    EXPECT_FALSE(user.isRegisteredToAutosign()) << "the signing pair does not count";
    SecureEnclave::autosign().generateKeyPair(user.uniqueID());
    EXPECT_TRUE(user.isRegisteredToAutosign());

    EXPECT_FALSE(storedForm(user, std::nullopt, std::nullopt, 2).isRegisteredToAutosign());
}

TEST(UserKeyAccessTest, AuthorizationKeyFromTheCacheOrElseFromTheStore) {
    StorageEnvironment env;
    SVUser user = activatedUser("u1", "S1");
    EXPECT_EQ(errorCode([&] { authorizationKeyOf(user, env.storage()); }), code(SVError::Code::missingKAuth));
    EXPECT_EQ(errorCode([&] { user.authorizationKey(); }), code(SVError::Code::missingKAuth));

    StorageEnvironment::activate(user);
    EXPECT_EQ(user.authorizationKey(), sampleKAuth());
    env.storage().store(user, "n", std::string("Secret-Pass-42"));  // drops the handle
    EXPECT_EQ(authorizationKeyOf(user, env.storage()), sampleKAuth());

    // A cached handle wins without any storage access: this manager has no store.
    CoreDataManager noStore({build::kDatabaseResourceName, build::kModelResourceName});
    StorageManager unstored(noStore);
    HandlesManager::shared().add(numbered(32, 3), HandleType::auth, user);
    EXPECT_EQ(authorizationKeyOf(user, unstored), numbered(32, 3));
    HandlesManager::shared().remove(HandleType::auth, user);
    EXPECT_EQ(errorCode([&] { authorizationKeyOf(user, unstored); }), code(SVError::Code::missingKAuth));

    SecureEnclave::local().removeKeyPair("local");
    EXPECT_EQ(errorCode([&] { authorizationKeyOf(user, env.storage()); }), code(SVError::Code::secureEnclaveError));
}
