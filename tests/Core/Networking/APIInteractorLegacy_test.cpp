#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <functional>
#include <set>

#include <svsdk/SVNetworkError.h>

#include "Core/HostState.h"
#include "Core/Networking/APIInteractionManager.h"
#include "Core/Networking/Dispatch.h"
#include "Core/Networking/LegacyRequest.h"
#include "Core/Networking/LegacySupport.h"
#include "Core/Security/Keychain.h"
#include "Core/Utilities/Encoding.h"
#include "support/Await.h"
#include "support/ScopedClock.h"
#include "support/TestEnvironment.h"
#include "support/Thrown.h"

using namespace svsdk;
using namespace svsdk::testing;
using nlohmann::json;

namespace {

constexpr double kWall = 1767225600.0;  // a multiple of both time steps
const std::string kAuthTime = tlvTime(kWall / 30);
const std::string kConfirmTime = tlvTime(kWall / 180);
const std::string kText = "Pay 10 EUR";

SVTransaction transaction(std::optional<Bytes> binary = std::nullopt) {
    return SVTransaction("T-1", "user-1", "system-1", 6, false, SVConfirmationType::online, kText, std::move(binary));
}

std::set<std::string> keysOf(const json& object) {
    std::set<std::string> keys;
    for (const auto& [key, value] : object.items()) keys.insert(key);
    return keys;
}

bool verifies(const SecKey& publicKey, const std::string& block, const std::string& signatureHex) {
    Bytes der = bytesFromHex(publicKey.spkiHexString()).value_or(Bytes{});
    const unsigned char* cursor = der.data();
    EVP_PKEY* key = d2i_PUBKEY(nullptr, &cursor, static_cast<long>(der.size()));
    Bytes signature = bytesFromHex(signatureHex).value_or(Bytes{});
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    bool ok = key && EVP_DigestVerifyInit(context, nullptr, EVP_sha256(), nullptr, key) == 1 &&
              EVP_DigestVerify(context, signature.data(), signature.size(),
                               reinterpret_cast<const unsigned char*>(block.data()), block.size()) == 1;
    EVP_MD_CTX_free(context);
    EVP_PKEY_free(key);
    return ok;
}

class LegacyTest : public ::testing::Test {
protected:
    LegacyTest() : platform(SVLoggingOptions::debug), clock(kWall, 5000) {}

    // The server's user, the scoped one's twin with other flags.
    SVUser user(std::int64_t flags = 0) const { return legacyUser("user-1", flags, server.baseURL()); }
    APIInteractorLegacy interactor() const { return APIInteractorLegacy(server.url(), server.version()); }
    std::vector<std::string> logLines(SVLogCategory category) {
        std::vector<std::string> lines;
        for (const auto& entry : platform.log().entries())
            if (entry.category == category) lines.push_back(entry.message);
        return lines;
    }

    ScopedPlatform platform;
    ScopedClock clock;
    LegacyServer server{2};
    ScopedLegacyUser scoped{user()};
};

class LegacyEnvelopeTest : public LegacyTest, public ::testing::WithParamInterface<std::int64_t> {};

}  // namespace

TEST_P(LegacyEnvelopeTest, EachRequestTypeSendsItsParametersSignedWithItsCode) {
    LegacyServer versioned(GetParam(), "/srv");
    APIInteractorLegacy legacy(versioned.url(), GetParam());
    const std::string& fingerprint = Keychain::deviceFingerprint();
    const std::string publicKey = scoped.publicKey().spkiHexString();
    const std::string ids = tlvItem(22, "system-1") + tlvItem(18, "user-1");
    struct Case {
        std::string type;
        std::function<void()> run;
        std::map<std::string, json> request;  // every member; null: checked by its code below
        std::optional<std::string> block;     // of "auth_code"
    };
    const std::vector<Case> cases{
        {"reg_fingerprint", [&] { await(legacy.registerUser(user(1), std::nullopt, std::nullopt)); },
         {{"system_id", "system-1"}, {"user_id", "user-1"}, {"fingerprint", fingerprint}, {"auth_code", nullptr}},
         ids + tlvItem(19, fingerprint) + kAuthTime},
        {"reg_pubkey", [&] { await(legacy.registerUser(user(), scoped.publicKey(), std::nullopt)); },
         {{"system_id", "system-1"}, {"user_id", "user-1"}, {"public_key", publicKey}, {"auth_code", nullptr}},
         ids + tlvItem(33, publicKey) + kAuthTime},
        {"reg_device", [&] { await(legacy.registerUser(user(), std::nullopt, "tok")); },
         {{"system_id", "system-1"}, {"user_id", "user-1"}, {"device_type", "iOS"},
          {"device_id", "tok####org.example.host"}, {"auth_code", nullptr}},
         ids + tlvItem(23, "iOS") + tlvItem(24, "tok####org.example.host") + kAuthTime},
        {"get_transactions", [&] { await(legacy.getTransactionList(user())); },
         {{"user_id", "user-1"}, {"transaction_status", {"initialized", "pushSent", "dataSent"}}, {"auth_code", nullptr}},
         tlvItem(18, "user-1") + tlvItem(25, "initialized") + tlvItem(25, "pushSent") + tlvItem(25, "dataSent") +
             kAuthTime},
        {"get_transaction_data", [&] { await(legacy.getTransaction("T-1", user())); },
         {{"user_id", "user-1"}, {"transaction_id", "T-1"}, {"auth_code", nullptr}}, tlvItem(21, "T-1") + kAuthTime},
        {"confirm_transaction", [&] { await(legacy.confirm(transaction(), user(), std::nullopt)); },
         {{"transaction_id", "T-1"},
          {"confirm_code", hmacHex(scoped.kHMAC(), tlvItem(17, kText) + tlvItem(18, "user-1") + kConfirmTime)},
          {"signature", nullptr}, {"auth_code", nullptr}},
         tlvItem(21, "T-1") + kAuthTime},
        {"decline_transaction", [&] { await(legacy.decline(transaction(), user())); },
         {{"transaction_id", "T-1"},
          {"decline_code",
           hmacHex(scoped.kHMAC(), tlvItem(17, kText + "not authorized") + tlvItem(18, "user-1") + kConfirmTime)},
          {"decline_reason", "not authorized"}, {"auth_code", nullptr}},
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
        EXPECT_EQ(recorded[0].method + " " + recorded[0].path, "POST " + versioned.path());
        EXPECT_EQ(recorded[0].header("Authorization"), authorizationOf(recorded[0].body));
        json body = json::parse(recorded[0].body);
        EXPECT_EQ(keysOf(body), (std::set<std::string>{"$schema", "request_type", "request_version", "request"}));
        EXPECT_EQ(body["$schema"], "sigvane-request-schema-v" + std::to_string(GetParam()) + ".json");
        EXPECT_EQ(body["request_version"], GetParam());
        EXPECT_EQ(body["request_type"], c.type);
        const json& request = body["request"];
        std::set<std::string> expectedKeys;
        for (const auto& [key, value] : c.request) {
            expectedKeys.insert(key);
            if (!value.is_null()) {
                EXPECT_EQ(request.value(key, json()), value) << key;
            }
        }
        EXPECT_EQ(keysOf(request), expectedKeys);
        if (c.block) {
            EXPECT_EQ(request.value("auth_code", ""), hmacHex(legacyKAuth(), *c.block));
        }
        if (request.contains("signature")) {
            EXPECT_TRUE(verifies(scoped.publicKey(), tlvItem(17, kText) + tlvItem(18, "user-1") + kConfirmTime,
                                 request["signature"]));
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Versions, LegacyEnvelopeTest, ::testing::Values(1, 2));

TEST_F(LegacyTest, CollectedDataGoesIntoTheParametersOnlyWithTheEventsOption) {
    struct Case {
        std::int64_t flags;
        bool event, deviceInfo;
    } cases[] = {{0, false, false}, {0x2, true, false}, {0x2 | 0x4, true, true}, {0x4, false, false},
                 {0x8 | 0x10, false, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.flags);
        server.server.clearRequests();
        await(interactor().getTransactionList(user(c.flags)));
        json request = server.bodies().at(0)["request"];
        EXPECT_EQ(request.contains("event"), c.event);
        EXPECT_EQ(request.contains("device_info"), c.deviceInfo);
        if (c.event) {
            EXPECT_EQ(keysOf(request["event"]), (std::set<std::string>{"eventID", "sessionID", "device_time"}));
            EXPECT_TRUE(request["event"]["device_time"].is_number_integer());
        }
    }
}

TEST_F(LegacyTest, RegistrationSendsItsStepsInOrderAndStopsAtTheFirstFailure) {
    ScriptedAnswer slow = ScriptedAnswer::json(200, "{}");
    slow.delay = 0.2;  // a step sent before this answer would be recorded first
    server.answer("reg_fingerprint", slow);
    using Types = std::vector<std::string>;
    EXPECT_TRUE(await(interactor().registerUser(user(1), scoped.publicKey(), std::nullopt)).ok());
    EXPECT_EQ(server.types(), (Types{"reg_fingerprint", "reg_pubkey"}));

    server.server.clearRequests();
    EXPECT_TRUE(await(interactor().registerUser(user(1), scoped.publicKey(), "tok")).ok());
    EXPECT_EQ(server.types(), (Types{"reg_fingerprint", "reg_pubkey", "reg_device"}));

    for (const char* failing : {"reg_fingerprint", "reg_pubkey"}) {
        server.server.clearRequests();
        server.answer("reg_fingerprint", ScriptedAnswer::json(200, "{}"));
        server.answer(failing, ScriptedAnswer::json(400, R"({"answer":{"result":{"error_code":221}}})"));
        auto result = await(interactor().registerUser(user(1), scoped.publicKey(), "tok"));
        EXPECT_TRUE(result.error().is(SVNetworkError::Code::requestSignatureNotValid));
        EXPECT_EQ(server.types().back(), failing);
        EXPECT_EQ(server.types().size(), std::string(failing) == "reg_fingerprint" ? 1u : 2u);
    }
}

TEST_F(LegacyTest, RegistrationWithNothingToRegisterHasAlreadySucceeded) {
    auto future = interactor().registerUser(user(), std::nullopt, std::nullopt);
    ASSERT_TRUE(future.isSettled());
    EXPECT_TRUE(future.result()->ok());
    EXPECT_EQ(server.server.requestCount(), 0u);
    EXPECT_TRUE(logLines(SVLogCategory::users).empty());
}

TEST_F(LegacyTest, WithoutAuthorizationKeyNothingIsSent) {
    SVUser stranger = legacyUser("user-2", 1, server.baseURL());
    auto legacy = interactor();
    std::vector<std::function<void()>> calls{
        [&] { legacy.registerUser(stranger, scoped.publicKey(), "tok"); },
        [&] { legacy.getTransactionList(stranger); },
        [&] { legacy.getTransaction("T-1", stranger); },
        [&] { legacy.confirm(transaction(), stranger, std::nullopt); },
        [&] { legacy.decline(transaction(), stranger); },
        [&] { legacy.sendPasswordIncorrectEvent(stranger); },
    };
    for (auto& call : calls) EXPECT_EQ(thrownCode(call), SVError::Code::missingKAuth);
    EXPECT_EQ(server.server.requestCount(), 0u);
}

TEST_F(LegacyTest, DeviceIdentifierWithoutBundleIdentifierEndsInTheSeparator) {
    // The host bundle identifier that start-up records counts, not the
    // platform's (here "org.svsdk.tests").
    HostState::setHostBundleIdentifier(std::nullopt);
    await(interactor().registerUser(user(), std::nullopt, "tok"));
    json request = server.bodies().at(0)["request"];
    EXPECT_EQ(request["device_id"], "tok####");
    EXPECT_EQ(request["auth_code"], hmacHex(legacyKAuth(), tlvItem(22, "system-1") + tlvItem(18, "user-1") +
                                                               tlvItem(23, "iOS") + tlvItem(24, "tok####") + kAuthTime));
}

TEST_F(LegacyTest, TransactionRecordsAreReshapedOrRefused) {
    const std::string base = R"("transaction_id":"server-id","user_id":"someone-else","confirm_code_length":6)";
    struct Case {
        std::string answer;
        std::optional<std::string> text;        // of the decoded transaction
        std::optional<std::string> binaryData;  // decoded, as text
        std::function<bool(const SVFailure&)> failure = {};
    };
    auto missing = [](const SVFailure& f) { return f.is(SVError::Code::missingRequestedData); };
    auto decoding = [](const SVFailure& f) { return f.is<SVDecodingError>(); };
    auto parsing = [](const SVFailure& f) { return f.is<SVPlatformError>() && f.get<SVPlatformError>()->domain() == "json"; };
    // A record with the server's identifiers and `more` members.
    auto record = [&](const std::string& more) { return R"({"answer":{"transaction_data":{)" + base + more + "}}}"; };
    // A long document is one value; many small values are beyond the parser's budget.
    auto repeated = [](const std::string& unit, int count) {
        std::string text;
        while (count-- > 0) text += unit;
        return text;
    };
    const std::vector<Case> cases{
        {record(R"(,"text":"top")"), "top", std::nullopt},
        {record(R"(,"text":"top","transaction_data":{"transaction_text":""})"), std::nullopt, std::nullopt},
        {record(R"(,"text":"top","transaction_data":{"transaction_text":7})"), std::nullopt, std::nullopt},
        {record(R"(,"text":"top","transaction_data":{"transaction_text":"in"})"), "in", std::nullopt},
        {record(R"(,"text":"top","transaction_data":{})"), "top", std::nullopt},
        {record(R"(,"text":"top","transaction_data":"odd")"), "top", std::nullopt},
        {record(R"(,"binary_data":"YWJj","transaction_data":{"binary_data":5})"), std::nullopt, std::nullopt},
        {record(R"(,"transaction_data":{"binary_data":"YWJj"})"), std::nullopt, "abc"},
        {R"({"answer":{}})", std::nullopt, std::nullopt, missing},
        {R"({"answer":[]})", std::nullopt, std::nullopt, missing},
        {R"({"answer":{"transaction_data":[1]}})", std::nullopt, std::nullopt, missing},
        {R"({"answer":{"transaction_data":{"confirm_code_length":"six"}}})", std::nullopt, std::nullopt, decoding},
        {"{\"answer\":{\"transaction_data\":{\"text\":\"\xff\"}}}", std::nullopt, std::nullopt, parsing},
        {record(R"(,"x":)" + std::string(600, '[') + std::string(600, ']')), std::nullopt, std::nullopt, parsing},
        {record(R"(,"transaction_data":{"binary_data":")" + repeated("QUFB", 2000000) + "\"}"), std::nullopt,
         std::string(6000000, 'A')},
        {record(R"(,"x":[)" + repeated("[],", 400000) + "[]]"), std::nullopt, std::nullopt, parsing},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.answer.substr(0, 160));
        server.answer("get_transaction_data", ScriptedAnswer::json(200, c.answer));
        auto result = await(interactor().getTransaction("T-9", user()));
        if (c.failure) {
            ASSERT_FALSE(result.ok());
            EXPECT_TRUE(c.failure(result.error())) << result.error().description();
            continue;
        }
        ASSERT_TRUE(result.ok()) << result.error().description();
        const SVTransaction& t = result.value();
        EXPECT_EQ(t.transactionID() + " " + t.userID() + " " + t.systemID(), "T-9 user-1 system-1");
        EXPECT_EQ(t.text(), c.text);
        EXPECT_EQ(t.downloadedBinaryData(),
                  c.binaryData ? std::optional(Bytes(c.binaryData->begin(), c.binaryData->end())) : std::nullopt);
    }
}

TEST_F(LegacyTest, TransactionListIsEmptyWithoutAListAndRefusedWithoutAnAnswer) {
    struct Case {
        std::string answer;
        std::optional<std::vector<std::string>> list;  // none: missingRequestedData
    } cases[] = {
        {R"({"answer":{"transaction_list":["a","b"]}})", std::vector<std::string>{"a", "b"}},
        {R"({"answer":{}})", std::vector<std::string>{}},
        {R"({"answer":{"transaction_list":"a"}})", std::vector<std::string>{}},
        {R"({"answer":"a"})", std::nullopt},
        {R"({})", std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.answer);
        server.answer("get_transactions", ScriptedAnswer::json(200, c.answer));
        auto result = await(interactor().getTransactionList(user()));
        if (c.list)
            EXPECT_EQ(result.value(), *c.list);
        else
            EXPECT_TRUE(result.error().is(SVError::Code::missingRequestedData));
    }
}

TEST_F(LegacyTest, BinaryDataIsTheTransactionsOwnWithoutARequest) {
    SVTransaction withData = transaction(Bytes{1, 2, 3});
    auto future = interactor().getTransactionBinaryData(withData, user());
    ASSERT_TRUE(future.isSettled());
    EXPECT_EQ(future.result()->value(), withData);
    EXPECT_EQ(thrownCode([&] { interactor().getTransactionBinaryData(transaction(), user()); }),
              SVError::Code::binaryDataIsUnavaiable);
    EXPECT_EQ(server.server.requestCount(), 0u);
}

TEST_F(LegacyTest, ScoringParametersLeaveTheConfirmationUnchanged) {
    auto legacy = interactor();
    await(legacy.confirm(transaction(), user(), std::nullopt));
    await(legacy.confirm(transaction(), user(), std::optional(SVScoringParameters<int>("risk", 7))));
    auto bodies = server.bodies();
    ASSERT_EQ(bodies.size(), 2u);
    for (auto& body : bodies) body["request"].erase("signature");  // a fresh ECDSA signature each time
    EXPECT_EQ(bodies[0], bodies[1]);
}

TEST_F(LegacyTest, UnavailableOperationsLogTheirLineSendNothingAndAllButKeyDeletionFail) {
    auto legacy = interactor();
    SVLogin login("system-1", kWall + 60, "session", SVQRType::login, Bytes{}, server.baseURL());
    JSONScoringParameters scoring("risk", json::object());
    enum Outcome { fails, returns };
    struct Case {
        std::function<void()> call;
        SVLogCategory category;
        std::string line;
        Outcome outcome;
    };
    const std::string notAvailable = " is not available for this API version";
    const std::vector<Case> cases{
        {[&] {
             // Fails through its future, not by throwing.
             Future<void> failed;
             EXPECT_NO_THROW(failed = legacy.registerExtAuthTemplate(user(), SVCodewordExtendedAuth("word")));
             ASSERT_TRUE(failed.isSettled());
             failed.result()->error().raise();
         },
         SVLogCategory::common, "Registering extended authentication's template is not available for this server ",
         fails},
        {[&] { legacy.renew(user()); }, SVLogCategory::users, "A renewing user" + notAvailable, fails},
        {[&] { legacy.sendKeyDeletedEvent(user()); }, SVLogCategory::users, "A deleting user event" + notAvailable,
         returns},
        {[&] { legacy.requestLoginTransaction(user(), login); }, SVLogCategory::users, "QR login" + notAvailable, fails},
        {[&] { legacy.registerToAutosign(user()); }, SVLogCategory::users, "Autosign" + notAvailable, fails},
        {[&] { legacy.getScoringSettings(user()); }, SVLogCategory::users, "Scoring" + notAvailable, fails},
        {[&] { legacy.getAutosignTransactionList(user()); }, SVLogCategory::users, "Autosign" + notAvailable, fails},
        {[&] { legacy.autosign(transaction(), user(), scoring); }, SVLogCategory::users, "Autosign" + notAvailable,
         fails},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        platform.log().clear();
        if (c.outcome == returns)
            EXPECT_NO_THROW(c.call());
        else
            EXPECT_EQ(thrownCode(c.call), SVError::Code::endpointUnavailable);
        EXPECT_EQ(logLines(c.category), std::vector<std::string>{c.line});
    }
    EXPECT_EQ(server.server.requestCount(), 0u);
}

TEST(LegacyRoadTest, TransactionRoadThroughNegotiationOnVersionTwoAndOne) {
    ScopedPlatform platform;
    ScopedClock clock(kWall, 5000);
    for (std::int64_t version : {2, 1}) {
        SCOPED_TRACE(version);
        LegacyServer server(version);
        server.server.answer("GET", "/health_check", ScriptedAnswer::json(404, ""));
        server.server.answer("GET", "/jsonrequest_v2", ScriptedAnswer::json(version == 2 ? 405 : 404, ""));
        server.server.answer("GET", "/jsonrequest_v1", ScriptedAnswer::json(405, ""));
        server.answer("get_transactions", ScriptedAnswer::json(200, R"({"answer":{"transaction_list":["T-1"]}})"));
        server.answer("get_transaction_data",
                      ScriptedAnswer::json(200, R"({"answer":{"transaction_data":{"confirm_code_length":6,)"
                                                R"("transaction_data":{"transaction_text":"Pay 10 EUR"}}}})"));
        ScopedLegacyUser scoped(legacyUser("user-1", 0x2, server.baseURL()));
        const SVUser& u = scoped.user();
        APIInteractionManager manager;
        auto object = manager.makeInteractor(u);
        auto road = chainedStep(object, [u](const APIInteractor& i) { return i.getTransactionList(u); })
                        .chained([&](const std::vector<std::string>& ids) {
                            return chainedStep(object, [u, id = ids.at(0)](const APIInteractor& i) {
                                return i.getTransaction(id, u);
                            });
                        })
                        .chained([&](const SVTransaction& t) {
                            return chainedStep(object, [u, t](const APIInteractor& i) {
                                return i.confirm(t, u, std::optional<JSONScoringParameters>());
                            });
                        })
                        .chained([&] {
                            return chainedStep(object, [u](const APIInteractor& i) {
                                return i.decline(SVTransaction::decode(R"({"transaction_id":"T-1","user_id":"user-1",)"
                                                                       R"("system_id":"system-1","confirm_code_length":6})"),
                                                 u);
                            });
                        });
        ASSERT_TRUE(await(road).ok());
        EXPECT_EQ(await(object).value()->version(), version);
        EXPECT_EQ(server.types(), (std::vector<std::string>{"get_transactions", "get_transaction_data",
                                                             "confirm_transaction", "decline_transaction"}));
        auto confirmation = server.bodies().at(2);
        EXPECT_EQ(confirmation["request_version"], version);
        // The confirmation signed the text the nested record carried.
        EXPECT_EQ(confirmation["request"]["confirm_code"],
                  hmacHex(scoped.kHMAC(), tlvItem(17, kText) + tlvItem(18, "user-1") + kConfirmTime));
        EXPECT_TRUE(confirmation["request"].contains("event"));
        for (const auto& request : server.server.requests())
            if (request.method == "POST") {
                EXPECT_EQ(request.header("Authorization"), authorizationOf(request.body));
            }
    }
}

TEST(LegacyFlattenTest, NestedDataOfAnyShapeNeverBreaksTheRecord) {
    json record = {{"text", "t"}, {"binary_data", "b"}, {"transaction_data", {{"transaction_text", nullptr}}}};
    EXPECT_EQ(legacy::flattenTransactionData(record),
              (json{{"binary_data", "b"}, {"transaction_data", {{"transaction_text", nullptr}}}}));
    for (const json& odd : {json(nullptr), json(3), json::array({1}), json("x")})
        EXPECT_EQ(legacy::flattenTransactionData(odd), odd);
}

TEST(LegacyRequestTypeTest, RawValuesRoundTripAndOtherTextsHaveNoCase) {
    for (const char* text : {"reg_fingerprint", "reg_pubkey", "reg_device", "get_transactions",
                             "get_transaction_data", "confirm_transaction", "decline_transaction", "password_invalid"}) {
        auto type = fromRawValue<LegacyRequestType>(text);
        ASSERT_TRUE(type.has_value()) << text;
        EXPECT_EQ(rawValue(*type), text);
    }
    for (const char* text : {"", "Reg_device", "password_invalid ", "event"})
        EXPECT_FALSE(fromRawValue<LegacyRequestType>(text).has_value());
}
