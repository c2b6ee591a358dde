#include <gtest/gtest.h>

#include <openssl/evp.h>

#include <svsdk/SVError.h>
#include <svsdk/SVUser.h>

#include "Core/Security/Cryptor.h"
#include "Core/Utilities/Encoding.h"
#include "support/SigningUser.h"
#include "support/TestEnvironment.h"
#include "support/Thrown.h"

using namespace svsdk;
using svsdk::testing::makeUser;
using svsdk::testing::numbered;
using svsdk::testing::ScopedPlatform;
using svsdk::testing::thrownCode;
using Code = SVError::Code;

namespace {

// PBKDF2-HMAC-SHA256 straight from the library, as the server derives it.
Bytes referenceKEK(const std::string& userID, const std::string& password) {
    Bytes out(32);
    EXPECT_EQ(PKCS5_PBKDF2_HMAC(password.data(), static_cast<int>(password.size()),
                                reinterpret_cast<const unsigned char*>(userID.data()), static_cast<int>(userID.size()),
                                2000, EVP_sha256(), 32, out.data()),
              1);
    return out;
}

SVUser renewed(UserKeysContent content) { return makeUser("u-7", 0, 180, 180, "storage-1", 3, std::move(content)); }

}  // namespace

TEST(KeyProtectionTest, KEKIsPBKDF2OfPasswordSaltedWithUserID) {
    EXPECT_EQ(Cryptor::generateKEK("u-7", "secret"), referenceKEK("u-7", "secret"));
    EXPECT_NE(Cryptor::generateKEK("secret", "u-7"), Cryptor::generateKEK("u-7", "secret"));
    EXPECT_EQ(Cryptor::generateKEK("", "").size(), 32u);
}

TEST(KeyProtectionTest, BlobIsCiphertextThenMACOfPlaintextAndDecryptsOnlyWithItsPassword) {
    const Bytes plaintext = numbered(32);
    Bytes blob = Cryptor::encrypt(plaintext, "u-7", "secret");
    ASSERT_EQ(blob.size(), 64u);
    const Bytes kek = referenceKEK("u-7", "secret");
    EXPECT_EQ(Bytes(blob.begin() + 32, blob.end()), Cryptor::hmac(kek, plaintext));
    EXPECT_EQ(Bytes(blob.begin(), blob.begin() + 32), Cryptor::crypt(Cryptor::Operation::encrypt, kek, plaintext));

    EXPECT_EQ(Cryptor::decrypt(blob, "u-7", "secret"), plaintext);
    EXPECT_EQ(thrownCode([&] { Cryptor::decrypt(blob, "u-7", "Secret"); }), Code::invalidPassword);
    EXPECT_EQ(thrownCode([&] { Cryptor::decrypt(blob, "u-8", "secret"); }), Code::invalidPassword);
    // A flipped bit anywhere is caught by the MAC.
    for (std::size_t at : {0, 31, 32, 63}) {
        Bytes damaged = blob;
        damaged[at] ^= 0x01;
        EXPECT_EQ(thrownCode([&] { Cryptor::decryptCombined(damaged, kek); }), Code::invalidPassword) << at;
    }
}

TEST(KeyProtectionTest, MalformedBlobsAndPlaintexts) {
    const Bytes kek = referenceKEK("u-7", "secret");
    // Shorter than a MAC, or a ciphertext that is not whole blocks.
    for (std::size_t size : {0, 31, 32 + 20})
        EXPECT_EQ(thrownCode([&] { Cryptor::decryptCombined(Bytes(size), kek); }), Code::internalError) << size;
    // 32 bytes: empty ciphertext, so only the MAC of the empty message opens it.
    EXPECT_EQ(Cryptor::decryptCombined(*Cryptor::hmac(kek, {}), kek), Bytes{});
    EXPECT_EQ(thrownCode([&] { Cryptor::decryptCombined(Bytes(32), kek); }), Code::invalidPassword);

    ScopedPlatform platform(SVLoggingOptions::debug);
    EXPECT_EQ(thrownCode([&] { Cryptor::encrypt(numbered(20), "u-7", "secret"); }), Code::internalError);
    EXPECT_TRUE(platform.log().contains(SVLogCategory::security, "Could not encrypt the data"));
}

TEST(KeyProtectionTest, KeyContentSplitsIntoKHMACThenKAuth) {
    Bytes blob = Cryptor::encrypt(numbered(64, 0), "u-7", "123456");
    UserKeys keys = Cryptor::decryptKeys(blob, "u-7", "123456");
    EXPECT_EQ(keys.kHMAC, numbered(32, 0));
    EXPECT_EQ(keys.kAuth, numbered(32, 32));

    // 33 bytes: the middle byte belongs to neither half.
    UserKeys odd = Cryptor::splitKeys(numbered(33, 0));
    EXPECT_EQ(odd.kHMAC, numbered(16, 0));
    EXPECT_EQ(odd.kAuth, numbered(16, 17));
}

TEST(KeyProtectionTest, RenewedUserIsActivatedOnlyFromEncryptedContent) {
    Bytes blob = Cryptor::encrypt(numbered(64), "u-7", "activation");
    UserKeys keys = Cryptor::activateRenewed(renewed(UserKeysContent::importedEncrypted(blob)), "activation");
    EXPECT_EQ(keys.kHMAC, numbered(32));
    EXPECT_EQ(keys.kAuth, numbered(32, 33));
    EXPECT_EQ(thrownCode([&] { Cryptor::activateRenewed(renewed(UserKeysContent::importedEncrypted(blob)), "x"); }),
              Code::invalidPassword);
    for (auto content : {UserKeysContent::importedDecrypted(numbered(32), numbered(32)),
                         UserKeysContent::storedEncrypted()})
        EXPECT_EQ(thrownCode([&] { Cryptor::activateRenewed(renewed(content), "activation"); }), Code::internalError);
}

TEST(KeyProtectionTest, SecretMaterialIsLoggedOnlyWithTheKeysOption) {
    const std::string kekText = base64Encode(referenceKEK("u-7", "pa55word"));
    const std::string plainText = hexString(numbered(32));
    // A blob with its MAC is enough to test passwords offline.
    const Bytes blob = Cryptor::encrypt(numbered(32), "u-7", "pa55word");
    const auto split = blob.end() - 32;
    const std::string secrets[] = {kekText, "pa55word", plainText, base64Encode(Bytes(blob.begin(), split)),
                                   base64Encode(Bytes(split, blob.end())), base64Encode(blob)};
    auto run = [] { Cryptor::decrypt(Cryptor::encrypt(numbered(32), "u-7", "pa55word"), "u-7", "pa55word"); };
    {
        ScopedPlatform platform(SVLoggingOptions::debug);
        run();
        for (const char* line : {"Generating KEK", "UserID: u-7", "Data size: 64", "Decrypting the combined data"})
            EXPECT_TRUE(platform.log().contains(SVLogCategory::security, line)) << line;
        for (const auto& secret : secrets) EXPECT_FALSE(platform.log().anyContains(secret)) << secret;
    }
    ScopedPlatform platform(SVLoggingOptions{SVLoggingOptions::debug, SVLoggingOptions::keys});
    run();
    for (const auto& entry : platform.log().entries())
        for (const auto& secret : secrets)
            if (entry.message.find(secret) != std::string::npos) {
                EXPECT_EQ(entry.category, SVLogCategory::keys) << entry.message;
                EXPECT_EQ(entry.type, SVLogType::info) << entry.message;
            }
    EXPECT_TRUE(platform.log().contains(SVLogCategory::keys, "KEK: " + kekText));
    EXPECT_TRUE(platform.log().contains(SVLogCategory::keys, "Password: pa55word"));
    EXPECT_TRUE(platform.log().contains(SVLogCategory::keys, "Decrypted data: " + plainText));
}
