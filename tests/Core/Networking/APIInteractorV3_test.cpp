#include <gtest/gtest.h>

#include <sys/resource.h>

#include <functional>
#include <set>

#include <svsdk/SVExtendedAuth.h>

#include "Core/Networking/APIInteractionManager.h"
#include "Core/Networking/Dispatch.h"
#include "Core/Networking/NetSupport.h"
#include "Core/Networking/RequestSettings.h"
#include "Core/Security/Keychain.h"
#include "Core/Security/SecureEnclave.h"
#include "Core/Security/TLV.h"
#include "support/ChildProcess.h"

using namespace svsdk;
using namespace svsdk::testing;
using nlohmann::json;

namespace {

SVTransaction transaction(const std::string& id, std::optional<std::string> binaryURL = std::nullopt) {
    return SVTransaction(id, "someone-else", "another-system", 6, false, SVConfirmationType::online,
                         std::string("Pay 10 EUR"), std::nullopt, SVTransaction::TextRenderType::raw, std::nullopt,
                         std::move(binaryURL));
}

struct EmptyValueAuth : SVExtendedAuth {
    std::string type() const override { return "codeword"; }
    std::string value() const override { return ""; }
};

struct Settings {
    int level = 0;
};
void from_json(const json& j, Settings& settings) { settings.level = j.at("level").get<int>(); }

template <class T>
bool failedWith(const SVResult<T>& result, SVError::Code code) {
    return !result.ok() && result.error().is(code);
}

using V3Test = V3Fixture;

}  // namespace

// Every operation: its method, path and body, signed over the exact bytes.
TEST_F(V3Test, EachOperationSendsItsMethodPathAndSignedBody) {
    server_.answerOthers(ScriptedAnswer::json(200, R"({"answer":{}})"));
    const double t = TimeManager::shared().discreteTimeInterval(180);
    const SVTransaction tx = transaction("tx/1");
    const Bytes confirmBlock = TLV::transactionConfirmation(tx, user(), std::nullopt, t);
    auto autosignPair = SecureEnclave::autosign().generateKeyPair(user().uniqueID());
    auto key = SecKey::generateP256()->copyPublicKey();
    auto signature = [](const json& body) { return bytesFromHex(body.at("signature").get<std::string>()).value(); };
    const std::string confirm = userPath("/transactions/tx%2F1/confirm");
    struct Row {
        std::function<Future<void>()> call;
        std::string method, path;
        std::function<void(const json&)> check;
    };
    std::vector<Row> rows = {
        {[&] { return api().registerUser(user(), std::nullopt, std::nullopt); }, "PATCH", userPath(),
         [](const json& body) { EXPECT_EQ(body, json::object()); }},
        {[&] { return api().registerUser(makeServerUser("u-1", UserFlags::withFingerprint.rawValue), key, ""); },
         "PATCH", userPath(),
         [&](const json& body) {
             EXPECT_EQ(body, (json{{"public_key", key->spkiHexString()},
                                   {"device_fingerprint", Keychain::deviceFingerprint()},
                                   {"push_address",
                                    {{"device_type", "iOS"}, {"device_push_id", ""}, {"app_id", "org.example.host"}}}}));
         }},
        {[&] { return api().registerExtAuthTemplate(user(), EmptyValueAuth{}); }, "POST", userPath("/remote/templates"),
         [](const json& body) { EXPECT_EQ(body, json({{"template_type", "codeword"}, {"template_value", ""}})); }},
        {[&] { return api().confirm(tx, user(), std::optional<JSONScoringParameters>()); }, "POST", confirm,
         [&](const json& body) {
             EXPECT_EQ(body.at("confirm_code"), hmacHex(signing_.kHMAC(), confirmBlock));
             EXPECT_TRUE(signing_.publicKey().verify(confirmBlock, signature(body)));
             EXPECT_EQ(body.size(), 2u);
         }},
        {[&] { return api().confirm(tx, user(), std::optional(SVScoringParameters<EmptyScoringParameters>("", {}))); },
         "POST", confirm, [](const json& body) { EXPECT_EQ(body.at("scoring_settings"), json({{"", json::object()}})); }},
        {[&] { return api().decline(tx, user()); }, "POST", userPath("/transactions/tx%2F1/decline"),
         [&](const json& body) {
             Bytes block = TLV::transactionConfirmation(tx, user(), std::string("not authorized"), t);
             EXPECT_EQ(body, json({{"decline_code", hmacHex(signing_.kHMAC(), block)}, {"decline_reason", "not authorized"}}));
         }},
        {[&] { return api().autosign(tx, user(), SVScoringParameters<json>("prov", {{"a", 1}})); }, "POST",
         userPath("/transactions/tx%2F1/autoconfirm"),
         [&](const json& body) {
             EXPECT_FALSE(body.contains("confirm_code"));
             EXPECT_TRUE(autosignPair.publicKey.verify(confirmBlock, signature(body)));
             EXPECT_EQ(body.at("scoring_settings"), json({{"prov", {{"a", 1}}}}));
         }},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.path);
        server_.clearRequests();
        EXPECT_TRUE(await(row.call()).ok());
        auto request = onlyRequest();
        EXPECT_EQ(request.method, row.method);
        EXPECT_EQ(request.path, row.path);
        row.check(signedBody(request));
    }
    SecureEnclave::autosign().removeKeyPair(user().uniqueID());
}

TEST_F(V3Test, AnswersAreReadAsTheProtocolSays) {
    const std::string list = userPath("/transactions/get_list");
    using Texts = std::vector<std::string>;
    for (auto [answer, expected] : std::vector<std::pair<std::string, std::optional<Texts>>>{
             {R"({"answer":{"transaction_list":["t-1","t-2"]}})", Texts{"t-1", "t-2"}},
             {R"({"answer":{"transaction_list":"x"}})", Texts{}},
             {R"({"answer":{"transaction_list":["t-1",2]}})", Texts{}},
             {R"({"answer":[]})", std::nullopt},
             {R"({"transaction_list":[]})", std::nullopt}}) {
        server_.answer("POST", list, ScriptedAnswer::json(200, answer));
        auto result = await(api().getTransactionList(user()));
        EXPECT_TRUE(expected ? result.value() == *expected : failedWith(result, SVError::Code::missingRequestedData));
    }
    // A list valid up to a NUL byte is not the whole answer: the parse error is passed on.
    server_.answer("POST", list, ScriptedAnswer::json(200, std::string(R"({"answer":{"transaction_list":["t-1"]}})") +
                                                             '\0' + "garbage"));
    auto cut = await(api().getTransactionList(user()));
    EXPECT_TRUE(!cut.ok() && cut.error().is<SVPlatformError>() && cut.error().get<SVPlatformError>()->domain() == "json");
    Texts ids;  // a long list of real ids is within the parser's budget
    for (int i = 0; i < 20000; ++i) ids.push_back("t-" + std::to_string(i));
    server_.answer("POST", list, ScriptedAnswer::json(200, json{{"answer", {{"transaction_list", ids}}}}.dump()));
    EXPECT_EQ(await(api().getTransactionList(user())).value(), ids);
    server_.answer("POST", userPath("/transactions/get_autoconfirm_list"), ScriptedAnswer::json(200, R"({"answer":{}})"));
    EXPECT_TRUE(await(api().getAutosignTransactionList(user())).value().empty());

    // The requested id and the user's identifiers win over the server's.
    server_.answer("POST", userPath("/transactions/t-7/get_data"),
                   ScriptedAnswer::json(200, R"({"answer":{"transaction_data":{"transaction_id":"x","user_id":"x",
                       "system_id":"x","confirm_code_length":6,"text":"Hello"}}})"));
    auto fetched = await(api().getTransaction("t-7", user())).value();
    EXPECT_EQ(fetched.transactionID() + fetched.userID() + fetched.systemID(), "t-7u-1system-1");
    EXPECT_TRUE(detail::TransactionOrigin::isFromUserServer(fetched));
    EXPECT_EQ(fetched, SVTransaction::decode(R"({"transaction_id":"t-7","user_id":"u-1","system_id":"system-1",
        "confirm_code_length":6,"text":"Hello"})")) << "the mark of origin is no part of equality";

    const std::string scoring = userPath("/scoring/ios");
    server_.answer("POST", scoring, ScriptedAnswer::json(200, R"({"answer":{"scoring_settings":{"p":{"level":3}}}})"));
    auto settings = await(api().getScoringSettings<Settings>(user())).value();
    EXPECT_EQ(settings.provider() + std::to_string(settings.settings().level), "p3");
    for (auto [answer, code] : std::vector<std::pair<std::string, SVError::Code>>{
             {R"({"answer":{"scoring_settings":{}}})", SVError::Code::scoringUnavailable},
             {R"({"answer":{"scoring_settings":{"p":5}}})", SVError::Code::scoringUnavailable},
             {R"({"answer":{"scoring_settings":{"p":{"other":1}}}})", SVError::Code::scoringUnavailable},
             {R"({"answer":{}})", SVError::Code::missingRequestedData}}) {
        server_.answer("POST", scoring, ScriptedAnswer::json(200, answer));
        EXPECT_TRUE(failedWith(await(api().getScoringSettings<Settings>(user())), code)) << answer;
    }
}

// A hostile answer of tiny values, bare or in "answer", read in a child process whose address space may grow by five
// times the answer and that may run for 20 s: the parser refuses it within both. A document of it would take 9 to 27
// times its size, and the process would abort when an allocation failed while the partial document was destroyed; a
// parser that looks back through an array after each nested object would take minutes.
TEST(V3AnswerMemoryTest, AHostileAnswerIsRefusedWithinFiveTimesItsSizeAndLittleTime) {
    constexpr std::size_t kSize = 32u << 20;
    struct Row {
        std::string head;
        std::function<std::string(int)> unit;  // unit(0), unit(1), ... while they fit
        std::string tail;
    };
    for (const auto& [head, unit, tail] : std::vector<Row>{
             {R"({"transaction_list":[)", [](int) { return "[],"; }, "[]]}"},
             {R"({"answer":{"transaction_list":[)", [](int) { return "{},"; }, "{}]}}"},
             {R"({"answer":{)", [](int i) { return "\"" + std::to_string(i) + "\":0,"; }, R"("transaction_list":[]}})"}}) {
        std::string text = head;
        for (int i = 0; text.size() + tail.size() + 16 <= kSize; ++i) text += unit(i);
        const Bytes body = bytesOf(text + tail);
        int status = runInChildProcess([&] {
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)  // they reserve more than the limit
            limitAddressSpace(5 * kSize);
            rlimit cpu{20, 20};
            ::setrlimit(RLIMIT_CPU, &cpu);
#endif
            int code = 1;
            try {
                decodeTransactionListAnswer(body);
            } catch (const SVPlatformError& e) {
                code = e.domain() == "json" ? 0 : 2;
            } catch (...) {
                code = 3;
            }
            ::_exit(code);
        });
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << head << " ended with " << status;
    }
}

// An imported transaction's document comes only from the user's own server;
// a fetched one from wherever the server said.
TEST_F(V3Test, BinaryDataComesOnlyFromTrustedOrigins) {
    LoopbackServer elsewhere;
    elsewhere.answerOthers(ScriptedAnswer::json(200, "document"));
    server_.answerOthers(ScriptedAnswer::json(200, "own document"));
    const std::string foreign = elsewhere.baseURL() + "/doc";
    SVTransaction withData = transaction("t", foreign);
    withData.setDownloadedBinaryData(bytesOf("held"));
    EXPECT_EQ(await(api().getTransactionBinaryData(withData, user())).value(), withData);
    for (auto url : {std::optional<std::string>(), std::optional<std::string>("not a url"),
                     std::optional<std::string>("ftp://127.0.0.1/doc"), std::optional<std::string>(foreign)})
        EXPECT_TRUE(failedWith(await(api().getTransactionBinaryData(transaction("t", url), user())),
                               SVError::Code::binaryDataIsUnavaiable));
    EXPECT_EQ(elsewhere.requestCount() + server_.requestCount(), 0u);

    auto imported = await(api().getTransactionBinaryData(transaction("t", server_.baseURL() + "/f?id=1"), user()));
    EXPECT_EQ(imported.value().downloadedBinaryData(), std::optional<Bytes>(bytesOf("own document")));
    EXPECT_EQ(onlyRequest().path, "/f?id=1");
    EXPECT_EQ(signedBody(onlyRequest()), json::object());

    SVTransaction fetched = transaction("t", foreign);
    detail::TransactionOrigin::setFromUserServer(fetched, true);
    EXPECT_EQ(await(api().getTransactionBinaryData(fetched, user())).value().downloadedBinaryData(),
              std::optional<Bytes>(bytesOf("document")));
    // A document over the limit fails as it arrives.
    auto limit = binaryDataSizeLimit();
    setBinaryDataSizeLimit(1000);
    elsewhere.answerOthers(ScriptedAnswer::json(200, std::string(5000, 'x')));
    auto tooLarge = await(api().getTransactionBinaryData(fetched, user()));
    setBinaryDataSizeLimit(limit);
    EXPECT_TRUE(!tooLarge.ok() && tooLarge.error().is(SVNetworkError::Code::serverDoesNotRespond));
}

TEST_F(V3Test, LoginTransactionFromTheLoginServiceThenTheUsersServer) {
    server_.answer("POST", "/loq/client/getTransactionId", ScriptedAnswer::json(200, R"({"transactionId":"t-9"})"));
    server_.answer("POST", userPath("/transactions/t-9/get_data"),
                   ScriptedAnswer::json(200, R"({"answer":{"transaction_data":{"confirm_code_length":6,
                       "binary_data_url":")" + server_.baseURL() + R"(/doc"}}})"));
    server_.answer("POST", "/doc", ScriptedAnswer::json(200, "pdf"));
    SVLogin expired("system-1", kNow, "session-1", SVQRType::login, {}, server_.baseURL() + "/loq");
    EXPECT_THROW(api().requestLoginTransaction(user(), expired), SVError);
    SVLogin login("system-1", kNow + 1, "session-1", SVQRType::login, bytesOf("pulp"), server_.baseURL() + "/loq");
    auto result = await(api().requestLoginTransaction(user(), login)).value();
    EXPECT_EQ(result.transactionID(), "t-9");
    EXPECT_EQ(result.downloadedBinaryData(), std::optional<Bytes>(bytesOf("pdf")));
    ASSERT_EQ(server_.requestCount(), 3u);
    auto first = server_.requests().at(0);
    EXPECT_FALSE(first.header("SV-Authorization").has_value());
    EXPECT_EQ(json::parse(first.body), json({{"userId", "u-1"}, {"sessionId", "session-1"}}));
}

// A failed registration leaves no autosign pair; a pair left under the label
// fails the next creation and goes with it, so that the call after registers.
TEST_F(V3Test, AutosignRegistrationKeepsOnlyPairsTheServerKnows) {
    auto& store = SecureEnclave::autosign();
    server_.answer("PATCH", userPath(), ScriptedAnswer::json(500, "{}"));
    EXPECT_FALSE(await(api().registerToAutosign(user())).ok());
    EXPECT_FALSE(user().isRegisteredToAutosign());

    store.generateKeyPair(user().uniqueID());
    server_.answer("PATCH", userPath(), ScriptedAnswer::json(200, "{}"));
    server_.clearRequests();
    EXPECT_THROW(api().registerToAutosign(user()), SVError);
    EXPECT_EQ(server_.requestCount(), 0u);
    ASSERT_TRUE(await(api().registerToAutosign(user())).ok());
    auto known = store.retrieveKeyPair(user().uniqueID()).publicKey.spkiHexString();
    EXPECT_EQ(signedBody(onlyRequest()), json({{"autosign_public_key", known}}));
    store.removeKeyPair(user().uniqueID());
}

TEST_F(V3Test, EventsGoToOnePathAndReportNothing) {
    server_.answerOthers(ScriptedAnswer::json(500, "{}"));
    auto interactor = Promise<APIInteractionManager::Interactor>::resolved(std::make_shared<APIInteractorV3>(v3_));
    {
        // The user value is gone before the event is sent.
        auto deleted = std::make_unique<SVUser>(user());
        observedStep(interactor, [user = *deleted](const APIInteractor& object) { object.sendKeyDeletedEvent(user); });
    }
    api().sendPasswordIncorrectEvent(user());
    ASSERT_TRUE(server_.waitForRequests(2));
    std::set<std::string> kinds;
    for (const auto& request : server_.requests()) {
        EXPECT_EQ(request.path, userPath("/events"));
        kinds.insert(signedBody(request).at("event_type").get<std::string>());
    }
    EXPECT_EQ(kinds, (std::set<std::string>{"key_deleted", "password_incorrect"}));

    // A failed protocol object or a thrown error is dropped; a chained step passes both on.
    auto failed = Promise<APIInteractionManager::Interactor>::rejected(SVError::apiIsNotSupported());
    observedStep(failed, [](const APIInteractor&) { FAIL(); });
    HandlesManager::shared().removeAll();
    observedStep(interactor, [this](const APIInteractor& object) { object.sendKeyDeletedEvent(user()); });
    auto list = [this](const APIInteractor& object) { return object.getTransactionList(user()); };
    EXPECT_TRUE(failedWith(await(chainedStep(interactor, list)), SVError::Code::missingKAuth));
    EXPECT_TRUE(failedWith(await(chainedStep(failed, list)), SVError::Code::apiIsNotSupported));
}

// What reaches the server by the user's collection options.
TEST(V3CollectionTest, EventsAndDeviceDataFollowTheUsersOptions) {
    struct Row {
        std::int64_t flags;
        bool event, deviceInfo;
    };
    for (auto row : {Row{0, false, false}, Row{2, true, false}, Row{2 | 8, true, true}, Row{4 | 8 | 16, false, false}}) {
        V3Fixture fixture(row.flags);
        fixture.server_.answerOthers(ScriptedAnswer::json(200, R"({"answer":{}})"));
        ASSERT_TRUE(await(fixture.api().getTransactionList(fixture.user())).ok());
        auto body = fixture.signedBody(fixture.onlyRequest());
        EXPECT_EQ(body.size(), row.event ? 1u : 0u) << row.flags;
        if (!row.event) continue;
        EXPECT_GT(body.at("event").at("device_time").get<std::int64_t>(), 1000000000000) << "milliseconds";
        EXPECT_EQ(body.at("event").contains("device_info"), row.deviceInfo) << row.flags;
    }
}
