// Digests, key protection, codes and TLV blocks, checked against values
// computed independently (published vectors, the library directly, hex).
#include <gtest/gtest.h>

#include <openssl/evp.h>

#include <cmath>
#include <limits>

#include <svsdk/SVError.h>
#include <svsdk/SVTransaction.h>

#include "Core/Diagnostics/Logger.h"
#include "Core/Security/Cryptor.h"
#include "Core/Security/TLV.h"
#include "Core/Utilities/Encoding.h"
#include "support/ScopedClock.h"
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

std::string hex(const std::optional<Bytes>& bytes) { return bytes ? hexString(*bytes) : "<absent>"; }

// PBKDF2-HMAC-SHA256 straight from the library, as the server derives it.
Bytes referenceKEK(const std::string& userID, const std::string& password) {
    Bytes out(32);
    EXPECT_EQ(PKCS5_PBKDF2_HMAC(password.data(), static_cast<int>(password.size()),
                                reinterpret_cast<const unsigned char*>(userID.data()), static_cast<int>(userID.size()),
                                2000, EVP_sha256(), 32, out.data()),
              1);
    return out;
}

SVTransaction transaction(std::optional<std::string> text, std::optional<Bytes> data) {
    return SVTransaction("tx-1", "u-1", "system-1", 6, false, SVConfirmationType::offline, std::move(text),
                         std::move(data));
}

// Splits a block into its (tag, value) items; a malformed rest becomes an item of tag -1.
std::vector<std::pair<int, Bytes>> items(const Bytes& block) {
    std::vector<std::pair<int, Bytes>> out;
    for (std::size_t i = 0, n = 0; i < block.size(); i += 5 + n) {
        n = i + 5 > block.size() ? block.size()
                                 : (std::size_t(block[i + 1]) << 24) | (std::size_t(block[i + 2]) << 16) |
                                       (std::size_t(block[i + 3]) << 8) | block[i + 4];
        if (i + 5 + n > block.size()) return out.emplace_back(-1, Bytes{}), out;
        out.emplace_back(block[i], Bytes(block.begin() + i + 5, block.begin() + i + 5 + n));
    }
    return out;
}

std::vector<int> tags(const Bytes& block) {
    std::vector<int> out;
    for (auto& item : items(block)) out.push_back(item.first);
    return out;
}

}  // namespace

TEST(CryptorTest, DigestsAndAesMatchThePublishedVectors) {
    const struct {
        Bytes key, data;
        const char* mac;
    } macs[] = {
        {bytesOf("Jefe"), bytesOf("what do ya want for nothing?"),
         "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843"},
        // Keys longer than a block are hashed first.
        {Bytes(131, 0xaa), bytesOf("Test Using Larger Than Block-Size Key - Hash Key First"),
         "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54"},
        {Bytes{}, Bytes{}, "b613679a0814d9ec772f95d778c35fc5ff1697c493715653c6c712144292c5ad"},
    };
    for (const auto& c : macs) EXPECT_EQ(hex(Cryptor::hmac(c.key, c.data)), c.mac) << c.key.size();
    EXPECT_EQ(hex(Cryptor::pbkdf2(bytesOf("passwd"), bytesOf("salt"), 1, 64)),
              "55ac046e56e3089fec1691c22544b605f94185216dde0465e68b9d57c20dacbc"
              "49ca9cccf179b645991664b39d77ef317c71b845b1e30bd509112041d3a19783");
    EXPECT_EQ(hexString(Cryptor::sha256(bytesOf("abc"))),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");

    // AES without padding, each block enciphered alone.
    const Bytes plain = bytesFromHex("00112233445566778899aabbccddeeff").value();
    Bytes twice = plain;
    twice.insert(twice.end(), plain.begin(), plain.end());
    for (auto [size, cipher] : {std::pair<std::size_t, std::string>{16, "69c4e0d86a7b0430d8cdb78070b4c55a"},
                                {24, "dda97ca4864cdfe06eaf70a0ec0d7191"},
                                {32, "8ea2b7ca516745bfeafc49904b496089"}}) {
        auto encrypted = Cryptor::crypt(Cryptor::Operation::encrypt, numbered(size, 0), twice);
        EXPECT_EQ(hex(encrypted), cipher + cipher) << size;
        EXPECT_EQ(Cryptor::crypt(Cryptor::Operation::decrypt, numbered(size, 0), encrypted.value_or(Bytes{})), twice);
    }
    EXPECT_EQ(hex(Cryptor::crypt(Cryptor::Operation::encrypt, numbered(32), Bytes{})), "");
    for (auto operation : {Cryptor::Operation::encrypt, Cryptor::Operation::decrypt}) {
        EXPECT_FALSE(Cryptor::crypt(operation, numbered(32), numbered(20))) << "a partial block";
        for (const Bytes& badKey : {numbered(31), Bytes{}, numbered(8), numbered(33)})
            EXPECT_FALSE(Cryptor::crypt(operation, badKey, numbered(32))) << badKey.size();
    }
}

TEST(KeyProtectionTest, BlobIsCiphertextThenMACUnderAKEKDerivedFromPasswordAndUserID) {
    const Bytes plaintext = numbered(32);
    const Bytes kek = referenceKEK("u-7", "secret");
    EXPECT_EQ(Cryptor::generateKEK("u-7", "secret"), kek);
    Bytes blob = Cryptor::encrypt(plaintext, "u-7", "secret");
    ASSERT_EQ(blob.size(), 64u);
    EXPECT_EQ(Bytes(blob.begin(), blob.begin() + 32), Cryptor::crypt(Cryptor::Operation::encrypt, kek, plaintext));
    EXPECT_EQ(Bytes(blob.begin() + 32, blob.end()), Cryptor::hmac(kek, plaintext));
    EXPECT_EQ(Cryptor::decrypt(blob, "u-7", "secret"), plaintext);
    EXPECT_EQ(thrownCode([&] { Cryptor::decrypt(blob, "u-7", "Secret"); }), Code::invalidPassword);
    EXPECT_EQ(thrownCode([&] { Cryptor::decrypt(blob, "u-8", "secret"); }), Code::invalidPassword);
    for (std::size_t at : {0, 31, 32, 63}) {  // a flipped bit anywhere is caught by the MAC
        Bytes damaged = blob;
        damaged[at] ^= 0x01;
        EXPECT_EQ(thrownCode([&] { Cryptor::decryptCombined(damaged, kek); }), Code::invalidPassword) << at;
    }
    // Shorter than a MAC, or a ciphertext that is not whole blocks.
    for (std::size_t size : {0, 31, 32 + 20})
        EXPECT_EQ(thrownCode([&] { Cryptor::decryptCombined(Bytes(size), kek); }), Code::internalError) << size;
    EXPECT_EQ(Cryptor::decryptCombined(*Cryptor::hmac(kek, {}), kek), Bytes{});
    EXPECT_EQ(thrownCode([&] { Cryptor::decryptCombined(Bytes(32), kek); }), Code::invalidPassword);

    ScopedPlatform platform(SVLoggingOptions::debug);
    EXPECT_EQ(thrownCode([&] { Cryptor::encrypt(numbered(20), "u-7", "secret"); }), Code::internalError);
    EXPECT_TRUE(platform.log().contains(SVLogCategory::security, "Could not encrypt the data"));
}

TEST(KeyProtectionTest, KeyContentSplitsIntoKHMACThenKAuthAndRenewedUsersNeedEncryptedContent) {
    UserKeys keys = Cryptor::decryptKeys(Cryptor::encrypt(numbered(64, 0), "u-7", "123456"), "u-7", "123456");
    EXPECT_EQ(keys.kHMAC, numbered(32, 0));
    EXPECT_EQ(keys.kAuth, numbered(32, 32));
    UserKeys odd = Cryptor::splitKeys(numbered(33, 0));  // the middle byte belongs to neither half
    EXPECT_EQ(odd.kHMAC, numbered(16, 0));
    EXPECT_EQ(odd.kAuth, numbered(16, 17));

    auto renewed = [](UserKeysContent c) { return makeUser("u-7", 0, 180, 180, "storage-1", 3, std::move(c)); };
    Bytes blob = Cryptor::encrypt(numbered(64), "u-7", "activation");
    EXPECT_EQ(Cryptor::activateRenewed(renewed(UserKeysContent::importedEncrypted(blob)), "activation").kAuth,
              numbered(32, 33));
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
    for (bool keys : {false, true}) {
        ScopedPlatform platform(keys ? SVLoggingOptions{SVLoggingOptions::debug, SVLoggingOptions::keys}
                                     : SVLoggingOptions::debug);
        Cryptor::decrypt(Cryptor::encrypt(numbered(32), "u-7", "pa55word"), "u-7", "pa55word");
        for (const char* line : {"Generating KEK", "UserID: u-7", "Data size: 64", "Decrypting the combined data"})
            EXPECT_TRUE(platform.log().contains(SVLogCategory::security, line)) << line;
        for (const auto& entry : platform.log().entries())
            for (const auto& secret : secrets)
                EXPECT_TRUE(entry.message.find(secret) == std::string::npos ||
                            (keys && entry.category == SVLogCategory::keys && entry.type == SVLogType::info))
                    << entry.message;
        for (const std::string& line : {"KEK: " + kekText, "Password: " + std::string("pa55word"),
                                        "Decrypted data: " + plainText})
            EXPECT_EQ(platform.log().contains(SVLogCategory::keys, line), keys) << line;
    }
}

TEST(ShortCodeTest, FoldsTheCodeIntoDigitsOrGivesNothingOrTheFullCode) {
    const Bytes code = numbered(32);  // 01 02 ... 20
    Bytes tail = code, zeros(32, 0), small(32, 0);
    tail[30] ^= 0xFF, tail[31] ^= 0xFF;
    zeros[17] = 0x07, small[31] = 0x2A;
    const struct {
        Bytes code;
        std::int64_t n;
        std::optional<std::string> digits;
    } cases[] = {
        // n = 6 to 8: four chunks of 8 bytes fold to 08 18 08 38 = 135792696.
        {code, 6, "792696"}, {code, 7, "5792696"}, {code, 8, "35792696"},
        // n = 9, 10: six chunks of 5 bytes (the last two unused) fold to 01 0A 0B 14 15 1E.
        {code, 9, "647166238"}, {code, 10, "2647166238"}, {tail, 10, "2647166238"},
        {numbered(32, 0), 6, "0"},  // every chunk folds to zero: one digit, no padding
        {small, 8, "42"}, {Bytes{0x0F, 0xF0}, 2, "55"},
        {Bytes{}, 6, std::nullopt}, {numbered(3), 6, std::nullopt}, {code, 0, std::nullopt}, {code, -4, std::nullopt},
        // 27 digits ask for 18 one-byte chunks: more than 64 bits unless the leading ones are zero.
        {code, 27, std::nullopt}, {zeros, 27, "7"},
    };
    for (const auto& c : cases) EXPECT_EQ(Cryptor::shortCode(c.code, c.n), c.digits) << c.n;

    // The length asked for chooses digits, the full code or nothing.
    const std::string hex = hexString(code);
    for (std::int64_t n : {6, 7, 8, 9, 10})
        EXPECT_EQ(Cryptor::shortCodeForLength(code, hex, n), Cryptor::shortCode(code, n).value()) << n;
    for (std::int64_t n : {1, 4, 5, 11, 12, 40, 63}) EXPECT_EQ(Cryptor::shortCodeForLength(code, hex, n), hex) << n;
    for (std::int64_t n : {-6L, 0L, 64L, std::numeric_limits<std::int64_t>::max()})
        EXPECT_EQ(Cryptor::shortCodeForLength(code, hex, n), "") << n;
    EXPECT_EQ(Cryptor::shortCodeForLength(Bytes{}, "", 6), "") << "a code that gives no short code";
}

TEST(CodesTest, CodesAreHMACOfTheBlockAndRegistrationCodesFollowTheAuthorizationTimeStep) {
    ScopedPlatform platform(SVLoggingOptions::debug);
    const Bytes block = TLV::userID("u-1"), key = numbered(32, 0xA0);
    for (int keys : {0, 1}) {  // the keys themselves only with the keys option
        if (keys) Logger::setOptions(SVLoggingOptions{SVLoggingOptions::debug, SVLoggingOptions::keys});
        EXPECT_EQ(Cryptor::confirmationCode(block, key), Cryptor::hmac(key, block));
        EXPECT_EQ(Cryptor::authenticationCode(block, key), Cryptor::hmac(key, block));
        EXPECT_TRUE(platform.log().contains(SVLogCategory::data, "Full TLV: " + hexString(block)));
        EXPECT_TRUE(platform.log().contains(SVLogCategory::data,
                                            "Confirmation Code: " + hexString(*Cryptor::hmac(key, block))));
        EXPECT_EQ(platform.log().contains(SVLogCategory::keys, "HMAC Key " + hexString(key)) +
                      platform.log().contains(SVLogCategory::keys, "Authorization Key: " + hexString(key)),
                  2 * keys);
        EXPECT_EQ(platform.log().anyContains(hexString(key)), keys);
    }
    Logger::setOptions(SVLoggingOptions::debug);
    svsdk::testing::ScopedClock clock(1'700'000'000.0, 5000);  // 1'700'000'000 / 60 = 28'333'333.33
    const SVUser user = makeUser("u-1", 0, 180, 60);
    const Bytes kAuth = numbered(32, 0x40);
    // 22 (systemID), 18 (userID), the registered item, 20 (the step), as the server builds it.
    auto expectedCode = [&](const char* tagHex, std::string_view value) {
        return Cryptor::hmac(kAuth, bytesFromHex("1600000008" + hexString(bytesOf("system-1")) + "1200000003" +
                                                 hexString(bytesOf("u-1")) + tagHex + "00000004" +
                                                 hexString(bytesOf(std::string(value))) + "140000000401b05515")
                                        .value_or(Bytes{}));
    };
    Bytes fingerprintCode = Cryptor::authenticationCodeForFingerprint("fp-1", user, kAuth);
    EXPECT_EQ(fingerprintCode, expectedCode("13", "fp-1"));
    EXPECT_EQ(Cryptor::authenticationCodeForPublicKey("3059", user, kAuth), expectedCode("21", "3059"));
    for (const char* label : {"TLV SystemID", "TLV UserID", "TLV Fingerprint", "TLV Public Key"})
        EXPECT_TRUE(platform.log().contains(SVLogCategory::data, label)) << label;

    clock.advance(39);  // 28'333'333.98: same step
    EXPECT_EQ(Cryptor::authenticationCodeForFingerprint("fp-1", user, kAuth), fingerprintCode);
    clock.advance(2);  // next step
    EXPECT_NE(Cryptor::authenticationCodeForFingerprint("fp-1", user, kAuth), fingerprintCode);
    // A step that gives no valid time fails instead of encoding garbage.
    for (double step : {0.0, -60.0, std::numeric_limits<double>::quiet_NaN()})
        EXPECT_EQ(thrownCode([&] {
                      Cryptor::authenticationCodeForFingerprint("fp-1", makeUser("u-1", 0, 180, step), kAuth);
                  }),
                  Code::internalError)
            << step;
}

TEST(TLVTest, ItemsAreTagBigEndianLengthAndValue) {
    ScopedPlatform platform(SVLoggingOptions::debug);
    EXPECT_EQ(hexString(TLV::make(TLV::Tag::deviceType, std::string_view("iOS"))), "1700000003694f53");
    EXPECT_TRUE(platform.log().contains(SVLogCategory::data, "TLV Data 1700000003694f53"));
    EXPECT_EQ(hexString(TLV::make(0x21, Bytes{})), "2100000000");
    Bytes item = TLV::make(TLV::Tag::transaction, Bytes(0x010203, 0xAB));
    ASSERT_EQ(item.size(), 5u + 0x010203);
    EXPECT_EQ(hexString(Bytes(item.begin(), item.begin() + 5)), "1100010203");
    EXPECT_EQ(TLV::lengthField(0xFFFFFFFFu), 0xFFFFFFFFu);
    // A value over 2^32 - 1 bytes must not wrap its length.
    EXPECT_EQ(thrownCode([] { TLV::lengthField(std::size_t{1} << 32); }), Code::internalError);

    // Times are truncated to their shortest big-endian form.
    for (auto [time, expected] : std::vector<std::pair<double, std::string>>{
             {65536.7, "1400000003010000"}, {256.0, "14000000020100"}, {255.9, "1400000001ff"},
             {0.5, "14000000080000000000000000"}, {0.0, "14000000080000000000000000"},
             {1'700'000'062.5 / 180, "1400000003901c5c"},
             {std::nextafter(18446744073709551616.0, 0.0), "1400000008fffffffffffff800"}})
        EXPECT_EQ(hexString(TLV::timeInterval(time)), expected) << time;
    // A zero, negative or non-finite step gives times outside 64 bits; refused, not converted.
    for (double time : {std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity(),
                        std::numeric_limits<double>::quiet_NaN(), -0.5, 18446744073709551616.0, 1e300})
        EXPECT_EQ(thrownCode([&] { TLV::timeInterval(time); }), Code::internalError) << time;
}

TEST(TLVTest, TransactionValueIsTextDataAndDeclineReason) {
    ScopedPlatform platform(SVLoggingOptions::debug);
    EXPECT_EQ(hexString(TLV::transaction(transaction(std::nullopt, std::nullopt), std::nullopt)), "1100000000");
    EXPECT_TRUE(platform.log().contains(SVLogCategory::data, "TLV For Transaction tx-1 with no decline reason"));
    const std::string reason = hexString(bytesOf("not authorized"));
    EXPECT_EQ(hexString(TLV::transaction(transaction("ok", Bytes{0x01, 0x02, 0x03}), std::string("not authorized"))),
              "1100000013" + hexString(bytesOf("ok")) + "010203" + reason);
    EXPECT_TRUE(platform.log().contains(SVLogCategory::data, "TLV For Transaction tx-1 with not authorized"));
    EXPECT_EQ(hexString(TLV::transaction(transaction(std::nullopt, std::nullopt), std::string("not authorized"))),
              "110000000e" + reason);
}

TEST(TLVTest, ConfirmationRegistrationAndStatusBlocks) {
    ScopedPlatform platform(SVLoggingOptions::debug);
    svsdk::testing::ScopedSigningUser host(makeUser("u-1"));  // a host, for the fingerprint
    const auto tx = transaction("pay 10", std::nullopt);
    // The fingerprint only when the user asks for it.
    EXPECT_EQ(tags(TLV::transactionConfirmation(tx, makeUser("u-1", 0), std::nullopt, 9444444.79)),
              (std::vector<int>{17, 18, 20}));
    auto parts = items(TLV::transactionConfirmation(tx, makeUser("u-1", 1 | 2 | 1024), std::nullopt, 9444444.79));
    ASSERT_EQ(parts.size(), 4u);
    EXPECT_EQ(stringOf(parts[0].second) + "|" + stringOf(parts[1].second) + "|" + stringOf(parts[2].second) + "|" +
                  hexString(parts[3].second),
              "pay 10|u-1|" + Keychain::deviceFingerprint() + "|901c5c");
    EXPECT_EQ(parts[2].second.size(), 64u);
    auto data = items(TLV::dataConfirmation(Bytes{0x00, 0xff}, makeUser("u-1", 1), 5.0));
    ASSERT_EQ(data.size(), 4u);
    EXPECT_EQ(hexString(data[0].second) + std::to_string(data[2].first), "00ff19");

    const SVUser user = makeUser("u-1");
    EXPECT_EQ(hexString(TLV::deviceTokenRegistration(user, "token-9", 256.0)),
              "1600000008" + hexString(bytesOf("system-1")) + "1200000003" + hexString(bytesOf("u-1")) +
                  "1700000003694f53" + "1800000007" + hexString(bytesOf("token-9")) + "14000000020100");
    EXPECT_TRUE(platform.log().contains(SVLogCategory::data, "TLV Device Token"));

    // Each status trimmed of surrounding blanks; inner blanks stay.
    Bytes status = TLV::transactionStatus(user, {"  done \n", "\tpending\u2028", " a b ", " \r\n "}, 1.0);
    EXPECT_EQ(tags(status), (std::vector<int>{18, 25, 25, 25, 25, 20}));
    std::string texts;
    for (auto& [tag, value] : items(status)) texts += tag == 25 ? stringOf(value) + "|" : "";
    EXPECT_EQ(texts, "done|pending|a b||");
    EXPECT_TRUE(platform.log().contains(SVLogCategory::data, "TLV For Transaction Status: done"));
    EXPECT_EQ(tags(TLV::transactionStatus(user, {}, 1.0)), (std::vector<int>{18, 20}));
}
