#include <gtest/gtest.h>

#include <limits>

#include <svsdk/SVError.h>

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
using svsdk::testing::ScopedClock;
using svsdk::testing::ScopedPlatform;
using svsdk::testing::thrownCode;

TEST(ShortCodeTest, FoldsTheCodeIntoTheRequestedDigits) {
    const Bytes code = numbered(32);  // 01 02 ... 20
    // n = 6 to 8: four chunks of 8 bytes fold to 08 18 08 38 = 135792696.
    EXPECT_EQ(Cryptor::shortCode(code, 6), "792696");
    EXPECT_EQ(Cryptor::shortCode(code, 7), "5792696");
    EXPECT_EQ(Cryptor::shortCode(code, 8), "35792696");
    // n = 9, 10: six chunks of 5 bytes (the last two bytes unused) fold to
    // 01 0A 0B 14 15 1E = 1142647166238.
    EXPECT_EQ(Cryptor::shortCode(code, 9), "647166238");
    EXPECT_EQ(Cryptor::shortCode(code, 10), "2647166238");
    Bytes tail = code;
    tail[30] ^= 0xFF;
    tail[31] ^= 0xFF;
    EXPECT_EQ(Cryptor::shortCode(tail, 10), "2647166238");

    // Every chunk of 00 01 ... 1F folds to zero: one digit, no padding.
    EXPECT_EQ(Cryptor::shortCode(numbered(32, 0), 6), "0");
    // Fewer digits than asked when the number is short.
    Bytes small(32, 0);
    small[31] = 0x2A;
    EXPECT_EQ(Cryptor::shortCode(small, 8), "42");
}

TEST(ShortCodeTest, DegenerateInputsGiveNothing) {
    EXPECT_EQ(Cryptor::shortCode(Bytes{}, 6), std::nullopt);
    EXPECT_EQ(Cryptor::shortCode(numbered(3), 6), std::nullopt);  // fewer bytes than chunks
    EXPECT_EQ(Cryptor::shortCode(numbered(32), 0), std::nullopt);
    EXPECT_EQ(Cryptor::shortCode(numbered(32), -4), std::nullopt);
    // 27 digits ask for 18 one-byte chunks: more than 64 bits.
    EXPECT_EQ(Cryptor::shortCode(numbered(32), 27), std::nullopt);
    // ... unless the leading folded bytes are zero.
    Bytes zeros(32, 0);
    zeros[17] = 0x07;
    EXPECT_EQ(Cryptor::shortCode(zeros, 27), "7");
    // n = 1 to 2: one chunk of the whole code.
    EXPECT_EQ(Cryptor::shortCode(Bytes{0x0F, 0xF0}, 2), "55");
}

TEST(ShortCodeTest, LengthBandsChooseDigitsFullCodeOrNothing) {
    const Bytes code = numbered(32);
    const std::string hex = hexString(code);
    for (std::int64_t n : {6, 7, 8, 9, 10})
        EXPECT_EQ(Cryptor::shortCodeForLength(code, hex, n), Cryptor::shortCode(code, n).value()) << n;
    for (std::int64_t n : {1, 4, 5, 11, 12, 40, 63}) EXPECT_EQ(Cryptor::shortCodeForLength(code, hex, n), hex) << n;
    for (std::int64_t n : {std::int64_t{-6}, std::int64_t{0}, std::int64_t{64}, std::int64_t{65},
                           std::numeric_limits<std::int64_t>::max()})
        EXPECT_EQ(Cryptor::shortCodeForLength(code, hex, n), "") << n;
    // A code that gives no short code shows nothing rather than failing.
    EXPECT_EQ(Cryptor::shortCodeForLength(Bytes{}, "", 6), "");
}

TEST(CodesTest, CodesAreHMACOfTheBlockAndKeysAreLoggedOnlyWithTheKeysOption) {
    ScopedPlatform platform(SVLoggingOptions::debug);
    const Bytes block = TLV::userID("u-1");
    const Bytes key = numbered(32, 0xA0);
    EXPECT_EQ(Cryptor::confirmationCode(block, key), Cryptor::hmac(key, block));
    EXPECT_EQ(Cryptor::authenticationCode(block, key), Cryptor::hmac(key, block));
    EXPECT_TRUE(platform.log().contains(SVLogCategory::data, "Full TLV: " + hexString(block)));
    EXPECT_TRUE(platform.log().contains(SVLogCategory::data,
                                        "Confirmation Code: " + hexString(*Cryptor::hmac(key, block))));
    EXPECT_FALSE(platform.log().anyContains(hexString(key)));

    Logger::setOptions(SVLoggingOptions{SVLoggingOptions::debug, SVLoggingOptions::keys});
    Cryptor::confirmationCode(block, key);
    Cryptor::authenticationCode(block, key);
    EXPECT_TRUE(platform.log().contains(SVLogCategory::keys, "HMAC Key " + hexString(key)));
    EXPECT_TRUE(platform.log().contains(SVLogCategory::keys, "Authorization Key: " + hexString(key)));
}

TEST(CodesTest, RegistrationCodesFollowTheAuthorizationTimeStep) {
    ScopedPlatform platform(SVLoggingOptions::debug);
    ScopedClock clock(1'700'000'000.0, 5000);  // 1'700'000'000 / 60 = 28'333'333.33
    const SVUser user = makeUser("u-1", 0, 180, 60);
    const Bytes kAuth = numbered(32, 0x40);
    // 22 (systemID), 18 (userID), the registered item, 20 (the step), as the server builds it.
    auto expectedCode = [&](TLV::Tag tag, std::string_view value) {
        Bytes block = TLV::make(TLV::Tag::systemID, std::string_view("system-1"));
        TLV::append(block, TLV::make(TLV::Tag::userID, std::string_view("u-1")));
        TLV::append(block, TLV::make(tag, value));
        TLV::append(block, TLV::timeInterval(28'333'333));
        return Cryptor::hmac(kAuth, block);
    };
    Bytes fingerprintCode = Cryptor::authenticationCodeForFingerprint("fp-1", user, kAuth);
    EXPECT_EQ(fingerprintCode, expectedCode(TLV::Tag::fingerprint, "fp-1"));
    EXPECT_EQ(Cryptor::authenticationCodeForPublicKey("3059", user, kAuth), expectedCode(TLV::Tag::publicKey, "3059"));
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
                  SVError::Code::internalError)
            << step;
}
