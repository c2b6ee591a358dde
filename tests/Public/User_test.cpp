#include <gtest/gtest.h>

#include <cmath>
#include <ctime>

#include <nlohmann/json.hpp>

#include <svsdk/SVConfirmation.h>
#include <svsdk/SVDeclination.h>
#include <svsdk/SVTransactionsManager.h>
#include <svsdk/SVUser.h>

#include "Core/Security/Cryptor.h"
#include "Core/Time/TimeManager.h"
#include "Core/Utilities/Encoding.h"
#include "support/ScopedClock.h"
#include "support/SigningUser.h"
#include "support/TestEnvironment.h"
#include "support/Thrown.h"

using namespace svsdk;
using namespace svsdk::testing;
using nlohmann::json;
using Kind = SVDecodingError::Kind;
using Methods = std::vector<SVExtendedAuthMethod>;

namespace {
json userJSON() {
    return json{{"user_id", "u-17"}, {"system_id", "sys-1"}, {"key_flags", 1543}, {"expiration_timestamp", 1900000000.5},
                {"key_content", base64Encode(numbered(64))}, {"sv_external_url", "https://signing.example.org/api"},
                {"sv_key_version", 3}, {"sv_api_version", 3}, {"system_name", "Example Bank"}, {"unknown_key", "ignored"},
                {"ext_auth_available_methods", {"oz_biometry", "codeword"}},
                {"system_settings", {{"confirm_code_time_sampling_interval", 30.0}, {"auth_code_time_sampling_interval", 60}}}};
}
// The local time `days` days from today at hh:mm:ss.
double localTime(int days, int hour, int minute, int second) {
    std::time_t now = std::time(nullptr);
    std::tm parts{};
    localtime_r(&now, &parts);
    parts.tm_mday += days, parts.tm_hour = hour, parts.tm_min = minute, parts.tm_sec = second, parts.tm_isdst = -1;
    return static_cast<double>(std::mktime(&parts));
}
constexpr double kNow = 1'700'000'062.5;
SVTransaction payment(std::int64_t codeLength) {
    return SVTransaction("tx-1", "u-1", "system-1", codeLength, false, SVConfirmationType::offline, std::string("Pay 10 EUR"));
}
struct ConfirmationTest : ::testing::Test {
    ScopedPlatform platform;
    ScopedClock clock{kNow, 5000};
};

}  // namespace

TEST(SVUserTest, DecodesEveryMemberAndTwoImportsAreDifferentUsers) {
    SVUser user = SVUser::decode(userJSON().dump());
    EXPECT_TRUE(user.userID() == "u-17" && user.systemID() == "sys-1" && user.options().flags.rawValue == 1543 &&
                user.expirationDate().timeIntervalSince1970 == 1900000000.5 && user.interactionURL() == "https://signing.example.org/api");
    EXPECT_TRUE(user.userVersion() == 3 && user.apiVersion() == 3 && user.systemName() == "Example Bank");
    EXPECT_EQ(user.extAuthMethods(), (Methods{SVExtendedAuthMethod::codeword, SVExtendedAuthMethod::ozBiometry}));
    EXPECT_TRUE(user.confirmationCodeTSI() == 30.0 && user.authorizationCodeTSI() == 60.0);
    EXPECT_FALSE(user.name() || user.registeredDeviceToken());
    std::string text = user.userID() + user.storageID();
    EXPECT_EQ(user.uniqueID(), hexString(Cryptor::sha256(text.data(), text.size())));
    SVUser second = SVUser::decode(userJSON()), copy = user;
    EXPECT_TRUE(user.storageID() != second.storageID() && !(user == second) && copy == user);
    EXPECT_THROW(SVUser::decode("{not json"), SVDecodingError);
}

// Optional members never fail: mistyped ones read as missing, and nesting deep
// enough to overflow the stack, were it built, is refused as a whole.
TEST(SVUserTest, OptionalMembersFallBackToPresets) {
    const Methods both{SVExtendedAuthMethod::codeword, SVExtendedAuthMethod::ozBiometry};
    std::tuple<const char*, json, double, double, Methods> cases[] = {  // key, value, TSIs, methods
        {"system_settings", {{"confirm_code_time_sampling_interval", 45}}, 45, 180, both},
        {"system_settings", "fast", 180, 180, both},
        {"system_settings", {{"confirm_code_time_sampling_interval", "30"}, {"auth_code_time_sampling_interval", 90}}, 180, 90, both},
        {"ext_auth_available_methods", {"codeword", "codeword", "other"}, 30, 60, {SVExtendedAuthMethod::codeword}},
        {"ext_auth_available_methods", {"oz_biometry", "Codeword"}, 30, 60, {SVExtendedAuthMethod::ozBiometry}},
        {"ext_auth_available_methods", {"codeword", 1}, 30, 60, {}},
        {"ext_auth_available_methods", "codeword", 30, 60, {}},
    };
    for (const auto& [key, value, confirmationTSI, authorizationTSI, methods] : cases) {
        auto j = userJSON();
        j[key] = value;
        SVUser user = SVUser::decode(j);
        EXPECT_TRUE(user.confirmationCodeTSI() == confirmationTSI && user.authorizationCodeTSI() == authorizationTSI &&
                    user.extAuthMethods() == methods) << value.dump();
    }
    auto j = userJSON();
    j["sv_api_version"] = "3";
    j["system_name"] = 7;
    EXPECT_FALSE(SVUser::decode(j).apiVersion() || SVUser::decode(j).systemName());
    j["system_settings"] = 0;
    std::string deep = j.dump();
    deep.replace(deep.find("\"system_settings\":0") + 18, 1, std::string(200000, '[') + std::string(200000, ']'));
    EXPECT_THROW(SVUser::decode(std::string_view(deep)), SVDecodingError);
}

TEST(SVUserTest, KeyContentRequiredMembersAndTheInteractionURL) {
    auto j = userJSON();
    j["encrypted_key_content"] = base64Encode(numbered(48));
    for (std::size_t size : {64, 65}) {  // halves of 32; the odd middle byte belongs to neither
        j["key_content"] = base64Encode(numbered(size));
        SVUser user = SVUser::decode(j);
        auto decrypted = user.keysContent().get<UserKeysContent::ImportedDecrypted>();
        ASSERT_NE(decrypted, nullptr) << size;
        EXPECT_TRUE(decrypted->kHMAC == numbered(32) && decrypted->kAuth == numbered(32, std::uint8_t(size - 31))) << size;
    }
    // Unusable key content falls through to the encrypted content, then to emptyKeys.
    for (json bad : {json("not base64!"), json(42), json(""), json(base64Encode(numbered(1)))}) {
        j["key_content"] = bad;
        SVUser user = SVUser::decode(j);
        auto encrypted = user.keysContent().get<UserKeysContent::ImportedEncrypted>();
        EXPECT_TRUE(encrypted && encrypted->content == numbered(48)) << bad.dump();
    }
    j["encrypted_key_content"] = "";
    EXPECT_EQ(thrownCode([&] { SVUser::decode(j); }), SVError::Code::emptyKeys);

    j = userJSON();
    j.erase("user_id");  // required members: the decoder's error
    auto missing = thrownAs<SVDecodingError>([&] { SVUser::decode(j); });
    EXPECT_TRUE(missing && missing->kind() == Kind::keyNotFound && missing->codingPath() == "user_id");
    j = userJSON();
    j["sv_external_url"] = "not a url";
    j.erase("sv_key_version");  // the URL is checked before the key version is read
    EXPECT_EQ(thrownCode([&] { SVUser::decode(j); }), SVError::Code::missingInteractionURL);
}

TEST(SVUserTest, ExpiryFollowsTheDeviceCalendarDayAndReadinessToSign) {
    auto expired = [](double expiry, std::optional<double> now = std::nullopt) {
        SVUser user("u", "sys", SVUserOptions{}, "https://example.org", std::nullopt, std::nullopt, std::nullopt,
                    std::nullopt, {}, 180, 180, "s", 3, UserKeysContent::storedEncrypted(), expiry);
        return now ? user.isExpired(SVDate::fromTimeInterval(*now)) : user.isExpired();
    };
    EXPECT_FALSE(expired(localTime(0, 0, 0, 1), localTime(0, 23, 59, 0)));  // valid all through the expiry day
    EXPECT_TRUE(expired(localTime(-1, 23, 59, 59), localTime(0, 0, 0, 1)));
    EXPECT_TRUE(expired(localTime(-400, 12, 0, 0), localTime(0, 23, 59, 0))) << "an earlier year";
    EXPECT_FALSE(expired(std::nan("")) || expired(-1e300));  // a date the calendar cannot place
    {  // without an argument: the device clock, not the corrected one
        ScopedClock clock(localTime(0, 23, 0, 0), 1000);
        TimeManager::setStableTime(StableTime{1000, localTime(0, 23, 0, 0), 7200});  // corrected: tomorrow
        EXPECT_TRUE(!expired(localTime(0, 0, 0, 1)) && expired(localTime(-1, 12, 0, 0)));
    }

    auto& handles = HandlesManager::shared();
    handles.removeAll();
    EXPECT_FALSE(makeUser("u", 0, 180, 180, "a", 3, UserKeysContent::importedEncrypted(numbered(8))).isActivated());
    EXPECT_TRUE(makeUser("u", 0, 180, 180, "a", 1, UserKeysContent::legacyStoredEncrypted({}, {}, {})).isActivated());
    SVUser imported = makeUser("u", 0, 180, 180, "a", 3, UserKeysContent::importedDecrypted(numbered(32), numbered(32)));
    SVUser current = makeUser("u", 0, 180, 180, "b"), older = makeUser("u", 0, 180, 180, "c", 2);
    EXPECT_TRUE(imported.isActivated());
    for (const auto* u : {&imported, &current, &older}) handles.add(numbered(32), HandleType::hmac, *u);
    EXPECT_TRUE(!imported.isReadyToSign() && current.isReadyToSign()) << "only stored users sign";
    EXPECT_FALSE(older.isReadyToSign()) << "older users also need kAuth";
    handles.add(numbered(32), HandleType::auth, older);
    EXPECT_TRUE(older.isReadyToSign());
    handles.removeAll();
    EXPECT_FALSE(current.isReadyToSign());
}

// Codes and signatures are checked against the stand-in (Standin_test); here
// the short code, the time, and the failures before anything is signed.
TEST_F(ConfirmationTest, ShortCodeTimeAndFailuresBeforeSigning) {
    ScopedSigningUser signer(makeUser("u-1", 1));
    SVConfirmation confirmation(payment(6), signer.user(), true);
    SVDeclination declination(payment(6), signer.user(), true);
    EXPECT_EQ(confirmation.shortConfirmationCode(), Cryptor::shortCode(*bytesFromHex(confirmation.confirmationCode()), 6));
    EXPECT_EQ(declination.shortDeclineCode(), Cryptor::shortCode(*bytesFromHex(declination.declineCode()), 6));
    EXPECT_TRUE(confirmation.timestamp() == kNow && declination.timestamp() == kNow && declination.declineReason() == "not authorized");
    EXPECT_NE(confirmation.confirmationCode(), declination.declineCode());
    EXPECT_TRUE(SVTransactionsManager::signOffline(payment(6), signer.user()).shortConfirmationCode() == confirmation.shortConfirmationCode() &&
                SVTransactionsManager::declineOffline(payment(6), signer.user()).shortDeclineCode() == declination.shortDeclineCode());
    SVConfirmation data(numbered(20), signer.user(), numbered(32, 9));
    EXPECT_TRUE(data.shortConfirmationCode().empty() && data.timestamp() == kNow && data.confirmationCode().size() == 64);
    auto pair = SecKey::generateP256().value();
    EXPECT_EQ(thrownError([&] { SVConfirmation::sign(Bytes{1}, *pair.copyPublicKey()); }).message(), "Could not sign the data");

    const SVUser user = makeUser("u-2");
    EXPECT_EQ(thrownCode([&] { SVConfirmation(payment(6), user, true); }), SVError::Code::handleInvalid);
    HandlesManager::shared().add(numbered(32), HandleType::hmac, user);  // no key pair: the key store's error
    EXPECT_EQ(thrownCode([&] { SVConfirmation(payment(6), user, true); }), SVError::Code::secureEnclaveError);
    HandlesManager::shared().remove(HandleType::hmac, user);
}
