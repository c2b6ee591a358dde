#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <set>

#include <svsdk/SVExtendedAuth.h>

#include "Core/HostState.h"
#include "Core/Networking/Dispatch.h"
#include "Core/Networking/RequestSettings.h"
#include "Core/Security/Keychain.h"
#include "Core/Security/SecureEnclave.h"
#include "Core/Security/TLV.h"
#include "V3TestSupport.h"

using namespace svsdk;
using namespace svsdk::testing;

namespace {

const char* kListAnswer = R"({"answer":{"transaction_list":["t-1","t-2"]}})";

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
void from_json(const nlohmann::json& json, Settings& settings) { settings.level = json.at("level").get<int>(); }

template <class T>
bool failedWith(const SVResult<T>& result, SVError::Code code) {
    return !result.ok() && result.error().is(code);
}

class V3Test : public V3Fixture {};

class V3WithFingerprintTest : public V3Fixture {
protected:
    V3WithFingerprintTest() : V3Fixture(UserFlags::withFingerprint.rawValue) {}
};

}  // namespace

// Every operation: its method, path and body, signed over the exact bytes.
TEST_F(V3Test, EachOperationSendsItsMethodPathAndSignedBody) {
    server_.answerOthers(ScriptedAnswer::json(200, R"({"answer":{}})"));
    const double t = TimeManager::shared().discreteTimeInterval(180);
    const SVTransaction tx = transaction("tx/1");
    auto autosignPair = SecureEnclave::autosign().generateKeyPair(user().uniqueID());

    struct Row {
        std::string name;
        std::function<Future<void>()> call;
        std::string method;
        std::string path;
        std::function<void(const nlohmann::json&)> check;
    };
    std::vector<Row> rows = {
        {"registration without token or key", [&] { return api().registerUser(user(), std::nullopt, std::nullopt); },
         "PATCH", userPath(), [](const nlohmann::json& body) { EXPECT_EQ(body, nlohmann::json::object()); }},
        {"template with an empty value", [&] { return api().registerExtAuthTemplate(user(), EmptyValueAuth{}); },
         "POST", userPath("/remote/templates"),
         [](const nlohmann::json& body) {
             EXPECT_EQ(body, nlohmann::json({{"template_type", "codeword"}, {"template_value", ""}}));
         }},
        {"confirm", [&] { return api().confirm(tx, user(), std::optional<JSONScoringParameters>()); }, "POST",
         userPath("/transactions/tx%2F1/confirm"),
         [&](const nlohmann::json& body) {
             Bytes block = TLV::transactionConfirmation(tx, user(), std::nullopt, t);
             EXPECT_EQ(body.at("confirm_code"), hmacOf(signing_.kHMAC(), block));
             EXPECT_TRUE(signing_.publicKey().verify(block, bytesFromHex(body.at("signature").get<std::string>()).value()));
             EXPECT_FALSE(body.contains("scoring_settings"));
             EXPECT_EQ(body.size(), 2u);
         }},
        {"confirm with scoring",
         [&] {
             return api().confirm(tx, user(), std::optional(SVScoringParameters<EmptyScoringParameters>("", {})));
         },
         "POST", userPath("/transactions/tx%2F1/confirm"),
         [](const nlohmann::json& body) { EXPECT_EQ(body.at("scoring_settings"), nlohmann::json({{"", nlohmann::json::object()}})); }},
        {"decline", [&] { return api().decline(tx, user()); }, "POST", userPath("/transactions/tx%2F1/decline"),
         [&](const nlohmann::json& body) {
             Bytes block = TLV::transactionConfirmation(tx, user(), std::string("not authorized"), t);
             EXPECT_EQ(body, nlohmann::json({{"decline_code", hmacOf(signing_.kHMAC(), block)},
                                             {"decline_reason", "not authorized"}}));
         }},
        {"autosign",
         [&] { return api().autosign(tx, user(), SVScoringParameters<nlohmann::json>("prov", {{"a", 1}})); }, "POST",
         userPath("/transactions/tx%2F1/autoconfirm"),
         [&](const nlohmann::json& body) {
             Bytes block = TLV::transactionConfirmation(tx, user(), std::nullopt, t);
             EXPECT_FALSE(body.contains("confirm_code"));
             auto signature = bytesFromHex(body.at("signature").get<std::string>()).value();
             EXPECT_TRUE(autosignPair.publicKey.verify(block, signature));
             EXPECT_FALSE(signing_.publicKey().verify(block, signature));
             EXPECT_EQ(body.at("scoring_settings"), nlohmann::json({{"prov", {{"a", 1}}}}));
         }},
    };
    for (const auto& row : rows) {
        server_.clearRequests();
        EXPECT_TRUE(await(row.call()).ok()) << row.name;
        auto request = onlyRequest();
        EXPECT_EQ(request.method, row.method) << row.name;
        EXPECT_EQ(request.path, row.path) << row.name;
        row.check(signedBody(request));
    }
    SecureEnclave::autosign().removeKeyPair(user().uniqueID());
}

TEST_F(V3WithFingerprintTest, RegistrationSendsKeyTokenAndFingerprint) {
    server_.answerOthers(ScriptedAnswer::json(200, "{}"));
    auto key = SecKey::generateP256()->copyPublicKey();
    for (auto bundle : {std::optional<std::string>("org.example.host"), std::optional<std::string>()}) {
        HostState::setHostBundleIdentifier(bundle);
        server_.clearRequests();
        ASSERT_TRUE(await(api().registerUser(user(), key, std::string(""))).ok());
        auto body = signedBody(onlyRequest());
        EXPECT_EQ(body.at("public_key"), key->spkiHexString());
        EXPECT_EQ(body.at("device_fingerprint"), Keychain::deviceFingerprint());
        nlohmann::json push = {{"device_type", "iOS"}, {"device_push_id", ""}};
        if (bundle) push["app_id"] = *bundle;
        EXPECT_EQ(body.at("push_address"), push);
    }
}

TEST_F(V3Test, AnswersAreReadAsTheProtocolSays) {
    const std::string list = userPath("/transactions/get_list");
    for (auto [answer, expected] : std::vector<std::pair<std::string, std::vector<std::string>>>{
             {kListAnswer, {"t-1", "t-2"}}, {R"({"answer":{}})", {}}, {R"({"answer":{"transaction_list":"x"}})", {}}}) {
        server_.answer("POST", list, ScriptedAnswer::json(200, answer));
        EXPECT_EQ(await(api().getTransactionList(user())).value(), expected) << answer;
    }
    server_.answer("POST", list, ScriptedAnswer::json(200, R"({"transaction_list":[]})"));
    EXPECT_TRUE(failedWith(await(api().getTransactionList(user())), SVError::Code::missingRequestedData));
    server_.answer("POST", userPath("/transactions/get_autoconfirm_list"), ScriptedAnswer::json(200, R"({"answer":{}})"));
    EXPECT_TRUE(await(api().getAutosignTransactionList(user())).value().empty());

    // The requested id and the user's identifiers win over the server's.
    server_.answer("POST", userPath("/transactions/t-7/get_data"),
                   ScriptedAnswer::json(200, R"({"answer":{"transaction_data":{"transaction_id":"x","user_id":"x",
                       "system_id":"x","confirm_code_length":6,"text":"Hello"}}})"));
    auto fetched = await(api().getTransaction("t-7", user())).value();
    EXPECT_EQ(fetched.transactionID(), "t-7");
    EXPECT_EQ(fetched.userID(), "u-1");
    EXPECT_EQ(fetched.systemID(), "system-1");
    EXPECT_TRUE(fetched.isFromUserServer());

    const std::string scoring = userPath("/scoring/ios");
    server_.answer("POST", scoring, ScriptedAnswer::json(200, R"({"answer":{"scoring_settings":{"p":{"level":3}}}})"));
    auto settings = await(api().getScoringSettings<Settings>(user())).value();
    EXPECT_EQ(settings.provider(), "p");
    EXPECT_EQ(settings.settings().level, 3);
    for (auto [answer, code] : std::vector<std::pair<std::string, SVError::Code>>{
             {R"({"answer":{"scoring_settings":{}}})", SVError::Code::scoringUnavailable},
             {R"({"answer":{"scoring_settings":{"p":5}}})", SVError::Code::scoringUnavailable},
             {R"({"answer":{"scoring_settings":{"p":{"other":1}}}})", SVError::Code::scoringUnavailable},
             {R"({"answer":{}})", SVError::Code::missingRequestedData}}) {
        server_.answer("POST", scoring, ScriptedAnswer::json(200, answer));
        EXPECT_TRUE(failedWith(await(api().getScoringSettings<Settings>(user())), code)) << answer;
    }
}

// A document of tiny values, bare or in "answer", is refused by the parser
// before it grows to many times its size; a long list of real ids is not.
TEST_F(V3Test, AnswersBeyondTheParsersValueBudgetAreRefused) {
    const std::string list = userPath("/transactions/get_list");
    std::vector<std::string> ids;
    for (int i = 0; i < 20000; ++i) ids.push_back("t-" + std::to_string(i));
    server_.answer("POST", list, ScriptedAnswer::json(200, nlohmann::json{{"answer", {{"transaction_list", ids}}}}.dump()));
    EXPECT_EQ(await(api().getTransactionList(user())).value(), ids);

    std::string arrays, keys;
    for (int i = 0; i < 400000; ++i) arrays += "[],";
    for (int i = 0; i < 300000; ++i) keys += "\"k" + std::to_string(i) + "\":0,";
    for (const auto& body : {R"({"transaction_list":[)" + arrays + "[]]}",
                             R"({"answer":{"transaction_list":[)" + arrays + "[]]}}",
                             R"({"answer":{)" + keys + R"("transaction_list":[]}})"}) {
        server_.answer("POST", list, ScriptedAnswer::json(200, body));
        auto result = await(api().getTransactionList(user()));
        ASSERT_FALSE(result.ok()) << body.substr(0, 40);
        auto error = result.error().get<SVPlatformError>();
        EXPECT_TRUE(error && error->domain() == "json") << result.error().description();
    }
}

// Reading a hostile answer in a child process whose address space may grow
// by five times the answer and that may run for 20 s: the parser refuses it
// within both. A document of it would take 9 to 27 times its size, and the
// process would abort when an allocation failed while the partial document
// was destroyed; a parser that looks back through an array after each nested
// object would take minutes.
TEST(V3AnswerMemoryTest, AHostileAnswerIsRefusedWithinFiveTimesItsSizeAndLittleTime) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizer reserves more address space than the limit";
#endif
    constexpr std::size_t kSize = 32u << 20;
    // `head`, then unit(0), unit(1), ... while they fit, then `tail`.
    auto answer = [](const std::string& head, const std::function<std::string(int)>& unit, const std::string& tail) {
        std::string text = head;
        for (int i = 0; text.size() + tail.size() + 16 <= kSize; ++i) text += unit(i);
        return bytesOf(text + tail);
    };
    auto addressSpace = [] {
        std::ifstream status("/proc/self/status");
        std::string line;
        while (std::getline(status, line))
            if (line.rfind("VmSize:", 0) == 0) return static_cast<rlim_t>(std::stoull(line.substr(7))) * 1024;
        return rlim_t{0};
    };
    struct Row {
        std::string head;
        std::function<std::string(int)> unit;
        std::string tail;
    };
    for (const auto& [head, unit, tail] : std::vector<Row>{
             {R"({"transaction_list":[)", [](int) { return "[],"; }, "[]]}"},
             {R"({"answer":{"transaction_list":[)", [](int) { return "{},"; }, "{}]}}"},
             {R"({"answer":{)", [](int i) { return "\"" + std::to_string(i) + "\":0,"; }, R"("":0}})"}}) {
        const Bytes body = answer(head, unit, tail);
        pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            const rlim_t space = addressSpace() + 5 * kSize;
            rlimit limit{space, space}, cpu{20, 20};
            ::setrlimit(RLIMIT_AS, &limit);
            ::setrlimit(RLIMIT_CPU, &cpu);
            int code = 1;
            try {
                decodeTransactionListAnswer(body);
            } catch (const SVPlatformError& e) {
                code = e.domain() == "json" ? 0 : 2;
            } catch (...) {
                code = 3;
            }
            ::_exit(code);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << head << " ended with " << status;
    }
}

// An imported transaction's document comes only from the user's own server;
// a fetched one from wherever the server said.
TEST_F(V3Test, BinaryDataComesOnlyFromTrustedOrigins) {
    LoopbackServer elsewhere;
    elsewhere.answerOthers(ScriptedAnswer::json(200, "document"));
    server_.answerOthers(ScriptedAnswer::json(200, "own document"));
    const std::string own = server_.baseURL() + "/files/doc?id=1";
    const std::string foreign = elsewhere.baseURL() + "/doc";

    SVTransaction withData = transaction("t", foreign);
    withData.setDownloadedBinaryData(bytesOf("held"));
    HandlesManager::shared().removeAll();  // no key needed
    EXPECT_EQ(await(api().getTransactionBinaryData(withData, user())).value(), withData);
    HandlesManager::shared().add(kAuth(), HandleType::auth, user());

    for (auto url : {std::optional<std::string>(), std::optional<std::string>("not a url"),
                     std::optional<std::string>("ftp://127.0.0.1/doc"), std::optional<std::string>(foreign)})
        EXPECT_TRUE(failedWith(await(api().getTransactionBinaryData(transaction("t", url), user())),
                               SVError::Code::binaryDataIsUnavaiable));
    EXPECT_EQ(elsewhere.requestCount(), 0u);

    auto imported = await(api().getTransactionBinaryData(transaction("t", own), user())).value();
    EXPECT_EQ(imported.downloadedBinaryData(), std::optional<Bytes>(bytesOf("own document")));
    auto request = onlyRequest();
    EXPECT_EQ(request.path, "/files/doc?id=1");
    EXPECT_EQ(signedBody(request), nlohmann::json::object());

    SVTransaction fetched = transaction("t", foreign);
    fetched.setFromUserServer(true);
    EXPECT_EQ(await(api().getTransactionBinaryData(fetched, user())).value().downloadedBinaryData(),
              std::optional<Bytes>(bytesOf("document")));

    // A document over the limit fails as it arrives.
    auto limit = binaryDataSizeLimit();
    setBinaryDataSizeLimit(1000);
    elsewhere.answerOthers(ScriptedAnswer::json(200, std::string(5000, 'x')));
    auto tooLarge = await(api().getTransactionBinaryData(fetched, user()));
    setBinaryDataSizeLimit(limit);
    ASSERT_FALSE(tooLarge.ok());
    EXPECT_TRUE(tooLarge.error().is(SVNetworkError::Code::serverDoesNotRespond));
}

TEST_F(V3Test, LoginTransactionFromTheLoginServiceThenTheUsersServer) {
    server_.answer("POST", "/loq/client/getTransactionId", ScriptedAnswer::json(200, R"({"transactionId":"t-9"})"));
    server_.answer("POST", userPath("/transactions/t-9/get_data"),
                   ScriptedAnswer::json(200, R"({"answer":{"transaction_data":{"confirm_code_length":6,
                       "binary_data_url":")" + server_.baseURL() + R"(/doc"}}})"));
    server_.answer("POST", "/doc", ScriptedAnswer::json(200, "pdf"));
    SVLogin login("system-1", kNow + 1, "session-1", SVQRType::login, bytesOf("pulp"), server_.baseURL() + "/loq");
    auto result = await(api().requestLoginTransaction(user(), login)).value();
    EXPECT_EQ(result.transactionID(), "t-9");
    EXPECT_EQ(result.downloadedBinaryData(), std::optional<Bytes>(bytesOf("pdf")));
    auto first = server_.requests().at(0);
    EXPECT_FALSE(first.header("SV-Authorization").has_value());
    EXPECT_EQ(nlohmann::json::parse(first.body), nlohmann::json({{"userId", "u-1"}, {"sessionId", "session-1"}}));
    EXPECT_EQ(server_.requestCount(), 3u);

    server_.clearRequests();
    SVLogin expired("system-1", kNow, "session-1", SVQRType::login, {}, server_.baseURL() + "/loq");
    EXPECT_THROW(api().requestLoginTransaction(user(), expired), SVError);
    EXPECT_EQ(server_.requestCount(), 0u);
}

// A failed registration leaves no autosign pair; a failed creation removes
// nothing it did not make.
TEST_F(V3Test, AutosignRegistrationKeepsOnlyPairsTheServerKnows) {
    auto& store = SecureEnclave::autosign();
    server_.answer("PATCH", userPath(), ScriptedAnswer::json(500, "{}"));
    EXPECT_FALSE(await(api().registerToAutosign(user())).ok());
    EXPECT_FALSE(user().isRegisteredToAutosign());

    server_.answer("PATCH", userPath(), ScriptedAnswer::json(200, "{}"));
    server_.clearRequests();
    ASSERT_TRUE(await(api().registerToAutosign(user())).ok());
    auto known = store.retrieveKeyPair(user().uniqueID()).publicKey.spkiHexString();
    EXPECT_EQ(signedBody(onlyRequest()), nlohmann::json({{"autosign_public_key", known}}));
    EXPECT_THROW(api().registerToAutosign(user()), SVError);
    EXPECT_EQ(store.retrieveKeyPair(user().uniqueID()).publicKey.spkiHexString(), known);
    store.removeKeyPair(user().uniqueID());

    HandlesManager::shared().removeAll();
    EXPECT_THROW(api().registerToAutosign(user()), SVError);  // no authorization key
    EXPECT_FALSE(user().isRegisteredToAutosign());
}

TEST_F(V3Test, EventsGoToOnePathAndReportNothing) {
    server_.answerOthers(ScriptedAnswer::json(500, "{}"));
    auto interactor = Promise<APIInteractionManager::Interactor>::resolved(
        std::make_shared<APIInteractorV3>(URL::parse(server_.baseURL()).value()));
    {
        // The user value is gone before the event is sent.
        auto deleted = std::make_unique<SVUser>(user());
        observedStep(interactor, [user = *deleted](const APIInteractor& object) { object.sendKeyDeletedEvent(user); });
        deleted.reset();
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
    auto chained = chainedStep(interactor, [this](const APIInteractor& object) { return object.getTransactionList(user()); });
    EXPECT_TRUE(failedWith(await(chained), SVError::Code::missingKAuth));
    EXPECT_TRUE(failedWith(await(chainedStep(failed, [this](const APIInteractor& object) {
                               return object.getTransactionList(user());
                           })),
                           SVError::Code::apiIsNotSupported));
}

// What reaches the server by the user's collection options.
TEST(V3CollectionTest, EventsAndDeviceDataFollowTheUsersOptions) {
    struct Row {
        std::int64_t flags;
        bool event;
        bool deviceInfo;
    };
    for (auto row : {Row{0, false, false}, Row{2, true, false}, Row{2 | 8, true, true}, Row{4 | 8 | 16, false, false}}) {
        struct Fixture : V3Fixture {
            explicit Fixture(std::int64_t flags) : V3Fixture(flags) {}
            void TestBody() override {}
        } fixture(row.flags);
        fixture.server_.answerOthers(ScriptedAnswer::json(200, kListAnswer));
        ASSERT_TRUE(await(fixture.api().getTransactionList(fixture.user())).ok());
        auto body = fixture.signedBody(fixture.onlyRequest());
        EXPECT_EQ(body.contains("event"), row.event) << row.flags;
        if (!row.event) {
            EXPECT_EQ(body, nlohmann::json::object());
            continue;
        }
        const auto& event = body.at("event");
        EXPECT_TRUE(event.at("device_time").is_number_integer());
        EXPECT_GT(event.at("device_time").get<std::int64_t>(), 1000000000000) << "milliseconds";
        EXPECT_EQ(event.contains("device_info"), row.deviceInfo) << row.flags;
    }
}
