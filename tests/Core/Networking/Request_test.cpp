#include <gtest/gtest.h>

#include <openssl/hmac.h>
#include <openssl/sha.h>

#include <atomic>
#include <cmath>
#include <fstream>

#include "Core/Networking/APIInteractionManager.h"
#include "Core/Networking/Request.h"
#include "Core/Networking/RequestSettings.h"
#include "Core/Utilities/Encoding.h"
#include "support/Await.h"
#include "support/LoopbackServer.h"
#include "support/TestEnvironment.h"
#include "support/TestUsers.h"

using namespace svsdk;
using svsdk::testing::await;
using svsdk::testing::LoopbackServer;
using svsdk::testing::ScopedPlatform;
using svsdk::testing::ScriptedAnswer;

namespace {

struct EmptyTestBody {};
void to_json(nlohmann::ordered_json& json, const EmptyTestBody&) { json = nlohmann::ordered_json::object(); }

// Members written in declaration order, not sorted.
struct OrderedBody {
    std::string zulu;
    int alpha;
};
void to_json(nlohmann::ordered_json& json, const OrderedBody& body) {
    json["zulu"] = body.zulu;
    json["alpha"] = body.alpha;
}

struct UnencodableBody {};
void to_json(nlohmann::ordered_json&, const UnencodableBody&) { throw SVError::internalError(); }

URL url(const std::string& text) { return URL::parse(text).value(); }

Bytes key32() {
    Bytes key(32);
    for (std::size_t i = 0; i < key.size(); ++i) key[i] = static_cast<std::uint8_t>(i * 7 + 1);
    return key;
}

// HMAC-SHA256(key, SHA-256(body)) computed with libcrypto directly.
std::string expectedSignature(const Bytes& key, const std::string& body) {
    unsigned char hash[SHA256_DIGEST_LENGTH];
    SHA256(reinterpret_cast<const unsigned char*>(body.data()), body.size(), hash);
    unsigned char mac[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()), hash, sizeof hash, mac, &length);
    return hexString(mac, length);
}

// Restores the host's request timeout after a test.
struct TimeoutGuard {
    double saved = requestsTimeoutInterval();
    ~TimeoutGuard() { setRequestsTimeoutInterval(saved); }
};

Request<EmptyTestBody> emptyRequest(const std::string& base, std::vector<std::string> path = {}) {
    return Request<EmptyTestBody>{Endpoint(url(base), path), HTTPMethod::post, {}};
}

}  // namespace

TEST(HTTPMethodTest, RawValuesAreExactAndCaseSensitive) {
    for (auto [method, text] :
         {std::pair{HTTPMethod::get, "GET"}, {HTTPMethod::post, "POST"}, {HTTPMethod::patch, "PATCH"}}) {
        EXPECT_STREQ(rawValue(method), text);
        EXPECT_EQ(httpMethodFromRawValue(text), method);
    }
    for (const char* other : {"get", "Post", ""}) EXPECT_EQ(httpMethodFromRawValue(other), std::nullopt) << other;
}

TEST(EndpointTest, AppendsEachComponentWholeAndEncoded) {
    URL base = url("https://sv.example/api");
    EXPECT_EQ(Endpoint(base, {"SYS", "users", "U1", "transactions", "get_list"}).url.absoluteString(),
              "https://sv.example/api/SYS/users/U1/transactions/get_list");
    EXPECT_EQ(Endpoint(base, {}).url, base);
    EXPECT_EQ(Endpoint(base, {"a b"}).url.absoluteString(), "https://sv.example/api/a%20b");
    // An identifier can never climb or add a level.
    EXPECT_EQ(Endpoint(base, {"..", "x/../y", "."}).url.absoluteString(),
              "https://sv.example/api/%2E%2E/x%2F%2E%2E%2Fy/%2E");
}

TEST(RequestBuildingTest, SignsTheExactBodyUnderTheRequestedHeaderAndOnlyWithAKey) {
    TimeoutGuard timeout;
    Request<OrderedBody> request{Endpoint(url("http://h/p"), {"x"}), HTTPMethod::patch, {"z", 1}};
    URLRequest built = request.urlRequest(std::nullopt, false);
    EXPECT_EQ(built.url, "http://h/p/x");
    EXPECT_EQ(built.httpMethod, "PATCH");
    ASSERT_EQ(built.headers.size(), 1u);
    EXPECT_EQ(built.headers.value("Content-Type"), "application/json; charset=utf-8");
    EXPECT_EQ(stringOf(built.httpBody.value()), R"({"zulu":"z","alpha":1})");
    EXPECT_EQ(built.timeoutInterval, 30.0);

    Bytes key = key32();
    ASSERT_EQ(expectedSignature(key, "{}").size(), 64u);
    for (bool standard : {false, true}) {
        URLRequest signedRequest = emptyRequest("http://h/").urlRequest(key, standard);
        EXPECT_EQ(stringOf(signedRequest.httpBody.value()), "{}");
        EXPECT_EQ(signedRequest.headers.size(), 2u);
        EXPECT_EQ(signedRequest.headers.value(standard ? "Authorization" : "SV-Authorization"),
                  expectedSignature(key, "{}"));
    }
    // Any key length, the empty key included, gives a signature.
    EXPECT_EQ(emptyRequest("http://h/").urlRequest(Bytes{}, false).headers.value("SV-Authorization"),
              expectedSignature(Bytes{}, "{}"));

    // Text that is not UTF-8 is replaced, never a failure.
    Request<OrderedBody> odd{Endpoint(url("http://h/")), HTTPMethod::post, {std::string("a\xff"), 2}};
    EXPECT_EQ(stringOf(odd.jsonBody()), "{\"zulu\":\"a\xef\xbf\xbd\",\"alpha\":2}");
}

TEST(RequestBuildingTest, ReadsTheHostTimeoutWhenBuilt) {
    TimeoutGuard timeout;
    setRequestsTimeoutInterval(5);
    URLRequest built = emptyRequest("http://h/").urlRequest(std::nullopt, false);
    setRequestsTimeoutInterval(9);
    EXPECT_EQ(built.timeoutInterval, 5.0);
    EXPECT_EQ(emptyRequest("http://h/").urlRequest(std::nullopt, false).timeoutInterval, 9.0);
    // Nonsense values are ignored.
    setRequestsTimeoutInterval(0);
    setRequestsTimeoutInterval(-1);
    setRequestsTimeoutInterval(std::nan(""));
    EXPECT_EQ(requestsTimeoutInterval(), 9.0);
}

TEST(RequestBuildingTest, LogsTheKeyOnlyWithKeysAndTheSignatureWithDebug) {
    Bytes key = key32();
    const std::string hash = "44136fa355b3678a1146ad16f7e8649e94fb4fc21fe77e8310c060f61caaff8a";  // SHA-256 of {}
    for (int raw : {0, 1, 2, 3}) {
        ScopedPlatform platform{SVLoggingOptions(raw)};
        emptyRequest("http://h/").urlRequest(key, false);
        bool debug = raw & 1, secrets = raw == 3;
        EXPECT_EQ(platform.log().contains(SVLogCategory::network, "Authorization: " + expectedSignature(key, "{}")),
                  debug);
        EXPECT_EQ(platform.log().contains(SVLogCategory::network, "Hash: " + hash), debug);
        EXPECT_EQ(platform.log().anyContains("Kauth: "), secrets) << raw;
        EXPECT_EQ(platform.log().contains(SVLogCategory::keys, "Kauth: " + hexString(key)), secrets) << raw;
    }
}

TEST(RequestBuildingTest, AnEncodingErrorFailsTheRequestFuture) {
    Request<UnencodableBody> request{Endpoint(url("http://h/")), HTTPMethod::post, {}};
    EXPECT_THROW(request.urlRequest(std::nullopt, false), SVError);
    auto built = urlRequestFuture(Promise<Request<UnencodableBody>>::resolved(request), std::nullopt, false);
    EXPECT_TRUE(built.result()->error().is(SVError::Code::internalError));

    // A number JSON cannot hold fails the request rather than go out as null.
    for (double odd : {std::nan(""), HUGE_VAL, -HUGE_VAL}) {
        Request<nlohmann::ordered_json> scoring{Endpoint(url("http://h/")), HTTPMethod::post,
                                                {{"scoring", {{"score", odd}}}}};
        try {
            scoring.urlRequest(key32(), false);
            ADD_FAILURE() << "encoded " << odd;
        } catch (const SVPlatformError& e) {
            EXPECT_EQ(e.domain(), "json");
        }
        auto failed = urlRequestFuture(Promise<decltype(scoring)>::resolved(scoring), std::nullopt, false);
        EXPECT_TRUE(failed.result() && !failed.result()->ok());
    }

    auto fine = urlRequestFuture(Promise<Request<EmptyTestBody>>::resolved(emptyRequest("http://h/")), key32(), true);
    EXPECT_TRUE(fine.result()->value().headers.value("Authorization"));
}

class SendRequestTest : public ::testing::Test {
protected:
    SVResult<Bytes> send(const std::string& path) {
        return await(sendRequest(emptyRequest(server.baseURL() + path).urlRequest(std::nullopt, false)));
    }
    static bool failedWith(const SVResult<Bytes>& result, SVNetworkError::Code code) {
        return !result.ok() && result.error().is(code);
    }

    LoopbackServer server;
};

TEST_F(SendRequestTest, StatusTwoHundredIsSuccessWhateverTheBody) {
    ScopedPlatform platform(SVLoggingOptions::debug);
    server.answer("POST", "/ok", ScriptedAnswer::json(200, R"({"answer":{}})"));
    EXPECT_EQ(stringOf(send("/ok").value()), R"({"answer":{}})");
    for (const std::string& line :
         {"Sending the POST request to " + server.baseURL() + "/ok", std::string("Request's body: {}"),
          std::string("Response: 200\n"), std::string("Content-Type: application/json"),
          std::string("Response's body:\n{\"answer\":{}}")})
        EXPECT_TRUE(platform.log().contains(SVLogCategory::network, line)) << line;
    server.answer("POST", "/empty", ScriptedAnswer{});
    auto empty = send("/empty");
    ASSERT_TRUE(empty.ok());
    EXPECT_TRUE(empty.value().empty());
    ScriptedAnswer noContent;
    noContent.status = 204;
    server.answer("POST", "/no-content", noContent);
    EXPECT_TRUE(failedWith(send("/no-content"), SVNetworkError::Code::undefined));
}

TEST_F(SendRequestTest, OtherStatusesGiveTheServersErrorCode) {
    using Code = SVNetworkError::Code;
    // How the member is found in odd bodies is the JSON reader's own test.
    for (const auto& [body, expected] : std::vector<std::pair<std::string, Code>>{
             {R"({"answer":{"result":{"error_code":208}}})", Code::userNotFound},
             {R"({"answer":{"result":{"error_code":208.0}}})", Code::userNotFound},
             {R"({"answer":{"result":{"error_code":999}}})", Code::undefined},
             {R"({"answer":{"result":{"error_code":"208"}}})", Code::undefined},
             {R"({"answer":{"result":{"error_code":208.5}}})", Code::undefined},
             {"<html>bad gateway</html>", Code::undefined},
             {"", Code::undefined}}) {
        server.answer("POST", "/refused", ScriptedAnswer::json(400, body));
        EXPECT_TRUE(failedWith(send("/refused"), expected)) << body;
    }
    // The code decides, also for a status in the 2xx range.
    server.answer("POST", "/created", ScriptedAnswer::json(201, R"({"answer":{"result":{"error_code":244}}})"));
    EXPECT_TRUE(failedWith(send("/created"), SVNetworkError::Code::invalidHmac));
}

// The process's peak resident memory, reset first where the system allows.
class PeakMemory {
public:
    PeakMemory() {
        std::ofstream("/proc/self/clear_refs") << "5";
        base_ = peak();
    }
    // Growth of the peak since construction, in MiB.
    long growth() const { return (peak() - base_) / 1024; }

private:
    static long peak() {
        std::ifstream status("/proc/self/status");
        std::string line;
        while (std::getline(status, line))
            if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
        return 0;
    }
    long base_ = 0;
};

// A large answer is not built as a document to find one member: its cost
// stays near its own bytes whatever it holds.
TEST_F(SendRequestTest, ALargeErrorOrProbeAnswerIsReadWithoutBuildingIt) {
    constexpr std::size_t kUnits = 24 * 1024 * 1024;  // 72 MiB of "[],"
    auto large = [](std::string head, std::string tail) {
        ScriptedAnswer answer = ScriptedAnswer::json(400, std::move(head));
        answer.repeated = ScriptedAnswer::Repeated{"[],", kUnits, std::move(tail)};
        return answer;
    };
    server.answer("POST", "/large", large(R"({"pad":[)", R"([]],"answer":{"result":{"error_code":208}}})"));
    server.answer("GET", "/srv/health_check", large(R"({"pad":[)", R"([]],"sv_api_version":3})"));
    const long bodyMiB = static_cast<long>(3 * kUnits >> 20);

    PeakMemory errorAnswer;
    EXPECT_TRUE(failedWith(send("/large"), SVNetworkError::Code::userNotFound));
    long errorGrowth = errorAnswer.growth();
    PeakMemory probe;
    APIInteractionManager manager;
    auto interactor = await(manager.makeInteractor(svsdk::testing::userOf("large", server.baseURL() + "/srv")));
    ASSERT_TRUE(interactor.ok());
    EXPECT_EQ(interactor.value()->version(), 3);
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    // The received bytes and their buffer's growth; a document of them would take gigabytes.
    EXPECT_LT(errorGrowth, 3 * bodyMiB + 64);
    EXPECT_LT(probe.growth(), 3 * bodyMiB + 64);
#else
    (void)errorGrowth;
    (void)bodyMiB;
#endif
}

TEST_F(SendRequestTest, NoCompleteAnswerIsServerDoesNotRespond) {
    auto unreachable = await(sendRequest(
        emptyRequest("http://127.0.0.1:" + std::to_string(LoopbackServer::unusedPort()) + "/x").urlRequest(std::nullopt,
                                                                                                          false)));
    EXPECT_TRUE(failedWith(unreachable, SVNetworkError::Code::serverDoesNotRespond));

    ScriptedAnswer cut = ScriptedAnswer::json(200, R"({"answer":{"transaction_list":["1","2","3","4"]}})");
    cut.drop = ScriptedAnswer::Drop::midBody;
    server.answer("POST", "/cut", cut);
    EXPECT_TRUE(failedWith(send("/cut"), SVNetworkError::Code::serverDoesNotRespond));

    ScriptedAnswer dropped;
    dropped.drop = ScriptedAnswer::Drop::beforeAnswer;
    server.answer("POST", "/dropped", dropped);
    EXPECT_TRUE(failedWith(send("/dropped"), SVNetworkError::Code::serverDoesNotRespond));

    URLRequest file = emptyRequest("http://h/").urlRequest(std::nullopt, false);
    file.url = "file:///etc/hostname";
    EXPECT_TRUE(failedWith(await(sendRequest(file)), SVNetworkError::Code::serverDoesNotRespond));

    TimeoutGuard timeout;
    ScriptedAnswer slow;
    slow.delay = 5;
    server.answer("POST", "/slow", slow);
    setRequestsTimeoutInterval(0.3);
    auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(failedWith(send("/slow"), SVNetworkError::Code::serverDoesNotRespond));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
}

TEST_F(SendRequestTest, TheServerSeesTheSignedBytesAndTheRawPathAndLaterStepsRunOnTheNetworkThread) {
    Bytes key = key32();
    server.answer("POST", "/S%2FY/users/U%20%2E", ScriptedAnswer::json(200, R"({"n":1})"));
    Request<OrderedBody> request{Endpoint(url(server.baseURL()), {"S/Y", "users", "U ."}), HTTPMethod::post,
                                 {"z", 7}};
    std::atomic<bool> sendOnNetwork{false}, stepOnNetwork{false};
    auto chain = sendRequest(request.urlRequest(key, false))
                     .transformed([&](const Bytes& body) {
                         sendOnNetwork = HTTPSession::shared().isCurrent();
                         return body.size();
                     })
                     .chained([&](std::size_t size) {
                         stepOnNetwork = HTTPSession::shared().isCurrent();
                         return Promise<std::size_t>::resolved(size);
                     });
    EXPECT_EQ(await(chain).value(), 7u);
    EXPECT_TRUE(sendOnNetwork && stepOnNetwork);

    auto received = server.requests();
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0].path, "/S%2FY/users/U%20%2E");
    EXPECT_EQ(received[0].body, R"({"zulu":"z","alpha":7})");
    EXPECT_EQ(received[0].headerCount("SV-Authorization"), 1u);
    EXPECT_EQ(received[0].header("SV-Authorization"), expectedSignature(key, received[0].body));
    EXPECT_EQ(received[0].header("Content-Type"), "application/json; charset=utf-8");
    EXPECT_FALSE(received[0].header("Authorization"));
}
