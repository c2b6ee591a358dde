#include <gtest/gtest.h>

#include <limits>

#include <svsdk/SVConfirmation.h>
#include <svsdk/SVDeclination.h>
#include <svsdk/SVError.h>
#include <svsdk/SVTransaction.h>

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
using svsdk::testing::ScopedSigningUser;
using svsdk::testing::thrownCode;
using svsdk::testing::thrownError;

namespace {

constexpr double kNow = 1'700'000'062.5;  // / 180 = 9'444'444.79

SVTransaction payment(std::int64_t codeLength, std::optional<Bytes> data = std::nullopt) {
    return SVTransaction("tx-1", "u-1", "system-1", codeLength, false, SVConfirmationType::offline,
                         std::string("Pay 10 EUR"), std::move(data));
}

// The block as a server rebuilds it, item by item.
Bytes serverBlock(const Bytes& transactionValue, bool withFingerprint, std::uint64_t step) {
    Bytes block = TLV::make(TLV::Tag::transaction, transactionValue);
    TLV::append(block, TLV::make(TLV::Tag::userID, std::string_view("u-1")));
    if (withFingerprint) TLV::append(block, TLV::make(TLV::Tag::fingerprint, Keychain::deviceFingerprint()));
    TLV::append(block, TLV::timeInterval(static_cast<double>(step)));
    return block;
}

struct ConfirmationTest : ::testing::Test {
    ScopedPlatform platform;
    ScopedClock clock{kNow, 5000};
};

}  // namespace

TEST_F(ConfirmationTest, OfflineConfirmationIsCodeShortCodeAndVerifiableSignature) {
    ScopedSigningUser signer(makeUser("u-1", 1));
    SVConfirmation confirmation(payment(6, Bytes{0xDE, 0xAD}), signer.user(), true);

    const Bytes block = serverBlock(bytesOf("Pay 10 EUR\xDE\xAD"), true, 9'444'444);
    const Bytes code = *Cryptor::hmac(signer.kHMAC(), block);
    EXPECT_EQ(confirmation.confirmationCode(), hexString(code));
    EXPECT_EQ(confirmation.shortConfirmationCode(), Cryptor::shortCode(code, 6).value());
    EXPECT_DOUBLE_EQ(confirmation.timestamp(), kNow);

    const Bytes signature = bytesFromHex(confirmation.signature()).value_or(Bytes{});
    EXPECT_TRUE(signer.publicKey().verify(block, signature));
    Bytes other = block;
    other.back() ^= 1;
    EXPECT_FALSE(signer.publicKey().verify(other, signature));

    // Within the same step the code repeats; each signature verifies.
    clock.advance(30);  // 9'444'444.96
    SVConfirmation again(payment(6, Bytes{0xDE, 0xAD}), signer.user(), true);
    EXPECT_EQ(again.confirmationCode(), confirmation.confirmationCode());
    EXPECT_TRUE(signer.publicKey().verify(block, *bytesFromHex(again.signature())));
    clock.advance(10);  // 9'444'445.01
    EXPECT_NE(SVConfirmation(payment(6), signer.user(), true).confirmationCode(), confirmation.confirmationCode());
}

TEST_F(ConfirmationTest, ShortCodeFollowsTheCodeLengthOnlyOffline) {
    ScopedSigningUser signer(makeUser("u-1"));
    for (std::int64_t n : {4, 11}) {
        SVConfirmation c(payment(n), signer.user(), true);
        EXPECT_EQ(c.shortConfirmationCode(), c.confirmationCode()) << n;
        EXPECT_EQ(c.confirmationCode().size(), 64u);
    }
    for (std::int64_t n : {0, 64}) EXPECT_EQ(SVConfirmation(payment(n), signer.user(), true).shortConfirmationCode(), "");
    for (std::int64_t n : {0, 6, 64}) {
        SVConfirmation online(payment(n), signer.user(), false);
        EXPECT_EQ(online.shortConfirmationCode(), online.confirmationCode()) << n;
    }
}

TEST_F(ConfirmationTest, MissingSecretsAndKeysFailBeforeAnythingIsSigned) {
    const SVUser user = makeUser("u-1");
    // No kHMAC (and no key pair): the handle is missed first.
    EXPECT_EQ(thrownCode([&] { SVConfirmation(payment(6), user, true); }), SVError::Code::handleInvalid);
    EXPECT_EQ(thrownCode([&] { SVDeclination(payment(6), user, true); }), SVError::Code::handleInvalid);

    // kHMAC but no key pair: the key store's error.
    HandlesManager::shared().add(numbered(32), HandleType::hmac, user);
    SVError missingPair = thrownError([&] { SVConfirmation(payment(6), user, true); });
    EXPECT_EQ(missingPair.code(), SVError::Code::secureEnclaveError);
    EXPECT_NE(missingPair.message().find("-25300"), std::string::npos) << missingPair.message();
    HandlesManager::shared().remove(HandleType::hmac, user);

    // A key that cannot sign.
    auto key = SecKey::generateP256();
    ASSERT_TRUE(key);
    SVError unsigned_ = thrownError([&] { SVConfirmation::sign(Bytes{1}, *key->copyPublicKey()); });
    EXPECT_EQ(unsigned_.code(), SVError::Code::secureEnclaveError);
    EXPECT_EQ(unsigned_.message(), "Could not sign the data");
    EXPECT_TRUE(key->copyPublicKey()->verify(Bytes{1}, SVConfirmation::sign(Bytes{1}, *key)));
}

TEST_F(ConfirmationTest, ATimeStepThatGivesNoValidTimeIsAnInternalError) {
    for (double step : {0.0, -180.0, std::numeric_limits<double>::quiet_NaN()}) {
        ScopedSigningUser signer(makeUser("u-1", 0, step));
        EXPECT_EQ(thrownCode([&] { SVConfirmation(payment(6), signer.user(), true); }), SVError::Code::internalError);
        EXPECT_EQ(thrownCode([&] { SVDeclination(payment(6), signer.user(), true); }), SVError::Code::internalError);
    }
}

TEST_F(ConfirmationTest, DataConfirmationSignsTheDataBlockWithTheGivenKey) {
    ScopedSigningUser signer(makeUser("u-1"));
    const Bytes challenge = numbered(20, 0x80);
    const Bytes key = numbered(32, 0x10);
    SVConfirmation confirmation(challenge, signer.user(), key);
    const Bytes block = serverBlock(challenge, false, 9'444'444);
    EXPECT_EQ(confirmation.confirmationCode(), hexString(*Cryptor::hmac(key, block)));
    EXPECT_EQ(confirmation.shortConfirmationCode(), "");
    EXPECT_TRUE(signer.publicKey().verify(block, *bytesFromHex(confirmation.signature())));
}

TEST_F(ConfirmationTest, DeclinationAppendsTheReasonAndIsNotSigned) {
    ScopedSigningUser signer(makeUser("u-1", 1));
    SVDeclination declination(payment(6), signer.user(), true);
    SVConfirmation confirmation(payment(6), signer.user(), true);

    const Bytes block = serverBlock(bytesOf("Pay 10 EURnot authorized"), true, 9'444'444);
    const Bytes code = *Cryptor::hmac(signer.kHMAC(), block);
    EXPECT_EQ(declination.declineCode(), hexString(code));
    EXPECT_NE(declination.declineCode(), confirmation.confirmationCode());
    EXPECT_EQ(declination.shortDeclineCode(), Cryptor::shortCode(code, 6).value());
    EXPECT_EQ(declination.declineReason(), "not authorized");
    EXPECT_DOUBLE_EQ(declination.timestamp(), kNow);

    SVDeclination online(payment(6), signer.user(), false);
    EXPECT_EQ(online.shortDeclineCode(), online.declineCode());
    EXPECT_EQ(SVDeclination(payment(64), signer.user(), true).shortDeclineCode(), "");

    // A transaction without text or data declines over the reason alone.
    SVTransaction empty("tx-2", "u-1", "system-1", 6, false, SVConfirmationType::online);
    EXPECT_EQ(SVDeclination(empty, signer.user(), false).declineCode(),
              hexString(*Cryptor::hmac(signer.kHMAC(), serverBlock(bytesOf("not authorized"), true, 9'444'444))));
}
