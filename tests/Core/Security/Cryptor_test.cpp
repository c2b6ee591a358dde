#include <gtest/gtest.h>

#include <string>

#include "Core/Security/Cryptor.h"
#include "Core/Utilities/Encoding.h"
#include "support/SigningUser.h"

using namespace svsdk;
using svsdk::testing::numbered;

namespace {

std::string hex(const std::optional<Bytes>& bytes) { return bytes ? hexString(*bytes) : "<absent>"; }

}  // namespace

TEST(CryptorTest, HmacSha256MatchesThePublishedVectors) {
    const struct {
        Bytes key;
        Bytes data;
        const char* mac;
    } cases[] = {
        {Bytes(20, 0x0b), bytesOf("Hi There"), "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7"},
        {bytesOf("Jefe"), bytesOf("what do ya want for nothing?"),
         "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843"},
        {numbered(25), Bytes(50, 0xcd), "82558a389a443c0ea4cc819899f2083a85f0faa3e578f8077a2e3ff46729665b"},
        // Keys longer than a block are hashed first.
        {Bytes(131, 0xaa), bytesOf("Test Using Larger Than Block-Size Key - Hash Key First"),
         "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54"},
        {Bytes{}, Bytes{}, "b613679a0814d9ec772f95d778c35fc5ff1697c493715653c6c712144292c5ad"},
    };
    for (const auto& c : cases) EXPECT_EQ(hex(Cryptor::hmac(c.key, c.data)), c.mac) << c.key.size();
}

TEST(CryptorTest, Pbkdf2AndSha256MatchThePublishedVectors) {
    EXPECT_EQ(hex(Cryptor::pbkdf2(bytesOf("passwd"), bytesOf("salt"), 1, 64)),
              "55ac046e56e3089fec1691c22544b605f94185216dde0465e68b9d57c20dacbc"
              "49ca9cccf179b645991664b39d77ef317c71b845b1e30bd509112041d3a19783");
    EXPECT_EQ(hexString(Cryptor::sha256(Bytes{})), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(hexString(Cryptor::sha256(bytesOf("abc"))),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

TEST(CryptorTest, AesEcbMatchesThePublishedBlocksWithoutPadding) {
    const Bytes plain = bytesFromHex("00112233445566778899aabbccddeeff").value();
    const struct {
        Bytes key;
        const char* cipher;
    } cases[] = {
        {numbered(16, 0), "69c4e0d86a7b0430d8cdb78070b4c55a"},
        {numbered(24, 0), "dda97ca4864cdfe06eaf70a0ec0d7191"},
        {numbered(32, 0), "8ea2b7ca516745bfeafc49904b496089"},
    };
    for (const auto& c : cases) {
        // Each block is enciphered alone and no padding block is added.
        Bytes twice = plain;
        twice.insert(twice.end(), plain.begin(), plain.end());
        auto encrypted = Cryptor::crypt(Cryptor::Operation::encrypt, c.key, twice);
        EXPECT_EQ(hex(encrypted), std::string(c.cipher) + c.cipher) << c.key.size();
        EXPECT_EQ(Cryptor::crypt(Cryptor::Operation::decrypt, c.key, encrypted.value_or(Bytes{})), twice);
    }
    EXPECT_EQ(hex(Cryptor::crypt(Cryptor::Operation::encrypt, numbered(32), Bytes{})), "");
}

TEST(CryptorTest, AesEcbRefusesPartialBlocksAndBadKeys) {
    const Bytes data = numbered(32);
    for (auto operation : {Cryptor::Operation::encrypt, Cryptor::Operation::decrypt}) {
        EXPECT_FALSE(Cryptor::crypt(operation, numbered(32), numbered(20)));
        for (const Bytes& badKey : {numbered(31), Bytes{}, numbered(8), numbered(33)})
            EXPECT_FALSE(Cryptor::crypt(operation, badKey, data)) << badKey.size();
    }
}
