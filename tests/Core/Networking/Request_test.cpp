#include <gtest/gtest.h>

#include <cmath>
#include <fstream>

#include "Core/Networking/APIInteractionManager.h"
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

// Restores the host's request timeout after a test.
struct TimeoutGuard {
    double saved = requestsTimeoutInterval();
    ~TimeoutGuard() { setRequestsTimeoutInterval(saved); }
};

// The process's peak resident memory in KiB, reset first where the system allows.
long resetPeak() {
    std::ofstream("/proc/self/clear_refs") << "5";
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
    return 0;
}

}  // namespace

TEST(RequestBuildingTest, EncodesComponentsReadsTheTimeoutAndRefusesNumbersJSONCannotHold) {
    TimeoutGuard timeout;
    // An identifier can never climb or add a level.
    EXPECT_EQ(Endpoint(url("https://sv.example/api"), {"..", "x/../y", "a b"}).url.absoluteString(),
              "https://sv.example/api/%2E%2E/x%2F%2E%2E%2Fy/a%20b");
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
}

TEST(RequestBuildingTest, LogsTheKeyOnlyWithKeysAndTheSignatureWithDebug) {
    Bytes key = numbered(32);
    const std::string hash = "44136fa355b3678a1146ad16f7e8649e94fb4fc21fe77e8310c060f61caaff8a";  // SHA-256 of {}
    for (int raw : {0, 1, 2, 3}) {
        ScopedPlatform platform{SVLoggingOptions(raw)};
        request("http://h/").urlRequest(key, raw == 2);
        bool debug = raw & 1, secrets = raw == 3;
        EXPECT_EQ(platform.log().contains(SVLogCategory::network, "Authorization: " + expectedSignature(key, "{}")),
                  debug);
        EXPECT_EQ(platform.log().contains(SVLogCategory::network, "Hash: " + hash), debug);
        EXPECT_EQ(platform.log().anyContains("Kauth: "), secrets) << raw;
        EXPECT_EQ(platform.log().contains(SVLogCategory::keys, "Kauth: " + hexString(key)), secrets) << raw;
    }
}

// Each answer: the body for 200, else the server's error code (or undefined);
// no complete answer is serverDoesNotRespond.
TEST(SendRequestTest, TheStatusAndTheServersErrorCodeDecide) {
    ScopedPlatform platform(SVLoggingOptions::debug);
    TimeoutGuard timeout;
    setRequestsTimeoutInterval(0.5);
    LoopbackServer server;
    auto answer = [](int status, std::string body) { return ScriptedAnswer::json(status, std::move(body)); };
    auto dropped = [](ScriptedAnswer a, ScriptedAnswer::Drop drop) { return a.drop = drop, a; };
    ScriptedAnswer slow, noContent;
    slow.delay = 5;
    noContent.status = 204;
    struct Case {
        ScriptedAnswer answer;
        std::optional<std::string> body;  // else the error
        Code code = Code::undefined;
    };
    const std::string list = R"({"answer":{"transaction_list":["1","2","3","4"]}})";
    for (const Case& c : std::vector<Case>{
             {answer(200, R"({"answer":{}})"), R"({"answer":{}})"},
             {ScriptedAnswer{}, ""},
             {noContent, std::nullopt},
             {answer(400, R"({"answer":{"result":{"error_code":208}}})"), std::nullopt, Code::userNotFound},
             {answer(400, R"({"answer":{"result":{"error_code":208.0}}})"), std::nullopt, Code::userNotFound},
             {answer(201, R"({"answer":{"result":{"error_code":244}}})"), std::nullopt, Code::invalidHmac},
             {answer(400, R"({"answer":{"result":{"error_code":999}}})"), std::nullopt},
             {answer(400, R"({"answer":{"result":{"error_code":208.5}}})"), std::nullopt},
             {answer(400, "<html>bad gateway</html>"), std::nullopt},
             {dropped(answer(200, list), ScriptedAnswer::Drop::midBody), std::nullopt, Code::serverDoesNotRespond},
             {dropped(ScriptedAnswer{}, ScriptedAnswer::Drop::beforeAnswer), std::nullopt, Code::serverDoesNotRespond},
             {slow, std::nullopt, Code::serverDoesNotRespond}}) {
        SCOPED_TRACE(c.answer.body);
        server.answer("POST", "/x", c.answer);
        auto result = await(sendRequest(request(server.baseURL() + "/x").urlRequest(std::nullopt, false)));
        if (c.body)
            EXPECT_EQ(stringOf(result.value()), *c.body);
        else
            EXPECT_TRUE(!result.ok() && result.error().is(c.code)) << (result.ok() ? "ok" : result.error().description());
    }
    EXPECT_TRUE(platform.log().contains(SVLogCategory::network, "Response's body:\n{\"answer\":{}}"));
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
TEST(SendRequestTest, ALargeErrorOrProbeAnswerIsReadWithoutBuildingIt) {
    constexpr std::size_t kUnits = 24 * 1024 * 1024;  // 72 MiB of "[],"
    auto large = [](std::string tail) {
        ScriptedAnswer answer = ScriptedAnswer::json(400, R"({"pad":[)");
        answer.repeated = ScriptedAnswer::Repeated{"[],", kUnits, "[]]," + tail + "}"};
        return answer;
    };
    LoopbackServer server;
    server.answer("POST", "/large", large(R"("answer":{"result":{"error_code":208}})"));
    server.answer("GET", "/srv/health_check", large(R"("sv_api_version":3)"));
    const long limitKiB = (3 * static_cast<long>(3 * kUnits >> 20) + 64) * 1024;

    long base = resetPeak();
    auto refused = await(sendRequest(request(server.baseURL() + "/large").urlRequest(std::nullopt, false)));
    EXPECT_TRUE(!refused.ok() && refused.error().is(Code::userNotFound));
    long errorGrowth = resetPeak() - base;
    base = resetPeak();
    APIInteractionManager manager;
    auto interactor = await(manager.makeInteractor(userOf("large", server.baseURL() + "/srv")));
    EXPECT_EQ(interactor.value()->version(), 3);
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    // The received bytes and their buffer's growth; a document of them would take gigabytes.
    EXPECT_LT(errorGrowth, limitKiB);
    EXPECT_LT(resetPeak() - base, limitKiB);
#else
    (void)errorGrowth;
    (void)limitKiB;
#endif
}
