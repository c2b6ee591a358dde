#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <ctime>

#include <nlohmann/json.hpp>

#include <svsdk/SVError.h>
#include <svsdk/SVUser.h>

#include "Core/Security/Cryptor.h"
#include "Core/Security/HandlesManager.h"
#include "Core/Time/TimeManager.h"
#include "Core/Utilities/Encoding.h"
#include "support/ScopedClock.h"
#include "support/SigningUser.h"
#include "support/Thrown.h"

using namespace svsdk;
using nlohmann::json;
using svsdk::testing::makeUser;
using svsdk::testing::thrownCode;
using svsdk::testing::numbered;

namespace {

json userJSON() {
    return json{
        {"user_id", "u-17"},
        {"system_id", "sys-1"},
        {"key_flags", 1543},
        {"expiration_timestamp", 1900000000.5},
        {"key_content", base64Encode(numbered(64))},
        {"sv_external_url", "https://signing.example.org/api"},
        {"sv_key_version", 3},
        {"sv_api_version", 3},
        {"system_name", "Example Bank"},
        {"ext_auth_available_methods", {"oz_biometry", "codeword"}},
        {"system_settings", {{"confirm_code_time_sampling_interval", 30.0}, {"auth_code_time_sampling_interval", 60}}},
        {"unknown_key", "ignored"},
    };
}

// The kind of decoding error `f` throws.
template <class F>
SVDecodingError::Kind decodingErrorOf(F&& f) {
    return svsdk::testing::thrownAs<SVDecodingError>(std::forward<F>(f)).value().kind();
}

SVUser storedUser(const std::string& storageID, std::int64_t version = 3,
                  UserKeysContent content = UserKeysContent::storedEncrypted()) {
    return makeUser("u", 0, 180, 180, storageID, version, std::move(content));
}

// The local time `days` days from today at hh:mm:ss.
double localTime(int days, int hour, int minute, int second) {
    std::time_t now = std::time(nullptr);
    std::tm parts{};
    localtime_r(&now, &parts);
    parts.tm_mday += days;
    parts.tm_hour = hour;
    parts.tm_min = minute;
    parts.tm_sec = second;
    parts.tm_isdst = -1;
    return static_cast<double>(std::mktime(&parts));
}

}  // namespace

TEST(SVUserTest, DecodesEveryMember) {
    SVUser user = SVUser::decode(userJSON());
    EXPECT_EQ(user.userID(), "u-17");
    EXPECT_EQ(user.systemID(), "sys-1");
    EXPECT_EQ(user.options().flags.rawValue, 1543) << "every bit is kept";
    EXPECT_EQ(user.expirationDate().timeIntervalSince1970, 1900000000.5);
    EXPECT_EQ(user.interactionURL(), "https://signing.example.org/api");
    EXPECT_EQ(user.userVersion(), 3);
    EXPECT_EQ(user.apiVersion(), 3);
    EXPECT_EQ(user.systemName(), "Example Bank");
    EXPECT_EQ(user.extAuthMethods().size(), 2u);
    EXPECT_EQ(user.confirmationCodeTSI(), 30.0);
    EXPECT_EQ(user.authorizationCodeTSI(), 60.0);
    EXPECT_FALSE(user.name().has_value());
    EXPECT_FALSE(user.registeredDeviceToken().has_value());
    EXPECT_EQ(user.storageID().size(), 36u);
    std::string text = user.userID() + user.storageID();
    EXPECT_EQ(user.uniqueID(), hexString(Cryptor::sha256(text.data(), text.size())));

    // The text form decodes the same way; text that is not JSON is a decoding error.
    EXPECT_EQ(SVUser::decode(userJSON().dump()).userID(), "u-17");
    EXPECT_EQ(decodingErrorOf([] { SVUser::decode("{not json"); }), SVDecodingError::Kind::dataCorrupted);
}

TEST(SVUserTest, KeyContentIsSplitIntoHalves) {
    auto j = userJSON();
    j["encrypted_key_content"] = base64Encode(numbered(48));
    // 64 bytes: two halves of 32; 65 bytes: the same, the middle byte belongs to neither.
    for (std::size_t size : {64, 65}) {
        j["key_content"] = base64Encode(numbered(size));
        SVUser user = SVUser::decode(j);
        auto decrypted = user.keysContent().get<UserKeysContent::ImportedDecrypted>();
        ASSERT_NE(decrypted, nullptr) << size;
        EXPECT_EQ(decrypted->kHMAC, numbered(32)) << size;
        EXPECT_EQ(decrypted->kAuth, numbered(32, static_cast<std::uint8_t>(size - 31))) << size;
    }

    // Unusable key content falls through to the encrypted content: not Base64
    // (a line break included), not a text, no bytes at all, too few to split.
    for (json bad : {json("not base64!"), json(base64Encode(numbered(64)) + "\n"), json(42), json(""),
                     json(base64Encode(numbered(1)))}) {
        j["key_content"] = bad;
        SVUser user = SVUser::decode(j);
        auto encrypted = user.keysContent().get<UserKeysContent::ImportedEncrypted>();
        ASSERT_NE(encrypted, nullptr) << bad.dump();
        EXPECT_EQ(encrypted->content, numbered(48));
        EXPECT_FALSE(user.isActivated());
    }

    // Neither usable: emptyKeys.
    j["encrypted_key_content"] = "";
    EXPECT_EQ(thrownCode([&] { SVUser::decode(j); }), SVError::Code::emptyKeys);
    j.erase("encrypted_key_content");
    j.erase("key_content");
    EXPECT_EQ(thrownCode([&] { SVUser::decode(j); }), SVError::Code::emptyKeys);
    // A missing user_id fails first, with the decoder's error.
    j.erase("user_id");
    auto error = svsdk::testing::thrownAs<SVDecodingError>([&] { SVUser::decode(j); });
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->kind(), SVDecodingError::Kind::keyNotFound);
    EXPECT_EQ(error->codingPath(), "user_id");
}

TEST(SVUserTest, RequiredMembersAndTheInteractionURL) {
    for (const char* key : {"system_id", "key_flags", "expiration_timestamp", "sv_external_url", "sv_key_version"}) {
        auto j = userJSON();
        j.erase(key);
        EXPECT_EQ(decodingErrorOf([&] { SVUser::decode(j); }), SVDecodingError::Kind::keyNotFound) << key;
        j[key] = json::array();
        EXPECT_EQ(decodingErrorOf([&] { SVUser::decode(j); }), SVDecodingError::Kind::typeMismatch) << key;
    }
    auto j = userJSON();
    j["sv_external_url"] = "not a url";
    EXPECT_EQ(thrownCode([&] { SVUser::decode(j); }), SVError::Code::missingInteractionURL);
    j["sv_external_url"] = "";
    EXPECT_EQ(thrownCode([&] { SVUser::decode(j); }), SVError::Code::missingInteractionURL);
    // The URL is checked before the key version is read.
    j.erase("sv_key_version");
    EXPECT_EQ(thrownCode([&] { SVUser::decode(j); }), SVError::Code::missingInteractionURL);
}

TEST(SVUserTest, OptionalMembersNeverFail) {
    auto j = userJSON();
    j["sv_api_version"] = "3";
    j["system_name"] = 7;
    j["system_settings"] = {{"confirm_code_time_sampling_interval", 45}};
    SVUser user = SVUser::decode(j);
    EXPECT_FALSE(user.apiVersion().has_value());
    EXPECT_FALSE(user.systemName().has_value());
    EXPECT_EQ(user.confirmationCodeTSI(), 45.0);
    EXPECT_EQ(user.authorizationCodeTSI(), 180.0) << "a missing interval keeps the preset";

    j["system_settings"] = "fast";
    user = SVUser::decode(j);
    EXPECT_EQ(user.confirmationCodeTSI(), 180.0);
    EXPECT_EQ(user.authorizationCodeTSI(), 180.0);
    j["system_settings"] = {{"confirm_code_time_sampling_interval", "30"}, {"auth_code_time_sampling_interval", 90}};
    user = SVUser::decode(j);
    EXPECT_EQ(user.confirmationCodeTSI(), 180.0);
    EXPECT_EQ(user.authorizationCodeTSI(), 90.0);
    for (const char* key : {"sv_api_version", "system_name", "ext_auth_available_methods", "system_settings"})
        j.erase(key);
    user = SVUser::decode(j);
    EXPECT_TRUE(user.extAuthMethods().empty());
    EXPECT_EQ(user.confirmationCodeTSI(), 180.0);

    // Nesting deep enough to overflow the stack, were it built, is refused as a whole.
    for (const char* key : {"ext_auth_available_methods", "system_settings"}) {
        j[key] = 0;
        std::string text = j.dump();
        std::string deep = std::string(200000, '[') + std::string(200000, ']');
        text.replace(text.find("\"" + std::string(key) + "\":0") + std::strlen(key) + 3, 1, deep);
        EXPECT_THROW(SVUser::decode(std::string_view(text)), SVDecodingError) << key;
        j.erase(key);
    }
}

TEST(SVUserTest, ExtendedAuthenticationMethodsAreDistinctAndKnown) {
    auto j = userJSON();
    j["ext_auth_available_methods"] = {"codeword", "codeword", "other"};
    EXPECT_EQ(SVUser::decode(j).extAuthMethods(), std::vector<SVExtendedAuthMethod>{SVExtendedAuthMethod::codeword});
    j["ext_auth_available_methods"] = {"oz_biometry", "Codeword"};
    EXPECT_EQ(SVUser::decode(j).extAuthMethods(),
              std::vector<SVExtendedAuthMethod>{SVExtendedAuthMethod::ozBiometry});
    j["ext_auth_available_methods"] = {"codeword", 1};
    EXPECT_TRUE(SVUser::decode(j).extAuthMethods().empty()) << "not an array of texts";
    j["ext_auth_available_methods"] = "codeword";
    EXPECT_TRUE(SVUser::decode(j).extAuthMethods().empty());
}

TEST(SVUserTest, TwoImportsAreDifferentUsers) {
    SVUser first = SVUser::decode(userJSON());
    SVUser second = SVUser::decode(userJSON());
    EXPECT_NE(first.storageID(), second.storageID());
    EXPECT_NE(first.uniqueID(), second.uniqueID());
    EXPECT_FALSE(first == second);
    SVUser copy = first;
    EXPECT_TRUE(copy == first);
    copy.setName("Mine");
    EXPECT_FALSE(copy == first);
    EXPECT_FALSE(first.name().has_value()) << "a copy is a value";
}

TEST(SVUserTest, ExpiryFollowsTheDeviceCalendarDay) {
    auto withExpiry = [](double timestamp) {
        return SVUser("u", "sys", SVUserOptions{}, "https://example.org", std::nullopt, std::nullopt, std::nullopt,
                      std::nullopt, {}, 180, 180, "s", 3, UserKeysContent::storedEncrypted(), timestamp);
    };
    // Valid all through the expiry day, expired from the next.
    SVDate lateToday = SVDate::fromTimeInterval(localTime(0, 23, 59, 0));
    EXPECT_FALSE(withExpiry(localTime(0, 0, 0, 1)).isExpired(lateToday));
    EXPECT_TRUE(withExpiry(localTime(-1, 23, 59, 59)).isExpired(SVDate::fromTimeInterval(localTime(0, 0, 0, 1))));
    EXPECT_FALSE(withExpiry(localTime(1, 0, 0, 0)).isExpired(lateToday));
    EXPECT_TRUE(withExpiry(localTime(-400, 12, 0, 0)).isExpired(lateToday)) << "an earlier year";
    // Without an argument: the device clock, not the corrected one.
    {
        svsdk::testing::ScopedClock clock(localTime(0, 23, 0, 0), 1000);
        TimeManager::setStableTime(StableTime{1000, localTime(0, 23, 0, 0), 7200});  // corrected: tomorrow
        EXPECT_FALSE(withExpiry(localTime(0, 0, 0, 1)).isExpired());
        EXPECT_TRUE(withExpiry(localTime(-1, 12, 0, 0)).isExpired());
    }
    // A date the calendar cannot place is not expired.
    EXPECT_FALSE(withExpiry(std::nan("")).isExpired());
    EXPECT_FALSE(withExpiry(-1e300).isExpired());
}

TEST(SVUserTest, ActivationAndReadinessToSign) {
    auto& handles = HandlesManager::shared();
    handles.removeAll();
    SVUser imported = storedUser("a", 3, UserKeysContent::importedDecrypted(numbered(32), numbered(32)));
    EXPECT_TRUE(imported.isActivated());
    EXPECT_FALSE(storedUser("a", 3, UserKeysContent::importedEncrypted(numbered(8))).isActivated());
    EXPECT_TRUE(storedUser("a", 1, UserKeysContent::legacyStoredEncrypted({}, {}, {})).isActivated());

    handles.add(numbered(32), HandleType::hmac, imported);
    handles.add(numbered(32), HandleType::auth, imported);
    EXPECT_FALSE(imported.isReadyToSign()) << "only stored users sign";

    SVUser current = storedUser("b");
    EXPECT_FALSE(current.isReadyToSign());
    handles.add(numbered(32), HandleType::hmac, current);
    EXPECT_TRUE(current.isReadyToSign());

    SVUser older = storedUser("c", 2);
    handles.add(numbered(32), HandleType::hmac, older);
    EXPECT_FALSE(older.isReadyToSign()) << "older users also need kAuth";
    handles.add(numbered(32), HandleType::auth, older);
    EXPECT_TRUE(older.isReadyToSign());
    handles.removeAll();
    EXPECT_FALSE(current.isReadyToSign());
}

TEST(HexBytesTest, OneTextPerByte) {
    EXPECT_EQ(hexBytes(Bytes{0x00, 0x0a, 0xff}), (std::vector<std::string>{"00", "0a", "ff"}));
    EXPECT_TRUE(hexBytes(Bytes{}).empty());
}
