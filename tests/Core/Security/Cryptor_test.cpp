#include <gtest/gtest.h>

#include <string>

#include "Core/Security/Cryptor.h"
#include "Core/Utilities/Encoding.h"

using namespace svsdk;

namespace {

Bytes hex(std::string_view text) { return bytesFromHex(text).value(); }
Bytes repeated(std::uint8_t byte, std::size_t count) { return Bytes(count, byte); }
Bytes counting(std::uint8_t first, std::size_t count) {
    Bytes bytes(count);
    for (std::size_t i = 0; i < count; ++i) bytes[i] = static_cast<std::uint8_t>(first + i);
    return bytes;
}

std::string hmacHex(const Bytes& key, const Bytes& data) {
    auto mac = Cryptor::hmac(key, data);
    return mac ? hexString(*mac) : "<absent>";
}

}  // namespace

TEST(CryptorTest, HmacSha256MatchesThePublishedVectors) {
    EXPECT_EQ(hmacHex(repeated(0x0b, 20), bytesOf("Hi There")),
              "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7");
    EXPECT_EQ(hmacHex(bytesOf("Jefe"), bytesOf("what do ya want for nothing?")),
              "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843");
    EXPECT_EQ(hmacHex(repeated(0xaa, 20), repeated(0xdd, 50)),
              "773ea91e36800e46854db8ebd09181a72959098b3ef8c122d9635514ced565fe");
    EXPECT_EQ(hmacHex(counting(0x01, 25), repeated(0xcd, 50)),
              "82558a389a443c0ea4cc819899f2083a85f0faa3e578f8077a2e3ff46729665b");
    // Keys longer than a block are hashed first.
    EXPECT_EQ(hmacHex(repeated(0xaa, 131), bytesOf("Test Using Larger Than Block-Size Key - Hash Key First")),
              "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54");
    EXPECT_EQ(hmacHex(repeated(0xaa, 131),
                      bytesOf("This is a test using a larger than block-size key and a larger than block-size data. "
                              "The key needs to be hashed before being used by the HMAC algorithm.")),
              "9b09ffa71b942fcb27635fbcd5b0e944bfdc63644f0713938a7f51535c3a35e2");
    EXPECT_EQ(hmacHex(Bytes{}, Bytes{}), "b613679a0814d9ec772f95d778c35fc5ff1697c493715653c6c712144292c5ad");
}

TEST(CryptorTest, Pbkdf2MatchesThePublishedVectors) {
    auto one = Cryptor::pbkdf2(bytesOf("passwd"), bytesOf("salt"), 1, 64);
    ASSERT_TRUE(one);
    EXPECT_EQ(hexString(*one),
              "55ac046e56e3089fec1691c22544b605f94185216dde0465e68b9d57c20dacbc"
              "49ca9cccf179b645991664b39d77ef317c71b845b1e30bd509112041d3a19783");
    auto many = Cryptor::pbkdf2(bytesOf("Password"), bytesOf("NaCl"), 80000, 64);
    ASSERT_TRUE(many);
    EXPECT_EQ(hexString(*many),
              "4ddcd8f60b98be21830cee5ef22701f9641a4418d04c0414aeff08876b34ab56"
              "a1d425a1225833549adb841b51c9b3176a272bdebba1d078478f62b397f33c8d");
}

TEST(CryptorTest, Pbkdf2IsDeterministicAndTellsPasswordFromSalt) {
    Bytes password = bytesOf("correct horse");
    Bytes salt = bytesOf("battery staple");
    auto first = Cryptor::pbkdf2(password, salt, 1000, 32);
    ASSERT_TRUE(first);
    EXPECT_EQ(first->size(), 32u);
    EXPECT_EQ(first, Cryptor::pbkdf2(password, salt, 1000, 32));
    EXPECT_NE(first, Cryptor::pbkdf2(salt, password, 1000, 32));
    // A shorter length gives the prefix of the longer one.
    auto shorter = Cryptor::pbkdf2(password, salt, 1000, 20);
    ASSERT_TRUE(shorter);
    EXPECT_EQ(*shorter, Bytes(first->begin(), first->begin() + 20));
}

TEST(CryptorTest, AesEcbMatchesThePublishedBlocks) {
    Bytes plain = hex("00112233445566778899aabbccddeeff");
    struct Case {
        Bytes key;
        std::string cipher;
    } cases[] = {
        {counting(0x00, 16), "69c4e0d86a7b0430d8cdb78070b4c55a"},
        {counting(0x00, 24), "dda97ca4864cdfe06eaf70a0ec0d7191"},
        {counting(0x00, 32), "8ea2b7ca516745bfeafc49904b496089"},
    };
    for (const auto& c : cases) {
        auto encrypted = Cryptor::crypt(Cryptor::Operation::encrypt, c.key, plain);
        ASSERT_TRUE(encrypted) << c.key.size();
        EXPECT_EQ(hexString(*encrypted), c.cipher) << c.key.size();
        auto decrypted = Cryptor::crypt(Cryptor::Operation::decrypt, c.key, *encrypted);
        ASSERT_TRUE(decrypted) << c.key.size();
        EXPECT_EQ(*decrypted, plain) << c.key.size();
    }
    // Each block is enciphered alone: two equal blocks give two equal blocks.
    Bytes twice = plain;
    twice.insert(twice.end(), plain.begin(), plain.end());
    auto encrypted = Cryptor::crypt(Cryptor::Operation::encrypt, counting(0x00, 32), twice);
    ASSERT_TRUE(encrypted);
    EXPECT_EQ(hexString(*encrypted), "8ea2b7ca516745bfeafc49904b496089" "8ea2b7ca516745bfeafc49904b496089");
}

TEST(CryptorTest, AesEcbAddsNoPaddingAndRefusesPartialBlocksAndBadKeys) {
    Bytes key = counting(0x40, 32);
    Bytes data = counting(0x80, 32);
    auto encrypted = Cryptor::crypt(Cryptor::Operation::encrypt, key, data);
    ASSERT_TRUE(encrypted);
    EXPECT_EQ(encrypted->size(), 32u);
    EXPECT_NE(*encrypted, data);
    EXPECT_EQ(Cryptor::crypt(Cryptor::Operation::decrypt, key, *encrypted), data);

    EXPECT_FALSE(Cryptor::crypt(Cryptor::Operation::encrypt, key, counting(0, 20)));
    EXPECT_FALSE(Cryptor::crypt(Cryptor::Operation::decrypt, key, counting(0, 20)));
    for (const Bytes& badKey : {counting(0, 31), Bytes{}, counting(0, 8), counting(0, 33)}) {
        EXPECT_FALSE(Cryptor::crypt(Cryptor::Operation::encrypt, badKey, data)) << badKey.size();
        EXPECT_FALSE(Cryptor::crypt(Cryptor::Operation::decrypt, badKey, data)) << badKey.size();
    }

    auto empty = Cryptor::crypt(Cryptor::Operation::encrypt, key, Bytes{});
    ASSERT_TRUE(empty);
    EXPECT_TRUE(empty->empty());
}

TEST(CryptorTest, Sha256MatchesThePublishedDigests) {
    EXPECT_EQ(hexString(Cryptor::sha256(Bytes{})),
              "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(hexString(Cryptor::sha256(bytesOf("abc"))),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}
