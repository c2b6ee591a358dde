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
using namespace svsdk::testing;
namespace {

constexpr double kNow = 1'700'000'062.5;  // / 180 = 9'444'444.79

SVTransaction payment(std::int64_t codeLength, std::optional<Bytes> data = std::nullopt) {
    return SVTransaction("tx-1", "u-1", "system-1", codeLength, false, SVConfirmationType::offline,
                         std::string("Pay 10 EUR"), std::move(data));
}

// The block as a server rebuilds it, item by item.
Bytes serverBlock(const Bytes& transactionValue, bool withFingerprint, std::uint64_t step = 9'444'444) {
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

TEST_F(ConfirmationTest, CodesAndSignatureAreWhatTheServerRecomputes) {
    ScopedSigningUser signer(makeUser("u-1", 1));
    SVConfirmation confirmation(payment(6, Bytes{0xDE, 0xAD}), signer.user(), true);
    const Bytes block = serverBlock(bytesOf("Pay 10 EUR\xDE\xAD"), true);
    const Bytes code = *Cryptor::hmac(signer.kHMAC(), block);
    EXPECT_EQ(confirmation.confirmationCode(), hexString(code));
    EXPECT_EQ(confirmation.shortConfirmationCode(), Cryptor::shortCode(code, 6).value());
    EXPECT_DOUBLE_EQ(confirmation.timestamp(), kNow);
    EXPECT_TRUE(signer.publicKey().verify(block, *bytesFromHex(confirmation.signature())));

    SVDeclination declination(payment(6, Bytes{0xDE, 0xAD}), signer.user(), true);
    const Bytes declined = *Cryptor::hmac(signer.kHMAC(), serverBlock(bytesOf("Pay 10 EUR\xDE\xADnot authorized"), true));
    EXPECT_EQ(declination.declineCode(), hexString(declined));
    EXPECT_EQ(declination.shortDeclineCode(), Cryptor::shortCode(declined, 6).value());
    EXPECT_EQ(declination.declineReason(), "not authorized");
    EXPECT_DOUBLE_EQ(declination.timestamp(), kNow);

    // The data confirmation: the challenge block and the given key.
    const Bytes challenge = numbered(20, 0x80), key = numbered(32, 0x10);
    SVConfirmation data(challenge, signer.user(), key);
    EXPECT_EQ(data.confirmationCode(), hexString(*Cryptor::hmac(key, serverBlock(challenge, true))));
    EXPECT_EQ(data.shortConfirmationCode(), "");
    EXPECT_TRUE(signer.publicKey().verify(serverBlock(challenge, true), *bytesFromHex(data.signature())));
}

TEST_F(ConfirmationTest, ShortCodeFollowsTheCodeLengthOnlyOffline) {
    ScopedSigningUser signer(makeUser("u-1"));
    std::tuple<std::int64_t, bool, bool> cases[] = {  // length, offline, short code is the whole code
        {4, true, true}, {11, true, true}, {0, true, false}, {64, true, false}, {0, false, true}, {64, false, true}};
    for (const auto& [length, offline, whole] : cases) {
        SVConfirmation confirmation(payment(length), signer.user(), offline);
        SVDeclination declination(payment(length), signer.user(), offline);
        EXPECT_EQ(confirmation.shortConfirmationCode(), whole ? confirmation.confirmationCode() : "") << length << offline;
        EXPECT_EQ(declination.shortDeclineCode(), whole ? declination.declineCode() : "") << length << offline;
    }
}

TEST_F(ConfirmationTest, MissingSecretsKeysOrTimeFailBeforeAnythingIsSigned) {
    const SVUser user = makeUser("u-1");
    EXPECT_EQ(thrownCode([&] { SVConfirmation(payment(6), user, true); }), SVError::Code::handleInvalid);
    EXPECT_EQ(thrownCode([&] { SVDeclination(payment(6), user, true); }), SVError::Code::handleInvalid);
    HandlesManager::shared().add(numbered(32), HandleType::hmac, user);
    EXPECT_NE(thrownError([&] { SVConfirmation(payment(6), user, true); }).message().find("-25300"), std::string::npos);
    HandlesManager::shared().remove(HandleType::hmac, user);

    auto key = SecKey::generateP256().value();
    EXPECT_EQ(thrownError([&] { SVConfirmation::sign(Bytes{1}, *key.copyPublicKey()); }).message(), "Could not sign the data");

    for (double step : {0.0, -180.0, std::numeric_limits<double>::quiet_NaN()}) {
        ScopedSigningUser signer(makeUser("u-1", 0, step));
        EXPECT_EQ(thrownCode([&] { SVConfirmation(payment(6), signer.user(), true); }), SVError::Code::internalError);
        EXPECT_EQ(thrownCode([&] { SVDeclination(payment(6), signer.user(), true); }), SVError::Code::internalError);
    }
}
