#include <gtest/gtest.h>

#include <functional>

#include <svsdk/SVNetworkError.h>

#include "Platform/HostState.h"
#include "Core/Networking/LegacyRequest.h"
#include "Core/Networking/NetSupport.h"
#include "Core/Security/Keychain.h"
#include "support/Thrown.h"

using namespace svsdk;
using namespace svsdk::testing;
using nlohmann::json;

namespace {

std::string tlvItem(unsigned char tag, const std::string& value) {
    std::string item(1, static_cast<char>(tag));
    for (int shift = 24; shift >= 0; shift -= 8) item += static_cast<char>((value.size() >> shift) & 0xff);
    return item + value;
}
std::string tlvTime(double time) {
    auto whole = static_cast<std::uint64_t>(time);
    std::string value;
    for (int shift = 56; shift >= 0; shift -= 8) value += static_cast<char>((whole >> shift) & 0xff);
    return tlvItem(20, value.substr(value.find_first_not_of('\0')));
}

constexpr double kWall = 1767225600.0;  // a multiple of both time steps
const std::string kAuthTime = tlvTime(kWall / 30);
const std::string kConfirmTime = tlvTime(kWall / 180);
const std::string kText = "Pay 10 EUR";

SVTransaction transaction(std::optional<Bytes> binary = std::nullopt) {
    return SVTransaction("T-1", "user-1", "system-1", 6, false, SVConfirmationType::online, kText, std::move(binary));
}

class LegacyTest : public ::testing::Test, public ::testing::WithParamInterface<std::int64_t> {
protected:
    LegacyTest() : platform(SVLoggingOptions::debug), clock(kWall, 5000) {}
    SVUser user(std::int64_t flags = 0) const { return legacyUser("user-1", flags, server.baseURL()); }
    APIInteractorLegacy interactor() const { return APIInteractorLegacy(server.url(), server.version()); }

    ScopedPlatform platform;
    ScopedClock clock;
    LegacyServer server{2};
    ScopedLegacyUser scoped{user()};
};

}  // namespace

// Each request type: its envelope, its parameters and its codes, recomputed.
TEST_P(LegacyTest, EachRequestTypeSendsItsParametersSignedWithItsCode) {
    LegacyServer versioned(GetParam(), "/srv");
    APIInteractorLegacy legacy(versioned.url(), GetParam());
    const std::string& fingerprint = Keychain::deviceFingerprint();
    const std::string publicKey = scoped.publicKey().spkiHexString();
    const std::string ids = tlvItem(22, "system-1") + tlvItem(18, "user-1");
    const std::string confirmBlock = tlvItem(17, kText) + tlvItem(18, "user-1") + kConfirmTime;
    struct Case {
        std::string type;
        std::function<void()> run;
        json request;                       // without "auth_code" and "signature"
        std::optional<std::string> block;   // of "auth_code"
    };
    const std::vector<Case> cases{
        {"reg_fingerprint", [&] { await(legacy.registerUser(user(1), std::nullopt, std::nullopt)); },
         {{"system_id", "system-1"}, {"user_id", "user-1"}, {"fingerprint", fingerprint}},
         ids + tlvItem(19, fingerprint) + kAuthTime},
        {"reg_pubkey", [&] { await(legacy.registerUser(user(), scoped.publicKey(), std::nullopt)); },
         {{"system_id", "system-1"}, {"user_id", "user-1"}, {"public_key", publicKey}},
         ids + tlvItem(33, publicKey) + kAuthTime},
        {"reg_device", [&] { await(legacy.registerUser(user(), std::nullopt, "tok")); },
         {{"system_id", "system-1"}, {"user_id", "user-1"}, {"device_type", "iOS"},
          {"device_id", "tok####org.example.host"}},
         ids + tlvItem(23, "iOS") + tlvItem(24, "tok####org.example.host") + kAuthTime},
        // The bundle identifier start-up records counts, not the platform's.
        {"reg_device",
         [&] {
             HostState::setHostBundleIdentifier(std::nullopt);
             await(legacy.registerUser(user(), std::nullopt, "tok"));
         },
         {{"system_id", "system-1"}, {"user_id", "user-1"}, {"device_type", "iOS"}, {"device_id", "tok####"}},
         ids + tlvItem(23, "iOS") + tlvItem(24, "tok####") + kAuthTime},
        {"get_transactions", [&] { await(legacy.getTransactionList(user())); },
         {{"user_id", "user-1"}, {"transaction_status", {"initialized", "pushSent", "dataSent"}}},
         tlvItem(18, "user-1") + tlvItem(25, "initialized") + tlvItem(25, "pushSent") + tlvItem(25, "dataSent") +
             kAuthTime},
        {"get_transaction_data", [&] { await(legacy.getTransaction("T-1", user())); },
         {{"user_id", "user-1"}, {"transaction_id", "T-1"}}, tlvItem(21, "T-1") + kAuthTime},
        // Scoring parameters leave the confirmation unchanged.
        {"confirm_transaction",
         [&] { await(legacy.confirm(transaction(), user(), std::optional(SVScoringParameters<int>("risk", 7)))); },
         {{"transaction_id", "T-1"}, {"confirm_code", hmacHex(scoped.kHMAC(), confirmBlock)}},
         tlvItem(21, "T-1") + kAuthTime},
        {"decline_transaction", [&] { await(legacy.decline(transaction(), user())); },
         {{"transaction_id", "T-1"},
          {"decline_code",
           hmacHex(scoped.kHMAC(), tlvItem(17, kText + "not authorized") + tlvItem(18, "user-1") + kConfirmTime)},
          {"decline_reason", "not authorized"}},
         tlvItem(21, "T-1") + kAuthTime},
        {"password_invalid", [&] { legacy.sendPasswordIncorrectEvent(user()); },
         {{"system_id", "system-1"}, {"user_id", "user-1"}}, std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.type);
        versioned.server.clearRequests();
        c.run();
        ASSERT_TRUE(versioned.server.waitForRequests(1));
        auto recorded = versioned.server.requests();
        ASSERT_EQ(recorded.size(), 1u);
        EXPECT_EQ(recorded[0].method + " " + recorded[0].path, "POST /srv/jsonrequest_v" + std::to_string(GetParam()));
        EXPECT_EQ(recorded[0].header("Authorization"), expectedSignature(legacyKAuth(), recorded[0].body));
        json body = json::parse(recorded[0].body);
        json request = body["request"];
        EXPECT_EQ(body, (json{{"$schema", "sigvane-request-schema-v" + std::to_string(GetParam()) + ".json"},
                              {"request_type", c.type}, {"request_version", GetParam()}, {"request", request}}));
        EXPECT_EQ(request.value("auth_code", ""), c.block ? hmacHex(legacyKAuth(), *c.block) : "");
        EXPECT_EQ(c.type == "confirm_transaction",
                  scoped.publicKey().verify(bytesOf(confirmBlock),
                                            bytesFromHex(request.value("signature", "")).value_or(Bytes{})));
        request.erase("auth_code");
        request.erase("signature");
        EXPECT_EQ(request, c.request);
    }
}

INSTANTIATE_TEST_SUITE_P(Versions, LegacyTest, ::testing::Values(1, 2));

TEST_F(LegacyTest, CollectedDataGoesIntoTheParametersOnlyWithTheEventsOption) {
    for (auto [flags, event, deviceInfo] : {std::tuple{0x4, false, false}, {0x2, true, false}, {0x2 | 0x4, true, true}}) {
        server.server.clearRequests();
        await(interactor().getTransactionList(user(flags)));
        json request = server.bodies().at(0)["request"];
        EXPECT_EQ(request.contains("device_info"), deviceInfo) << flags;
        EXPECT_EQ(request.contains("event"), event) << flags;
        EXPECT_TRUE(!event || (request["event"].size() == 3 && request["event"]["device_time"].is_number_integer()));
    }
    EXPECT_TRUE(platform.log().contains(SVLogCategory::events, "Attaching collected info"));
}

TEST_F(LegacyTest, RegistrationSendsItsStepsInOrderAndStopsAtTheFirstFailure) {
    auto nothing = interactor().registerUser(user(), std::nullopt, std::nullopt);
    EXPECT_TRUE(nothing.isSettled() && nothing.result()->ok() && server.server.requestCount() == 0);
    ScriptedAnswer slow = ScriptedAnswer::json(200, "{}");
    slow.delay = 0.2;  // a step sent before this answer would be recorded first
    using Types = std::vector<std::string>;
    for (auto [failing, sent] : {std::pair{"", Types{"reg_fingerprint", "reg_pubkey", "reg_device"}},
                                 {"reg_fingerprint", Types{"reg_fingerprint"}},
                                 {"reg_pubkey", Types{"reg_fingerprint", "reg_pubkey"}}}) {
        server.server.clearRequests();
        server.answer("reg_fingerprint", slow);
        server.answer("reg_pubkey", ScriptedAnswer::json(200, "{}"));
        server.answer(failing, ScriptedAnswer::json(400, R"({"answer":{"result":{"error_code":221}}})"));
        auto result = await(interactor().registerUser(user(1), scoped.publicKey(), "tok"));
        EXPECT_TRUE(*failing ? result.error().is(SVNetworkError::Code::requestSignatureNotValid) : result.ok());
        EXPECT_EQ(server.types(), sent);
    }
}

// Calls that fail (or return) at once, send nothing, and log why.
TEST_F(LegacyTest, CallsThatCannotBeSentFailAtOnce) {
    SVUser stranger = legacyUser("user-2", 1, server.baseURL());  // no authorization key
    auto legacy = interactor();
    SVLogin login("system-1", kWall + 60, "session", SVQRType::login, Bytes{}, server.baseURL());
    JSONScoringParameters scoring("risk", json::object());
    const std::string na = " is not available for this API version";
    struct Case {
        std::function<void()> call;
        std::optional<SVError::Code> code;
        std::string line;
    };
    const auto missing = SVError::Code::missingKAuth, unavailable = SVError::Code::endpointUnavailable;
    const std::vector<Case> cases{
        {[&] { legacy.registerUser(stranger, scoped.publicKey(), "tok"); }, missing, ""},
        {[&] { legacy.getTransactionList(stranger); }, missing, ""},
        {[&] { legacy.confirm(transaction(), stranger, std::nullopt); }, missing, ""},
        {[&] { legacy.sendPasswordIncorrectEvent(stranger); }, missing, ""},
        {[&] { legacy.getTransactionBinaryData(transaction(), user()); }, SVError::Code::binaryDataIsUnavaiable, ""},
        {[&] { legacy.registerExtAuthTemplate(user(), SVCodewordExtendedAuth("word")).result()->error().raise(); },
         unavailable, "Registering extended authentication's template is not available for this server "},
        {[&] { legacy.renew(user()); }, unavailable, "A renewing user" + na},
        {[&] { legacy.sendKeyDeletedEvent(user()); }, std::nullopt, "A deleting user event" + na},
        {[&] { legacy.requestLoginTransaction(user(), login); }, unavailable, "QR login" + na},
        {[&] { legacy.registerToAutosign(user()); }, unavailable, "Autosign" + na},
        {[&] { legacy.getScoringSettings(user()); }, unavailable, "Scoring" + na},
        {[&] { legacy.getAutosignTransactionList(user()); }, unavailable, "Autosign" + na},
        {[&] { legacy.autosign(transaction(), user(), scoring); }, unavailable, "Autosign" + na},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        platform.log().clear();
        if (c.code)
            EXPECT_EQ(thrownCode(c.call), *c.code);
        else
            EXPECT_NO_THROW(c.call());
        EXPECT_TRUE(c.line.empty() || platform.log().anyContains(c.line));
    }
    EXPECT_EQ(server.server.requestCount(), 0u);
    SVTransaction withData = transaction(Bytes{1, 2, 3});
    EXPECT_EQ(legacy.getTransactionBinaryData(withData, user()).result()->value(), withData);
}

TEST_F(LegacyTest, AnswersAreReshapedOrRefused) {
    const std::string base = R"("transaction_id":"server-id","user_id":"someone-else","confirm_code_length":6)";
    auto missing = [](const SVFailure& f) { return f.is(SVError::Code::missingRequestedData); };
    auto decoding = [](const SVFailure& f) { return f.is<SVDecodingError>(); };
    auto parsing = [](const SVFailure& f) { return f.is<SVPlatformError>() && f.get<SVPlatformError>()->domain() == "json"; };
    auto record = [&](const std::string& more) { return R"({"answer":{"transaction_data":{)" + base + more + "}}}"; };
    struct Case {
        std::string answer;
        std::optional<std::string> text, binaryData;  // of the decoded transaction
        std::function<bool(const SVFailure&)> failure = {};
    };
    const std::vector<Case> cases{
        {record(R"(,"text":"top")"), "top", std::nullopt},
        {record(R"(,"text":"top","transaction_data":{"transaction_text":""})"), std::nullopt, std::nullopt},
        {record(R"(,"text":"top","transaction_data":{"transaction_text":"in"})"), "in", std::nullopt},
        {record(R"(,"text":"top","transaction_data":"odd")"), "top", std::nullopt},
        {record(R"(,"binary_data":"YWJj","transaction_data":{"binary_data":5})"), std::nullopt, std::nullopt},
        {record(R"(,"transaction_data":{"binary_data":"YWJj"})"), std::nullopt, "abc"},
        {R"({"answer":[]})", std::nullopt, std::nullopt, missing},
        {R"({"answer":{"transaction_data":{"confirm_code_length":"six"}}})", std::nullopt, std::nullopt, decoding},
        {"{\"answer\":{\"transaction_data\":{\"text\":\"\xff\"}}}", std::nullopt, std::nullopt, parsing},
        {record(R"(,"text":"top")") + '\0' + record(R"(,"text":"top")"), std::nullopt, std::nullopt, parsing},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.answer.substr(0, 160));
        server.answer("get_transaction_data", ScriptedAnswer::json(200, c.answer));
        auto result = await(interactor().getTransaction("T-9", user()));
        if (c.failure) {
            EXPECT_TRUE(!result.ok() && c.failure(result.error()));
            continue;
        }
        ASSERT_TRUE(result.ok()) << result.error().description();
        const SVTransaction& t = result.value();
        EXPECT_EQ(t.transactionID() + " " + t.userID() + " " + t.systemID(), "T-9 user-1 system-1");
        EXPECT_EQ(t.text(), c.text);
        EXPECT_EQ(t.downloadedBinaryData(), c.binaryData ? std::optional(bytesOf(*c.binaryData)) : std::nullopt);
    }
    // A list is read only when the answer is the whole text: a NUL byte ends none.
    const std::string list = R"({"answer":{"transaction_list":["t-1"]}})";
    server.answer("get_transactions", ScriptedAnswer::json(200, list));
    EXPECT_EQ(await(interactor().getTransactionList(user())).value(), std::vector<std::string>{"t-1"});
    server.answer("get_transactions", ScriptedAnswer::json(200, list + '\0' + "garbage"));
    auto cut = await(interactor().getTransactionList(user()));
    EXPECT_TRUE(!cut.ok() && parsing(cut.error()));
}
