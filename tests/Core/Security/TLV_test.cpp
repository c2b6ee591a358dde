#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include <svsdk/SVError.h>
#include <svsdk/SVTransaction.h>

#include "Core/Security/TLV.h"
#include "Core/Utilities/Encoding.h"
#include "support/SigningUser.h"
#include "support/TestEnvironment.h"
#include "support/Thrown.h"

using namespace svsdk;
using svsdk::testing::makeUser;
using svsdk::testing::ScopedPlatform;
using svsdk::testing::thrownCode;

namespace {

std::string hex(const Bytes& bytes) { return hexString(bytes); }

SVTransaction transaction(std::optional<std::string> text, std::optional<Bytes> data) {
    return SVTransaction("tx-1", "u-1", "system-1", 6, false, SVConfirmationType::offline, std::move(text),
                         std::move(data));
}

// Splits a block into its (tag, value) items; fails the test on a malformed block.
std::vector<std::pair<int, Bytes>> items(const Bytes& block) {
    std::vector<std::pair<int, Bytes>> out;
    std::size_t i = 0;
    while (i < block.size()) {
        EXPECT_LE(i + 5, block.size());
        if (i + 5 > block.size()) break;
        std::size_t length = (std::size_t(block[i + 1]) << 24) | (std::size_t(block[i + 2]) << 16) |
                             (std::size_t(block[i + 3]) << 8) | block[i + 4];
        EXPECT_LE(i + 5 + length, block.size());
        if (i + 5 + length > block.size()) break;
        out.emplace_back(block[i], Bytes(block.begin() + i + 5, block.begin() + i + 5 + length));
        i += 5 + length;
    }
    return out;
}

std::vector<int> tags(const Bytes& block) {
    std::vector<int> out;
    for (auto& [tag, value] : items(block)) out.push_back(tag);
    return out;
}

}  // namespace

TEST(TLVTest, ItemIsTagBigEndianLengthAndValueAndIsLogged) {
    ScopedPlatform platform(SVLoggingOptions::debug);
    EXPECT_EQ(hex(TLV::make(TLV::Tag::deviceType, std::string_view("iOS"))), "17000000036" "94f53");
    EXPECT_TRUE(platform.log().contains(SVLogCategory::data, "TLV Data 1700000003694f53"));
    EXPECT_EQ(hex(TLV::make(0x21, Bytes{})), "2100000000");

    Bytes value(0x010203, 0xAB);
    Bytes item = TLV::make(TLV::Tag::transaction, value);
    ASSERT_EQ(item.size(), 5 + value.size());
    EXPECT_EQ(hex(Bytes(item.begin(), item.begin() + 5)), "1100010203");

    EXPECT_EQ(TLV::lengthField(0xFFFFFFFFu), 0xFFFFFFFFu);
    // A value over 2^32 - 1 bytes must not wrap its length.
    EXPECT_EQ(thrownCode([] { TLV::lengthField(std::size_t{1} << 32); }), SVError::Code::internalError);
}

TEST(TLVTest, TimeIsTruncatedToItsShortestBigEndianForm) {
    EXPECT_EQ(hex(TLV::timeInterval(65536.7)), "1400000003010000");
    EXPECT_EQ(hex(TLV::timeInterval(256.0)), "14000000020100");
    EXPECT_EQ(hex(TLV::timeInterval(255.9)), "1400000001ff");
    EXPECT_EQ(hex(TLV::timeInterval(0.5)), "14000000080000000000000000");
    EXPECT_EQ(hex(TLV::timeInterval(0.0)), "14000000080000000000000000");
    // Today with a 180-second step: three bytes.
    EXPECT_EQ(hex(TLV::timeInterval(1'700'000'062.5 / 180)), "1400000003901c5c");
    // The largest double below 2^64 keeps all eight bytes.
    EXPECT_EQ(hex(TLV::timeInterval(std::nextafter(18446744073709551616.0, 0.0))), "1400000008fffffffffffff800");
}

TEST(TLVTest, TimesOutsideTheUnsigned64BitRangeThrow) {
    // A zero, negative or non-finite step gives such times; the item refuses
    // them instead of converting with undefined behaviour.
    for (double time : {std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity(),
                        std::numeric_limits<double>::quiet_NaN(), -0.5, -1.0, 18446744073709551616.0, 1e300})
        EXPECT_EQ(thrownCode([&] { TLV::timeInterval(time); }), SVError::Code::internalError) << time;
}

TEST(TLVTest, TransactionValueIsTextDataAndDeclineReason) {
    ScopedPlatform platform(SVLoggingOptions::debug);
    EXPECT_EQ(hex(TLV::transaction(transaction(std::nullopt, std::nullopt), std::nullopt)), "1100000000");
    EXPECT_TRUE(platform.log().contains(SVLogCategory::data, "TLV For Transaction tx-1 with no decline reason"));

    Bytes item = TLV::transaction(transaction("ok", Bytes{0x01, 0x02, 0x03}), std::string("not authorized"));
    EXPECT_EQ(hex(item), "1100000013" + hex(bytesOf("ok")) + "010203" + hex(bytesOf("not authorized")));
    EXPECT_TRUE(platform.log().contains(SVLogCategory::data, "TLV For Transaction tx-1 with not authorized"));

    // Only the reason when there is neither text nor data.
    EXPECT_EQ(hex(TLV::transaction(transaction(std::nullopt, std::nullopt), std::string("not authorized"))),
              "110000000e" + hex(bytesOf("not authorized")));
}

TEST(TLVTest, ConfirmationBlockHasTheFingerprintOnlyWhenTheUserAsksForIt) {
    ScopedPlatform platform;
    svsdk::testing::ScopedSigningUser host(makeUser("u-1"));  // a host, for the fingerprint
    const auto tx = transaction("pay 10", std::nullopt);

    Bytes plain = TLV::transactionConfirmation(tx, makeUser("u-1", 0), std::nullopt, 9444444.79);
    EXPECT_EQ(tags(plain), (std::vector<int>{17, 18, 20}));
    Bytes withFingerprint = TLV::transactionConfirmation(tx, makeUser("u-1", 1 | 2 | 1024), std::nullopt, 9444444.79);
    ASSERT_EQ(tags(withFingerprint), (std::vector<int>{17, 18, 19, 20}));

    auto parts = items(withFingerprint);
    EXPECT_EQ(stringOf(parts[0].second), "pay 10");
    EXPECT_EQ(stringOf(parts[1].second), "u-1");
    EXPECT_EQ(stringOf(parts[2].second), Keychain::deviceFingerprint());
    EXPECT_EQ(parts[2].second.size(), 64u);
    EXPECT_EQ(hex(parts[3].second), "901c5c");

    // The data block has the same tail around the data as it is.
    Bytes data = TLV::dataConfirmation(Bytes{0x00, 0xff}, makeUser("u-1", 1), 5.0);
    auto dataParts = items(data);
    ASSERT_EQ(tags(data), (std::vector<int>{17, 18, 19, 20}));
    EXPECT_EQ(hex(dataParts[0].second), "00ff");
}

TEST(TLVTest, RegistrationAndStatusBlocks) {
    ScopedPlatform platform(SVLoggingOptions::debug);
    const SVUser user = makeUser("u-1");
    Bytes registration = TLV::deviceTokenRegistration(user, "token-9", 256.0);
    EXPECT_EQ(hex(registration), "1600000008" + hex(bytesOf("system-1")) + "1200000003" + hex(bytesOf("u-1")) +
                                     "1700000003694f53" + "1800000007" + hex(bytesOf("token-9")) + "14000000020100");

    Bytes status = TLV::transactionStatus(user, {"  done \n", "\tpending\u2028"}, 1.0);
    auto parts = items(status);
    ASSERT_EQ(tags(status), (std::vector<int>{18, 25, 25, 20}));
    EXPECT_EQ(stringOf(parts[1].second), "done");
    EXPECT_EQ(stringOf(parts[2].second), "pending");
    EXPECT_TRUE(platform.log().contains(SVLogCategory::data, "TLV For Transaction Status: done"));
    // Inner blanks stay; a status of blanks only becomes empty.
    auto inner = items(TLV::transactionStatus(user, {" a b ", " \r\n "}, 1.0));
    EXPECT_EQ(stringOf(inner[1].second), "a b");
    EXPECT_TRUE(inner[2].second.empty());

    EXPECT_EQ(tags(TLV::transactionStatus(user, {}, 1.0)), (std::vector<int>{18, 20}));
}
