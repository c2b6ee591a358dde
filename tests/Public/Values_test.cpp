// The public value types, the QR analysis and the settings of the facade.
#include <gtest/gtest.h>
#include <functional>

#include <stb_image.h>

#include <nlohmann/json.hpp>

#include <svsdk/Common/SVSDK.h>
#include <svsdk/SVExtendedAuth.h>
#include <svsdk/SVLogin.h>
#include <svsdk/SVNetworkError.h>
#include <svsdk/SVResult.h>
#include <svsdk/SVScoring.h>
#include <svsdk/SVUserOptions.h>

#include "Core/Diagnostics/Localization.h"
#include "Core/Diagnostics/Logger.h"
#include "Core/Utilities/Encoding.h"
#include "support/ScopedClock.h"
#include "support/Thrown.h"

using namespace svsdk;
using nlohmann::json;
using Kind = SVDecodingError::Kind;
using Net = SVNetworkError::Code;
using T = SVTransaction;

TEST(SVErrorTest, CodesTextsEqualityAndCapture) {
    for (int code = 1; code <= 28; ++code) {
        SVError error(static_cast<SVError::Code>(code));
        EXPECT_TRUE(error.rawCode() == code && error.errorDescription() != "**" + error.identifier().value() + "**") << code;
    }
    EXPECT_EQ(SVError::loginSessionIsExpired().identifier(), "login_session_is_expired");
    EXPECT_FALSE(SVError::secureEnclaveError("key failed").identifier());
    EXPECT_STREQ(SVError::secureEnclaveError("key failed").what(), "key failed");
    for (int outside : {29, -1})  // a cast code outside the table stands for internalError
        EXPECT_EQ(SVError(static_cast<SVError::Code>(outside)).identifier(), "internal_error") << outside;
    int cases = 0;  // network codes: 86 with texts; a cast stray is `undefined`
    for (std::int64_t code = -5; code < 400; ++code)
        if (auto error = SVNetworkError::fromRawValue(code); error && ++cases) {
            EXPECT_TRUE(error->errorCode() == code && error->errorDescription() != "**" + error->identifier() + "**") << code;
        }
    EXPECT_EQ(cases, 86);
    struct NetRow { Net code; std::int64_t number; const char* identifier; };
    const NetRow netRows[] = {  // every case, in declaration order
        {Net::undefined, -2, "undefined"}, {Net::serverDoesNotRespond, -1, "server_does_not_respond"},
        {Net::javaInternalError, 100, "java_internal_error"},
        {Net::systemPropertyError, 200, "system_property_error"}, {Net::systemIdIsNull, 201, "system_id_is_null"},
        {Net::systemIdIsWrong, 202, "system_id_is_wrong"}, {Net::systemNotFound, 203, "system_not_found"},
        {Net::systemIsDeleted, 204, "system_is_deleted"}, {Net::systemNameIsNull, 205, "system_name_is_null"},
        {Net::userIdIsNull, 206, "user_id_is_null"}, {Net::userIdPrefIsNull, 207, "user_id_pref_is_null"},
        {Net::userNotFound, 208, "user_not_found"}, {Net::userIsDeleted, 209, "user_is_deleted"},
        {Net::dsVerifyError, 210, "ds_verify_error"}, {Net::dsStructError, 211, "ds_struct_error"},
        {Net::storeTypeIsWrong, 212, "store_type_is_wrong"},
        {Net::keyContainerAliasIsNull, 213, "key_container_alias_is_null"},
        {Net::keyContainerNotExists, 214, "key_container_not_exists"},
        {Net::transactionDataUidError, 215, "transaction_data_uid_error"},
        {Net::transactionDataError, 216, "transaction_data_error"},
        {Net::transactionDataIsNull, 217, "transaction_data_is_null"},
        {Net::reportTplIsNull, 218, "report_tpl_is_null"}, {Net::requestError, 219, "request_error"},
        {Net::systemIdNotUnique, 220, "system_id_not_unique"},
        {Net::requestSignatureNotValid, 221, "request_signature_not_valid"},
        {Net::systemNotValid, 222, "system_not_valid"}, {Net::transactionIsNull, 231, "transaction_is_null"},
        {Net::transactionChecked, 232, "transaction_checked"},
        {Net::errorParseRegisterSystemInfo, 233, "error_parse_register_system_info"},
        {Net::incorrectUserType, 234, "incorrect_user_type"}, {Net::collectionIsEmpty, 235, "collection_is_empty"},
        {Net::noResult, 236, "no_result"}, {Net::pinIsEmpty, 237, "pin_is_empty"},
        {Net::fprintIsEmpty, 238, "fprint_is_empty"}, {Net::otpIsNotValid, 239, "otp_is_not_valid"},
        {Net::validDateExpired, 240, "valid_date_expired"}, {Net::systemTypeIsWrong, 241, "system_type_is_wrong"},
        {Net::spartLengthIsWrong, 242, "spart_length_is_wrong"}, {Net::dataTypeIsWrong, 243, "data_type_is_wrong"},
        {Net::invalidHmac, 244, "invalid_hmac"}, {Net::keyInfoNotFound, 245, "key_info_not_found"},
        {Net::wrongSystemType, 246, "wrong_system_type"}, {Net::fprintIsNotEmpty, 247, "fprint_is_not_empty"},
        {Net::wrongAuthCode, 248, "wrong_auth_code"}, {Net::confirmTypeIsNull, 249, "confirm_type_is_null"},
        {Net::storeTypeIsNull, 250, "store_type_is_null"}, {Net::deviceTypeIsNull, 251, "device_type_is_null"},
        {Net::transactionDataTypeIsNull, 252, "transaction_data_type_is_null"},
        {Net::userIdPrefTooLong, 253, "user_id_pref_too_long"},
        {Net::confirmCodeLengthIsWrong, 254, "confirm_code_length_is_wrong"},
        {Net::confirmCodeIsNull, 255, "confirm_code_is_null"},
        {Net::transactionIdIsNull, 256, "transaction_id_is_null"},
        {Net::statusListIsEmpty, 257, "status_list_is_empty"}, {Net::deviceIdIsNull, 258, "device_id_is_null"},
        {Net::deviceTypeIsIncorrect, 259, "device_type_is_incorrect"}, {Net::invalidOtp, 261, "invalid_otp"},
        {Net::invalidKdf, 263, "invalid_kdf"}, {Net::pinLengthIsWrong, 264, "pin_length_is_wrong"},
        {Net::pushIdIsNull, 265, "push_id_is_null"},
        {Net::transactionStatusInvalid, 267, "transaction_status_invalid"},
        {Net::authCodeIsNull, 268, "auth_code_is_null"},
        {Net::statusListIsIncorrect, 269, "status_list_is_incorrect"},
        {Net::declineReasonIsNull, 270, "decline_reason_is_null"},
        {Net::transactionIsNotUnique, 271, "transaction_is_not_unique"},
        {Net::billDateCorrupted, 272, "bill_date_corrupted"},
        {Net::userBillDateCorrupted, 273, "user_bill_date_corrupted"},
        {Net::transactionIsDeleted, 274, "transaction_is_deleted"},
        {Net::billRequestAlreadyProcessed, 275, "bill_request_already_processed"},
        {Net::pubkeyIsEmpty, 276, "pubkey_is_empty"}, {Net::pubkeyIsNotEmpty, 277, "pubkey_is_not_empty"},
        {Net::signatureIsInvalid, 278, "signature_is_invalid"}, {Net::signatureIsNull, 279, "signature_is_null"},
        {Net::signatureAndConfirmCodeAreNull, 280, "signature_and_confirm_code_are_null"},
        {Net::transactionExpired, 281, "transaction_expired"},
        {Net::jsonSchemeNotSupported, 282, "json_scheme_not_supported"},
        {Net::jsonRequestIncorrect, 283, "json_request_incorrect"},
        {Net::billingTypeCorrupted, 287, "billing_type_corrupted"},
        {Net::httpAuthCodeInvalid, 288, "http_auth_code_invalid"}, {Net::notSupported, 289, "not_supported"},
        {Net::extAuthTemplateNotFound, 290, "ext_auth_template_not_found"},
        {Net::extAuthFailed, 291, "ext_auth_failed"},
        {Net::extAuthTypeNotSupported, 292, "ext_auth_type_not_supported"},
        {Net::extAuthNeeded, 293, "ext_auth_needed"}, {Net::userIsBlocked, 294, "user_is_blocked"},
        {Net::keyExpired, 295, "key_expired"}, {Net::pushNotFound, 297, "push_not_found"},
    };
    for (const auto& [net, number, identifier] : netRows) {
        auto found = SVNetworkError::fromRawValue(number);
        EXPECT_TRUE(SVNetworkError(net).rawValue() == number && found && found->code() == net &&
                    found->identifier() == identifier && SVNetworkError(net).identifier() == identifier)
            << identifier;
    }
    EXPECT_EQ(std::size(netRows), 86u);
    EXPECT_EQ(SVNetworkError::fromRawValue(239)->identifier(), "otp_is_not_valid");
    EXPECT_EQ(SVNetworkError(static_cast<Net>(150)).identifier(), "undefined");

    const SVDecodingError keyA(Kind::keyNotFound, "a", "");
    std::pair<bool, bool> equalities[] = {  // {equal, expected}
        {SVError::secureEnclaveError("a") == SVError::secureEnclaveError("a"), true},
        {SVError::secureEnclaveError("a") == SVError::secureEnclaveError("b"), false},
        {SVError::internalError() == SVError::secureEnclaveError(""), false},
        {SVPlatformError("d", 1, "x") == SVPlatformError("d", 1, "y"), true}, {SVPlatformError("d", 1, "") == SVPlatformError("d", 2, ""), false},
        {keyA == SVDecodingError(Kind::keyNotFound, "a", "m"), true}, {keyA == SVDecodingError(Kind::typeMismatch, "a", ""), false},
        {keyA == SVDecodingError(Kind::keyNotFound, "b", ""), false},
        {SVNetworkError(Net::keyExpired) == *SVNetworkError::fromRawValue(295), true},
    };
    for (std::size_t i = 0; i < std::size(equalities); ++i) EXPECT_EQ(equalities[i].first, equalities[i].second) << i;

    SVResult<int> failed = SVError::userNotFound();
    EXPECT_TRUE(failed.error().is(SVError::Code::userNotFound) && !failed.error().is(Net::userNotFound));
    EXPECT_THROW(failed.value(), SVError);
    EXPECT_EQ(SVResult<int>(7).value(), 7);
    auto capture = [](auto thrower) {
        try {
            thrower();
        } catch (...) {
            return SVFailure::fromCurrentException();
        }
        return SVFailure(SVError::internalError());
    };
    EXPECT_TRUE(capture([] { throw SVNetworkError(Net::invalidHmac); }).is(Net::invalidHmac));
    EXPECT_EQ(capture([] { throw SVPlatformError("sqlite", 5, "busy"); }).get<SVPlatformError>()->domain(), "sqlite");
    EXPECT_EQ(capture([] { throw std::runtime_error("boom"); }).get<SVPlatformError>()->domain(), "exception");
    EXPECT_THROW(SVFailure(SVDecodingError(Kind::keyNotFound, "user_id", "")).raise(), SVDecodingError);
    EXPECT_STREQ(SVDecodingError(Kind::typeMismatch, "", "m").what(), "decoding failed (type mismatch): m");
    EXPECT_STREQ(SVDecodingError(Kind::keyNotFound, "user_id", "").what(), "decoding failed (key not found) at \"user_id\"");

    auto original = localization::table("Errors");  // texts come from replaceable tables
    localization::replaceTable("Errors", std::map<std::string, std::string>{{"empty_name", "Name fehlt."}});
    EXPECT_TRUE(SVError::emptyName().errorDescription() == "Name fehlt." && SVError::emptyPassword().errorDescription() == "**empty_password**");
    localization::replaceTable("Errors", original);
    EXPECT_EQ(SVError::emptyName().errorDescription(), "The name is empty.");
    EXPECT_EQ(SVError::localizedText("user_not_found", "NetworkErrors"), "User not found.");
}

// Lengths in characters (grapheme clusters; a stray byte is one), classes by Unicode.
TEST(UserOptionsTest, FlagsSelectViewsAndThePasswordPolicy) {
    using P = SVPasswordPolicy;
    std::tuple<P, std::string, bool> passwords[] = {
        {P::optional, "abcde", false}, {P::optional, "      ", true}, {P::short_, "e\u0301e\u0301e\u0301e\u0301e\u0301\u0301", false},
        {P::short_, std::string("\xff\xfe\xff\xfe\xff\xfe", 6), true}, {P::longWithLetters, "abcdefgh", false}, {P::longWithLetters, "ABCDEFGH", false},
        {P::longWithLetters, "aB12345", false}, {P::longWithLetters, "abcdefg\u01C5", true},  // title case counts as upper
        {P::longWithLetters, std::string(8, '\xff'), false}, {P::longWithLettersAndDigits, "abcdEFGH", false},
        {P::longWithLettersAndDigits, "\u0434ABCDEF\u0663", true},  // Cyrillic lowercase, Arabic-Indic digit
    };
    for (const auto& [policy, password, valid] : passwords) EXPECT_EQ(validate(policy, password), valid) << password;
    std::pair<std::int64_t, P> policies[] = {{0, P::optional}, {32, P::short_}, {64, P::longWithLetters}, {96, P::longWithLettersAndDigits}};
    for (auto [raw, policy] : policies) EXPECT_EQ(SVUserOptions{UserFlags(raw)}.passwordPolicy(), policy) << raw;
    using View = bool (SVUserOptions::*)() const;
    std::pair<std::int64_t, View> views[] = {
        {1, &SVUserOptions::isWithFingerprint}, {2, &SVUserOptions::isCollectEvents}, {4, &SVUserOptions::isCollectDeviceInfo},
        {8, &SVUserOptions::isCollectSimInfo}, {16, &SVUserOptions::isCollectLocation}, {128, &SVUserOptions::isDenyStoreWithOSProtection},
        {256, &SVUserOptions::isDenyRenewPubKey}, {512, &SVUserOptions::isAutosignEnabled}, {1024, &SVUserOptions::isScoringEnabled},
    };
    for (auto [bit, view] : views)
        EXPECT_TRUE((SVUserOptions{UserFlags(bit)}.*view)() && !(SVUserOptions{UserFlags(~bit)}.*view)()) << bit;
    EXPECT_FALSE(SVUserOptions{UserFlags(1)} == SVUserOptions{UserFlags(1 | 2048)}) << "unknown bits are kept";
}

TEST(TransactionTest, DecodesMembersAndSwallowsMistypedOptionalOnes) {
    EXPECT_EQ(T::decode(R"({"transaction_id": "T1", "user_id": "U1", "system_id": "S1", "confirm_code_length": 8,
        "extended_check": true, "text": "Pay 10", "text_render_type": "markdown", "binary_data_url": "https://x/doc",
        "binary_data": "AQID", "confirm_type": "PUSH", "autosign_enabled": false, "sv_transaction_version": "2"})"),
              T("T1", "U1", "S1", 8, true, SVConfirmationType::online, "Pay 10", Bytes{1, 2, 3},
                T::TextRenderType::markdown, "2", "https://x/doc", false));
    const json minimal = {{"transaction_id", "T1"}, {"user_id", "U1"}, {"system_id", "S1"}, {"confirm_code_length", 6}};
    auto with = [](std::optional<Bytes> data = std::nullopt, SVConfirmationType type = SVConfirmationType::online) {
        return T("T1", "U1", "S1", 6, false, type, std::nullopt, std::move(data));
    };
    std::tuple<const char*, json, T> cases[] = {
        {"extended_check", "true", with()}, {"text", 5, with()}, {"text_render_type", "html", with()},
        {"binary_data", "not base64!", with()}, {"binary_data", "", with(Bytes{})}, {"autosign_enabled", "yes", with()},
        {"confirm_type", "offline", with()}, {"confirm_type", "OFFLINE", with({}, SVConfirmationType::offline)},
        {"confirm_code_length", -1, with()},
    };
    for (const auto& [key, value, expected] : cases) {
        json j = minimal;
        j[key] = value;
        EXPECT_EQ(T::decode(j), expected) << key << " " << value.dump();
    }
    EXPECT_TRUE(with(Bytes{}).hasBinaryData() && !with().hasBinaryData());
    EXPECT_TRUE(T("T", "U", "S", 6, false, SVConfirmationType::online, std::nullopt, std::nullopt, T::TextRenderType::raw,
                  std::nullopt, std::string("https://x")).hasBinaryData());
    std::tuple<const char*, json, Kind> required[] = {  // a null value: the key is missing
        {"transaction_id", json(), Kind::keyNotFound}, {"user_id", 7, Kind::typeMismatch},
        {"confirm_code_length", 6.5, Kind::dataCorrupted},
    };
    for (const auto& [key, value, kind] : required) {
        json j = minimal;
        if (value.is_null()) j.erase(key); else j[key] = value;
        auto error = svsdk::testing::thrownAs<SVDecodingError>([&] { T::decode(j); });
        EXPECT_TRUE(error && error->kind() == kind && error->codingPath() == key) << key << " " << value.dump();
    }
    EXPECT_THROW(T::decode(json::array()), SVDecodingError);
    EXPECT_EQ(json::array({SVExtendedAuthMethod::ozBiometry}).dump(), R"(["oz_biometry"])");

    // Equal only when every field is: each row changes one field of the base.
    struct Fields {
        std::string id = "T1", user = "U1", system = "S1";
        std::int64_t length = 8;
        bool extended = true;
        SVConfirmationType type = SVConfirmationType::online;
        std::optional<std::string> text = "Pay";
        std::optional<Bytes> data = Bytes{1};
        T::TextRenderType render = T::TextRenderType::markdown;
        std::optional<std::string> version = "2", url = "https://x/doc";
        std::optional<bool> autosign = true;
        T make() const {
            return T(id, user, system, length, extended, type, text, data, render, version, url, autosign);
        }
    };
    const std::function<void(Fields&)> changes[] = {
        [](Fields& f) { f.id = "T2"; }, [](Fields& f) { f.user = "U2"; }, [](Fields& f) { f.system = "S2"; },
        [](Fields& f) { f.length = 6; }, [](Fields& f) { f.extended = false; },
        [](Fields& f) { f.type = SVConfirmationType::offline; }, [](Fields& f) { f.text.reset(); },
        [](Fields& f) { f.data = Bytes{2}; }, [](Fields& f) { f.render = T::TextRenderType::raw; },
        [](Fields& f) { f.version = "3"; }, [](Fields& f) { f.url.reset(); }, [](Fields& f) { f.autosign = false; },
    };
    const T base = Fields().make();
    EXPECT_TRUE(Fields().make() == base);
    for (std::size_t field = 0; field < std::size(changes); ++field) {
        Fields changed;
        changes[field](changed);
        EXPECT_FALSE(changed.make() == base) << "field " << field;
        EXPECT_FALSE(base == changed.make()) << "field " << field;
        EXPECT_TRUE(changed.make() == changed.make()) << "field " << field;
    }
}

// A codeword is the hex SHA-256 of its text; an image is redrawn as a JPEG
// (read back by another decoder) with longer side 1024, the colour kept and
// transparency drawn as black; an unusable image gives "".
TEST(ExtendedAuthTest, CodewordAndBiometryValues) {
    EXPECT_EQ(SVCodewordExtendedAuth("abc").value(), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_TRUE(SVCodewordExtendedAuth("abc").type() == rawValue(SVExtendedAuthMethod::codeword) &&
                SVOzBiometryExtendedAuth(nullptr).type() == rawValue(SVExtendedAuthMethod::ozBiometry));
    auto solid = [](std::size_t w, std::size_t h, std::uint8_t g, std::uint8_t a = 255) {
        std::vector<std::uint8_t> pixels;
        for (std::size_t i = 0; i < w * h; ++i) pixels.insert(pixels.end(), {200, g, 30, a});
        return std::make_shared<const SVImage>(w, h, std::move(pixels));
    };
    std::tuple<std::shared_ptr<const SVImage>, int, int, int> cases[] = {  // image, width, height, middle's green
        {solid(500, 1000, 120), 512, 1024, 120}, {solid(64, 64, 255, 0), 1024, 1024, 0}, {nullptr, 0, 0, 0},
        {std::make_shared<const SVImage>(10, 10, std::vector<std::uint8_t>(399)), 0, 0, 0},  // too few pixels
    };
    for (const auto& [image, width, height, green] : cases) {
        Bytes jpeg = base64Decode(SVOzBiometryExtendedAuth(image).value()).value_or(Bytes{1});  // no line breaks either
        int w = 0, h = 0, components = 0;
        unsigned char* pixels = stbi_load_from_memory(jpeg.data(), static_cast<int>(jpeg.size()), &w, &h, &components, 3);
        EXPECT_TRUE(width ? pixels && components == 3 && w == width && h == height : jpeg.empty()) << w << "x" << h;
        EXPECT_NEAR(pixels ? pixels[(std::size_t(w) * (h / 2) + w / 2) * 3 + 1] : green, green, 6) << w << "x" << h;
        stbi_image_free(pixels);
    }
    using Parameters = SVScoringParameters<nlohmann::ordered_json>;  // the provider goes first
    EXPECT_EQ(nlohmann::ordered_json(Parameters("zeta", {{"b", 1}, {"a", 2}})).dump(), R"({"provider":"zeta","parameters":{"b":1,"a":2}})");
    static_assert(!std::is_constructible_v<nlohmann::json, Parameters>, "a sorted object would put provider last");
}

TEST(SVSDKTest, ClassifiesQRTextsAndAppliesSettings) {
    using Q = SVQRType;
    std::pair<std::string, SVQRType> cases[] = {
        // Plain text: the code is the first three characters.
        {"201\nSYS\nuser", Q::user}, {"202\nSYS\nuser", Q::user}, {"203\nSYS\ntx", Q::transaction},
        {"204\nSYS\nuser", Q::none}, {"2011\nSYS", Q::none}, {"2\xCC\x81" "03\n", Q::none}, {"20", Q::none},
        // JSON objects by their keys, in order.
        {R"({"auth_template": 1, "transaction_id": "t"})", Q::restoreRequisites},
        {R"({"transaction_id": "t", "sv_external_url": "u"})", Q::transaction},
        {R"({"sv_external_url": null, "type": "login"})", Q::user},
        {R"({"type": "login"})", Q::login}, {R"({"type": "LOGIN"})", Q::none}, {R"({"type": 1})", Q::none},
        {R"({"other": "login"})", Q::none}, {"[1]", Q::none},
        {"{\"a\":" + std::string(100000, '[') + std::string(100000, ']') + "}", Q::none},  // too deep
        // XML: the keyData element ends the text.
        {"<user><keyData>", Q::user}, {"<user><keyData>abc</keyData>", Q::user},
        {"<user><keyData>abc</keyData>\n</user>", Q::none}, {"<user><keydata>", Q::none},
        {"<user>\xD8\x80</keyData>", Q::none},  // U+0600 joins the "<" after it
    };
    for (const auto& [text, expected] : cases)
        EXPECT_EQ(rawValue(SVSDK::analyze(text)), rawValue(expected)) << "text: " << text.substr(0, 80);

    svsdk::testing::ScopedClock clock(1700000000.0, 500.0);
    TimeManager::setStableTime(StableTime{400.0, 1699999900.0, 12.5});
    EXPECT_EQ(SVSDK::now().timeIntervalSince1970, 1700000012.5) << "the corrected clock";
    SVSDK::setLogLevel(SVLoggingOptions::debug | SVLoggingOptions::keys);
    SVSDK::setLogLevel(SVLoggingOptions::debug);
    EXPECT_EQ(Logger::options(), SVLoggingOptions::debug) << "replaced, not added";
    SVSDK::setLogLevel(std::nullopt);
    EXPECT_TRUE(Logger::options().isEmpty());
    EXPECT_EQ(SVSDK::apiVersion(), 3) << "the highest protocol generation spoken";

    // A login QR text is refused unless it decodes whole as a login that lasts by the device clock (behind the
    // corrected one here), which reads its end already too late.
    const json session = {{"sid", "s"}, {"sysId", "y"}, {"type", "login"}, {"expires", 1700000000.5}, {"pulp", "AQI="},
                          {"loqUrl", "http://127.0.0.1:1/loq"}, {"other", 1}};
    auto with = [&](const json& change) { json text = session; return text.merge_patch(change), text.dump(); };
    using Code = SVError::Code;
    std::pair<std::string, Code> logins[] = {
        {"not json", Code::invalidQR}, {with({{"type", "user"}}), Code::invalidQR}, {with({{"type", "none"}}), Code::invalidQR},
        {with({{"type", "Login"}}), Code::invalidQR}, {with({{"pulp", nullptr}}), Code::invalidQR},
        {with({{"pulp", "AQI*"}}), Code::invalidQR}, {with({{"sid", nullptr}}), Code::invalidQR},
        {with({{"loqUrl", nullptr}}), Code::invalidQR}, {with({{"expires", "1800000000"}}), Code::invalidQR},
        {with({{"type", "user"}, {"expires", 1}}), Code::invalidQR},
        {with({{"expires", 1800000000}}) + std::string(1, '\0') + " garbage }", Code::invalidQR},
        {with({{"expires", 1700000000}}), Code::loginSessionIsExpired}, {with({{"expires", 1}}), Code::loginSessionIsExpired},
    };
    for (const auto& [text, code] : logins)
        EXPECT_EQ(svsdk::testing::thrownCode([&] { SVLogin::importFromJSON(text); }), code) << text;
    EXPECT_EQ(SVLogin::importFromJSON(with(json::object())).pulp(), (Bytes{1, 2}));
}
