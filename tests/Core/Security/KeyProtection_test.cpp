#include <gtest/gtest.h>

#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <svsdk/SVError.h>
#include <svsdk/SVUser.h>

#include "Core/Security/Cryptor.h"
#include "Core/Utilities/Encoding.h"
#include "support/SigningUser.h"
#include "support/TestEnvironment.h"

using namespace svsdk;
using svsdk::testing::numbered;
using svsdk::testing::ScopedPlatform;

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

Bytes referenceHMAC(const Bytes& key, const Bytes& data) {
    Bytes out(32);
    unsigned int length = 0;
    HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()), data.data(), data.size(), out.data(), &length);
    return out;
}

template <class F>
SVError::Code errorOf(F&& f) {
    try {
        f();
    } catch (const SVError& e) {
        return e.code();
    }
    ADD_FAILURE() << "nothing was thrown";
    return SVError::Code::secureEnclaveError;
}

SVUser userWith(UserKeysContent content) {
    return SVUser("u-7", "system-1", SVUserOptions{}, "https://signing.example.org", std::nullopt, std::nullopt,
                  std::nullopt, std::nullopt, {}, 180, 180, "storage-1", 3, std::move(content), 0);
}

}  // namespace

TEST(KeyProtectionTest, KEKIsPBKDF2OfPasswordSaltedWithUserID) {
    EXPECT_EQ(Cryptor::generateKEK("u-7", "secret"), referenceKEK("u-7", "secret"));
    EXPECT_EQ(Cryptor::generateKEK("u-7", "secret"), Cryptor::generateKEK("u-7", "secret"));
    EXPECT_NE(Cryptor::generateKEK("secret", "u-7"), Cryptor::generateKEK("u-7", "secret"));
    EXPECT_EQ(Cryptor::generateKEK("", "").size(), 32u);
}

TEST(KeyProtectionTest, BlobIsCiphertextThenMACOfPlaintextAndDecryptsOnlyWithItsPassword) {
    const Bytes plaintext = numbered(32);
    Bytes blob = Cryptor::encrypt(plaintext, "u-7", "secret");
    ASSERT_EQ(blob.size(), 64u);
    const Bytes kek = referenceKEK("u-7", "secret");
    EXPECT_EQ(Bytes(blob.begin() + 32, blob.end()), referenceHMAC(kek, plaintext));
    EXPECT_EQ(Bytes(blob.begin(), blob.begin() + 32), Cryptor::crypt(Cryptor::Operation::encrypt, kek, plaintext));

    EXPECT_EQ(Cryptor::decrypt(blob, "u-7", "secret"), plaintext);
    EXPECT_EQ(Cryptor::decryptCombined(blob, kek), plaintext);
    EXPECT_EQ(errorOf([&] { Cryptor::decrypt(blob, "u-7", "Secret"); }), SVError::Code::invalidPassword);
    EXPECT_EQ(errorOf([&] { Cryptor::decrypt(blob, "u-8", "secret"); }), SVError::Code::invalidPassword);

    // A flipped bit anywhere is caught by the MAC.
    for (std::size_t at : {std::size_t{0}, std::size_t{31}, std::size_t{32}, std::size_t{63}}) {
        Bytes damaged = blob;
        damaged[at] ^= 0x01;
        EXPECT_EQ(errorOf([&] { Cryptor::decrypt(damaged, "u-7", "secret"); }), SVError::Code::invalidPassword) << at;
    }
}

TEST(KeyProtectionTest, MalformedBlobsAndPlaintexts) {
    const Bytes kek = referenceKEK("u-7", "secret");
    EXPECT_EQ(errorOf([&] { Cryptor::decryptCombined(Bytes(31), kek); }), SVError::Code::internalError);
    EXPECT_EQ(errorOf([&] { Cryptor::decryptCombined(Bytes(), kek); }), SVError::Code::internalError);
    // A ciphertext that is not whole blocks is refused by the cipher.
    EXPECT_EQ(errorOf([&] { Cryptor::decryptCombined(Bytes(32 + 20), kek); }), SVError::Code::internalError);
    // 32 bytes: empty ciphertext, so only the MAC of the empty message opens it.
    EXPECT_EQ(Cryptor::decryptCombined(referenceHMAC(kek, {}), kek), Bytes{});
    EXPECT_EQ(errorOf([&] { Cryptor::decryptCombined(Bytes(32), kek); }), SVError::Code::invalidPassword);

    ScopedPlatform platform(SVLoggingOptions::debug);
    EXPECT_EQ(errorOf([&] { Cryptor::encrypt(numbered(20), "u-7", "secret"); }), SVError::Code::internalError);
    EXPECT_TRUE(platform.log().contains(SVLogCategory::security, "Could not encrypt the data"));
}

TEST(KeyProtectionTest, KeyContentSplitsIntoKHMACThenKAuth) {
    Bytes blob = Cryptor::encrypt(numbered(64, 0), "u-7", "123456");
    UserKeys keys = Cryptor::decryptKeys(blob, "u-7", "123456");
    EXPECT_EQ(keys.kHMAC, numbered(32, 0));
    EXPECT_EQ(keys.kAuth, numbered(32, 32));
    EXPECT_EQ(errorOf([&] { Cryptor::decryptKeys(blob, "u-7", "654321"); }), SVError::Code::invalidPassword);

    // 33 bytes: the middle byte belongs to neither half.
    UserKeys odd = Cryptor::splitKeys(numbered(33, 0));
    EXPECT_EQ(odd.kHMAC, numbered(16, 0));
    EXPECT_EQ(odd.kAuth, numbered(16, 17));
    UserKeys one = Cryptor::splitKeys(Bytes{0x42});
    EXPECT_TRUE(one.kHMAC.empty());
    EXPECT_TRUE(one.kAuth.empty());
}

TEST(KeyProtectionTest, RenewedUserIsActivatedOnlyFromEncryptedContent) {
    Bytes blob = Cryptor::encrypt(numbered(64), "u-7", "activation");
    UserKeys keys = Cryptor::activateRenewed(userWith(UserKeysContent::importedEncrypted(blob)), "activation");
    EXPECT_EQ(keys.kHMAC, numbered(32));
    EXPECT_EQ(keys.kAuth, numbered(32, 33));
    EXPECT_EQ(errorOf([&] {
                  Cryptor::activateRenewed(userWith(UserKeysContent::importedEncrypted(blob)), "wrong");
              }),
              SVError::Code::invalidPassword);
    EXPECT_EQ(errorOf([&] {
                  Cryptor::activateRenewed(userWith(UserKeysContent::importedDecrypted(numbered(32), numbered(32))),
                                           "activation");
              }),
              SVError::Code::internalError);
    EXPECT_EQ(errorOf([&] { Cryptor::activateRenewed(userWith(UserKeysContent::storedEncrypted()), "activation"); }),
              SVError::Code::internalError);
}

TEST(KeyProtectionTest, SecretMaterialIsLoggedOnlyWithTheKeysOption) {
    const Bytes kek = referenceKEK("u-7", "pa55word");
    const std::string kekText = base64Encode(kek);
    const std::string plainText = hexString(numbered(32));
    auto run = [&] {
        Bytes blob = Cryptor::encrypt(numbered(32), "u-7", "pa55word");
        Cryptor::decrypt(blob, "u-7", "pa55word");
    };
    {
        ScopedPlatform platform(SVLoggingOptions::debug);
        run();
        EXPECT_TRUE(platform.log().contains(SVLogCategory::security, "Generating KEK"));
        EXPECT_TRUE(platform.log().contains(SVLogCategory::security, "UserID: u-7"));
        EXPECT_FALSE(platform.log().anyContains(kekText));
        EXPECT_FALSE(platform.log().anyContains("pa55word"));
        EXPECT_FALSE(platform.log().anyContains(plainText));
    }
    {
        ScopedPlatform platform(SVLoggingOptions{SVLoggingOptions::debug, SVLoggingOptions::keys});
        run();
        for (const auto& entry : platform.log().entries()) {
            bool secret = entry.message.find(kekText) != std::string::npos ||
                          entry.message.find("pa55word") != std::string::npos ||
                          entry.message.find(plainText) != std::string::npos;
            if (secret) {
                EXPECT_EQ(entry.category, SVLogCategory::keys) << entry.message;
                EXPECT_EQ(entry.type, SVLogType::info) << entry.message;
            }
        }
        EXPECT_TRUE(platform.log().contains(SVLogCategory::keys, "KEK: " + kekText));
        EXPECT_TRUE(platform.log().contains(SVLogCategory::keys, "Password: pa55word"));
        EXPECT_TRUE(platform.log().contains(SVLogCategory::keys, "Decrypted data: " + plainText));
    }
}
