// The transport: the session, requests and their answers, and the probe of a server's protocol version.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <fstream>

#include "Core/Networking/APIInteractionManager.h"
#include "Core/Networking/HTTPSession.h"
#include "Core/Networking/NetSupport.h"
#include "Core/Networking/Request.h"
#include "Core/Networking/RequestSettings.h"
#include "support/TestUsers.h"
#include "support/Thrown.h"

using namespace svsdk;
using namespace svsdk::testing;

namespace {

using Code = SVNetworkError::Code;
using Body = nlohmann::ordered_json;

URL url(const std::string& text) { return URL::parse(text).value(); }
Request<Body> request(const std::string& base, Body body = Body::object()) {
    return Request<Body>{Endpoint(url(base)), HTTPMethod::post, std::move(body)};
}
URLRequest get(const std::string& url) {
    URLRequest request;
    request.url = url;
    request.timeoutInterval = 10;
    return request;
}
ScriptedAnswer status(int code, std::string body = {}, double delay = 0) {
    ScriptedAnswer answer;
    answer.status = code;
    answer.body = std::move(body);
    answer.delay = delay;
    return answer;
}

// One transfer on `session`, its result and whether its completion ran on the session's thread.
std::pair<TransferResult, bool> perform(HTTPSession& session, URLRequest request) {
    std::promise<std::pair<TransferResult, bool>> done;
    session.dataTask(std::move(request), [&](TransferResult r) { done.set_value({std::move(r), session.isCurrent()}); });
    auto finished = done.get_future();
    EXPECT_EQ(finished.wait_for(std::chrono::seconds(20)), std::future_status::ready);
    return finished.get();
}

struct TimeoutGuard {  // restores the host's request timeout
    double saved = requestsTimeoutInterval();
    ~TimeoutGuard() { setRequestsTimeoutInterval(saved); }
};

// The process's peak resident memory in KiB, reset first where the system allows.
long resetPeak() {
    std::ofstream("/proc/self/clear_refs") << "5";
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
    return 0;
}

}  // namespace

TEST(HTTPSessionTest, SendsTheRequestAsWrittenFollowsNoRedirectAndFetchesOnlyHttp) {
    LoopbackServer server;
    ScriptedAnswer answer = ScriptedAnswer::json(201, R"({"ok":true})");
    answer.headers = {{"X-Answer", "yes"}, {"Location", server.baseURL() + "/elsewhere"}};
    const std::string path = "/a/../b/%2E%2E/c%2Fd";  // no dot-segment is collapsed
    server.answer("PATCH", path, answer);
    HTTPSession session;
    URLRequest request = get(server.baseURL() + path + "?x=1");
    request.httpMethod = "PATCH";
    request.headers.set("SV-Authorization", "old");
    request.headers.add("sv-authorization", "older");
    request.headers.set("Content-Type", "application/json");
    request.headers.set("sv-AUTHORIZATION", "abc");  // a name in any case replaces every field of it
    request.httpBody = bytesOf(R"({"k":"v"})");
    auto [result, onNetworkThread] = perform(session, request);
    EXPECT_TRUE(onNetworkThread && !session.isCurrent());
    ASSERT_FALSE(result.error) << result.error->what();
    EXPECT_EQ(std::tuple(result.response->statusCode, result.response->headers.value("x-answer"),
                         stringOf(*result.data)),
              std::tuple(201, "yes", R"({"ok":true})"));
    URLRequest again = get(server.baseURL() + "/again");  // a method other than GET without a body
    again.httpMethod = "POST";
    again.headers.set("Content-Length", "0");
    perform(session, again);
    auto sent = server.requests();
    ASSERT_EQ(sent.size(), 2u) << "no redirect followed";
    EXPECT_EQ(std::tuple(sent[0].method + " " + sent[0].path, sent[0].headerCount("SV-Authorization"),
                         sent[0].header("SV-Authorization"), sent[0].header("Content-Type"), sent[0].header("Expect"),
                         sent[0].body),
              std::tuple("PATCH " + path + "?x=1", 1u, "abc", "application/json", std::optional<std::string>(),
                         R"({"k":"v"})"));
    EXPECT_EQ(sent[1].method, "POST");
    EXPECT_EQ(sent[0].remotePort, sent[1].remotePort) << "the connection is kept alive";
    URLRequest injected = get(server.baseURL() + "/x");
    injected.headers.set("X-Evil", "a\r\nHost: elsewhere");
    for (const URLRequest& refused : {get("dict://127.0.0.1:" + std::to_string(server.port()) + "/x"), injected}) {
        auto failed = perform(session, refused).first;
        EXPECT_TRUE(failed.error && !failed.response && !failed.data) << refused.url;
    }
    EXPECT_EQ(server.requestCount(), 2u);
}

TEST(HTTPSessionTest, StoppingDropsTransfersInFlightAndItMayBeDestroyedFromItsOwnCompletion) {
    LoopbackServer server;
    server.answer("GET", "/slow", status(200, "", 10));
    bool called = false;
    auto start = std::chrono::steady_clock::now();
    {
        HTTPSession session;
        session.dataTask(get(server.baseURL() + "/slow"), [&](TransferResult) { called = true; });
        ASSERT_TRUE(server.waitForRequests(1));
    }
    EXPECT_FALSE(called);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));

    auto* session = new HTTPSession();
    std::promise<void> done;
    session->dataTask(get(server.baseURL() + "/x"), [&](TransferResult) {
        delete session;
        done.set_value();
    });
    ASSERT_EQ(done.get_future().wait_for(std::chrono::seconds(20)), std::future_status::ready);
    // The thread goes on after the completion; it must not touch what was freed (ASan).
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
}

TEST(RequestTest, BuildsEncodedPathsTheTimeoutTheTypeAndLogsTheKeyOnlyWithKeys) {
    TimeoutGuard timeout;
    // An identifier can never climb or add a level.
    EXPECT_EQ(Endpoint(url("https://sv.example/api"), {"..", "x/../y", "a b", "ann.lee@bank+1"}).url.absoluteString(),
              "https://sv.example/api/%2E%2E/x%2F..%2Fy/a%20b/ann.lee@bank+1");
    setRequestsTimeoutInterval(5);
    URLRequest built = request("http://h/").urlRequest(std::nullopt, false);
    for (double nonsense : {0.0, -1.0, std::nan("")}) setRequestsTimeoutInterval(nonsense);
    EXPECT_EQ(built.timeoutInterval, 5.0);
    EXPECT_EQ(requestsTimeoutInterval(), 5.0);
    EXPECT_EQ(built.headers.size(), 1u);
    EXPECT_EQ(built.headers.value("Content-Type"), "application/json; charset=utf-8");
    // A number JSON cannot hold fails the request rather than go out as null.
    for (double odd : {std::nan(""), HUGE_VAL, -HUGE_VAL}) {
        auto scoring = request("http://h/", {{"scoring", {{"score", odd}}}});
        EXPECT_EQ(thrownAs<SVPlatformError>([&] { scoring.urlRequest(numbered(32), false); })->domain(), "json");
        auto failed = urlRequestFuture(Promise<decltype(scoring)>::resolved(scoring), std::nullopt, false);
        EXPECT_TRUE(failed.result() && !failed.result()->ok());
    }
    Bytes key = numbered(32);
    const std::string hash = "44136fa355b3678a1146ad16f7e8649e94fb4fc21fe77e8310c060f61caaff8a";  // SHA-256 of {}
    for (int raw : {0, 1, 2, 3}) {
        ScopedPlatform platform{SVLoggingOptions(raw)};
        request("http://h/").urlRequest(key, raw == 2);
        const bool debug = raw & 1, secrets = raw == 3;
        auto& log = platform.log();
        EXPECT_EQ(log.contains(SVLogCategory::network, "Authorization: " + expectedSignature(key, "{}")), debug);
        EXPECT_EQ(log.contains(SVLogCategory::network, "Hash: " + hash), debug);
        EXPECT_EQ(log.anyContains("Kauth: "), secrets) << raw;
        EXPECT_EQ(log.contains(SVLogCategory::keys, "Kauth: " + hexString(key)), secrets) << raw;
    }
}

// Each answer: the body for 200, else the server's error code (or undefined);
// no complete answer is serverDoesNotRespond.
TEST(RequestTest, TheStatusAndTheServersErrorCodeDecide) {
    ScopedPlatform platform(SVLoggingOptions::debug);
    TimeoutGuard timeout;
    setRequestsTimeoutInterval(0.5);
    LoopbackServer server;
    auto answer = [](int status, std::string body) { return ScriptedAnswer::json(status, std::move(body)); };
    auto dropped = [](ScriptedAnswer a, ScriptedAnswer::Drop drop) { return a.drop = drop, a; };
    auto code = [&](const std::string& code) { return answer(400, R"({"answer":{"result":{"error_code":)" + code + "}}}"); };
    const std::string list = R"({"answer":{"transaction_list":["1","2","3","4"]}})";
    struct Case {
        ScriptedAnswer answer;
        std::optional<std::string> body;  // else the error
        Code code = Code::undefined;
    };
    for (const Case& c : std::vector<Case>{
             {answer(200, R"({"answer":{}})"), R"({"answer":{}})"}, {status(200), ""}, {status(204), std::nullopt},
             {code("208"), std::nullopt, Code::userNotFound}, {code("208.0"), std::nullopt, Code::userNotFound},
             {answer(201, R"({"answer":{"result":{"error_code":244}}})"), std::nullopt, Code::invalidHmac},
             {code("999"), std::nullopt}, {code("208.5"), std::nullopt},
             {answer(400, R"({"answer":{"result":{"error_code":208}}} garbage)"), std::nullopt},
             {answer(400, std::string(R"({"answer":{"result":{"error_code":208}}})") + '\0' + "garbage"), std::nullopt},
             {answer(400, R"({"answer":{"result":{"error_code":208}})"), std::nullopt},
             {answer(400, "<html>bad gateway</html>"), std::nullopt},
             {dropped(answer(200, list), ScriptedAnswer::Drop::midBody), std::nullopt, Code::serverDoesNotRespond},
             {dropped(status(200), ScriptedAnswer::Drop::beforeAnswer), std::nullopt, Code::serverDoesNotRespond},
             {status(200, "", 5), std::nullopt, Code::serverDoesNotRespond}}) {
        SCOPED_TRACE(c.answer.body);
        server.answer("POST", "/x", c.answer);
        auto result = await(sendRequest(request(server.baseURL() + "/x").urlRequest(std::nullopt, false)));
        if (c.body)
            EXPECT_EQ(stringOf(result.value()), *c.body);
        else
            EXPECT_TRUE(!result.ok() && result.error().is(c.code)) << (result.ok() ? "ok" : result.error().description());
    }
    EXPECT_TRUE(platform.log().contains(SVLogCategory::network, "Response's body:\n{\"answer\":{}}"));
    // The status line, then one header a line.
    for (const auto& entry : platform.log().entries()) {
        bool status = entry.message.rfind("Response: ", 0) == 0;
        EXPECT_TRUE(!status || entry.message.find("\n\n") == std::string::npos) << entry.message;
    }
    for (const std::string& target : {"http://127.0.0.1:" + std::to_string(LoopbackServer::unusedPort()) + "/x",
                                      std::string("file:///etc/hostname")}) {
        URLRequest unreachable = request("http://h/").urlRequest(std::nullopt, false);
        unreachable.url = target;
        auto result = await(sendRequest(unreachable));
        EXPECT_TRUE(!result.ok() && result.error().is(Code::serverDoesNotRespond)) << target;
    }
}

// A large error or probe answer is not built as a document to find one
// member: its cost stays near its own bytes whatever it holds.
TEST(RequestTest, ALargeErrorOrProbeAnswerIsReadWithoutBuildingIt) {
    constexpr std::size_t kUnits = 24 * 1024 * 1024;  // 72 MiB of "[],"
    auto large = [](std::string tail) {
        ScriptedAnswer answer = ScriptedAnswer::json(400, R"({"pad":[)");
        answer.repeated = ScriptedAnswer::Repeated{"[],", kUnits, "[]]," + tail + "}"};
        return answer;
    };
    LoopbackServer server;
    server.answer("POST", "/large", large(R"("answer":{"result":{"error_code":208}})"));
    server.answer("GET", "/srv/health_check", large(R"("sv_api_version":3)"));
    [[maybe_unused]] const long limitKiB = (3 * static_cast<long>(3 * kUnits >> 20) + 64) * 1024;
    long base = resetPeak();
    auto refused = await(sendRequest(request(server.baseURL() + "/large").urlRequest(std::nullopt, false)));
    EXPECT_TRUE(!refused.ok() && refused.error().is(Code::userNotFound));
    [[maybe_unused]] long errorGrowth = resetPeak() - base;
    base = resetPeak();
    APIInteractionManager manager;
    EXPECT_EQ(await(manager.makeInteractor(userOf("large", server.baseURL() + "/srv"))).value()->version(), 3);
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    // The received bytes and their buffer's growth; a document of them would take gigabytes.
    EXPECT_LT(errorGrowth, limitKiB);
    EXPECT_LT(resetPeak() - base, limitKiB);
#endif
}

namespace {

class ProbeTest : public ::testing::Test {
protected:
    SVUser user(const std::string& systemID, const std::string& prefix = "/srv") const {
        return userOf(systemID, server.baseURL() + prefix);
    }
    SVResult<APIInteractionManager::Interactor> interactorFor(const SVUser& u) { return await(manager.makeInteractor(u)); }
    std::vector<std::string> paths() const {
        std::vector<std::string> result;
        for (const auto& request : server.requests()) result.push_back(request.method + " " + request.path);
        return result;
    }

    ScopedPlatform platform{SVLoggingOptions::debug};
    LoopbackServer server;
    APIInteractionManager manager;
};

}  // namespace

// The declared version chooses the object whatever the status; without one the legacy endpoints are probed.
TEST_F(ProbeTest, TheServersVersionChoosesTheObject) {
    ScriptedAnswer cut = ScriptedAnswer::json(200, R"({"sv_api_version":3,"padding":"xxxxxxxx"})");
    cut.drop = ScriptedAnswer::Drop::midBody;
    const ScriptedAnswer missing = status(404), ok = status(200);
    auto declared = [](const std::string& version, int code = 200) {
        return ScriptedAnswer::json(code, R"({"sv_api_version":)" + version + "}");
    };
    struct Case {
        ScriptedAnswer health, v2, v1;
        std::int64_t version;  // 0: apiIsNotSupported, -1: endpointUnavailable
        std::size_t probes;
    };
    for (const Case& c : {Case{declared("3"), missing, missing, 3, 1}, Case{declared("5"), missing, missing, 3, 1},
                          Case{declared("2"), missing, missing, 2, 1}, Case{declared("3.0"), missing, missing, 3, 1},
                          Case{declared("3", 500), missing, missing, 3, 1}, Case{declared("0"), ok, ok, 0, 1},
                          Case{declared("-4"), ok, ok, 0, 1},
                          Case{status(404, "<html>not here</html>"), status(405), missing, 2, 2},
                          Case{declared("\"3\""), status(401), missing, 2, 2}, Case{declared("3.5"), ok, missing, 2, 2},
                          Case{ScriptedAnswer::json(200, "[3]"), ok, missing, 2, 2},
                          Case{status(200, "not json"), ok, missing, 2, 2}, Case{cut, ok, missing, 2, 2},
                          Case{ScriptedAnswer::json(200, R"({"sv_api_version":3} garbage)"), ok, missing, 2, 2},
                          Case{ScriptedAnswer::json(200, std::string(R"({"sv_api_version":3})") + '\0' + "garbage"),
                               ok, missing, 2, 2},
                          Case{missing, missing, status(500), 1, 3}, Case{missing, missing, missing, -1, 3}}) {
        SCOPED_TRACE(c.health.body);
        server.answer("GET", "/srv/health_check", c.health);
        server.answer("GET", "/srv/jsonrequest_v2", c.v2);
        server.answer("GET", "/srv/jsonrequest_v1", c.v1);
        server.clearRequests();
        platform.log().clear();
        auto result = await(APIInteractionManager().makeInteractor(user("S")));
        if (c.version <= 0) {
            EXPECT_TRUE(!result.ok() && result.error().is(c.version ? SVError::Code::endpointUnavailable
                                                                    : SVError::Code::apiIsNotSupported));
            EXPECT_EQ(platform.log().anyContains("Could not make interactor for "), c.version == 0);
        } else {
            ASSERT_TRUE(result.ok());
            EXPECT_EQ(result.value()->version(), c.version);
            EXPECT_EQ(dynamic_cast<const APIInteractorV3*>(result.value().get()) != nullptr, c.version == 3);
            EXPECT_EQ(result.value()->endpointURL().absoluteString(),
                      server.baseURL() + "/srv/jsonrequest_v" + std::to_string(c.version));
        }
        std::vector<std::string> expected = {"GET /srv/health_check", "GET /srv/jsonrequest_v2",
                                             "GET /srv/jsonrequest_v1"};
        expected.resize(c.probes);
        EXPECT_EQ(paths(), expected);
        for (const auto& request : server.requests())
            EXPECT_TRUE(request.body.empty() && !request.header("SV-Authorization") && !request.header("Authorization"));
    }
    for (std::int64_t version : {0, 4}) EXPECT_EQ(APIInteractionManager::interactor(version, url(server.baseURL())), nullptr);
}

// One probe a system, at start-up too, cached even when it failed; each user keeps its own URL.
TEST_F(ProbeTest, OneProbePerSystemIsCachedAndUsersKeepTheirOwnURL) {
    EXPECT_TRUE(interactorFor(user("F")).error().is(SVError::Code::endpointUnavailable));
    server.answer("GET", "/srv/health_check", ScriptedAnswer::json(200, R"({"sv_api_version":3})"));
    EXPECT_TRUE(interactorFor(user("F")).error().is(SVError::Code::endpointUnavailable));
    EXPECT_EQ(server.requestCount(), 3u);

    server.clearRequests();
    ScriptedAnswer slow = ScriptedAnswer::json(200, R"({"sv_api_version":3})");
    slow.delay = 0.2;
    server.answer("GET", "/first/health_check", slow);
    auto a = manager.makeInteractor(user("S", "/first"));
    auto b = manager.makeInteractor(user("S", "/second"));
    EXPECT_EQ(await(a).value()->interactionURL().absoluteString(), server.baseURL() + "/first");
    EXPECT_EQ(await(b).value()->endpointURL().absoluteString(), server.baseURL() + "/second/jsonrequest_v3");
    EXPECT_EQ(paths(), (std::vector<std::string>{"GET /first/health_check"}));

    auto unreachable = interactorFor(userOf("U", "http://127.0.0.1:" + std::to_string(LoopbackServer::unusedPort())));
    EXPECT_EQ(unreachable.error().get<SVPlatformError>()->domain(), "curl");
    for (const char* text : {"", "not a url", "/relative/path"})
        EXPECT_TRUE(manager.makeInteractor(userOf("S", text)).result()->error().is(SVError::Code::missingInteractionURL));

    // Start-up probes every user in order; the last chain of a system stays,
    // also over a failure cached before.
    server.clearRequests();
    server.answer("GET", "/a/health_check", ScriptedAnswer::json(200, R"({"sv_api_version":3})"));
    server.answer("GET", "/b/health_check", ScriptedAnswer::json(200, R"({"sv_api_version":2})"));
    manager.checkServersAPIVersions(
        {user("A", "/b"), user("F"), user("B", "/b"), user("A", "/a"), userOf("C", "not a url")});
    ASSERT_TRUE(server.waitForRequests(4));
    EXPECT_EQ(interactorFor(user("A", "/a3")).value()->interactionURL().absoluteString(), server.baseURL() + "/a3");
    EXPECT_EQ(interactorFor(user("A", "/a3")).value()->version(), 3);
    EXPECT_EQ(interactorFor(user("B", "/b")).value()->version(), 2);
    EXPECT_EQ(interactorFor(user("F")).value()->version(), 3);
    auto sent = paths();
    std::sort(sent.begin(), sent.end());
    EXPECT_EQ(sent, (std::vector<std::string>{"GET /a/health_check", "GET /b/health_check", "GET /b/health_check",
                                              "GET /srv/health_check"}));
    // A user without a usable URL left its system unprobed.
    server.answer("GET", "/c/health_check", ScriptedAnswer::json(200, R"({"sv_api_version":3})"));
    EXPECT_EQ(interactorFor(user("C", "/c")).value()->version(), 3);
}
